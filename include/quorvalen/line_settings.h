// The serial line settings text, "baud,parity,databits,stopbits" (for example
// "19200,n,8,1"), parsed once for every port implementation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvalen {

struct LineSettings {
  int baud = 19200;
  char parity = 'n';    // n, e, o, m or s
  int data_bits = 8;    // 4 to 8
  int stop_halves = 2;  // stop bits in halves: 2, 3 (1.5) or 4

  // Bits on the wire per byte, in halves: start bit, data, parity, stop.
  int BitHalvesPerByte() const {
    return 2 * (1 + data_bits + (parity == 'n' ? 0 : 1)) + stop_halves;
  }
  // Time one byte takes on the line, in nanoseconds.
  int64_t ByteTimeNs() const {
    return static_cast<int64_t>(BitHalvesPerByte()) * 500'000'000LL / baud;
  }
  std::string Text() const;
};

// Accepts what a serial control accepts: a positive rate, a parity letter in
// either case, 4 to 8 data bits and 1, 1.5 or 2 stop bits. Blanks around the
// fields are allowed. Anything else gives nothing.
std::optional<LineSettings> ParseLineSettings(std::string_view text);

}  // namespace quorvalen
