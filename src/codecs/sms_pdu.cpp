// Decoding and encoding of whole message PDUs: the service centre's part,
// the TPDU of each kind, and the user data with its header.
#include <array>

#include "codecs/sms_fields.h"
#include "quorvalen/byte_text.h"
#include "quorvalen/sms.h"

namespace quorvalen::sms {

namespace {

using internal::AddressValue;
using internal::AppendTimestamp;
using internal::DataCodingOctet;
using internal::ReadAddress;
using internal::ReadDataCoding;
using internal::ReadTimestamp;

// First-octet bits. The message type is in bits 0-1.
constexpr uint8_t kTypeMask = 0x03;
constexpr uint8_t kNoMoreMessages = 0x04;  // DELIVER, STATUS-REPORT
constexpr uint8_t kValidityFormat = 0x18;  // SUBMIT, bits 3-4
constexpr uint8_t kValidityRelative = 0x10;
constexpr uint8_t kStatusReport = 0x20;  // requested, indicated or qualifier
constexpr uint8_t kUserDataHeader = 0x40;
constexpr uint8_t kReplyPath = 0x80;  // DELIVER, SUBMIT
// The parameter indicator's bits (STATUS-REPORT); bit 7 says another
// indicator octet follows.
constexpr uint8_t kHasProtocolId = 0x01;
constexpr uint8_t kHasDataCoding = 0x02;
constexpr uint8_t kHasUserData = 0x04;
constexpr uint8_t kIndicatorExtends = 0x80;

constexpr size_t kTimestampOctets = 7;

constexpr std::array<int8_t, 256> MakeHexValues() {
  std::array<int8_t, 256> values{};
  for (auto& v : values) v = -1;
  for (int i = 0; i < 10; ++i) values['0' + i] = static_cast<int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    values['A' + i] = static_cast<int8_t>(10 + i);
    values['a' + i] = static_cast<int8_t>(10 + i);
  }
  return values;
}
constexpr std::array<int8_t, 256> kHexValues = MakeHexValues();

// Reads the octets in order; every read checks the end first and names
// the field that did not fit.
class Reader {
 public:
  explicit Reader(std::string_view octets) : octets_(octets) {}

  bool AtEnd() const { return at_ == octets_.size(); }
  size_t Remaining() const { return octets_.size() - at_; }
  const std::string& error() const { return error_; }

  bool Octet(uint8_t* out, const char* field) {
    if (at_ >= octets_.size()) return Fail(field);
    *out = static_cast<uint8_t>(octets_[at_++]);
    return true;
  }
  bool Octets(size_t count, std::string_view* out, const char* field) {
    if (count > Remaining()) return Fail(field);
    *out = octets_.substr(at_, count);
    at_ += count;
    return true;
  }
  bool Error(std::string message) {
    error_ = std::move(message);
    return false;
  }

 private:
  bool Fail(const char* field) { return Error(std::string("the PDU ends inside ") + field); }

