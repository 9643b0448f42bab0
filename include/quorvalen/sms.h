// Short messages as the phone stores and sends them: PDUs of SMS-DELIVER,
// SMS-SUBMIT and SMS-STATUS-REPORT in hexadecimal text, the GSM 7-bit
// default alphabet with its extension table, UCS-2, and the concatenation
// of long messages. Pure functions of their arguments, shared by the
// session and the simulated phone; no I/O.
//
// A PDU as the phone lists it (AT+CMGL, AT+CMGR in PDU mode) begins with
// the service centre's address (its length octet 00 when none is given),
// followed by the TPDU. Texts here are UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvalen::sms {

enum class PduType { kDeliver, kSubmit, kStatusReport };
enum class Coding { kGsm7, kEightBit, kUcs2 };

// The status of a stored message, as AT+CMGL and AT+CMGR number it in PDU
// mode (0 to 3); text mode spells them "REC UNREAD", "REC READ",
// "STO UNSENT", "STO SENT".
enum class Status { kReceivedUnread = 0, kReceivedRead = 1, kStoredUnsent = 2, kStoredSent = 3 };
// "REC UNREAD" and so on; StatusFromText takes either spelling or the digit.
std::string_view StatusText(Status status);
std::optional<Status> StatusFromText(std::string_view text);

// An address: a telephone number ("+4917012345", "017012345", "*100#") or
// an alphanumeric sender ("Bank"), with its type-of-address octet (0x91
// international, 0x81 national/unknown, 0xD0 alphanumeric).
struct Address {
  std::string text;
  uint8_t type = 0x81;
  bool operator==(const Address&) const = default;
};
// The address for a number as a person writes it: a leading '+' makes it
// international (0x91), digits, '*', '#' and 'a'-'c' unknown/ISDN (0x81);
// anything else is alphanumeric (0xD0). Spaces, '-', '(' and ')' are
// dropped from numbers.
Address AddressOf(std::string_view text);

// A service-centre time stamp: the sender's local time and its offset from
// UTC in quarters of an hour (-79 to 79; the PDU holds two digits and a
// sign).
struct Timestamp {
  int year = 2000;  // 1990 to 2089 (the PDU holds two digits: 90-99 are the 1990s)
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int zone_quarters = 0;
  bool operator==(const Timestamp&) const = default;
  // Milliseconds since 1970-01-01 00:00 UTC.
  int64_t UnixMs() const;
  // "2026-12-07T15:50:31+01:00".
  std::string Iso() const;
  // "26/12/07,15:50:31+04", the form of text mode.
  std::string TextMode() const;
};

// The concatenation header of one part of a long message.
struct Concatenation {
  uint16_t reference = 0;
  uint8_t total = 1;
  uint8_t sequence = 1;
  bool sixteen_bit = false;  // information element 08 rather than 00
  bool operator==(const Concatenation&) const = default;
};

// One message PDU, decoded or to be encoded. Fields a type does not have
// are left at their defaults.
struct Pdu {
  PduType type = PduType::kDeliver;
  // The service centre's number; empty: none given (the phone's own).
  Address service_centre;
  // The originator (DELIVER), destination (SUBMIT) or recipient
  // (STATUS-REPORT).
  Address address;
  uint8_t protocol_id = 0;
  uint8_t data_coding = 0;  // as sent; Coding and the class are read from it
  Coding coding = Coding::kGsm7;
  std::optional<int> message_class;  // 0 to 3, when the coding names one
  // DELIVER: the centre's time stamp. STATUS-REPORT: the time the centre
  // took the message.
  std::optional<Timestamp> time;
  // SUBMIT and STATUS-REPORT: the message reference.
  uint8_t message_reference = 0;
  // SUBMIT: the relative validity period octet, when present.
  std::optional<uint8_t> validity;
  bool status_report_request = false;  // SUBMIT; STATUS-REPORT: the qualifier
  bool more_messages = false;          // DELIVER: TP-MMS clear
  bool reply_path = false;
  // STATUS-REPORT: when the message was delivered (or the attempt ended),
  // and the status octet (0x00 received by the recipient; 0x20-0x3F still
  // trying; 0x40 and above failed).
  std::optional<Timestamp> discharge_time;
  uint8_t status = 0;
  // The user data header's information elements, raw (without its length
  // octet); empty when there is none. The concatenation is also read out.
  std::string user_data_header;
  std::optional<Concatenation> concatenation;
  // The text (7-bit and UCS-2 codings), UTF-8.
  std::string text;
  // The user data of an 8-bit message, as bytes.
  std::string data;
};

