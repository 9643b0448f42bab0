// The phone's phonebook over AT commands: one memory selected at a time
// (AT+CPBS), read in one AT+CPBR over its whole range, written and deleted
// by AT+CPBW. Names travel in UCS2 (hexadecimal UTF-16), which holds any
// script; a phone without it is spoken to in IRA (ASCII). The character set
// the phone had is given back when the session closes.
#include <algorithm>

#include "quorvalen/byte_text.h"
#include "quorvalen/session.h"
#include "session/at_answers.h"

namespace quorvalen {
namespace {

bool IsHexText(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
  });
}

bool IsDialString(std::string_view number) {
  return !number.empty() && std::all_of(number.begin(), number.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '+' || c == '*' || c == '#' || c == 'p' || c == 'w' ||
           c == 'P' || c == 'W';
  });
}

std::string UpperHex(std::string_view bytes) { return TextToHex(std::string(bytes)); }

// A text field as the phone sent it in the character set in force.
std::string FromPhone(const std::string& text, bool ucs2) {
  if (!ucs2 || text.size() % 4 != 0 || !IsHexText(text)) return text;
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return sms::Ucs2ToUtf8(HexToText(upper));
}

// A number: some phones convert numbers to the character set too.
std::string NumberFromPhone(const std::string& number, bool ucs2) {
  if (!ucs2 || IsDialString(number)) return number;
  std::string decoded = FromPhone(number, true);
  return IsDialString(decoded) ? decoded : number;
}

size_t Utf16Units(std::string_view utf8) { return sms::Utf8ToUcs2(utf8).size() / 2; }

}  // namespace

bool Session::NamesInUcs2() {
  if (at_.names_in_ucs2) return *at_.names_in_ucs2;
  std::string previous;
  for (const std::string& line : RunAt("AT+CSCS?").lines) {
    auto parameters = AnswerParameters(line, "+CSCS");
    if (parameters && !parameters->empty()) previous = parameters->front();
  }
  bool ucs2 = previous == "UCS2";
  if (!ucs2) ucs2 = RunAt("AT+CSCS=\"UCS2\"").final == "OK";
  if (!ucs2 && previous != "IRA") RunAt("AT+CSCS=\"IRA\"");
  at_.charset_before = previous;
  at_.names_in_ucs2 = ucs2;
  return ucs2;
}

std::vector<std::string> Session::PhonebookMemories() {
  NumberedErrors();
  if (auto memories = FirstListOf(RunChecked("AT+CPBS=?").lines, "+CPBS")) {
    return PreferredMemories(*memories);
  }
  throw SessionError(SessionErrorKind::kBadAnswer, "the phone did not name its phonebooks");
}

PhonebookLimits Session::SelectPhonebook(const std::string& memory) {
  if (memory.empty() || memory.find_first_of("\",\r\n") != std::string::npos) {
    throw SessionError(SessionErrorKind::kBadName, "no such phonebook: \"" + memory + "\"");
  }
  if (at_.phonebook == memory) return at_.limits;
  at_.phonebook.clear();
  try {
    RunChecked("AT+CPBS=\"" + memory + "\"");
  } catch (const SessionError& e) {
    if (e.Kind() != SessionErrorKind::kRefused || (e.AtFamily() && e.Code() == 11)) throw;
    throw SessionError(e.Kind(), "no phonebook " + memory + " (" + e.what() + ")", e.Code(),
                       e.AtFamily());
  }
  for (const std::string& line : RunChecked("AT+CPBR=?").lines) {
    auto parameters = AnswerParameters(line, "+CPBR");
    if (!parameters || parameters->empty()) continue;
    std::optional<std::pair<int, int>> range = RangeOf(parameters->front());
    if (!range) break;
    PhonebookLimits limits;
    limits.first = range->first;
    limits.last = range->second;
    if (parameters->size() >= 2) limits.number_length = NumberOf((*parameters)[1]).value_or(0);
    if (parameters->size() >= 3) limits.name_length = NumberOf((*parameters)[2]).value_or(0);
    at_.phonebook = memory;
    at_.limits = limits;
    return limits;
  }
  throw SessionError(SessionErrorKind::kBadAnswer,
                     "the phone did not say which entries the phonebook " + memory + " has");
}

PhonebookLimits Session::ContactLimits(const std::string& memory) {
  NumberedErrors();
  return SelectPhonebook(memory);
}

