// Control commands ("SPEC>..."): the executor carries them out itself. They
// change line settings, open and close the link, wait, write raw bytes,
// switch the trace, and re-establish the infrared link. Each sub-command is
// recognised by the name that follows "SPEC>", so a SEND payload can never
// trigger another action.
#include <climits>

#include "quorvalen/byte_text.h"
#include "quorvalen/error.h"
#include "control/control_core.h"
#include "support/control_text.h"

namespace quorvalen {
namespace {

bool NameIs(std::string_view name, std::string_view wanted) {
  return name.substr(0, wanted.size()) == wanted;
}

}  // namespace

void ControlCore::RunSpecCommand(const std::string& command) {
  const std::string_view name = std::string_view(command).substr(5);
  auto settle = [this]() {
    EventLoop& loop = platform_.Loop();
    loop.ProcessPendingEvents();
    loop.ProcessPendingEvents();
    WaitMilliseconds(300);
    loop.ProcessPendingEvents();
    loop.ProcessPendingEvents();
  };
  auto answer_and_pop = [this, &command](const std::string& answer) {
    RaiseAck(command, answer);
    PopCommand();
  };
  // A timed wait ends when Timer3 fires; 0 or less ends at once, as a wait
  // in which nothing arrived.
  auto arm_wait = [this](int32_t ms) {
    Timer3->Enabled(false);
    Timer3->Interval(ms > 0 ? ms : 1);
    Timer3->Enabled(true);
  };

  if (NameIs(name, "SET_56000") || NameIs(name, "SET_115200")) {
    try {
      MSComm1->Settings(NameIs(name, "SET_56000") ? "56000,n,8,1" : "115200,n,8,1");
    } catch (const Error& e) {
      answer_and_pop("ERROR " + std::to_string(e.number));
      return;
    }
    settle();
    answer_and_pop("OK");
  } else if (NameIs(name, "SET_OBEX") || NameIs(name, "SET_AT")) {
    const bool obex = NameIs(name, "SET_OBEX");
    try {
      if (props_.ComType == 1) {
        if (!props_.IrDA1) {
          answer_and_pop("ERROR " + std::to_string(kCheckInitError));
          return;
        }
        props_.IrDA1->PortOpen(false);
        props_.IrDA1->Settings(obex ? kIrObexService : kIrCommService);
        CheckInit();
        props_.IrDA1->PortOpen(true);
      } else if (props_.ComType == 0 || props_.ComType == 2) {
        MSComm1->Settings(obex ? props_.OBEX_Settings : props_.AT_Settings);
      }
    } catch (const Error& e) {
      answer_and_pop("ERROR " + std::to_string(e.number));
      return;
    }
    settle();
    answer_and_pop("OK");
  } else if (NameIs(name, "WAIT:")) {
    arm_wait(LeadingNumber(name.substr(5)));
  } else if (NameIs(name, "SEND:")) {
    std::string head = command;
    const size_t wait_at = head.find(",WAIT:");
    const bool waits = wait_at != std::string::npos;
    int32_t wait_ms = 0;
    if (waits) {
      wait_ms = LeadingNumber(std::string_view(head).substr(wait_at + 6));
      head.erase(wait_at);
      CommandStack.Set(0, head);
    }
    // Written before the wait is armed: a refused write ends the command
    // without leaving a wait behind.
    WriteToPort(std::string_view(head).substr(10));
    if (waits) {
      arm_wait(wait_ms);
    } else {
      PopCommand();
    }
  } else if (NameIs(name, "OPEN")) {
    int32_t result = 0;
    if (PortOpened) {
      result = kErrPortInvalidWhileOpen;
    } else if (props_.ComType == 0 || props_.ComType == 2) {
      result = OpenPort();
    } else if (props_.ComType == 1) {
      result = OpenIrDA();
    } else {
      result = 9003;
    }
    if (result == 0) {
      PortOpened = true;
      RaiseAck(command, "OK");
      props_.AT_DataRead = "OK";
      DebugTrace(" OPEN Port");
    } else {
      std::string answer = "ERROR " + std::to_string(result);
      RaiseAck(command, answer);
      props_.AT_DataRead = answer;
    }
    PopCommand();
  } else if (NameIs(name, "CLOSE")) {
    int32_t result = 0;
    if (!PortOpened) {
      result = kErrPortNotOpen;
    } else {
      try {
        if (props_.ComType == 1) {
          if (!props_.IrDA1) throw Error(kCheckInitError, "Quorvalen", "No infrared device");
          props_.IrDA1->PortOpen(false);
        } else if (props_.ComType == 0 || props_.ComType == 2) {
          MSComm1->PortOpen(false);
        } else {
          result = 9003;
        }
      } catch (const Error& e) {
        result = e.number;
      }
    }
    if (result == 0) {
      PortOpened = false;
      RaiseAck(command, "OK");
      DebugTrace(" CLOSE Port");
      Timer4->Enabled(false);
    } else {
      RaiseAck(command, "ERROR " + std::to_string(result));
    }
    PopCommand();
  } else if (NameIs(name, "DEBUG_ON")) {
    answer_and_pop(!DebugOn && OpenTrace() ? "OK" : "ERROR");
  } else if (NameIs(name, "DEBUG_OFF")) {
    const bool was_on = DebugOn;
    if (was_on) CloseTrace();
    answer_and_pop(was_on ? "OK" : "ERROR");
  } else if (NameIs(name, "RECONNECT")) {
    if (props_.ComType != 1) {
      answer_and_pop("ERROR");
      return;
    }
    if (!props_.IrDA1) {
      answer_and_pop("ERROR " + std::to_string(kCheckInitError));
      return;
    }
    // The probe reads the phone's replies itself: a late "OK" must not reach
    // the AT line assembler through the poll and end the reconnect (and then
    // the command after it) from under it.
    probe_active_ = true;
    try {
      props_.IrDA1->PortOpen(false);
      DebugTrace(" IrDA Close");
      WaitMilliseconds(1000);
      props_.IrDA1->PortOpen(true);
      DebugTrace(" IrDA Open");
      bool found = false;
      InfraredLinkProbe(100, false, found);
      DrainInfrared(1000);
    } catch (const Error&) {
      // The reconnect ends silently whatever the link did.
    }
    probe_active_ = false;
    PopCommand();
  } else {
    // A control command nobody knows: end it so the queue moves on.
    answer_and_pop("ERROR");
  }
}

}  // namespace quorvalen
