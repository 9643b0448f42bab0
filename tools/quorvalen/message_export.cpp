// Messages as JSON and as the Android backup XML, and export files read
// back (expat for the XML, nlohmann for the JSON).
#include "message_export.h"

#include <expat.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "quorvalen/byte_text.h"
#include "quorvalen/xml_text.h"

namespace quorvalen::tool {
namespace {

std::string JoinedPdus(const std::vector<std::string>& pdus) {
  std::string text;
  for (const std::string& pdu : pdus) {
    if (!text.empty()) text += ',';
    text += pdu;
  }
  return text;
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    if (!item.empty()) words.push_back(item);
  }
  return words;
}

std::vector<int> SplitNumbers(const std::string& text) {
  // Called from the XML reader's callback: nothing may throw here.
  std::vector<int> numbers;
  for (const std::string& word : SplitWords(text)) {
    char* end = nullptr;
    const long n = std::strtol(word.c_str(), &end, 10);
    if (*end != '\0' || n < 0 || n > 1000000) return {};
    numbers.push_back(static_cast<int>(n));
  }
  return numbers;
}

std::string CodingName(sms::Coding coding) {
  switch (coding) {
    case sms::Coding::kGsm7:
      return "gsm7";
    case sms::Coding::kEightBit:
      return "8bit";
    case sms::Coding::kUcs2:
      return "ucs2";
  }
  return "gsm7";
}

std::string ReportOutcome(uint8_t status) {
  if (status < 0x20) return "delivered";
  if (status < 0x40) return "still being tried";
  return "not delivered";
}

// The status the backup format gives a message: -1 none, 0 complete,
// 32 pending, 64 failed (only a status report says).
int BackupStatus(const Message& message) {
  if (message.pdu.type != sms::PduType::kStatusReport) return -1;
  return message.pdu.status < 0x20 ? 0 : message.pdu.status < 0x40 ? 32 : 64;
}

// 1 received, 2 sent, 3 draft.
int BackupType(const Message& message) {
  switch (message.status) {
    case sms::Status::kStoredSent:
      return 2;
    case sms::Status::kStoredUnsent:
      return 3;
    default:
      return 1;
  }
}

// "Dec 7, 2026 3:50:31 PM" in this machine's time zone, as the backup
// tool shows its dates.
std::string ReadableDate(int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int hour12 = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
  char text[64];
  std::snprintf(text, sizeof text, "%s %d, %d %d:%02d:%02d %s", kMonths[local.tm_mon],
                local.tm_mday, local.tm_year + 1900, hour12, local.tm_min, local.tm_sec,
                local.tm_hour < 12 ? "AM" : "PM");
  return text;
}

std::string DigitsOf(std::string_view number) {
  std::string digits;
  for (char c : number) {
    if (c >= '0' && c <= '9') digits += c;
  }
  return digits;
}

}  // namespace

std::string JoinedIndexes(const std::vector<int>& indexes) {
  std::string text;
  for (int n : indexes) {
    if (!text.empty()) text += ',';
    text += std::to_string(n);
  }
  return text;
}

std::string_view MessageKind(const Message& message) {
  switch (message.pdu.type) {
    case sms::PduType::kDeliver:
      return "deliver";
    case sms::PduType::kSubmit:
      return "submit";
    case sms::PduType::kStatusReport:
      return "status-report";
  }
  return "deliver";
}

std::string MessageBody(const Message& message) {
  if (!message.error.empty()) return "(a message that does not read: " + message.error + ")";
  if (message.pdu.type == sms::PduType::kStatusReport) {
    std::string body = "Status report for message " +
                       std::to_string(message.pdu.message_reference) + " to " +
                       message.pdu.address.text + ": " + ReportOutcome(message.pdu.status);
    if (message.pdu.discharge_time) body += " (" + message.pdu.discharge_time->Iso() + ")";
    return body;
  }
  if (message.pdu.coding == sms::Coding::kEightBit) return TextToHex(message.data);
  return message.text;
}

