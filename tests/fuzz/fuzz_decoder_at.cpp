// Arbitrary bytes into the control's decoder entry in AT mode, with AT
// lines and control commands queued.
#include <cstddef>
#include <cstdint>

#include "control_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quorvalen::ControlHarness h(0, 0);
  const char* commands[] = {"AT+CGMM", "AT", "SPEC>WAIT:20", "AT+CGMI,LONG", "ATZ"};
  for (int i = 0; i < 40; ++i) h.internals.PushCommand(commands[i % 5]);
  h.internals.ExecuteNextCommand();
  h.Feed(data, size, false);
  return 0;
}
