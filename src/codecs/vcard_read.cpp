// Reading the vCards of a text, of versions 2.1, 3.0 and 4.0, as phones and
// address books write them.
//
// It goes through the lines once: physical lines are joined into content
// lines (folds, quoted-printable soft breaks), a card's content lines are
// collected up to its END and only then interpreted, since the escaping
// rules depend on a VERSION that may come late. Everything it returns is
// UTF-8 in the form Write produces, so a card read, written and read again
// stays the same.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codecs/utf8.h"
#include "codecs/vcard_text.h"
#include "quorvalen/byte_text.h"
#include "quorvalen/vcard.h"

namespace quorvalen::vcard {
namespace {

using internal::AsciiUpper;
using internal::IsTypeToken;
using internal::kBlanks;
using internal::kNameParts;
using internal::NameForDisplay;
using internal::Trim;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// 4.0 folds and escapes as 3.0 does; a card without VERSION reads as 3.0.
enum class Version { k21, k30 };

// The physical lines of the text, without their LF or CR LF, numbered from 1.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) : text_(text) {}

  std::optional<std::string_view> Peek() {
    if (position_ >= text_.size()) return std::nullopt;
    if (next_position_ <= position_) {
      size_t end = text_.find('\n', position_);
      next_position_ = end == std::string_view::npos ? text_.size() : end + 1;
    }
    std::string_view line = text_.substr(position_, next_position_ - position_);
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  }
  // Moves past the line Peek returns.
  void Skip() {
    Peek();
    position_ = next_position_;
    ++number_;
  }
  std::optional<std::string_view> Next() {
    std::optional<std::string_view> line = Peek();
    if (line) Skip();
    return line;
  }
  // The number of the line Next last returned.
  size_t number() const { return number_; }

 private:
  std::string_view text_;
  size_t position_ = 0;
  size_t next_position_ = 0;
  size_t number_ = 0;
};

struct Parameter {
  std::string name;  // upper-case; empty for 2.1's bare words (TEL;CELL:)
  std::string value;
};

struct Property {
  std::string name;  // upper-case, without its group
  std::vector<Parameter> parameters;
  std::string text;  // the whole content line
  size_t value_start = 0;
  size_t line = 0;
  bool has_colon = false;