  std::string_view octets_;
  size_t at_ = 0;
  std::string error_;
};

bool ReadServiceCentre(Reader& in, Address* out) {
  uint8_t length = 0;
  std::string_view octets;
  if (!in.Octet(&length, "the service centre's length") ||
      !in.Octets(length, &octets, "the service centre's address")) {
    return false;
  }
  // Its type and at most 20 digits: anything longer is not an address.
  if (length > 11) return in.Error("the service centre's address is longer than 11 octets");
  if (length > 0) {
    *out = ReadAddress(static_cast<uint8_t>(octets[0]), octets.substr(1), 2 * (octets.size() - 1));
  }
  return true;
}

bool ReadTpAddress(Reader& in, Address* out) {
  uint8_t semi_octets = 0, type = 0;
  std::string_view value;
  if (!in.Octet(&semi_octets, "the address length") || !in.Octet(&type, "the address type") ||
      !in.Octets((semi_octets + 1u) / 2, &value, "the address")) {
    return false;
  }
  if (semi_octets > 20) return in.Error("the address is longer than 20 digits");
  *out = ReadAddress(type, value, semi_octets);
  return true;
}

bool ReadTime(Reader& in, std::optional<Timestamp>* out, const char* field) {
  std::string_view octets;
  if (!in.Octets(kTimestampOctets, &octets, field)) return false;
  // A time that does not read (a phone's garbled clock) is no time: the
  // message itself is still worth having.
  *out = ReadTimestamp(octets);
  return true;
}

bool ReadDataCodingOctet(Reader& in, Pdu* pdu) {
  if (!in.Octet(&pdu->data_coding, "the data coding scheme")) return false;
  const internal::DataCoding scheme = ReadDataCoding(pdu->data_coding);
  pdu->coding = scheme.coding;
  pdu->message_class = scheme.message_class;
  return true;
}

// The user data length and the user data, which must end the PDU: its
// length counts septets for 7-bit text (the header's included, rounded up
// to whole septets) and octets otherwise.
bool ReadUserData(Reader& in, bool has_header, Pdu* pdu) {
  uint8_t length = 0;
  if (!in.Octet(&length, "the user data length")) return false;
  const bool septets = pdu->coding == Coding::kGsm7;
  const size_t octet_count = septets ? (length * 7u + 7) / 8 : length;
  if (in.Remaining() < octet_count) return in.Error("the user data is shorter than its length");
  std::string_view data;
  in.Octets(octet_count, &data, "the user data");
  // What follows the user data is padding (a SIM record's FF octets).
  std::string_view padding;
  in.Octets(in.Remaining(), &padding, "the padding");
  size_t header_octets = 0;
  if (has_header) {
    if (data.empty()) return in.Error("a user data header is announced but there is no user data");
    header_octets = 1 + static_cast<uint8_t>(data[0]);
    if (header_octets > data.size()) {
      return in.Error("the user data header is longer than the user data");
    }
    pdu->user_data_header = data.substr(1, header_octets - 1);
    pdu->concatenation = internal::ReadConcatenation(pdu->user_data_header);
  }
  data.remove_prefix(header_octets);
  if (septets) {
    // The text starts at the septet boundary after the header.
    const size_t header_septets = (header_octets * 8 + 6) / 7;
    if (header_septets > length) {
      return in.Error("the user data header is longer than the user data");
    }
    const int fill_bits = static_cast<int>(header_septets * 7 - header_octets * 8);
    pdu->text = Gsm7ToUtf8(UnpackSeptets(data, length - header_septets, fill_bits));
  } else if (pdu->coding == Coding::kUcs2) {
    pdu->text = Ucs2ToUtf8(data);
  } else {
    pdu->data = data;
  }
  return true;
}

bool ReadDeliver(Reader& in, uint8_t first, Pdu* pdu) {
  pdu->type = PduType::kDeliver;
  pdu->more_messages = (first & kNoMoreMessages) == 0;
  pdu->status_report_request = (first & kStatusReport) != 0;
  pdu->reply_path = (first & kReplyPath) != 0;
  return ReadTpAddress(in, &pdu->address) &&
         in.Octet(&pdu->protocol_id, "the protocol identifier") && ReadDataCodingOctet(in, pdu) &&
         ReadTime(in, &pdu->time, "the service centre's time stamp") &&
         ReadUserData(in, (first & kUserDataHeader) != 0, pdu);
}

bool ReadSubmit(Reader& in, uint8_t first, Pdu* pdu) {
  pdu->type = PduType::kSubmit;
  pdu->status_report_request = (first & kStatusReport) != 0;
  pdu->reply_path = (first & kReplyPath) != 0;
  if (!in.Octet(&pdu->message_reference, "the message reference") ||
      !ReadTpAddress(in, &pdu->address) ||
      !in.Octet(&pdu->protocol_id, "the protocol identifier") || !ReadDataCodingOctet(in, pdu)) {
    return false;
  }
  // Only the relative period is kept; the enhanced and absolute forms are
  // read past.
  const uint8_t format = first & kValidityFormat;
  if (format == kValidityRelative) {
    uint8_t period = 0;
    if (!in.Octet(&period, "the validity period")) return false;
    pdu->validity = period;
  } else if (format != 0) {
    std::string_view ignored;
    if (!in.Octets(kTimestampOctets, &ignored, "the validity period")) return false;
  }
  return ReadUserData(in, (first & kUserDataHeader) != 0, pdu);
}

bool ReadStatusReport(Reader& in, uint8_t first, Pdu* pdu) {
  pdu->type = PduType::kStatusReport;
  pdu->more_messages = (first & kNoMoreMessages) == 0;
  pdu->status_report_request = (first & kStatusReport) != 0;
  if (!in.Octet(&pdu->message_reference, "the message reference") ||
      !ReadTpAddress(in, &pdu->address) ||
      !ReadTime(in, &pdu->time, "the service centre's time stamp") ||
      !ReadTime(in, &pdu->discharge_time, "the discharge time") ||
      !in.Octet(&pdu->status, "the status")) {
    return false;
  }
  // The optional parameters: centres differ in sending them, so a report
  // that ends before one its indicator names simply lacks it.
  if (in.AtEnd()) return true;
  uint8_t indicator = 0, more = 0;
  in.Octet(&indicator, "the parameter indicator");
  for (more = indicator; (more & kIndicatorExtends) && !in.AtEnd();) {
    in.Octet(&more, "the parameter indicator");
  }
  if ((indicator & kHasProtocolId) && !in.AtEnd()) {
    in.Octet(&pdu->protocol_id, "the protocol identifier");
  }
  if ((indicator & kHasDataCoding) && !in.AtEnd()) ReadDataCodingOctet(in, pdu);
  if ((indicator & kHasUserData) && !in.AtEnd()) {
    return ReadUserData(in, (first & kUserDataHeader) != 0, pdu);
  }
  return true;  // anything further is padding
}

// A time stamp the PDU must have: none is written as seven zero octets,
// which read back as no time (there is no month 0).
void AppendTime(std::string& out, const std::optional<Timestamp>& time) {
  if (time) {
    AppendTimestamp(out, *time);
  } else {
    out.append(7, '\0');
  }
}

void AppendTpAddress(std::string& out, const Address& address) {
  size_t semi_octets;
  const std::string value = AddressValue(address, &semi_octets);
  out += static_cast<char>(semi_octets);
  out += static_cast<char>(address.type);
  out += value;
}

// The user data header's elements: the concatenation first, then the
// caller's other elements (a concatenation among them gives way).
std::string HeaderOf(const Pdu& pdu) {
  if (!pdu.concatenation) return pdu.user_data_header;
  return internal::ConcatenationElement(*pdu.concatenation) +
         internal::OtherElements(pdu.user_data_header);
}

// The user data with its header's length octet, and its length as the
// user data length octet counts it.
struct UserData {
  std::string octets;
  size_t length = 0;
};
UserData UserDataOf(const Pdu& pdu, const std::string& header) {
  UserData user_data;
  if (!header.empty()) {
    user_data.octets += static_cast<char>(header.size());
    user_data.octets += header;
  }
  switch (pdu.coding) {
    case Coding::kGsm7: {
      const std::string septets = Utf8ToGsm7(pdu.text);
      const size_t header_octets = user_data.octets.size();
      const size_t header_septets = (header_octets * 8 + 6) / 7;
      const int fill_bits = static_cast<int>(header_septets * 7 - header_octets * 8);
      user_data.octets += PackSeptets(septets, fill_bits);
      user_data.length = header_septets + septets.size();
      break;
    }
    case Coding::kUcs2:
      user_data.octets += Utf8ToUcs2(pdu.text);
      user_data.length = user_data.octets.size();
      break;
    case Coding::kEightBit:
      user_data.octets += pdu.data;
      user_data.length = user_data.octets.size();
      break;
  }
  return user_data;
}

}  // namespace

