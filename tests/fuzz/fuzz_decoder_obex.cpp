// Arbitrary bytes into the control's decoder entry in OBEX mode, with OBEX
// requests of every kind queued (multi-packet PUT and GET included).
#include <cstddef>
#include <cstdint>

#include "control_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quorvalen::ControlHarness h(3, 0);
  if (size > 0 && data[0] & 1) h.control.OBEX_BlockLen(0);
  const char* commands[] = {"OBEX>GET:a.txt", "OBEX>PUX:b.bin", "OBEX>DIR:", "OBEX>CD :x",
                            "OBEX>MEM:01",    "OBEX>CON:49524D432D53594E43"};
  for (int i = 0; i < 40; ++i) h.internals.PushCommand(commands[i % 6]);
  h.internals.ExecuteNextCommand();
  h.Feed(data, size, false);
  return 0;
}
