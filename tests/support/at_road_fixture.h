// A control on the virtual platform with a scripted phone on COM1.
#pragma once

#include <string>

#include "support/control_fixture.h"
#include "support/scripted_peer.h"

namespace quorvalen {

class AtRoadTest : public ControlTest {
 protected:
  // The phone's side of a successful opening probe: "OK" to the first "AT",
  // the model and "OK" to "AT+CGMM".
  void ScriptProbe(const std::string& model = "QV-100") {
    phone.ExpectLine("AT").Reply("AT\r\r\nOK\r\n", 20);
    phone.ExpectLine("AT+CGMM").Reply("AT+CGMM\r\r\n" + model + "\r\n\r\nOK\r\n", 20);
  }
  // Opens the port through "SPEC>OPEN" and forgets the events it raised.
  void Open() {
    ScriptProbe();
    control.Command("SPEC>OPEN");
    ASSERT_TRUE(RunUntilAck("SPEC>OPEN", "OK", 10000));
    RunFor(1);
    acks.clear();
  }
  bool RunUntilAck(const std::string& command, const std::string& answer, int64_t timeout_ms) {
    return platform.Loop().RunUntil(
        [&] {
          for (const auto& a : acks) {
            if (a.first == command && a.second == answer) return true;
          }
          return false;
        },
        timeout_ms);
  }
  bool RunUntilIdle(int64_t timeout_ms) {
    return platform.Loop().RunUntil(
        [&] { return internals.RawStackCount() == 0 && !internals.ExecutorBusy(); }, timeout_ms);
  }
  void RunFor(int64_t ms) { platform.Loop().RunFor(ms); }
  int64_t Now() { return platform.Loop().NowMs(); }

  VirtualSerialLine& line = platform.AddLine(1);
  ScriptedPeer phone{line, platform.Loop()};
};

}  // namespace quorvalen
