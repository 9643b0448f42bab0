// Addresses, time stamps, the data coding scheme and the names of stored
// messages' states.
#include "codecs/sms_fields.h"

#include <array>

#include "support/civil_date.h"

namespace quorvalen::sms {

namespace {

constexpr std::array<std::string_view, 4> kStatusNames = {"REC UNREAD", "REC READ", "STO UNSENT",
                                                          "STO SENT"};

// The type-of-number bits of a type-of-address octet.
constexpr uint8_t kTonMask = 0x70;
constexpr uint8_t kTonInternational = 0x10;
constexpr uint8_t kTonAlphanumeric = 0x50;

// Semi-octet digits 0-14 as numbers carry them; 15 is the filler.
constexpr std::string_view kAddressDigits = "0123456789*#abc";
constexpr uint8_t kFiller = 0x0F;
// What a length octet can count: semi-octets of a TPDU address, and
// septets that fit in them.
constexpr size_t kMaxSemiOctets = 255;
constexpr size_t kMaxAddressSeptets = kMaxSemiOctets * 4 / 7;

bool IsNumberCharacter(char c) {
  return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'a' && c <= 'c');
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// A swapped semi-octet pair as a two-digit number, or -1 when a digit is
// not decimal.
int SwappedDigits(uint8_t octet) {
  const int first = octet & 0x0F, second = octet >> 4;
  return first > 9 || second > 9 ? -1 : first * 10 + second;
}

uint8_t SwappedOctet(int value) {
  value = ((value % 100) + 100) % 100;
  return static_cast<uint8_t>((value % 10) << 4 | value / 10);
}

// The number, at least width digits with leading zeros.
void AppendPadded(std::string& out, int value, size_t width) {
  if (value < 0) {
    out += '-';
    value = -value;
  }
  const std::string digits = std::to_string(value);
  if (digits.size() < width) out.append(width - digits.size(), '0');
  out += digits;
}

}  // namespace

std::string_view StatusText(Status status) {
  const auto index = static_cast<size_t>(status);
  return index < kStatusNames.size() ? kStatusNames[index] : std::string_view();
}

std::optional<Status> StatusFromText(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '"')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '"')) text.remove_suffix(1);
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '3') {
    return static_cast<Status>(text[0] - '0');
  }
  for (size_t i = 0; i < kStatusNames.size(); ++i) {
    const std::string_view name = kStatusNames[i];
    if (name.size() != text.size()) continue;
    bool same = true;
    for (size_t k = 0; k < name.size() && same; ++k) same = AsciiUpper(text[k]) == name[k];
    if (same) return static_cast<Status>(i);
  }
  return std::nullopt;
}

Address AddressOf(std::string_view text) {
  std::string number;
  bool numeric = true, has_digit = false;
  for (char c : text) {
    if (c == ' ' || c == '-' || c == '(' || c == ')') continue;
    if (c == '+' && number.empty()) {
      number += c;
    } else if (IsNumberCharacter(c)) {
      number += c;
      has_digit = true;
    } else {
      numeric = false;
      break;
    }
  }
  if (numeric && has_digit) return {number, number[0] == '+' ? uint8_t{0x91} : uint8_t{0x81}};
  if (numeric && number.empty()) return {"", 0x81};
  return {std::string(text), 0xD0};
}

int64_t Timestamp::UnixMs() const {
  const int64_t seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 +
                          second - static_cast<int64_t>(zone_quarters) * 15 * 60;
  return seconds * 1000;
}

std::string Timestamp::Iso() const {
  std::string out;
  out.reserve(25);
  AppendPadded(out, year, 4);
  out += '-';
  AppendPadded(out, month, 2);
  out += '-';
  AppendPadded(out, day, 2);
  out += 'T';
  AppendPadded(out, hour, 2);
  out += ':';
  AppendPadded(out, minute, 2);
  out += ':';
  AppendPadded(out, second, 2);
  out += zone_quarters < 0 ? '-' : '+';
  const int zone_minutes = (zone_quarters < 0 ? -zone_quarters : zone_quarters) * 15;
  AppendPadded(out, zone_minutes / 60, 2);
  out += ':';
  AppendPadded(out, zone_minutes % 60, 2);
  return out;
}

std::string Timestamp::TextMode() const {
  std::string out;
  out.reserve(20);
  AppendPadded(out, ((year % 100) + 100) % 100, 2);
  out += '/';
  AppendPadded(out, month, 2);
  out += '/';
  AppendPadded(out, day, 2);
  out += ',';
  AppendPadded(out, hour, 2);
  out += ':';
  AppendPadded(out, minute, 2);
  out += ':';
  AppendPadded(out, second, 2);
  out += zone_quarters < 0 ? '-' : '+';
  AppendPadded(out, zone_quarters < 0 ? -zone_quarters : zone_quarters, 2);
  return out;
}

