// What the session reads from and writes to the phone's message store and
// phonebook: whole messages (their parts joined) and phonebook entries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quorvalen/sms.h"

namespace quorvalen {

// One message as the phone holds it: one stored PDU, or the parts of a long
// message joined.
struct Message {
  std::string memory;        // "SM", "ME", ...
  std::vector<int> indexes;  // the slots its parts occupy, in part order
  sms::Status status = sms::Status::kReceivedRead;
  // The first part found, as decoded: the kind, the number and its type,
  // the centre, the time stamp, the coding, the class, a status report's
  // fields. Its text and data are the first part's; the whole message's
  // are below.
  sms::Pdu pdu;
  // The text of the parts in order; a part that was not found stands as
  // "[part 2 of 3 is missing]".
  std::string text;
  // An 8-bit message's data, its parts in order.
  std::string data;
  int total_parts = 1;
  std::vector<int> missing_parts;  // sequence numbers not found
  // The PDUs as the phone listed them (hexadecimal), in part order.
  std::vector<std::string> pdus;
  // Why the PDU does not read, for one the decoder refused (its pdu then
  // holds nothing but the hexadecimal in pdus).
  std::string error;
};

// How a message is sent or stored.
struct SendOptions {
  // None: 7-bit when every character has one, else UCS-2.
  std::optional<sms::Coding> coding;
  // Where a draft is stored; empty: the phone's preferred memory.
  std::string memory;
  bool status_report = false;
  // The relative validity period octet (0xA7: one day); none to leave it out.
  std::optional<uint8_t> validity = 0xA7;
};

// The parts a text becomes, before it is sent.
struct PlannedMessage {
  sms::Coding coding = sms::Coding::kGsm7;
  std::vector<sms::Pdu> parts;
  std::vector<sms::Encoded> encoded;
};

struct SentMessage {
  std::vector<int> references;  // the message reference of each part (+CMGS)
  std::vector<int> indexes;     // a stored draft's slots (+CMGW)
  std::string memory;           // where the draft went
};

struct Contact {
  std::string memory;
  int index = 0;
  std::string number;
  int type = 129;  // 145 international
  std::string name;
};

// What a phonebook memory takes.
struct PhonebookLimits {
  int first = 1;
  int last = 0;
  int number_length = 0;  // digits
  int name_length = 0;    // characters
};

}  // namespace quorvalen
