// The simulated phone's message memories and phonebooks, and reading them
// from files of one entry a line.
#include "quorvalen/sim/message_store.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <set>

namespace quorvalen::sim {
namespace {

constexpr std::string_view kBlanks = " \t";

// Splits off the next field: a quoted text (without its quotes) or a run
// of non-blank characters. False when the line holds no more fields or a
// quote is left open.
bool NextField(std::string_view& rest, std::string* field) {
  const size_t start = rest.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return false;
  rest.remove_prefix(start);
  if (rest[0] == '"') {
    const size_t close = rest.find('"', 1);
    if (close == std::string_view::npos) return false;
    *field = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
    return true;
  }
  const size_t end = std::min(rest.find_first_of(kBlanks), rest.size());
  *field = rest.substr(0, end);
  rest.remove_prefix(end);
  return true;
}

// The rest of the line, from its first non-blank character.
std::string RestOfLine(std::string_view rest) {
  const size_t start = rest.find_first_not_of(kBlanks);
  return start == std::string_view::npos ? std::string() : std::string(rest.substr(start));
}

std::optional<int> Integer(std::string_view text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "2026-12-07T15:50:31+01:00" (or "Z" for UTC).
std::optional<sms::Timestamp> ReadTime(std::string_view text) {
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':') {
    return std::nullopt;
  }
  auto part = [&](size_t at, size_t n) { return Integer(text.substr(at, n)); };
  sms::Timestamp t;
  auto year = part(0, 4), month = part(5, 2), day = part(8, 2), hour = part(11, 2),
       minute = part(14, 2), second = part(17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  t.year = *year;
  t.month = *month;
  t.day = *day;
  t.hour = *hour;
  t.minute = *minute;
  t.second = *second;
  if (t.year < 2000 || t.year > 2099 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 ||
      t.hour > 23 || t.minute > 59 || t.second > 59) {
    return std::nullopt;
  }
  const std::string_view zone = text.substr(19);
  if (zone == "Z") return t;
  if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') return std::nullopt;
  auto zone_hours = Integer(zone.substr(1, 2)), zone_minutes = Integer(zone.substr(4, 2));
  if (!zone_hours || !zone_minutes || *zone_minutes % 15 != 0) return std::nullopt;
  const int quarters = *zone_hours * 4 + *zone_minutes / 15;
  if (quarters > 79) return std::nullopt;
  t.zone_quarters = zone[0] == '-' ? -quarters : quarters;
  return t;
}

bool DialNumber(std::string_view number) {
  if (number.empty()) return false;
  for (size_t i = 0; i < number.size(); ++i) {
    const char c = number[i];
    const bool ok = (c >= '0' && c <= '9') || c == '*' || c == '#' || (c == '+' && i == 0) ||
                    (c >= 'A' && c <= 'D') || (c >= 'a' && c <= 'd') || c == 'p' || c == 'P' ||
                    c == 'w' || c == 'W' || c == ',';
    if (!ok) return false;
  }
  return true;
}

int Characters(std::string_view utf8) {
  int n = 0;
  for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Reads a file line by line, handing each entry (comments and blank lines
// skipped) to read_line; stops at the first line it refuses.
template <typename ReadLine>
bool ReadEntries(const std::string& path, std::string* error, ReadLine read_line) {
  std::ifstream in(path);
  if (!in) {
    if (error) *error = path + ": cannot be read";
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t start = line.find_first_not_of(kBlanks);
    if (start == std::string::npos || line[start] == '#') continue;
    std::string why;
    if (!read_line(std::string_view(line), &why)) {
      if (error) *error = path + ":" + std::to_string(number) + ": " + why;
      return false;
    }
  }
  return true;
}

}  // namespace

template <typename Entry>
std::optional<int> Memory<Entry>::FirstFree() const {
  for (int i = 1; i <= size; ++i) {
    if (!slots.count(i)) return i;
  }
  return std::nullopt;
}

template struct Memory<StoredMessage>;
template struct Memory<PhonebookEntry>;

MessageStore::MessageStore() {
  messages_["SM"].size = 30;
  messages_["ME"].size = 200;
  phonebook_["SM"].size = 100;
  phonebook_["ME"].size = 250;
  name_limit_ = {{"SM", 14}, {"ME", 30}};
  number_limit_ = {{"SM", 20}, {"ME", 40}};
}

Memory<StoredMessage>& MessageStore::Messages(const std::string& memory) {
  return messages_.at(memory);
}

Memory<PhonebookEntry>& MessageStore::Phonebook(const std::string& memory) {
  return phonebook_.at(memory);
}

bool MessageStore::HasMemory(const std::string& memory) const {
  return messages_.count(memory) != 0;
}

int MessageStore::NameLimit(const std::string& memory) const { return name_limit_.at(memory); }

int MessageStore::NumberLimit(const std::string& memory) const { return number_limit_.at(memory); }

// One message a line:
//   SM 1 "REC READ" +491701234567 2026-12-07T15:50:31+01:00 Hello there
//   ME 4 "STO UNSENT" 0170123456 - Call me
//   SM 5 1 pdu 07919471...
bool MessageStore::LoadMessages(const std::string& path, std::string* error) {
  auto memories = messages_;
  std::set<std::string> cleared;
  const bool ok = ReadEntries(path, error, [&](std::string_view rest, std::string* why) {
    std::string memory, index_text, status_text, address, time_text;
    if (!NextField(rest, &memory) || !NextField(rest, &index_text) ||
        !NextField(rest, &status_text) || !NextField(rest, &address)) {
      *why = "expected: memory, index, status, then a number or \"pdu\"";
      return false;
    }
    if (!memories.count(memory)) {
      *why = "no memory \"" + memory + "\" (SM or ME)";
      return false;
    }
    auto& slots = memories[memory];
    if (cleared.insert(memory).second) slots.slots.clear();
    const auto index = Integer(index_text);
    if (!index || *index < 1 || *index > slots.size) {
      *why = "index " + index_text + " is not from 1 to " + std::to_string(slots.size);
      return false;
    }
    if (slots.slots.count(*index)) {
      *why = memory + " " + index_text + " is given twice";
      return false;
    }
    const auto status = sms::StatusFromText(status_text);
    if (!status) {
      *why = "unknown status \"" + status_text + "\"";
      return false;
    }
    StoredMessage message{*status, {}};
    if (address == "pdu") {
      std::string hex;
      if (!NextField(rest, &hex)) {
        *why = "the PDU is missing";
        return false;
      }
      const sms::Decoded decoded = sms::DecodePdu(hex);
      if (!decoded.pdu) {
        *why = "the PDU does not read: " + decoded.error;
        return false;
      }
      for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      message.pdu = hex;
    } else {
      if (!NextField(rest, &time_text)) {
        *why = "the time stamp (or -) is missing";
        return false;
      }
      const bool received =
          *status == sms::Status::kReceivedRead || *status == sms::Status::kReceivedUnread;
      sms::Pdu pdu;
      pdu.type = received ? sms::PduType::kDeliver : sms::PduType::kSubmit;
      pdu.address = sms::AddressOf(address);
      if (received) {
        pdu.service_centre = sms::AddressOf(service_centre);
        pdu.time = ReadTime(time_text);
        if (!pdu.time) {
          *why = "a received message needs a time stamp like 2026-12-07T15:50:31+01:00, not \"" +
                 time_text + "\"";
          return false;
        }
      } else if (time_text != "-" && !ReadTime(time_text)) {
        *why = "\"" + time_text + "\" is no time stamp (or -)";
        return false;
      }
      const std::string text = RestOfLine(rest);
      pdu.coding = sms::ChooseCoding(text);
      const std::vector<sms::Pdu> parts = sms::SplitText(pdu, text);
      if (parts.size() != 1) {
        *why = "the text needs " + std::to_string(parts.size()) +
               " messages; give long ones as their PDUs";
        return false;
      }
      message.pdu = sms::EncodePdu(parts[0]).hex;
    }
    slots.slots[*index] = message;
    return true;
  });
  if (ok) messages_ = std::move(memories);
  return ok;
}

// One entry a line: SM 1 +491701234567 Name with spaces
bool MessageStore::LoadContacts(const std::string& path, std::string* error) {
  auto books = phonebook_;
  std::set<std::string> cleared;
  const bool ok = ReadEntries(path, error, [&](std::string_view rest, std::string* why) {
    std::string memory, index_text, number;
    if (!NextField(rest, &memory) || !NextField(rest, &index_text) || !NextField(rest, &number)) {
      *why = "expected: memory, index, number, name";
      return false;
    }
    if (!books.count(memory)) {
      *why = "no phonebook \"" + memory + "\" (SM or ME)";
      return false;
    }
    auto& book = books[memory];
    if (cleared.insert(memory).second) book.slots.clear();
    const auto index = Integer(index_text);
    if (!index || *index < 1 || *index > book.size) {
      *why = "index " + index_text + " is not from 1 to " + std::to_string(book.size);
      return false;
    }
    if (book.slots.count(*index)) {
      *why = memory + " " + index_text + " is given twice";
      return false;
    }
    if (!DialNumber(number)) {
      *why = "\"" + number + "\" is no telephone number";
      return false;
    }
    const int digits = static_cast<int>(number.size()) - (number[0] == '+');
    if (digits > number_limit_.at(memory)) {
      *why = "the number is longer than " + std::to_string(number_limit_.at(memory)) + " digits";
      return false;
    }
    PhonebookEntry entry{number, number[0] == '+' ? 145 : 129, RestOfLine(rest)};
    if (Characters(entry.name) > name_limit_.at(memory)) {
      *why = "the name is longer than " + std::to_string(name_limit_.at(memory)) + " characters";
      return false;
    }
    book.slots[*index] = entry;
    return true;
  });
  if (ok) phonebook_ = std::move(books);
  return ok;
}

}  // namespace quorvalen::sim
