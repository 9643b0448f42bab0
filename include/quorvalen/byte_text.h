// Byte text (one char per byte, 0 to 255) and hex text (two upper-case
// digits per byte, no separators), and the conversions between them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvalen {

// "00" .. "FF".
std::string ByteToHex(uint8_t byte);

// Tolerant reading of one hex pair: the first character is the high digit,
// the last the low digit (one character serves as both; none reads as "0").
// A character below 'A' that is not a decimal digit, or a value that does
// not fit a byte, ends the reading and the value reached so far is returned:
// "G0" gives 0x00, "4G" 0x50, "F " 0xF0, "ff" 0x00, "0f" 0x2F.
uint8_t HexToByte(std::string_view hex);

// Both run in one linear pass.
std::string TextToHex(std::string_view bytes);
// Reads pairs with HexToByte; an odd last digit reads doubled ("41424" gives
// 0x41 0x42 0x44).
std::string HexToText(std::string_view hex);

// Byte text read as Latin-1: byte N is the code point U+00NN, so every byte
// text has a UTF-8 form and comes back from it unchanged.
std::string Latin1ToUtf8(std::string_view bytes);
// The byte text of a UTF-8 text; nothing when the text is not UTF-8 or holds
// a code point above U+00FF.
std::optional<std::string> Utf8ToLatin1(std::string_view utf8);

}  // namespace quorvalen
