// The extended error answers of AT commands: "+CME ERROR" (the phone and
// its SIM, TS 27.007) and "+CMS ERROR" (the message service, TS 27.005),
// by number and by their standard text. Phones answer with the number
// (AT+CMEE=1) or the text (AT+CMEE=2); both read the same here. Shared by
// the session, which turns them into typed errors, and the simulated
// phone, which gives them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvalen {

enum class AtErrorFamily { kCme, kCms };

// The standard text of a code ("invalid memory index" for +CMS 321), or
// empty when the standard names none.
std::string_view AtErrorText(AtErrorFamily family, int code);
// The code of a standard text (case and surrounding blanks ignored).
std::optional<int> AtErrorCode(AtErrorFamily family, std::string_view text);

struct AtErrorLine {
  AtErrorFamily family = AtErrorFamily::kCme;
  std::optional<int> code;  // none: a text the standard does not name
  std::string text;         // the standard text, or the phone's own words
};
// Reads an answer line "+CME ERROR: 21" or "+CMS ERROR: invalid memory
// index"; nothing when the line is not one.
std::optional<AtErrorLine> ReadAtErrorLine(std::string_view line);
// The line a phone gives for a code in the form AT+CMEE selects: 1 the
// number, 2 the text (the number when the code has none).
std::string AtErrorAnswer(AtErrorFamily family, int code, int cmee);

}  // namespace quorvalen
