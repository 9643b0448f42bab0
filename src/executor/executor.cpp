// The executor tick: starts the command at the head of the queue, one at a
// time. It takes the options off the head entry in place, traces it, then
// sends an AT line, carries out a control command, or builds one OBEX
// request. The command stays at the head until something ends it.
#include <cctype>

#include "quorvalen/error.h"
#include "control/control_core.h"

namespace quorvalen {
namespace {

bool StartsWithUpper(const std::string& text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

void RemoveAll(std::string& text, std::string_view what) {
  size_t at;
  while ((at = text.find(what)) != std::string::npos) text.erase(at, what.size());
}

// Cuts text at the first occurrence of marker: returns what follows it and
// leaves what precedes it. Empty when the marker is absent.
std::string CutAt(std::string& text, std::string_view marker) {
  size_t at = text.find(marker);
  if (at == std::string::npos) return {};
  std::string tail = text.substr(at + marker.size());
  text.erase(at);
  return tail;
}

}  // namespace

std::string ControlCore::ObexCommandText(std::string head) {
  if (head.rfind("OBEX>", 0) == 0) head.erase(0, 5);
  for (size_t at = 0; (at = head.find("PUX:", at)) != std::string::npos; at += 4) {
    head.replace(at, 4, "PUT:");
  }
  return "OBEX>" + head;
}

void ControlCore::ExecuteNextCommand() {
  if (props_.StackCount < 1 || ExecutorBusy) return;
  ExecutorBusy = true;
  std::string command = CommandStack[0];
  std::string hex_data;
  bool obex = false;
  try {
    CommandIsLong = command.find(",LONG") != std::string::npos;
    if (CommandIsLong) {
      RemoveAll(command, ",LONG");
      CommandStack.Set(0, command);
      Timer2->Interval(props_.TimeOutLong);
    }
    hex_data = CutAt(command, ",HEX>");
    CommandStack.Set(0, command);
    if (!hex_data.empty()) {
      WaitMilliseconds(props_.HexDelay);
      WriteToPort("\r");
    }
    ExtData = CutAt(command, ",EXT>");
    CommandStack.Set(0, command);

    obex = command.rfind("OBEX>", 0) == 0;
    DebugTrace(obex ? " OBEX>   :" : " COM>    :", std::string_view(command).substr(obex ? 5 : 0));

    if (!obex) {
      if (StartsWithUpper(command, "AT")) {
        props_.AT_DataRead.clear();
        if (LinkMode == 2) LinkMode = 0;
        WriteToPort(command + "\r");
        Timer2->Enabled(true);
        // In OBEX mode the AT answer time-out stands aside; an AT line sent
        // there (written while the switch was still queued) must not wait
        // for ever either.
        if (LinkMode >= 2) ArmObexTimer(true);
      } else if (StartsWithUpper(command, "SPEC>")) {
        RunSpecCommand(command);
        Timer1->Enabled(true);
      } else {
        // Neither an AT line, a control command nor an OBEX request: end it,
        // so it cannot hold up the queue.
        RaiseAck(command, "ERROR");
        PopCommand();
      }
    } else {
      if (LinkMode == 1) LinkMode = 3;
      command.erase(0, 5);
      CommandStack.Set(0, command);
      std::string name = command.substr(0, 4);
      std::string argument = command.size() > 4 ? command.substr(4) : std::string();
      if (!StartObexRequest(name, argument)) {
        RaiseAck(ObexCommandText(command), "ERROR");
        PopCommand();
      }
      props_.OBEX_DataRead.clear();
    }
    if (!hex_data.empty()) PromptExchange(hex_data);
  } catch (const Error& e) {
    // The link refused a write (no port open, for example). The command
    // ends with the link's error number, unless something already ended it.
    if (ExecutorBusy) {
      const std::string& head = CommandStack[0];
      RaiseAck(obex ? ObexCommandText(head) : head, "ERROR " + std::to_string(e.number));
      PopCommand();
    }
    Timer1->Enabled(true);
  }
}

// An AT line with a data block: wait for the phone's ">" prompt, then send
// the block ended by Ctrl-Z. What is read here is consumed; the final answer
// comes later through the receive path.
void ControlCore::PromptExchange(const std::string& hex_data) {
  DebugTrace(" Wait");
  Timer1->Enabled(false);
  Clock& clock = platform_.Time();
  const int64_t start = clock.MonotonicMs();
  std::string collected;
  while (true) {
    if (props_.ComType == 1) {
      if (props_.IrDA1 && props_.IrDA1->InBufferCount() > 0) {
        collected += props_.IrDA1->Input();
      } else {
        collected.clear();
      }
    } else if (props_.ComType == 0 || props_.ComType == 2) {
      collected = MSComm1->Input();
    }
    if (collected.find('>') != std::string::npos) break;
    if (clock.MonotonicMs() - start > 10000) break;
    PollPause();
  }
  DebugTrace(" WaitOK");
  WaitMilliseconds(props_.HexDelay);
  DebugTrace(" >COM    :", collected);
  WriteToPort(hex_data + '\x1A');
  DebugTrace(" COM>    :", hex_data);
  WaitMilliseconds(props_.HexDelay);
  Timer1->Enabled(true);
}

}  // namespace quorvalen