// The result of decoding: the PDU, or why it does not read.
struct Decoded {
  std::optional<Pdu> pdu;
  std::string error;
};

// Decodes a PDU given as hexadecimal text (either case, no separators)
// that begins with the service centre's address. The message type indicator
// decides the kind: 0 DELIVER, 1 SUBMIT, 2 STATUS-REPORT (as a phone's
// store holds them). Never reads outside the input; a field that runs past
// the end, a length that contradicts the data or a reserved type is an
// error. UCS-2 surrogate pairs become one character; an unpaired half
// becomes U+FFFD.
Decoded DecodePdu(std::string_view hex);

// A PDU ready to send: the hexadecimal text with the service-centre part,
// and the TPDU's length in octets (the number AT+CMGS and AT+CMGW take).
struct Encoded {
  std::string hex;
  int tpdu_length = 0;
};
// Encodes a SUBMIT or DELIVER (the kind from pdu.type; a STATUS-REPORT is
// encoded too, for the simulated phone). The text is taken from pdu.text
// (7-bit: characters without a septet become '?'; UCS-2: characters above
// U+FFFF as surrogate pairs) or pdu.data (8-bit); the data coding octet
// from pdu.coding and pdu.message_class unless pdu.data_coding names
// another scheme group. The concatenation, when set, is written as the
// first information element of the header (any concatenation element in
// user_data_header gives way to it). The caller keeps the user data
// within one PDU (SplitText does).
Encoded EncodePdu(const Pdu& pdu);

// --- Alphabets ---

// True when every character of the UTF-8 text has a septet in the default
// alphabet or its extension table.
bool FitsGsm7(std::string_view utf8);
// The septets (one per byte, values 0-127, an extension character as 0x1B
// and its code) of a UTF-8 text; characters without one become '?'.
std::string Utf8ToGsm7(std::string_view utf8);
// The text of unpacked septets; an escape to an undefined extension code
// reads as the character the default table gives the code (TS 23.038), a
// lone escape at the end as a space.
std::string Gsm7ToUtf8(std::string_view septets);
// UCS-2 big-endian bytes (UTF-16, surrogate pairs joined) to UTF-8; an odd
// last byte is dropped.
std::string Ucs2ToUtf8(std::string_view bytes);
// UTF-8 to UTF-16 big-endian bytes (characters above U+FFFF as surrogate
// pairs). Invalid UTF-8 becomes U+FFFD.
std::string Utf8ToUcs2(std::string_view utf8);
// The 7-bit packing of septets, after fill_bits zero bits (the fill that
// aligns the text after a user data header), and its inverse for count
// septets.
std::string PackSeptets(std::string_view septets, int fill_bits = 0);
std::string UnpackSeptets(std::string_view octets, size_t count, int fill_bits = 0);

// The coding to use for a text: 7-bit when every character has a septet,
// else UCS-2.
Coding ChooseCoding(std::string_view utf8);

// --- Long messages ---

// Splits a text into the user data of one message: one part when it fits
// (160 septets, 140 octets, 70 UCS-2 units), else parts of 153 septets /
// 134 octets / 67 units with a concatenation header (152 / 133 / 66 with a
// 16-bit reference), never cutting an extension character's escape from
// its code nor a surrogate pair. Every part copies base (its type,
// address, coding, class...) with its text or data and concatenation set.
// At most 255 parts: a longer text gives none. An empty text is one empty
// part. With base.coding kEightBit the text's bytes are split as data.
std::vector<Pdu> SplitText(const Pdu& base, std::string_view utf8, uint16_t reference = 0,
                           bool sixteen_bit_reference = false);
// The same for 8-bit data (base.coding kEightBit).
std::vector<Pdu> SplitData(const Pdu& base, std::string_view data, uint16_t reference = 0,
                           bool sixteen_bit_reference = false);

// The parts of one long message found among stored PDUs.
struct JoinedMessage {
  // Positions in the input, in the order of their sequence numbers (a
  // single message: its one position).
  std::vector<size_t> parts;
  // Sequence numbers of the parts that were not found.
  std::vector<int> missing;
  // The texts (or the data, for 8-bit) of the parts found, in order.
  std::string text;
  std::string data;
};
// Groups PDUs into messages: parts that share the type, the address, the
// reference (and its width) and the total are one message; a part whose
// sequence number is taken already (a sender that used the reference
// again) goes to the next such message, or begins one: every PDU is in a
// message. A PDU without concatenation is a message of its own. Messages
// come in the order of their first position in the input.
std::vector<JoinedMessage> JoinParts(const std::vector<Pdu>& pdus);

}  // namespace quorvalen::sms
