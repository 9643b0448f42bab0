// Escaping text for XML documents.
#include "quorvalen/xml_text.h"

#include "codecs/utf8.h"

namespace quorvalen {

std::string XmlEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const char32_t c = utf8::NextCodePoint(text, &at);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      // In an attribute a raw line break would be read back as a blank.
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      case '\t':
        out += "&#9;";
        break;
      default:
        // Control characters, U+FFFE and U+FFFF are no characters of XML
        // 1.0; malformed UTF-8 has read as U+FFFD already.
        utf8::AppendUtf8(out, c < 0x20 || c == 0xFFFE || c == 0xFFFF ? utf8::kReplacement : c);
    }
  }
  return out;
}

}  // namespace quorvalen
