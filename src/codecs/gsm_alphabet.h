// Character-level helpers shared by the message codec's files: the septet
// codes of single characters, and UTF-8 (utf8.h) under the names they use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codecs/utf8.h"

namespace quorvalen::sms::internal {

using utf8::AppendUtf8;
using utf8::kReplacement;
using utf8::NextCodePoint;
inline constexpr uint8_t kEscape = 0x1B;

// The septet of a character in the default alphabet (0-127), or
// 0x1B00 | code for one of the extension table, or -1 when it has none.
int SeptetCodeOf(char32_t code_point);

}  // namespace quorvalen::sms::internal
