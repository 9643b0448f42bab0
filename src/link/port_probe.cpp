// Opening the serial port and making sure a phone answers on it: "AT" until
// the reply holds "OK" (with a wake-up byte sequence at attempts 30 and 60),
// then "AT+CGMM" once. Progress goes to the host as "PORT COUNT".
#include "quorvalen/byte_text.h"
#include "quorvalen/error.h"
#include "control/control_core.h"

namespace quorvalen {
namespace {

constexpr int kAttemptLimit = 100;
constexpr int64_t kPortTestLimitMs = 30000;
constexpr int32_t kQuietMs = 750;
constexpr char kWakeUpHex[] = "1101000204168011";

int16_t ToInt16(int32_t value, const char* name) {
  if (value < INT16_MIN || value > INT16_MAX) {
    throw Error(kErrOverflow, "Quorvalen",
                std::string("Overflow: ") + name + " " + std::to_string(value) +
                    " does not fit 16 bits");
  }
  return static_cast<int16_t>(value);
}

const char* TrueFalse(bool b) { return b ? "True" : "False"; }

}  // namespace

void ControlCore::DrainPort(int32_t quiet_ms) {
  Clock& clock = platform_.Time();
  int64_t last = clock.MonotonicMs();
  while (MSComm1->PortOpen() && clock.MonotonicMs() <= last + quiet_ms) {
    if (MSComm1->InBufferCount() > 0) {
      MSComm1->Input();
      last = clock.MonotonicMs();
    } else {
      PollPause();
    }
  }
}

int32_t ControlCore::OpenPort() {
  int32_t result = 0;
  Clock& clock = platform_.Time();
  EventLoop& loop = platform_.Loop();
  try {
    MSComm1->RTSEnable(props_.RTSEnable);
    MSComm1->DTREnable(props_.DTREnable);
    MSComm1->InBufferSize(ToInt16(props_.InBufferSize, "InBufferSize"));
    MSComm1->OutBufferSize(ToInt16(props_.OutBufferSize, "OutBufferSize"));
    MSComm1->CommPort(ToInt16(props_.CommPort, "CommPort"));
    MSComm1->Settings(props_.AT_Settings);
    // The probe reads the replies itself; a late "OK" must not reach the
    // AT line assembler and end the opening command from under it.
    probe_active_ = true;
    MSComm1->RThreshold(0);
    MSComm1->PortOpen(true);
    DebugTrace(" Open Port RTSEnable:", TrueFalse(props_.RTSEnable),
               " DTREnable:", TrueFalse(props_.DTREnable), " InBufferSize:", props_.InBufferSize,
               " OutBufferSize:", props_.OutBufferSize, " CommPort:", props_.CommPort,
               " AT_Settings:", props_.AT_Settings, " OBEX_Settings:", props_.OBEX_Settings);

    // Port test.
    const int64_t start = clock.MonotonicMs();
    int count = 0;
    bool found = false;
    do {
      loop.ProcessPendingEvents();
      WriteToPort("AT\r");
      WaitMilliseconds(100);
      std::string reply;
      for (int i = 0; i < 50; ++i) reply += MSComm1->Input();
      found = reply.find("OK") != std::string::npos;
      ++count;
      if (count == 30 || count == 60) {
        WaitMilliseconds(320);
        if (count == 60) MSComm1->Settings("115200,n,8,1");
        WaitMilliseconds(1000);
        WriteToPort(HexToText(kWakeUpHex));
        WaitMilliseconds(320);
        if (count == 60) MSComm1->Settings(props_.AT_Settings);
        WaitMilliseconds(1000);
      }
      loop.ProcessPendingEvents();
      if (clock.MonotonicMs() - start > kPortTestLimitMs) count = kAttemptLimit;
      RaiseAck("PORT COUNT", std::to_string(count));
    } while (!found && count != kAttemptLimit);

    if (count == kAttemptLimit) MSComm1->PortOpen(false);
    DrainPort(kQuietMs);
    DebugTrace(" Test Port Count:", count);

    if (!found) {
      result = 9000;
    } else {
      // Phone test.
      count = 0;
      std::string reply;
      WriteToPort("AT+CGMM\r");
      do {
        reply += MSComm1->Input();
        ++count;
        found = reply.find("OK") != std::string::npos;
        WaitMilliseconds(100);
      } while (!found && count != 50);
      DebugTrace(" Test Mobile Count:", count);
      if (!found) result = 9001;
    }
    DrainPort(kQuietMs);
  } catch (const Error& e) {
    result = e.number;
  }
  if (result != 0 && MSComm1->PortOpen()) {
    try {
      MSComm1->PortOpen(false);
    } catch (const Error&) {
    }
  }
  probe_active_ = false;
  if (MSComm1->PortOpen()) MSComm1->RThreshold(1);
  return result;
}

}  // namespace quorvalen
