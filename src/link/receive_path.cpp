// The byte path between control and phone: writing to whichever link
// ComType selects, taking bytes from the serial port when it announces
// them, and routing every received chunk to a wait, the BFB decoder or the
// decoder entry.
#include "quorvalen/error.h"
#include "control/control_core.h"

namespace quorvalen {

void ControlCore::WriteToPort(std::string_view text) {
  if (props_.ComType == 0 || props_.ComType == 2) {
    MSComm1->Output(text);
  } else if (props_.ComType == 1) {
    if (!props_.IrDA1) {
      throw Error(kCheckInitError, "Quorvalen", "No infrared device to write to");
    }
    props_.IrDA1->Output(text);
  }
}

void ControlCore::HandlePortEvent() {
  // The notification stays off while it is handled: code reached from here
  // may let pending events run.
  MSComm1->RThreshold(0);
  try {
    if (MSComm1->CommEvent() == SerialPort::kEventReceive) {
      std::string data = MSComm1->Input();
      if (props_.StackCount != 0 && !data.empty()) ProcessReceived(data);
    }
  } catch (const Error& e) {
    // The port went away under the handler (closed from inside it).
    DebugTrace(" >COM    :PORT ERROR ", e.number);
  }
  // While the opening probe runs it alone reads the phone's replies.
  if (!probe_active_) MSComm1->RThreshold(1);
}

void ControlCore::ProcessReceived(const std::string& data) {
  if (Timer3->Enabled()) {
    CollectedAnswer += data;
    return;
  }
  if (BfbFramingInForce()) {
    for (char c : data) DecodeBfbFrame(c);
    return;
  }
  for (char c : data) OBEX_Decoder(std::string(1, c));
}

}  // namespace quorvalen
