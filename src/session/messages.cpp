// The phone's short messages over AT commands in PDU mode: the store listed
// with one AT+CMGL per memory (its parts joined into messages), messages
// deleted, sent through the control's prompt exchange (",HEX>") part by
// part, and stored as drafts. Errors the phone gives become typed errors;
// a SIM that wants its PIN is given it once and the line runs again.
#include <algorithm>
#include <cctype>

#include "quorvalen/quorvalen.h"
#include "quorvalen/session.h"
#include "session/at_answers.h"
#include "session/checked_line.h"

namespace quorvalen {
namespace {

bool IsSimPinError(const AtErrorLine& error) {
  return error.code && ((error.family == AtErrorFamily::kCme && *error.code == 11) ||
                        (error.family == AtErrorFamily::kCms && *error.code == 311));
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The part of an AT line that may be shown: without its options and data
// block, and never a PIN.
std::string Shown(const std::string& line) {
  if (line.rfind("AT+CPIN=", 0) == 0) return "AT+CPIN=...";
  return line.substr(0, std::min(line.find(",LONG"), line.find(",HEX>")));
}

}  // namespace

AtAnswer Session::RunChecked(const std::string& line) {
  for (bool pin_given = false;; pin_given = true) {
    AtAnswer answer;
    try {
      answer = RunAt(line);
    } catch (const SessionError&) {
      at_ = {};  // a phone that stopped answering may come back reset
      throw;
    }
    if (answer.final == "OK") return answer;
    std::optional<AtErrorLine> error;
    for (const std::string& text : answer.lines) {
      if (auto read = ReadAtErrorLine(text)) error = read;
    }
    if (error && IsSimPinError(*error) && !pin_given && EnterPin()) continue;
    if (!error) {
      throw SessionError(SessionErrorKind::kRefused, Shown(line) + ": the phone answered ERROR");
    }
    const std::string form = error->family == AtErrorFamily::kCme ? "+CME ERROR" : "+CMS ERROR";
    const std::string code = error->code ? ": " + std::to_string(*error->code) : std::string();
    throw SessionError(SessionErrorKind::kRefused, error->text + " (" + form + code + ")",
                       error->code.value_or(0), error->family);
  }
}

bool Session::EnterPin() {
  if (pin_refused_) {
    throw SessionError(SessionErrorKind::kRefused,
                       "the SIM refused the PIN before; it is not tried again (three wrong PINs "
                       "lock the SIM)",
                       16, AtErrorFamily::kCme);
  }
  const AtAnswer state = RunAt("AT+CPIN?");
  // A phone that does not say is taken as ready: its own answers tell.
  if (state.final != "OK") return true;
  std::string wants;
  for (const std::string& text : state.lines) {
    if (auto parameters = AnswerParameters(text, "+CPIN"); parameters && !parameters->empty()) {
      wants = parameters->front();
    }
  }
  if (wants == "READY" || wants.empty()) return true;
  if (wants != "SIM PIN") {
    // The codes of +CME ERROR for each lock a SIM or phone can be in.
    const int code = wants == "SIM PUK"      ? 12
                     : wants == "SIM PIN2"   ? 17
                     : wants == "SIM PUK2"   ? 18
                     : wants == "PH-SIM PIN" ? 5
                                             : 100;
    throw SessionError(SessionErrorKind::kRefused,
                       "the SIM is locked (" + wants + "); unlock it on the phone", code,
                       AtErrorFamily::kCme);
  }
  std::optional<std::string> pin = options_.pin;
  if (!pin && options_.ask_pin) pin = options_.ask_pin();
  if (!pin) {
    throw SessionError(SessionErrorKind::kRefused, "the SIM wants its PIN", 11,
                       AtErrorFamily::kCme);
  }
  if (pin->size() < 4 || pin->size() > 8 ||
      !std::all_of(pin->begin(), pin->end(), [](char c) { return c >= '0' && c <= '9'; })) {
    throw SessionError(SessionErrorKind::kBadName, "a PIN is 4 to 8 digits");
  }
  // The PIN stays out of the trace: the control's lines of this one
  // command are left out, and a note says so. No message names it.
  checked_->PauseTrace(true, "the SIM's PIN");
  AtAnswer answer;
  try {
    answer = RunAt("AT+CPIN=" + Quoted(*pin));
  } catch (const SessionError& e) {
    checked_->PauseTrace(false);
    throw SessionError(e.Kind(),
                       e.Kind() == SessionErrorKind::kTimeout
                           ? "the phone stopped answering (AT+CPIN: no answer)"
                           : "the PIN could not be given: the link failed",
                       e.Code());
  }
  checked_->PauseTrace(false);
  if (answer.final != "OK") {
    // Never again in this session: a SIM locks itself after three wrong PINs.
    pin_refused_ = true;
    throw SessionError(SessionErrorKind::kRefused, "the SIM refused the PIN (incorrect password)",
                       16, AtErrorFamily::kCme);
  }
  return true;
}

namespace {

// The value an AT setting reads back ("+CMEE: 0" gives "0"), or empty.
std::string SettingOf(const AtAnswer& answer, std::string_view name) {
  if (answer.final != "OK") return {};
  for (const std::string& line : answer.lines) {
    auto parameters = AnswerParameters(line, name);
    if (parameters && !parameters->empty()) return parameters->front();
  }
  return {};
}

}  // namespace

void Session::NumberedErrors() {
  RequireOpen();
  // Numbered error answers where the phone has them; not every phone
  // takes the command, and nothing depends on it. What it had is given
  // back at close: other programs and the control's own switch lines
  // expect the plain ERROR.
  if (at_.numbered_errors) return;
  at_.errors_before = SettingOf(RunAt("AT+CMEE?"), "+CMEE");
  if (at_.errors_before != "1") RunAt("AT+CMEE=1");
  at_.numbered_errors = true;
}

void Session::PrepareMessages() {
  NumberedErrors();
  if (at_.pdu_mode) return;
  at_.format_before = SettingOf(RunAt("AT+CMGF?"), "+CMGF");
  if (at_.format_before != "0") RunChecked("AT+CMGF=0");
  at_.pdu_mode = true;
}

std::vector<std::string> Session::MessageMemories() {
  PrepareMessages();
  if (auto memories = FirstListOf(RunChecked("AT+CPMS=?").lines, "+CPMS")) {
    return PreferredMemories(*memories);
  }
  throw SessionError(SessionErrorKind::kBadAnswer, "the phone did not name its message memories");
}

void Session::SelectMessageMemory(const std::string& memory, bool write) {
  if (memory.empty() || memory.find_first_of("\",\r\n") != std::string::npos) {
    throw SessionError(SessionErrorKind::kBadName, "no such message memory: \"" + memory + "\"");
  }
  if (at_.message_memory == memory && (!write || at_.write_memory == memory)) return;
  const std::string name = Quoted(memory);
  at_.message_memory.clear();
  try {
    RunChecked("AT+CPMS=" + name + (write ? "," + name : ""));
  } catch (const SessionError& e) {
    if (e.Kind() != SessionErrorKind::kRefused || (e.AtFamily() && e.Code() == 311)) throw;
    throw SessionError(e.Kind(), "no message memory " + memory + " (" + e.what() + ")", e.Code(),
                       e.AtFamily());
  }
  at_.message_memory = memory;
  if (write) at_.write_memory = memory;
}

std::vector<Message> Session::MessagesOf(const std::string& memory) {
  SelectMessageMemory(memory);
  AtAnswer answer = RunChecked("AT+CMGL=4,LONG");
  struct Listed {
    int index;
    sms::Status status;
    std::string hex;
  };
  std::vector<Listed> listed;
  std::vector<std::string>& lines = answer.lines;
  listed.reserve(lines.size() / 2);
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    auto parameters = AnswerParameters(lines[i], "+CMGL");
    if (!parameters || parameters->size() < 2) continue;
    std::optional<int> index = NumberOf((*parameters)[0]);
    std::optional<sms::Status> status = sms::StatusFromText((*parameters)[1]);
    if (!index || !status) continue;
    listed.push_back({*index, *status, std::move(lines[++i])});
  }
  std::vector<std::string>().swap(lines);  // a long answer's lines are read