namespace {

// The object of one message; time is null when the message has none
// (export_ms then stands in "date").
nlohmann::ordered_json MessageJson(const Message& message, std::optional<int64_t> export_ms = {}) {
  const sms::Pdu& pdu = message.pdu;
  nlohmann::ordered_json j;
  j["memory"] = message.memory;
  j["indexes"] = message.indexes;
  j["status"] = std::string(sms::StatusText(message.status));
  j["kind"] = std::string(MessageKind(message));
  j["number"] = pdu.address.text;
  j["number_type"] = pdu.address.type;
  j["time"] = pdu.time ? nlohmann::ordered_json(pdu.time->Iso()) : nlohmann::ordered_json();
  if (export_ms) j["date"] = pdu.time ? pdu.time->UnixMs() : *export_ms;
  j["text"] = MessageBody(message);
  j["coding"] = CodingName(pdu.coding);
  if (pdu.coding == sms::Coding::kEightBit) j["data"] = TextToHex(message.data);
  j["class"] =
      pdu.message_class ? nlohmann::ordered_json(*pdu.message_class) : nlohmann::ordered_json();
  j["parts"] = message.total_parts;
  j["missing_parts"] = message.missing_parts;
  j["service_centre"] = pdu.service_centre.text;
  j["protocol_id"] = pdu.protocol_id;
  j["data_coding"] = pdu.data_coding;
  if (pdu.type == sms::PduType::kSubmit || pdu.type == sms::PduType::kStatusReport) {
    j["message_reference"] = pdu.message_reference;
  }
  if (pdu.type == sms::PduType::kStatusReport) {
    j["report_status"] = pdu.status;
    j["discharge_time"] = pdu.discharge_time ? nlohmann::ordered_json(pdu.discharge_time->Iso())
                                             : nlohmann::ordered_json();
  }
  j["status_report_request"] = pdu.status_report_request;
  if (!message.error.empty()) j["error"] = message.error;
  j["pdus"] = message.pdus;
  return j;
}

}  // namespace

std::string MessagesJson(const std::vector<Message>& messages) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const Message& message : messages) array.push_back(MessageJson(message));
  return array.dump(2);
}

std::string ContactsJson(const std::vector<Contact>& contacts) {
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const Contact& c : contacts) {
    nlohmann::ordered_json j;
    j["memory"] = c.memory;
    j["index"] = c.index;
    j["name"] = c.name;
    j["number"] = c.number;
    j["type"] = c.type;
    array.push_back(std::move(j));
  }
  return array.dump(2);
}

std::string ExportXml(const std::vector<Message>& messages, const std::vector<Contact>& contacts,
                      int64_t now_ms) {
  std::string xml = "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n";
  xml += "<smses count=\"" + std::to_string(messages.size()) + "\">\n";
  for (const Message& message : messages) {
    const sms::Pdu& pdu = message.pdu;
    const int64_t date = pdu.time ? pdu.time->UnixMs() : now_ms;
    const bool received = BackupType(message) == 1;
    const std::string centre =
        received && !pdu.service_centre.text.empty() ? pdu.service_centre.text : "null";
    const bool read = message.status != sms::Status::kReceivedUnread;
    xml += "  <sms protocol=\"0\" address=\"" + XmlEscaped(pdu.address.text) + "\" date=\"" +
           std::to_string(date) + "\" type=\"" + std::to_string(BackupType(message)) +
           "\" subject=\"null\" body=\"" + XmlEscaped(MessageBody(message)) +
           "\" toa=\"null\" sc_toa=\"null\" service_center=\"" + XmlEscaped(centre) + "\" read=\"" +
           (read ? "1" : "0") + "\" status=\"" + std::to_string(BackupStatus(message)) +
           "\" locked=\"0\" date_sent=\"0\"" + " readable_date=\"" +
           XmlEscaped(ReadableDate(date)) + "\" contact_name=\"" +
           XmlEscaped(ContactName(contacts, pdu.address.text).value_or("(Unknown)")) +
           "\" qv_memory=\"" + XmlEscaped(message.memory) + "\" qv_indexes=\"" +
           JoinedIndexes(message.indexes) + "\" qv_pdus=\"" + XmlEscaped(JoinedPdus(message.pdus)) +
           "\" />\n";
  }
  xml += "</smses>\n";
  return xml;
}

