// The simulated phone's short messages and phonebook: memories "SM" (the
// SIM) and "ME" (the phone itself), each with a size, holding messages as
// PDUs with their status, and phonebook entries as number, type and name.
// The AT commands of the phone read and change them; tests and tools fill
// them, from the built-in sample or from files.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quorvalen/sms.h"

namespace quorvalen::sim {

struct StoredMessage {
  sms::Status status = sms::Status::kReceivedUnread;
  // The PDU as the phone lists it: hexadecimal, with the service centre.
  std::string pdu;
};

struct PhonebookEntry {
  std::string number;
  int type = 129;    // 145 for an international number
  std::string name;  // UTF-8
};

// One memory: slots 1 to size.
template <typename Entry>
struct Memory {
  int size = 0;
  std::map<int, Entry> slots;
  // The first free slot, or none when full.
  std::optional<int> FirstFree() const;
};

class MessageStore {
 public:
  // Empty memories: SM with 30 messages, ME with 200; phonebook SM with
  // 100 entries (names of up to 14 characters, numbers of up to 20
  // digits), ME with 250 (30 characters, 40 digits).
  MessageStore();

  // The built-in sample (see SampleTexts for what it was made from).
  static MessageStore Sample();
  // What the sample's messages were made from, for checking a decoder:
  // memory, the indexes of its parts, and the text (or, for an 8-bit
  // message, the data in upper-case hexadecimal; for a status report, the
  // empty text).
  struct SampleText {
    std::string memory;
    std::vector<int> indexes;
    std::string text;
  };
  static std::vector<SampleText> SampleTexts();

  // Loads messages or contacts from a file of the format in docs/phone.md,
  // replacing what the named memories held. False with *error on a line
  // that does not read (nothing is changed then).
  bool LoadMessages(const std::string& path, std::string* error);
  bool LoadContacts(const std::string& path, std::string* error);

  Memory<StoredMessage>& Messages(const std::string& memory);  // "SM" or "ME"
  Memory<PhonebookEntry>& Phonebook(const std::string& memory);
  bool HasMemory(const std::string& memory) const;
  int NameLimit(const std::string& memory) const;
  int NumberLimit(const std::string& memory) const;

  // The service centre's number (AT+CSCA).
  std::string service_centre = "+491710760000";
  // Messages sent by AT+CMGS, in order, as the PDUs that arrived.
  std::vector<std::string> sent;

 private:
  std::map<std::string, Memory<StoredMessage>> messages_;
  std::map<std::string, Memory<PhonebookEntry>> phonebook_;
  std::map<std::string, int> name_limit_;
  std::map<std::string, int> number_limit_;
};

}  // namespace quorvalen::sim
