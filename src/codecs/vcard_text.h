// Text helpers shared by the vCard writer and reader, and the one rule
// both must apply alike: the FN of a card that has none.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvalen::vcard::internal {

inline constexpr size_t kNameParts = 5;  // family, given, additional, prefixes, suffixes
inline constexpr std::string_view kBlanks = " \t";

inline char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

inline std::string_view Trim(std::string_view text, std::string_view blanks = kBlanks) {
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Type names travel as bare parameter words, so only such words are read
// (and written): anything else could not come back the same.
inline bool IsTypeToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '_';
    if (!word) return false;
  }
  return true;
}

// Given and family name, as phones list contacts.
inline std::string NameForDisplay(const std::vector<std::string>& name) {
  std::string family = name.size() > 0 ? name[0] : std::string();
  std::string given = name.size() > 1 ? name[1] : std::string();
  return std::string(Trim(given + " " + family));
}

}  // namespace quorvalen::vcard::internal