std::string ExportJsonLines(const std::vector<Message>& messages, int64_t now_ms) {
  std::string lines;
  for (const Message& message : messages) lines += MessageJson(message, now_ms).dump() + "\n";
  return lines;
}

namespace {

struct XmlReading {
  std::vector<ExportedMessage> messages;
  bool root_seen = false;
};

void OnStart(void* data, const XML_Char* name, const XML_Char** attributes) {
  auto* reading = static_cast<XmlReading*>(data);
  const std::string element = name;
  if (element == "smses") reading->root_seen = true;
  if (element != "sms") return;
  ExportedMessage message;
  for (size_t i = 0; attributes[i]; i += 2) {
    const std::string key = attributes[i];
    const std::string value = attributes[i + 1];
    if (key == "address") message.number = value;
    if (key == "body") message.body = value;
    if (key == "qv_memory") message.memory = value;
    if (key == "qv_indexes") message.indexes = SplitNumbers(value);
    if (key == "qv_pdus") message.pdus = SplitWords(value);
  }
  reading->messages.push_back(std::move(message));
}

void OnEnd(void*, const XML_Char*) {}

std::vector<ExportedMessage> ReadXml(std::string_view text) {
  XmlReading reading;
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &reading);
  XML_SetElementHandler(parser, OnStart, OnEnd);
  const bool ok =
      XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) != XML_STATUS_ERROR;
  std::string error;
  if (!ok) {
    error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
            std::to_string(XML_GetCurrentLineNumber(parser));
  }
  XML_ParserFree(parser);
  if (!ok) throw std::runtime_error("the XML does not read: " + error);
  if (!reading.root_seen) throw std::runtime_error("not a message export (no <smses>)");
  return reading.messages;
}

std::vector<ExportedMessage> ReadJsonLines(std::string_view text) {
  std::vector<ExportedMessage> messages;
  size_t line_number = 0;
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    ++line_number;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    try {
      const nlohmann::json j = nlohmann::json::parse(line);
      ExportedMessage message;
      message.memory = j.at("memory").get<std::string>();
      message.indexes = j.at("indexes").get<std::vector<int>>();
      message.number = j.at("number").get<std::string>();
      message.body = j.at("text").get<std::string>();
      if (j.contains("pdus")) message.pdus = j.at("pdus").get<std::vector<std::string>>();
      messages.push_back(std::move(message));
    } catch (const nlohmann::json::exception& e) {
      throw std::runtime_error("line " + std::to_string(line_number) +
                               " is not a message of a JSON export (" + e.what() + ")");
    }
  }
  return messages;
}

}  // namespace

std::vector<ExportedMessage> ReadExport(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
  if (first == std::string_view::npos) return {};
  if (text[first] == '<') return ReadXml(text);
  if (text[first] == '{') return ReadJsonLines(text);
  throw std::runtime_error("neither the XML nor the JSON form of a message export");
}

bool SameMessage(const Message& message, const ExportedMessage& exported) {
  return !exported.pdus.empty() && message.memory == exported.memory &&
         message.indexes == exported.indexes && message.pdus == exported.pdus;
}

std::optional<std::string> ContactName(const std::vector<Contact>& contacts,
                                       const std::string& number) {
  const std::string digits = DigitsOf(number);
  if (digits.empty()) return std::nullopt;
  for (const Contact& contact : contacts) {
    const std::string other = DigitsOf(contact.number);
    if (other == digits && contact.number.starts_with('+') == number.starts_with('+')) {
      return contact.name;
    }
    if (other.size() >= 8 && digits.size() >= 8 &&
        other.compare(other.size() - 8, 8, digits, digits.size() - 8, 8) == 0) {
      return contact.name;
    }
  }
  return std::nullopt;
}

}  // namespace quorvalen::tool