  std::vector<Message> messages;
  std::vector<sms::Pdu> pdus;
  std::vector<size_t> pdu_source;  // the listed entry of each decoded PDU
  messages.reserve(listed.size());
  pdus.reserve(listed.size());
  pdu_source.reserve(listed.size());
  for (size_t i = 0; i < listed.size(); ++i) {
    sms::Decoded decoded = sms::DecodePdu(listed[i].hex);
    if (decoded.pdu) {
      pdus.push_back(std::move(*decoded.pdu));
      pdu_source.push_back(i);
      continue;
    }
    Message bad;
    bad.memory = memory;
    bad.indexes = {listed[i].index};
    bad.status = listed[i].status;
    bad.pdus = {listed[i].hex};
    bad.error = decoded.error;
    messages.push_back(std::move(bad));
  }
  for (sms::JoinedMessage& joined : sms::JoinParts(pdus)) {
    Message message;
    message.memory = memory;
    sms::Pdu& first = pdus[joined.parts.front()];
    message.status = listed[pdu_source[joined.parts.front()]].status;
    message.total_parts = first.concatenation ? first.concatenation->total : 1;
    message.missing_parts = joined.missing;
    message.data = std::move(joined.data);
    // The text with a note where a part was not found.
    size_t next = 0;
    if (joined.missing.empty()) message.text = std::move(joined.text);
    for (int sequence = 1; sequence <= message.total_parts && !joined.missing.empty(); ++sequence) {
      const bool missing =
          std::find(joined.missing.begin(), joined.missing.end(), sequence) != joined.missing.end();
      if (missing) {
        message.text += "[part " + std::to_string(sequence) + " of " +
                        std::to_string(message.total_parts) + " is missing]";
      } else if (next < joined.parts.size()) {
        message.text += pdus[joined.parts[next++]].text;
      }
    }
    for (size_t position : joined.parts) {
      Listed& entry = listed[pdu_source[position]];
      message.indexes.push_back(entry.index);
      message.pdus.push_back(std::move(entry.hex));
      // A message read in part is still unread.
      if (entry.status == sms::Status::kReceivedUnread) message.status = entry.status;
    }
    message.pdu = std::move(first);  // its text was taken above
    messages.push_back(std::move(message));
  }
  auto by_index = [](const Message& a, const Message& b) {
    return a.indexes.front() < b.indexes.front();
  };
  if (!std::is_sorted(messages.begin(), messages.end(), by_index)) {
    std::stable_sort(messages.begin(), messages.end(), by_index);
  }
  return messages;
}

std::vector<Message> Session::Messages(const std::string& memory) {
  if (!memory.empty()) {
    PrepareMessages();
    return MessagesOf(memory);
  }
  std::vector<Message> all;
  const std::vector<std::string> memories = MessageMemories();
  for (const std::string& name : memories) {
    std::vector<Message> some = MessagesOf(name);
    std::move(some.begin(), some.end(), std::back_inserter(all));
  }
  return all;
}

void Session::DeleteMessage(const std::string& memory, int index) {
  PrepareMessages();
  SelectMessageMemory(memory);
  // Phones delete an empty slot without a word: reading it first names the
  // slot that holds nothing.
  RunChecked("AT+CMGR=" + std::to_string(index));
  RunChecked("AT+CMGD=" + std::to_string(index));
}

void Session::DeleteMessage(const Message& message) {
  PrepareMessages();
  SelectMessageMemory(message.memory);
  for (int index : message.indexes) RunChecked("AT+CMGD=" + std::to_string(index));
}

namespace {

PlannedMessage Plan(const std::string& number, const std::string& text, const SendOptions& options,
                    uint8_t reference) {
  sms::Pdu base;
  base.type = sms::PduType::kSubmit;
  base.address = sms::AddressOf(number);
  if (base.address.text.empty() || base.address.type == 0xD0 ||
      base.address.text.size() > (base.address.type == 0x91 ? 21u : 20u)) {
    throw SessionError(SessionErrorKind::kBadName,
                       "\"" + number + "\" is not a telephone number a message can go to");
  }
  base.validity = options.validity;
  base.status_report_request = options.status_report;
  PlannedMessage plan;
  plan.coding = options.coding.value_or(sms::ChooseCoding(text));
  if (plan.coding == sms::Coding::kGsm7 && !sms::FitsGsm7(text)) {
    throw SessionError(SessionErrorKind::kBadName,
                       "the text has characters the 7-bit alphabet lacks (send it as UCS-2)");
  }
  base.coding = plan.coding;
  plan.parts = plan.coding == sms::Coding::kEightBit ? sms::SplitData(base, text, reference)
                                                     : sms::SplitText(base, text, reference);
  if (plan.parts.empty() || plan.parts.size() > 255) {
    throw SessionError(SessionErrorKind::kBadName, "the text is too long for one message");
  }
  for (const sms::Pdu& part : plan.parts) plan.encoded.push_back(sms::EncodePdu(part));
  return plan;
}

}  // namespace

PlannedMessage Session::PlanMessage(const std::string& number, const std::string& text,
                                    const SendOptions& options) {
  return Plan(number, text, options, 0);
}

SentMessage Session::Transmit(const std::string& number, const std::string& text,
                              const SendOptions& options, bool draft) {
  // A reference of its own for each long message, so that the receiving
  // phone does not join parts of two.
  const PlannedMessage plan = Plan(number, text, options, ++next_reference_);
  PrepareMessages();
  // A phone refuses a line with a data block before its prompt when the
  // SIM wants its PIN or the memory is full: asked first, so that the
  // refusal is clear and the PIN can be given.
  if (!at_.pin_ready) at_.pin_ready = EnterPin();
  SentMessage result;
  if (draft) {
    if (!options.memory.empty()) SelectMessageMemory(options.memory, true);
    for (const std::string& line : RunChecked("AT+CPMS?").lines) {
      auto parameters = AnswerParameters(line, "+CPMS");
      if (!parameters || parameters->size() < 6) continue;
      result.memory = (*parameters)[3];
      const std::optional<int> used = NumberOf((*parameters)[4]);
      const std::optional<int> total = NumberOf((*parameters)[5]);
      if (used && total && *total - *used < static_cast<int>(plan.encoded.size())) {
        throw SessionError(SessionErrorKind::kRefused,
                           "memory full (" + result.memory + " has " +
                               std::to_string(*total - *used) + " free of " +
                               std::to_string(*total) + "; the message needs " +
                               std::to_string(plan.encoded.size()) + ")",
                           322, AtErrorFamily::kCms);
      }
    }
  }
  const char* verb = draft ? "AT+CMGW=" : "AT+CMGS=";
  const char* answer_name = draft ? "+CMGW" : "+CMGS";
  for (size_t i = 0; i < plan.encoded.size(); ++i) {
    const sms::Encoded& part = plan.encoded[i];
    const std::string line =
        verb + std::to_string(part.tpdu_length) + (draft ? ",2" : "") + ",LONG,HEX>" + part.hex;
    AtAnswer answer;
    checked_->AwaitPrompt(true);
    try {
      answer = RunChecked(line);
      checked_->AwaitPrompt(false);
    } catch (const SessionError& e) {
      checked_->AwaitPrompt(false);
      if (plan.encoded.size() == 1) throw;
      const std::string done = i == 0 ? "none was " + std::string(draft ? "stored" : "sent")
                                      : std::to_string(i) + " " + (draft ? "stored" : "sent");
      throw SessionError(e.Kind(),
                         "part " + std::to_string(i + 1) + " of " +
                             std::to_string(plan.encoded.size()) + ": " + e.what() + " (" + done +
                             ")",
                         e.Code(), e.AtFamily());
    }
    for (const std::string& text_line : answer.lines) {
      auto parameters = AnswerParameters(text_line, answer_name);
      if (!parameters || parameters->empty()) continue;
      if (std::optional<int> value = NumberOf(parameters->front())) {
        (draft ? result.indexes : result.references).push_back(*value);
      }
    }
  }
  return result;
}

SentMessage Session::SendMessage(const std::string& number, const std::string& text,
                                 const SendOptions& options) {
  return Transmit(number, text, options, false);
}

SentMessage Session::StoreDraft(const std::string& number, const std::string& text,
                                const SendOptions& options) {
  return Transmit(number, text, options, true);
}

}  // namespace quorvalen
