// Conversions between byte text and hex text. They run on every byte sent
// and received and on whole files, so both directions work in one pass over
// a presized result, sixteen bytes at a time where the processor has SSE2.
#include "quorvalen/byte_text.h"

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// Sixteen bytes to 32 hex digits.
inline void HexOf16(const char* in, char* out) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble);
  const __m128i low = _mm_and_si128(bytes, nibble);
  auto digits = [](__m128i v) {
    // '0' + v, and 7 more for the letters A to F.
    __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(9)), _mm_set1_epi8(7));
    return _mm_add_epi8(_mm_add_epi8(v, _mm_set1_epi8('0')), letters);
  };
  const __m128i h = digits(high);
  const __m128i l = digits(low);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(h, l));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(h, l));
}

// Sixteen upper-case hex digits to eight bytes; false (nothing written) when
// any of them is not such a digit.
inline bool BytesOf16(const char* in, char* out) {
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i is_digit = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)),
                                         _mm_cmplt_epi8(c, _mm_set1_epi8('9' + 1)));
  const __m128i is_letter = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('A' - 1)),
                                          _mm_cmplt_epi8(c, _mm_set1_epi8('F' + 1)));
  if (_mm_movemask_epi8(_mm_or_si128(is_digit, is_letter)) != 0xFFFF) return false;
  // Value: c - '0', and 7 less for letters.
  __m128i v = _mm_sub_epi8(c, _mm_set1_epi8('0'));
  v = _mm_sub_epi8(v, _mm_and_si128(is_letter, _mm_set1_epi8(7)));
  // Each 16-bit lane holds the high digit in its low byte: high * 16 + low.
  const __m128i lanes = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v, _mm_set1_epi16(0x00FF)), 4),
                                     _mm_srli_epi16(v, 8));
  const __m128i packed = _mm_packus_epi16(lanes, lanes);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
  return true;
}
#endif

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
  int h = value(high);
  if (h < 0 || h * 16 > 255) return 0;
  int r = h * 16;
  int l = value(low);
  if (l < 0 || r + l > 255) return static_cast<uint8_t>(r);
  return static_cast<uint8_t>(r + l);
}

std::string TextToHex(std::string_view bytes) {
  std::string out(bytes.size() * 2, '\0');
  char* p = out.data();
  size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= bytes.size(); i += 16, p += 32) HexOf16(bytes.data() + i, p);
#endif
  for (; i < bytes.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    *p++ = kDigits[b >> 4];
    *p++ = kDigits[b & 15];
  }
  return out;
}

std::string HexToText(std::string_view hex) {
  std::string out((hex.size() + 1) / 2, '\0');
  char* p = out.data();
  size_t i = 0;
#if defined(__SSE2__)
  while (i + 16 <= hex.size() && BytesOf16(hex.data() + i, p)) {
    i += 16;
    p += 8;
  }
#endif
  for (; i + 1 < hex.size(); i += 2) {
    int h = kFastDigits[static_cast<unsigned char>(hex[i])];
    int l = kFastDigits[static_cast<unsigned char>(hex[i + 1])];
    *p++ = (h | l) >= 0 ? static_cast<char>(h * 16 + l)
                        : static_cast<char>(HexToByte(hex.substr(i, 2)));
#if defined(__SSE2__)
    // Back to the wide path once the odd stretch is behind.
    while (i + 2 + 16 <= hex.size() && BytesOf16(hex.data() + i + 2, p)) {
      i += 16;
      p += 8;
    }
#endif
  }
  if (i < hex.size()) *p = static_cast<char>(HexToByte(hex.substr(i, 1)));
  return out;
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes) {
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

std::optional<std::string> Utf8ToLatin1(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size() &&
               (static_cast<unsigned char>(utf8[i + 1]) & 0xC0) == 0x80) {
      out += static_cast<char>(((c & 0x1F) << 6) | (utf8[++i] & 0x3F));
    } else {
      return std::nullopt;
    }
  }
  return out;
}

}  // namespace quorvalen
