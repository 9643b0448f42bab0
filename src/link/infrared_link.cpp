// The infrared link: an external device component created by program
// identifier, configured like a serial port, probed with "AT" and
// "AT+CGMM", and polled for received bytes by Timer4.
#include "quorvalen/error.h"
#include "control/control_core.h"
#include "support/control_text.h"

namespace quorvalen {
namespace {

constexpr char kInfraredProgramId[] = "IrDaComm.IrDaDevice";

}  // namespace

void ControlCore::DrainInfrared(int32_t quiet_ms) {
  Clock& clock = platform_.Time();
  int64_t last = clock.MonotonicMs();
  while (clock.MonotonicMs() <= last + quiet_ms) {
    if (props_.IrDA1->InBufferCount() > 0) {
      props_.IrDA1->Input();
      last = clock.MonotonicMs();
    } else {
      PollPause();
    }
  }
}

int ControlCore::InfraredLinkProbe(int max_attempts, bool report, bool& found) {
  EventLoop& loop = platform_.Loop();
  int count = 0;
  found = false;
  while (!found && count < max_attempts) {
    loop.ProcessPendingEvents();
    WriteToPort("AT\r");
    WaitMilliseconds(100);
    std::string answer;
    for (int i = 0; i < 50; ++i) {
      if (props_.IrDA1->InBufferCount() > 0) answer += props_.IrDA1->Input();
    }
    found = answer.find("OK") != std::string::npos;
    ++count;
    loop.ProcessPendingEvents();
    if (report) RaiseAck("PORT COUNT", std::to_string(count));
  }
  return count;
}

int32_t ControlCore::OpenIrDA() {
  int32_t result = 0;
  bool created_device = false;
  try {
    std::shared_ptr<Component> created = platform_.Factory().Create(kInfraredProgramId);
    auto device = std::dynamic_pointer_cast<InfraredDevice>(created);
    if (!device) {
      throw Error(kErrTypeMismatch, "Quorvalen",
                  std::string(kInfraredProgramId) + " is not an infrared device");
    }
    props_.IrDA1 = device;
    created_device = true;
    InfraredDevice& d = *device;
    d.Settings(kIrCommService);
    d.RTSEnable(true);
    d.DTREnable(true);
    d.Handshaking(3);
    d.InputLen(0);
    d.RThreshold(0);
    d.SThreshold(0);
    d.InputMode(1);
    d.InBufferSize(2048);
    d.OutBufferSize(1024);
    d.EOFEnable(false);
    d.PortOpen(true);
    d.InBufferCount(0);
    d.OutBufferCount(0);
    d.PortOpen(true);
    DebugTrace(" Open Port IrDA");

    bool found = false;
    int count = InfraredLinkProbe(100, true, found);
    DrainInfrared(1000);
    DebugTrace(" Test IrDA Count:", count);
    if (!found) {
      result = 9000;
    } else {
      count = 0;
      std::string answer;
      WriteToPort("AT+CGMM\r");
      found = false;
      while (!found && count < 50) {
        if (d.InBufferCount() > 0) {
          answer += d.Input();
          found = answer.find("OK") != std::string::npos;
        }
        ++count;
        WaitMilliseconds(100);
      }
      DebugTrace(" Test Mobile Count:", count);
      if (!found) result = 9001;
    }
    DrainInfrared(1000);
  } catch (const Error& e) {
    result = e.number;
  }
  try {
    if (result == 0) {
      Timer4->Enabled(true);
      props_.IrDA1->InBufferCount(0);
    } else if (created_device) {
      props_.IrDA1->PortOpen(false);
    }
  } catch (const Error& e) {
    if (result == 0) result = e.number;
  }
  return result;
}

}  // namespace quorvalen