  std::string_view value() const { return std::string_view(text).substr(value_start); }
};

bool StartsFold(std::string_view line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

bool IsCardLine(std::string_view line, std::string_view what) {
  return EqualsIgnoringCase(Trim(line), what);
}

// The colon that ends a line's name and parameters, skipping colons inside
// quoted parameter values; fed the line again as unfolding makes it grow.
class HeaderEnd {
 public:
  void Scan(std::string_view text) {
    for (; colon_ == std::string_view::npos && position_ < text.size(); ++position_) {
      if (text[position_] == '"') {
        quoted_ = !quoted_;
      } else if (text[position_] == ':' && !quoted_) {
        colon_ = position_;
      }
    }
  }
  size_t colon() const { return colon_; }

 private:
  size_t position_ = 0;
  size_t colon_ = std::string_view::npos;
  bool quoted_ = false;
};

std::string_view Unquote(std::string_view value) {
  value = Trim(value);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  return value;
}

void ParseHeader(std::string_view header, Property& property) {
  bool quoted = false;
  size_t start = 0;
  bool first = true;
  for (size_t i = 0; i <= header.size(); ++i) {
    if (i < header.size()) {
      if (header[i] == '"') quoted = !quoted;
      if (header[i] != ';' || quoted) continue;
    }
    std::string_view piece = Trim(header.substr(start, i - start));
    start = i + 1;
    if (first) {
      first = false;
      size_t dot = piece.rfind('.');  // "item1.TEL": the group is of no use here
      if (dot != std::string_view::npos) piece.remove_prefix(dot + 1);
      property.name = AsciiUpper(Trim(piece));
      continue;
    }
    if (piece.empty()) continue;
    size_t equals = piece.find('=');
    if (equals == std::string_view::npos) {
      property.parameters.push_back({std::string(), std::string(piece)});
    } else {
      property.parameters.push_back(
          {AsciiUpper(Trim(piece.substr(0, equals))), std::string(Trim(piece.substr(equals + 1)))});
    }
  }
}

// ENCODING=value, or 2.1's bare word (TEL;QUOTED-PRINTABLE:).
bool HasEncoding(const std::vector<Parameter>& parameters, std::string_view encoding) {
  for (const Parameter& parameter : parameters) {
    if ((parameter.name.empty() || parameter.name == "ENCODING") &&
        EqualsIgnoringCase(Unquote(parameter.value), encoding)) {
      return true;
    }
  }
  return false;
}

bool IsBase64(const std::vector<Parameter>& parameters) {
  return HasEncoding(parameters, "BASE64") || HasEncoding(parameters, "B");
}

// One content line from its first physical line and those joined to it: a
// line starting with a space or tab continues the one before (3.0 and 4.0
// drop that blank, 2.1 folds only at blanks and keeps it), and in a
// quoted-printable value a line ending in '=' continues on the next one
// whatever it starts with.
Property ReadProperty(std::string_view first, LineCursor& lines, Version version) {
  Property property;
  property.line = lines.number();
  std::string text(first);
  HeaderEnd header;
  bool quoted_printable = false;
  size_t segment = 0;  // where the last joined physical line starts
  for (;;) {
    if (!property.has_colon) {
      header.Scan(text);
      if (header.colon() != std::string_view::npos) {
        property.has_colon = true;
        ParseHeader(std::string_view(text).substr(0, header.colon()), property);
        quoted_printable = HasEncoding(property.parameters, "QUOTED-PRINTABLE");
      }
    }
    std::optional<std::string_view> next = lines.Peek();
    if (!next) break;
    if (quoted_printable) {
      // Only the last joined line is looked at: a long run of blanks must
      // not be scanned again for every line.
      size_t start = std::max(segment, header.colon() + 1);
      size_t end = std::string_view(text).substr(start).find_last_not_of(kBlanks);
      bool soft_break = end != std::string_view::npos && text[start + end] == '=';
      if (soft_break && !IsCardLine(*next, "END:VCARD")) {
        text.resize(start + end);
        segment = text.size();
        text.append(*next);
        lines.Skip();
        continue;
      }
    }
    if (!StartsFold(*next)) break;
    segment = text.size();
    text.append(version == Version::k21 ? *next : next->substr(1));
    lines.Skip();
  }
  if (!property.has_colon) {
    // A quote left open: fall back to the first colon.
    size_t colon = text.find(':');
    if (colon == std::string::npos) return property;
    property.has_colon = true;
    ParseHeader(std::string_view(text).substr(0, colon), property);
    property.value_start = colon + 1;
    property.text = std::move(text);
    return property;
  }
  property.value_start = header.colon() + 1;
  property.text = std::move(text);
  return property;
}

// 2.1 base64 values run on over lines of their own, up to a blank line.
void SkipBase64Lines(LineCursor& lines) {
  while (std::optional<std::string_view> next = lines.Peek()) {
    if (Trim(*next).empty()) {
      lines.Skip();
      return;
    }
    if (next->find(':') != std::string_view::npos) return;
    lines.Skip();
  }
}

enum class Charset { kUnstated, kUtf8, kLatin1, kWindows1252, kUnknown };

// How a value is to be decoded, and the telephone types, from the
// parameters.
struct ValueForm {
  bool quoted_printable = false;
  bool base64 = false;
  bool uri = false;
  Charset charset = Charset::kUnstated;
  std::string charset_name;
  std::vector<std::string> types;
  std::set<std::string> seen_types;

  void AddTypes(std::string_view list) {
    size_t start = 0;
    for (size_t i = 0; i <= list.size(); ++i) {
      if (i < list.size() && list[i] != ',') continue;
      std::string_view piece = Trim(list.substr(start, i - start));
      start = i + 1;
      if (!IsTypeToken(piece)) continue;
      std::string type(piece);
      for (char& c : type) c = AsciiLower(c);
      if (seen_types.insert(type).second) types.push_back(std::move(type));
    }
  }
};

Charset CharsetNamed(std::string_view name) {
  std::string upper = AsciiUpper(name);
  if (upper == "UTF-8" || upper == "UTF8") return Charset::kUtf8;
  // Declared ASCII is often Latin-1 or UTF-8 in fact: read as if undeclared.
  if (upper == "US-ASCII" || upper == "ASCII") return Charset::kUnstated;
  if (upper == "ISO-8859-1" || upper == "ISO8859-1" || upper == "ISO_8859-1" || upper == "LATIN1") {
    return Charset::kLatin1;
  }
  if (upper == "WINDOWS-1252" || upper == "CP1252") return Charset::kWindows1252;
  return Charset::kUnknown;
}

ValueForm FormOf(const std::vector<Parameter>& parameters) {
  ValueForm form;
  form.quoted_printable = HasEncoding(parameters, "QUOTED-PRINTABLE");
  form.base64 = IsBase64(parameters);
  for (const Parameter& parameter : parameters) {
    std::string_view value = Unquote(parameter.value);
    const std::string& name = parameter.name;
    if (name.empty()) {
      // 2.1's bare words are types, but for the encodings.
      bool encoding = false;
      for (std::string_view word : {"QUOTED-PRINTABLE", "BASE64", "B", "7BIT", "8BIT"}) {
        encoding = encoding || EqualsIgnoringCase(value, word);
      }
      if (!encoding) form.AddTypes(value);
    } else if (name == "TYPE") {
      std::string list(parameter.value);
      std::erase(list, '"');  // TYPE="cell,voice" and TYPE="cell","voice"
      form.AddTypes(list);
    } else if (name == "CHARSET") {
      form.charset = CharsetNamed(value);
      // For the problem text, which must stay readable.
      form.charset_name = value.substr(0, 40);
      for (char& c : form.charset_name) {
        if (c < ' ' || c > '~') c = '?';
      }
    } else if (name == "VALUE") {
      form.uri = EqualsIgnoringCase(value, "uri");
    } else if (name == "PREF" && value == "1") {
      form.AddTypes("pref");  // 4.0 ranks instead of TYPE=pref
    }
  }
  return form;
}

// Decoding of values.

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Soft breaks are gone by now; an '=' that starts no hex pair stays, except
// a last one, which is a soft break with nothing after it. In place: the
// text only shrinks.
void DecodeQuotedPrintable(std::string& text) {
  size_t out = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      text[out++] = text[i];
    } else if (i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      text[out++] = static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else if (i + 1 < text.size()) {
      text[out++] = '=';
    }
  }
  text.resize(out);
}

using utf8::AppendUtf8;

size_t Utf8LengthAt(std::string_view text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint32_t code_point = 0;
  uint32_t least = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    code_point = lead & 0x1F;
    least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    code_point = lead & 0x0F;
    least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    code_point = lead & 0x07;
    least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code_point = code_point << 6 | (byte(i + k) & 0x3F);
  }
  if (code_point < least || code_point > 0x10FFFF ||
      (code_point >= 0xD800 && code_point < 0xE000)) {
    return 0;
  }
  return length;
}

bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t length = Utf8LengthAt(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string ReplaceMalformedUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t length = Utf8LengthAt(text, i);
    if (length == 0) {
      AppendUtf8(out, 0xFFFD);
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string Windows1252ToUtf8(std::string_view bytes) {
  // 0x80 to 0x9F; the five unassigned ones keep their Latin-1 code points.
  static constexpr std::array<uint16_t, 32> kHigh = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    AppendUtf8(out, byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte);
  }
  return out;
}

// Undeclared text that is not UTF-8 is taken for what older phones write
// instead: Windows-1252 (which Latin-1 text reads the same as, mostly).
std::string ToUtf8(std::string bytes, Charset charset) {
  switch (charset) {
    case Charset::kLatin1:
      return Latin1ToUtf8(bytes);
    case Charset::kWindows1252:
      return Windows1252ToUtf8(bytes);
    case Charset::kUtf8:
      if (IsUtf8(bytes)) return bytes;
      return ReplaceMalformedUtf8(bytes);
    case Charset::kUnstated:
    case Charset::kUnknown:
      break;
  }
  if (IsUtf8(bytes)) return bytes;
  return Windows1252ToUtf8(bytes);
}

// 3.0 and 4.0 escape \\ , ; and line breaks; 2.1 only a ';' inside a
// component. Anything else after a backslash stays as it is. In place: the
// text only shrinks.
void Unescape(std::string& text, Version version) {
  size_t out = text.find('\\');
  if (out == std::string::npos) return;
  for (size_t i = out; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\' || i + 1 == text.size()) {
      text[out++] = c;
      continue;
    }
    char next = text[i + 1];
    if (next == ';' || (version != Version::k21 && (next == ',' || next == '\\'))) {
      text[out++] = next;
      ++i;
    } else if (version != Version::k21 && (next == 'n' || next == 'N')) {
      text[out++] = '\n';
      ++i;
    } else {
      text[out++] = c;
    }
  }
  text.resize(out);
}

