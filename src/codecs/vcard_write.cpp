// Writing a contact as a vCard 3.0: escaped text values, CR LF line ends
// and lines folded at 75 octets between UTF-8 characters.
#include <string>
#include <string_view>

#include "codecs/vcard_text.h"
#include "quorvalen/vcard.h"

namespace quorvalen::vcard {
namespace {

using internal::AsciiUpper;
using internal::IsTypeToken;
using internal::kNameParts;
using internal::NameForDisplay;

constexpr size_t kFoldOctets = 75;

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    switch (c) {
      case '\\':
      case ',':
      case ';':
        out += '\\';
        out += c;
        break;
      case '\r':
        if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        out += "\\n";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Appends one content line with its CR LF, folded so that no physical line
// passes 75 octets; a fold never falls inside a UTF-8 character (for text
// that is not UTF-8 it falls at the limit).
void AppendLine(std::string& out, std::string_view line) {
  size_t room = kFoldOctets;
  while (line.size() > room) {
    size_t cut = room;
    for (int back = 0; back < 3 && IsUtf8Continuation(line[cut]); ++back) --cut;
    if (IsUtf8Continuation(line[cut])) cut = room;
    out.append(line.substr(0, cut));
    out += "\r\n ";
    line.remove_prefix(cut);
    room = kFoldOctets - 1;  // the leading space counts
  }
  out.append(line);
  out += "\r\n";
}

}  // namespace

std::string Write(const Card& card) {
  std::string out;
  AppendLine(out, "BEGIN:VCARD");
  AppendLine(out, "VERSION:3.0");
  // 3.0 requires FN and N; an empty FN is made from N as the reader would.
  const std::string& formatted =
      card.formatted_name.empty() ? NameForDisplay(card.name) : card.formatted_name;
  AppendLine(out, "FN:" + EscapeText(formatted));
  std::string name = "N:";
  for (size_t i = 0; i < kNameParts; ++i) {
    if (i > 0) name += ';';
    if (i < card.name.size()) name += EscapeText(card.name[i]);
  }
  AppendLine(out, name);
  for (const Telephone& telephone : card.telephones) {
    if (telephone.number.empty()) continue;
    std::string line = "TEL";
    char separator = ';';
    for (const std::string& type : telephone.types) {
      if (!IsTypeToken(type)) continue;
      line += separator;
      if (separator == ';') line += "TYPE=";
      line += AsciiUpper(type);
      separator = ',';
    }
    line += ':';
    // A number is not text: nothing is escaped, but a line break would end
    // the line.
    for (char c : telephone.number) line += (c == '\r' || c == '\n') ? ' ' : c;
    AppendLine(out, line);
  }
  for (const std::string& email : card.emails) {
    if (!email.empty()) AppendLine(out, "EMAIL;TYPE=INTERNET:" + EscapeText(email));
  }
  // One component: a "; " in the text stays inside it.
  if (!card.organization.empty()) AppendLine(out, "ORG:" + EscapeText(card.organization));
  if (!card.note.empty()) AppendLine(out, "NOTE:" + EscapeText(card.note));
  AppendLine(out, "END:VCARD");
  return out;
}

}  // namespace quorvalen::vcard
