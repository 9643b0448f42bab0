// The AT line assembler: rebuilds the phone's answer lines from single
// characters, drops the echo of the command, reports every other line, and
// ends the command on the final "OK" or "ERROR". Every character restarts
// the answer time-out, so an answer that keeps coming never times out.
#include "control/control_core.h"

namespace quorvalen {

void ControlCore::AtLineCharacter(char c) {
  if (Timer2->Enabled()) {
    Timer2->Enabled(false);
    Timer2->Enabled(true);
  }
  if (CurrentResponse.empty()) AnswerCommand = CommandStack[0];
  if (c != '\r' && c != '\n') CurrentResponse += c;
  if (c == '\n' && PreviousChar == "\r" && !CurrentResponse.empty()) {
    if (CurrentResponse == AnswerCommand) {
      CurrentResponse.clear();  // the phone's echo of the command
    } else {
      std::string line = std::move(CurrentResponse);
      CurrentResponse.clear();
      DebugTrace(" >COM    :", line);
      if (line == "OK" || line == "ERROR" || line == "K") {
        RaiseAck(AnswerCommand, line == "ERROR" ? "ERROR" : "OK");
        Timer2->Interval(props_.TimeOut);
        PopCommand();
      }
      if (ExecutorBusy) {
        props_.AT_DataRead += line;
        props_.AT_DataRead += "\r\n";
        RaiseAck(AnswerCommand, line);
      }
    }
  }
  PreviousChar.assign(1, c);
}

}  // namespace quorvalen
