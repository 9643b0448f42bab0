// Conversions between byte text and hex text, on every byte sent and
// received, so they run in one pass over a presized result.
#include "quorvalen/byte_text.h"

#include <array>

namespace quorvalen {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

// Value of an upper-case hex digit, or -1 for anything else (which then
// takes the tolerant path).
constexpr std::array<int8_t, 256> MakeFastDigits() {
  std::array<int8_t, 256> table{};
  for (int i = 0; i < 256; ++i) table[i] = -1;
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<int8_t>(i);
  for (int i = 0; i < 6; ++i) table['A' + i] = static_cast<int8_t>(10 + i);
  return table;
}
constexpr std::array<int8_t, 256> kFastDigits = MakeFastDigits();

}  // namespace

std::string ByteToHex(uint8_t byte) { return {kDigits[byte >> 4], kDigits[byte & 15]}; }

uint8_t HexToByte(std::string_view hex) {
  unsigned char high = hex.empty() ? '0' : static_cast<unsigned char>(hex.front());
  unsigned char low = hex.empty() ? '0' : static_cast<unsigned char>(hex.back());
  // A character below 'A' is a decimal digit or unreadable; from 'A' on its
  // value is its code minus 55, whatever the character.
  auto value = [](unsigned char c) -> int {
    if (c < 'A') return (c >= '0' && c <= '9') ? c - '0' : -1;
    return c - 55;
  };
  int r = 0;
  int h = value(high);
  if (h < 0 || h * 16 > 255) return 0;
  r = h * 16;
  int l = value(low);
  if (l < 0 || r + l > 255) return static_cast<uint8_t>(r);
  return static_cast<uint8_t>(r + l);
}

std::string TextToHex(std::string_view bytes) {
  std::string out(bytes.size() * 2, '\0');
  char* p = out.data();
  for (unsigned char b : bytes) {
    *p++ = kDigits[b >> 4];
    *p++ = kDigits[b & 15];
  }
  return out;
}

std::string HexToText(std::string_view hex) {
  std::string out((hex.size() + 1) / 2, '\0');
  char* p = out.data();
  size_t i = 0;
  for (; i + 1 < hex.size(); i += 2) {
    int h = kFastDigits[static_cast<unsigned char>(hex[i])];
    int l = kFastDigits[static_cast<unsigned char>(hex[i + 1])];
    *p++ = (h | l) >= 0 ? static_cast<char>(h * 16 + l)
                        : static_cast<char>(HexToByte(hex.substr(i, 2)));
  }
  if (i < hex.size()) *p = static_cast<char>(HexToByte(hex.substr(i, 1)));
  return out;
}

}  // namespace quorvalen