// Components split at the ';' that are not escaped.
std::vector<std::string_view> SplitComponents(std::string_view text, Version version) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (version != Version::k21 || text[i + 1] == ';')) {
      ++i;
    } else if (text[i] == ';') {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(text.substr(start));
  return parts;
}

// The bytes of a value (escapes already undone) to UTF-8, line breaks as
// LF.
std::string DecodeBytes(std::string bytes, const ValueForm& form) {
  if (form.quoted_printable) DecodeQuotedPrintable(bytes);
  std::string text = ToUtf8(std::move(bytes), form.charset);
  size_t out = text.find('\r');
  if (out == std::string::npos) return text;
  for (size_t i = out; i < text.size(); ++i) {
    if (text[i] != '\r') {
      text[out++] = text[i];
    } else {
      text[out++] = '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    }
  }
  text.resize(out);
  return text;
}

std::string DecodeText(std::string_view raw, const ValueForm& form, Version version) {
  std::string text(raw);
  Unescape(text, version);
  return DecodeBytes(std::move(text), form);
}

// A number as the phone dials it: a tel: URI gives the part before its
// parameters (";ext=..."); line breaks could not be written back.
std::string DecodeNumber(std::string_view raw, const ValueForm& form) {
  std::string decoded = DecodeBytes(std::string(raw), form);
  for (char& c : decoded) {
    if (c == '\n') c = ' ';
  }
  std::string_view number = Trim(decoded);
  if (form.uri || StartsWithIgnoringCase(number, "tel:")) {
    while (StartsWithIgnoringCase(number, "tel:")) number = Trim(number.substr(4));
    number = Trim(number.substr(0, number.find(';')));
  }
  return std::string(number);
}

std::string CardProblem(size_t begin_line, std::string_view what) {
  return "card at line " + std::to_string(begin_line) + ": " + std::string(what);
}

// The card from the properties we use, or the problem that keeps it from
// reading.
std::optional<std::string> BuildCard(const std::vector<Property>& properties, Version version,
                                     Card& card) {
  for (const Property& property : properties) {
    ValueForm form = FormOf(property.parameters);
    // Binary is of no use in these properties; it would be an odd writer.
    if (form.base64) continue;
    if (form.charset == Charset::kUnknown) {
      return "line " + std::to_string(property.line) + " has the unknown charset \"" +
             form.charset_name + "\"";
    }
    // Trailing blanks on a quoted-printable line are transport padding.
    std::string_view raw = property.value();
    if (form.quoted_printable) raw = raw.substr(0, raw.find_last_not_of(kBlanks) + 1);
    const std::string& name = property.name;
    if (name == "FN") {
      if (card.formatted_name.empty()) {
        card.formatted_name = DecodeText(raw, form, version);
      }
    } else if (name == "N") {
      if (!card.name.empty()) continue;
      std::vector<std::string> parts;
      bool any = false;
      for (std::string_view part : SplitComponents(raw, version)) {
        if (parts.size() == kNameParts) break;
        parts.push_back(DecodeText(part, form, version));
        any = any || !parts.back().empty();
      }
      parts.resize(kNameParts);
      // All empty is what Write puts for no name.
      if (any) card.name = std::move(parts);
    } else if (name == "TEL") {
      std::string number = DecodeNumber(raw, form);
      if (!number.empty()) card.telephones.push_back({std::move(number), std::move(form.types)});
    } else if (name == "EMAIL") {
      std::string email(Trim(DecodeText(raw, form, version), " \t\n"));
      if (!email.empty()) card.emails.push_back(std::move(email));
    } else if (name == "ORG") {
      if (!card.organization.empty()) continue;
      for (std::string_view part : SplitComponents(raw, version)) {
        std::string component = DecodeText(part, form, version);
        if (component.empty()) continue;
        if (!card.organization.empty()) card.organization += "; ";
        card.organization += component;
      }
    } else if (name == "NOTE") {
      std::string note = DecodeText(raw, form, version);
      if (note.empty()) continue;
      if (!card.note.empty()) card.note += '\n';
      card.note += note;
    }
  }
  if (card.formatted_name.empty()) card.formatted_name = NameForDisplay(card.name);
  return std::nullopt;
}

bool IsUsed(std::string_view name) {
  return name == "FN" || name == "N" || name == "TEL" || name == "EMAIL" || name == "ORG" ||
         name == "NOTE";
}

// Reads the lines after a BEGIN up to the card's END and adds the card, or
// its problem, to the result. A BEGIN before the END makes the card a
// problem and starts the next card; its line number is returned.
std::optional<size_t> ReadCard(LineCursor& lines, size_t begin_line, ReadResult& result) {
  std::vector<Property> properties;
  std::optional<std::string> problem;
  Version version = Version::k30;
  while (std::optional<std::string_view> line = lines.Next()) {
    // Blank lines, and folds with nothing to continue, carry nothing.
    if (Trim(*line).empty() || StartsFold(*line)) continue;
    Property property = ReadProperty(*line, lines, version);
    if (!property.has_colon) {
      if (!problem) problem = "line " + std::to_string(property.line) + " has no colon";
      continue;
    }
    std::string_view value = Trim(property.value());
    if (property.name == "BEGIN" && EqualsIgnoringCase(value, "VCARD")) {
      result.problems.push_back(
          CardProblem(begin_line, problem.value_or("line " + std::to_string(property.line) +
                                                   " begins another card before this one ends")));
      return property.line;
    }
    if (property.name == "END" && EqualsIgnoringCase(value, "VCARD")) {
      Card card;
      if (!problem) problem = BuildCard(properties, version, card);
      if (problem) {
        result.problems.push_back(CardProblem(begin_line, *problem));
      } else {
        result.cards.push_back(std::move(card));
      }
      return std::nullopt;
    }
    if (property.name == "VERSION") {
      version = value == "2.1" ? Version::k21 : Version::k30;
    }
    if (IsBase64(property.parameters)) SkipBase64Lines(lines);
    if (!problem && IsUsed(property.name)) properties.push_back(std::move(property));
  }
  result.problems.push_back("card at line " + std::to_string(begin_line) + " has no END");
  return std::nullopt;
}

}  // namespace

ReadResult Read(std::string_view text) {
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  ReadResult result;
  LineCursor lines(text);
  std::optional<size_t> begun;  // a card that began inside the one before
  for (;;) {
    if (!begun) {
      // Text outside cards is passed over (a byte-order mark too, where
      // files were joined).
      std::optional<std::string_view> line;
      while ((line = lines.Next())) {
        if (line->starts_with(kByteOrderMark)) line->remove_prefix(kByteOrderMark.size());
        if (IsCardLine(*line, "BEGIN:VCARD")) break;
      }
      if (!line) break;
      begun = lines.number();
    }
    begun = ReadCard(lines, *begun, result);
  }
  return result;
}

}  // namespace quorvalen::vcard
