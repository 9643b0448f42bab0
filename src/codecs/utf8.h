// UTF-8 one code point at a time, for the codecs that turn other encodings
// into it (the GSM alphabets, UCS-2, a vCard's charsets).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvalen::utf8 {

inline constexpr char32_t kReplacement = 0xFFFD;

// The code point starting at text[*at] (which must be inside the text),
// advancing *at past it. Malformed UTF-8 (overlong forms, surrogates, values
// above U+10FFFF, a sequence cut short) reads as U+FFFD, consuming the
// longest prefix that could have begun a valid sequence, at least one byte.
inline char32_t NextCodePoint(std::string_view text, size_t* at) {
  const auto lead = static_cast<uint8_t>(text[(*at)++]);
  if (lead < 0x80) return lead;
  int follow;
  char32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    follow = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    follow = 2;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    follow = 3;
    value = lead & 0x07;
  } else {
    return kReplacement;
  }
  for (int i = 0; i < follow; ++i) {
    if (*at >= text.size()) return kReplacement;
    const auto byte = static_cast<uint8_t>(text[*at]);
    // The second byte also rules out overlong forms, surrogates and values
    // above U+10FFFF.
    uint8_t low = 0x80, high = 0xBF;
    if (i == 0) {
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    if (byte < low || byte > high) return kReplacement;
    value = (value << 6) | (byte & 0x3F);
    ++*at;
  }
  return value;
}

inline void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

}  // namespace quorvalen::utf8