namespace internal {

Address ReadAddress(uint8_t type, std::string_view value, size_t semi_octets) {
  Address address;
  address.type = type;
  if ((type & kTonMask) == kTonAlphanumeric) {
    address.text = Gsm7ToUtf8(UnpackSeptets(value, semi_octets * 4 / 7));
    return address;
  }
  if ((type & kTonMask) == kTonInternational) address.text += '+';
  for (size_t i = 0; i < semi_octets && i / 2 < value.size(); ++i) {
    const auto octet = static_cast<uint8_t>(value[i / 2]);
    const uint8_t digit = i % 2 == 0 ? octet & 0x0F : octet >> 4;
    // A filler inside the digits is skipped like the one that ends them.
    if (digit != kFiller) address.text += kAddressDigits[digit];
  }
  return address;
}

std::string AddressValue(const Address& address, size_t* semi_octets) {
  if ((address.type & kTonMask) == kTonAlphanumeric) {
    std::string septets = Utf8ToGsm7(address.text);
    if (septets.size() > kMaxAddressSeptets) septets.resize(kMaxAddressSeptets);
    // The useful semi-octets, so that the reader finds no extra septet in
    // the last octet's spare bits.
    *semi_octets = (septets.size() * 7 + 3) / 4;
    return PackSeptets(septets);
  }
  std::string value;
  size_t count = 0;
  for (char c : address.text) {
    const size_t digit = kAddressDigits.find(c);
    if (digit == std::string_view::npos || count == kMaxSemiOctets) continue;
    if (count % 2 == 0) {
      value += static_cast<char>(0xF0 | digit);
    } else {
      value.back() = static_cast<char>((value.back() & 0x0F) | digit << 4);
    }
    ++count;
  }
  *semi_octets = count;
  return value;
}

std::optional<Timestamp> ReadTimestamp(std::string_view octets) {
  if (octets.size() != 7) return std::nullopt;
  std::array<int, 6> fields{};
  for (size_t i = 0; i < fields.size(); ++i) {
    fields[i] = SwappedDigits(static_cast<uint8_t>(octets[i]));
    if (fields[i] < 0) return std::nullopt;
  }
  // The zone: quarters of an hour, its first semi-octet's high bit the sign.
  const auto zone = static_cast<uint8_t>(octets[6]);
  if ((zone >> 4) > 9) return std::nullopt;
  Timestamp time;
  // Two digits: messages of the 1990s (the service began in 1992) are
  // older than any of this century's last decade.
  time.year = (fields[0] >= 90 ? 1900 : 2000) + fields[0];
  time.month = fields[1];
  time.day = fields[2];
  time.hour = fields[3];
  time.minute = fields[4];
  time.second = fields[5];
  time.zone_quarters = (zone & 0x07) * 10 + (zone >> 4);
  if (zone & 0x08) time.zone_quarters = -time.zone_quarters;
  if (time.month < 1 || time.month > 12 || time.day < 1 ||
      time.day > DaysInMonth(time.year, time.month) || time.hour > 23 || time.minute > 59 ||
      time.second > 59) {
    return std::nullopt;
  }
  return time;
}

void AppendTimestamp(std::string& out, const Timestamp& time) {
  for (int field : {time.year, time.month, time.day, time.hour, time.minute, time.second}) {
    out += static_cast<char>(SwappedOctet(field));
  }
  int quarters = time.zone_quarters < 0 ? -time.zone_quarters : time.zone_quarters;
  if (quarters > 79) quarters = 79;
  out += static_cast<char>(SwappedOctet(quarters) | (time.zone_quarters < 0 ? 0x08 : 0));
}

namespace {

constexpr uint8_t kConcatenation8 = 0x00;
constexpr uint8_t kConcatenation16 = 0x08;

// Calls each(identifier, value) for the elements of a header; false when
// the last one runs past the end.
template <typename Each>
bool ForEachElement(std::string_view header, Each each) {
  size_t at = 0;
  while (at < header.size()) {
    if (header.size() - at < 2) return false;
    const auto identifier = static_cast<uint8_t>(header[at]);
    const auto length = static_cast<uint8_t>(header[at + 1]);
    at += 2;
    if (length > header.size() - at) return false;
    each(identifier, header.substr(at, length));
    at += length;
  }
  return true;
}

}  // namespace

std::optional<Concatenation> ReadConcatenation(std::string_view header) {
  std::optional<Concatenation> found;
  auto octet = [](std::string_view value, size_t i) { return static_cast<uint8_t>(value[i]); };
  const bool whole = ForEachElement(header, [&](uint8_t identifier, std::string_view value) {
    Concatenation c;
    if (identifier == kConcatenation8 && value.size() == 3) {
      c.reference = octet(value, 0);
      c.total = octet(value, 1);
      c.sequence = octet(value, 2);
    } else if (identifier == kConcatenation16 && value.size() == 4) {
      c.reference = static_cast<uint16_t>(octet(value, 0) << 8 | octet(value, 1));
      c.total = octet(value, 2);
      c.sequence = octet(value, 3);
      c.sixteen_bit = true;
    } else {
      return;
    }
    if (c.total != 0 && c.sequence != 0 && c.sequence <= c.total) found = c;
  });
  return whole ? found : std::nullopt;
}

std::string OtherElements(std::string_view header) {
  std::string others;
  const bool whole = ForEachElement(header, [&](uint8_t identifier, std::string_view value) {
    if (identifier == kConcatenation8 || identifier == kConcatenation16) return;
    others += static_cast<char>(identifier);
    others += static_cast<char>(value.size());
    others += value;
  });
  return whole ? others : std::string(header);
}

std::string ConcatenationElement(const Concatenation& c) {
  std::string element;
  if (c.sixteen_bit) {
    element = {static_cast<char>(kConcatenation16), 4, static_cast<char>(c.reference >> 8),
               static_cast<char>(c.reference & 0xFF)};
  } else {
    element = {static_cast<char>(kConcatenation8), 3, static_cast<char>(c.reference & 0xFF)};
  }
  element += static_cast<char>(c.total);
  element += static_cast<char>(c.sequence);
  return element;
}

// Groups 00xx (general) and 01xx (general, marked for deletion after
// reading) name the alphabet, compression and perhaps a class; 1111 names
// 7- or 8-bit and always a class; the message-waiting groups 1100 and 1101
// carry 7-bit text, 1110 UCS-2. The reserved groups read as 7-bit.
DataCoding ReadDataCoding(uint8_t octet) {
  DataCoding scheme;
  if ((octet & 0x80) == 0) {
    if (octet & 0x10) scheme.message_class = octet & 0x03;
    const int alphabet = (octet >> 2) & 0x03;
    if (octet & 0x20) {
      // Compressed: handed on as the octets sent.
      scheme.coding = Coding::kEightBit;
    } else if (alphabet == 1) {
      scheme.coding = Coding::kEightBit;
    } else if (alphabet == 2) {
      scheme.coding = Coding::kUcs2;
    }
    return scheme;
  }
  switch (octet >> 4) {
    case 0x0F:
      scheme.coding = (octet & 0x04) ? Coding::kEightBit : Coding::kGsm7;
      scheme.message_class = octet & 0x03;
      break;
    case 0x0E:
      scheme.coding = Coding::kUcs2;
      break;
    default:
      break;
  }
  return scheme;
}

// The octet is rebuilt from the coding and class, so a caller need only set
// those. A group-1111 or message-waiting octet the caller chose is kept
// when it agrees with the coding (1111 takes the coding and class bits);
// from the general groups the deletion mark and, for 8-bit data, the
// compression mark are kept, so that a decoded PDU encodes as it came.
uint8_t DataCodingOctet(const Pdu& pdu) {
  const uint8_t given = pdu.data_coding;
  const int group = given >> 4;
  if (group == 0x0F && pdu.coding != Coding::kUcs2) {
    const int message_class = pdu.message_class ? *pdu.message_class : given;
    return static_cast<uint8_t>(0xF0 | (pdu.coding == Coding::kEightBit ? 0x04 : 0x00) |
                                (message_class & 0x03));
  }
  if ((group == 0x0C || group == 0x0D) && pdu.coding == Coding::kGsm7) return given;
  if (group == 0x0E && pdu.coding == Coding::kUcs2) return given;
  uint8_t octet = 0;
  if ((given & 0xC0) == 0x40) octet |= 0x40;
  if ((given & 0xA0) == 0x20 && pdu.coding == Coding::kEightBit) octet |= 0x20;
  if (pdu.coding == Coding::kEightBit) octet |= 0x04;
  if (pdu.coding == Coding::kUcs2) octet |= 0x08;
  if (pdu.message_class) octet |= static_cast<uint8_t>(0x10 | (*pdu.message_class & 0x03));
  return octet;
}

}  // namespace internal
}  // namespace quorvalen::sms