std::vector<Contact> Session::Contacts(const std::string& memory) {
  std::vector<std::string> memories =
      memory.empty() ? PhonebookMemories() : std::vector<std::string>{memory};
  NumberedErrors();
  const bool ucs2 = NamesInUcs2();
  std::vector<Contact> contacts;
  {
    for (const std::string& name : memories) {
      const PhonebookLimits limits = SelectPhonebook(name);
      if (limits.last < limits.first) continue;
      AtAnswer answer;
      try {
        answer = RunChecked("AT+CPBR=" + std::to_string(limits.first) + "," +
                            std::to_string(limits.last) + ",LONG");
      } catch (const SessionError& e) {
        // Some phones answer "not found" for a range with no entry.
        if (e.AtFamily() == AtErrorFamily::kCme && e.Code() == 22) continue;
        throw;
      }
      for (const std::string& line : answer.lines) {
        auto parameters = AnswerParameters(line, "+CPBR");
        if (!parameters || parameters->size() < 2) continue;
        std::optional<int> index = NumberOf((*parameters)[0]);
        if (!index) continue;
        Contact contact;
        contact.memory = name;
        contact.index = *index;
        contact.number = NumberFromPhone((*parameters)[1], ucs2);
        if (parameters->size() >= 3) contact.type = NumberOf((*parameters)[2]).value_or(129);
        // Type 145 is international whether or not the phone writes the +.
        if (contact.type == 145 && !contact.number.empty() && contact.number[0] != '+') {
          std::string international(1, '+');  // appended: GCC 12 misreads insert
          international += contact.number;
          contact.number = std::move(international);
        }
        if (parameters->size() >= 4) contact.name = FromPhone((*parameters)[3], ucs2);
        contacts.push_back(std::move(contact));
      }
    }
  }
  return contacts;
}

int Session::WriteContact(const std::string& memory, std::optional<int> index,
                          const std::string& number, const std::string& name) {
  RequireOpen();
  if (!IsDialString(number) || number.find('+', 1) != std::string::npos) {
    throw SessionError(SessionErrorKind::kBadName,
                       "\"" + number + "\" is not a number a phonebook holds");
  }
  if (name.find_first_of("\"\r\n") != std::string::npos) {
    throw SessionError(SessionErrorKind::kBadName,
                       "a phonebook name cannot hold a quote or a line break");
  }
  if (!index) {
    // The phone's own "first free" write does not say where it went.
    std::vector<Contact> used = Contacts(memory);
    PhonebookLimits limits = ContactLimits(memory);
    int free = limits.first;
    std::sort(used.begin(), used.end(),
              [](const Contact& a, const Contact& b) { return a.index < b.index; });
    for (const Contact& contact : used) {
      if (contact.index == free) ++free;
    }
    if (free > limits.last) {
      throw SessionError(SessionErrorKind::kRefused, "the phonebook " + memory + " is full", 20,
                         AtErrorFamily::kCme);
    }
    index = free;
  }
  NumberedErrors();
  const bool ucs2 = NamesInUcs2();
  {
    const PhonebookLimits limits = SelectPhonebook(memory);
    const std::string digits = number[0] == '+' ? number.substr(1) : number;
    if (limits.number_length > 0 && digits.size() > static_cast<size_t>(limits.number_length)) {
      throw SessionError(SessionErrorKind::kBadName,
                         "the number " + number + " is longer than the " +
                             std::to_string(limits.number_length) + " digits the phonebook " +
                             memory + " holds");
    }
    if (limits.name_length > 0 && Utf16Units(name) > static_cast<size_t>(limits.name_length)) {
      throw SessionError(SessionErrorKind::kBadName,
                         "the name \"" + name + "\" is longer than the " +
                             std::to_string(limits.name_length) + " characters the phonebook " +
                             memory + " holds");
    }
    std::string text = name;
    if (ucs2) {
      text = UpperHex(sms::Utf8ToUcs2(name));
    } else if (std::any_of(name.begin(), name.end(),
                           [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
      throw SessionError(SessionErrorKind::kBadName,
                         "the phone takes names in ASCII only: \"" + name + "\"");
    }
    const int type = number[0] == '+' ? 145 : 129;
    RunChecked("AT+CPBW=" + std::to_string(*index) + ",\"" + number + "\"," + std::to_string(type) +
               ",\"" + text + "\"");
    return *index;
  }
}

void Session::DeleteContact(const std::string& memory, int index) {
  NumberedErrors();
  SelectPhonebook(memory);
  RunChecked("AT+CPBW=" + std::to_string(index));
}

}  // namespace quorvalen
