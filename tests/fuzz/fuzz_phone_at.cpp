// Arbitrary bytes into the simulated phone's AT interpreter (and whatever
// mode the bytes switch it to), at speeds it takes and speeds it does not.
#include <cstddef>
#include <cstdint>

#include "null_line.h"
#include "quorvalen/sim/file_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvalen::sim;
  if (size == 0) return 0;
  static SampleStore store;
  NullLine line;
  PhoneOptions options;
  options.family = data[0] % 3;
  SimulatedPhone phone(line, store, options);
  const int speeds[] = {19200, 56000, 57600, 115200, 9600, 0};
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  // Cut the input into chunks, each at a speed chosen by its first byte.
  while (!rest.empty()) {
    size_t n = std::min<size_t>(rest.size(), 1 + static_cast<uint8_t>(rest[0]) % 64);
    phone.Receive(rest.substr(0, n), speeds[static_cast<uint8_t>(rest[0]) % 6]);
    rest.remove_prefix(n);
  }
  return 0;
}
