// The phone's messages in the forms people take elsewhere: one JSON object
// per message (every field the decoder knows), and the XML of the Android
// backup tool most people restore messages with ("SMS Backup & Restore":
// <smses count="N"> with one <sms .../> each). And the way back: which
// messages an export file holds, to delete exactly those from the phone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvalen/messages.h"

namespace quorvalen::tool {

// What a message says, as one text: its text; for an 8-bit message its
// data in hexadecimal; for a status report what it reports.
std::string MessageBody(const Message& message);
// "1,2,3".
std::string JoinedIndexes(const std::vector<int>& indexes);
// "deliver", "submit", "status-report".
std::string_view MessageKind(const Message& message);

// sms ls --json: an array of one object a message, with every field the
// decoder knows (time null when the message has none).
std::string MessagesJson(const std::vector<Message>& messages);
// contacts ls --json.
std::string ContactsJson(const std::vector<Contact>& contacts);

// The XML export. Names come from the contacts where a number matches;
// now_ms stands for the time of messages that have none.
std::string ExportXml(const std::vector<Message>& messages, const std::vector<Contact>& contacts,
                      int64_t now_ms);
// The JSON export: one object per line.
std::string ExportJsonLines(const std::vector<Message>& messages, int64_t now_ms);

// One message of an export file, as matched against the phone.
struct ExportedMessage {
  std::string memory;
  std::vector<int> indexes;
  std::string number;
  std::string body;
  std::vector<std::string> pdus;  // as the phone listed them
};
// Reads an export file of either form. Throws std::runtime_error naming
// what does not read.
std::vector<ExportedMessage> ReadExport(std::string_view text);
// True when the message on the phone is the one the export holds: the
// same memory and indexes, and the same PDUs (so the same time, number and
// text, and a message that does not decode only when its bytes are kept).
// A file without the PDUs matches nothing.
bool SameMessage(const Message& message, const ExportedMessage& exported);

// The name of the contact whose number is the message's ("+4917012345"
// and "017012345" match when their last eight digits agree).
std::optional<std::string> ContactName(const std::vector<Contact>& contacts,
                                       const std::string& number);

}  // namespace quorvalen::tool