Decoded DecodePdu(std::string_view hex) {
  Decoded result;
  if (hex.size() % 2 != 0) {
    result.error = "the PDU has an odd number of hex digits";
    return result;
  }
  std::string octets(hex.size() / 2, '\0');
  for (size_t i = 0; i < octets.size(); ++i) {
    const int high = kHexValues[static_cast<uint8_t>(hex[2 * i])];
    const int low = kHexValues[static_cast<uint8_t>(hex[2 * i + 1])];
    if ((high | low) < 0) {
      result.error = "the PDU has a character that is not a hex digit at position " +
                     std::to_string(2 * i + (high < 0 ? 0 : 1));
      return result;
    }
    octets[i] = static_cast<char>(high << 4 | low);
  }

  Reader in(octets);
  Pdu pdu;
  uint8_t first = 0;
  bool read = ReadServiceCentre(in, &pdu.service_centre) && in.Octet(&first, "the first octet");
  if (read) {
    switch (first & kTypeMask) {
      case 0:
        read = ReadDeliver(in, first, &pdu);
        break;
      case 1:
        read = ReadSubmit(in, first, &pdu);
        break;
      case 2:
        read = ReadStatusReport(in, first, &pdu);
        break;
      default:
        read = in.Error("the message type is reserved");
        break;
    }
  }
  if (!read) {
    result.error = in.error();
    return result;
  }
  result.pdu = std::move(pdu);
  return result;
}

