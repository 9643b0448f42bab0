// The fields of a message PDU that are more than an octet: addresses, time
// stamps and the data coding scheme, read from and written to octets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quorvalen/sms.h"

namespace quorvalen::sms::internal {

// The value part of an address (after its length and type octets) read as
// the type says: semi-octet digits, or packed septets for an alphanumeric
// address. semi_octets counts the useful ones (the length octet of a TPDU
// address; twice the octets for the service centre's).
Address ReadAddress(uint8_t type, std::string_view value, size_t semi_octets);
// The value part of an address as its type says, and the number of useful
// semi-octets in it.
std::string AddressValue(const Address& address, size_t* semi_octets);

// Seven octets of swapped semi-octets; nothing when a digit is not decimal
// or a field is out of range.
std::optional<Timestamp> ReadTimestamp(std::string_view octets);
void AppendTimestamp(std::string& out, const Timestamp& time);

// The concatenation a user data header (its elements, without the length
// octet) announces: the last well-formed element 00 or 08 whose total and
// sequence make sense. A header whose last element runs past its end is
// ignored as a whole, as is an element with a zero or inconsistent count.
std::optional<Concatenation> ReadConcatenation(std::string_view header);
// The header's elements other than concatenation, to follow a freshly
// written concatenation element; a header that does not parse is kept whole.
std::string OtherElements(std::string_view header);
// The element for a concatenation.
std::string ConcatenationElement(const Concatenation& concatenation);

// What a data coding scheme octet says about the user data.
struct DataCoding {
  Coding coding = Coding::kGsm7;
  std::optional<int> message_class;
};
DataCoding ReadDataCoding(uint8_t octet);
// The octet to send for a PDU's coding and class.
uint8_t DataCodingOctet(const Pdu& pdu);

}  // namespace quorvalen::sms::internal
