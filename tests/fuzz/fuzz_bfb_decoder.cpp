// Arbitrary bytes into the control's BFB frame decoder, with OBEX requests
// waiting for their answers behind it.
#include <cstddef>
#include <cstdint>

#include "control_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quorvalen::ControlHarness h(3, 1);
  const char* commands[] = {"OBEX>GET:a.txt", "OBEX>PUX:b.bin", "OBEX>DIR:"};
  for (int i = 0; i < 30; ++i) h.internals.PushCommand(commands[i % 3]);
  h.internals.ExecuteNextCommand();
  h.Feed(data, size, true);
  return 0;
}
