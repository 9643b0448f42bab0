// Arbitrary bytes into the simulated phone's BFB receiver.
#include <cstddef>
#include <cstdint>

#include "null_line.h"
#include "quorvalen/sim/file_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvalen::sim;
  static SampleStore store;
  NullLine line;
  PhoneOptions options;
  options.family = 2;
  SimulatedPhone phone(line, store, options);
  phone.Receive("AT^SBFB=1\r", 19200);
  phone.Receive(std::string_view(reinterpret_cast<const char*>(data), size), 57600);
  return 0;
}