Encoded EncodePdu(const Pdu& pdu) {
  std::string octets;
  octets.reserve(200);
  if (pdu.service_centre.text.empty()) {
    octets += '\0';
  } else {
    size_t semi_octets;
    std::string value = AddressValue(pdu.service_centre, &semi_octets);
    if (value.size() > 254) value.resize(254);
    octets += static_cast<char>(1 + value.size());
    octets += static_cast<char>(pdu.service_centre.type);
    octets += value;
  }
  const size_t service_centre_octets = octets.size();

  const std::string header = HeaderOf(pdu);
  const UserData user_data = UserDataOf(pdu, header);
  const uint8_t data_coding = DataCodingOctet(pdu);
  uint8_t first = header.empty() ? 0 : kUserDataHeader;
  if (pdu.status_report_request) first |= kStatusReport;
  auto append_user_data = [&] {
    octets += static_cast<char>(user_data.length);
    octets += user_data.octets;
  };
  switch (pdu.type) {
    case PduType::kDeliver:
      if (!pdu.more_messages) first |= kNoMoreMessages;
      if (pdu.reply_path) first |= kReplyPath;
      octets += static_cast<char>(first);
      AppendTpAddress(octets, pdu.address);
      octets += static_cast<char>(pdu.protocol_id);
      octets += static_cast<char>(data_coding);
      AppendTime(octets, pdu.time);
      append_user_data();
      break;
    case PduType::kSubmit:
      first |= 0x01;
      if (pdu.validity) first |= kValidityRelative;
      if (pdu.reply_path) first |= kReplyPath;
      octets += static_cast<char>(first);
      octets += static_cast<char>(pdu.message_reference);
      AppendTpAddress(octets, pdu.address);
      octets += static_cast<char>(pdu.protocol_id);
      octets += static_cast<char>(data_coding);
      if (pdu.validity) octets += static_cast<char>(*pdu.validity);
      append_user_data();
      break;
    case PduType::kStatusReport: {
      first |= 0x02;
      if (!pdu.more_messages) first |= kNoMoreMessages;
      octets += static_cast<char>(first);
      octets += static_cast<char>(pdu.message_reference);
      AppendTpAddress(octets, pdu.address);
      AppendTime(octets, pdu.time);
      AppendTime(octets, pdu.discharge_time);
      octets += static_cast<char>(pdu.status);
      // The optional parameters only when one differs from its default.
      uint8_t indicator = 0;
      if (pdu.protocol_id != 0) indicator |= kHasProtocolId;
      if (data_coding != 0) indicator |= kHasDataCoding;
      if (!user_data.octets.empty()) indicator |= kHasUserData;
      if (indicator == 0) break;
      octets += static_cast<char>(indicator);
      if (indicator & kHasProtocolId) octets += static_cast<char>(pdu.protocol_id);
      if (indicator & kHasDataCoding) octets += static_cast<char>(data_coding);
      if (indicator & kHasUserData) append_user_data();
      break;
    }
  }

  Encoded encoded;
  encoded.hex = TextToHex(octets);
  encoded.tpdu_length = static_cast<int>(octets.size() - service_centre_octets);
  return encoded;
}

}  // namespace quorvalen::sms
