// The simulated phone's AT commands, one table row each: identity, echo,
// the switches into OBEX, and short messages and the phonebook served
// from the phone's MessageStore.
#include "sim/at_commands.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "quorvalen/at_errors.h"
#include "quorvalen/byte_text.h"

namespace quorvalen::sim {
namespace {

std::string Line(std::string_view text) { return "\r\n" + std::string(text) + "\r\n"; }

const std::string kOk = Line("OK");
const std::string kError = Line("ERROR");
const std::string kPrompt = "\r\n> ";

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

std::string Quote(std::string_view s) { return "\"" + std::string(s) + "\""; }

std::optional<int> Number(std::string_view text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A parameter given as a number (not quoted).
std::optional<int> Number(const AtRequest& request, size_t i) {
  if (i >= request.parameters.size() || request.parameters[i].quoted) return std::nullopt;
  return Number(request.parameters[i].text);
}

bool Present(const AtRequest& request, size_t i) {
  return i < request.parameters.size() && !request.parameters[i].Empty();
}

// Characters of a UTF-8 text (continuation bytes not counted).
int CharacterCount(std::string_view utf8) {
  return static_cast<int>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

bool ValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t extra = lead < 0x80                    ? 0
                   : lead >= 0xC2 && lead <= 0xDF ? 1
                   : lead >= 0xE0 && lead <= 0xEF ? 2
                   : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                  : 9;
    if (extra == 9 || text.size() - i - 1 < extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

std::optional<std::string> HexBytes(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  for (char c : hex) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  return HexToText(Upper(hex));
}

// A PDU typed after the prompt: blanks and line ends dropped.
std::string CleanPdu(std::string_view text) {
  std::string hex;
  for (char c : text) {
    if (c != ' ' && c != '\r' && c != '\n' && c != '\t') hex += c;
  }
  return hex;
}

// The TPDU's length in octets: all but the service centre's part.
std::optional<int> TpduLength(std::string_view hex) {
  auto bytes = HexBytes(hex);
  if (!bytes || bytes->empty()) return std::nullopt;
  const int length = static_cast<int>(bytes->size()) - 1 - static_cast<uint8_t>((*bytes)[0]);
  if (length < 0) return std::nullopt;
  return length;
}

// The first octet of the TPDU (a status report's <fo>).
int FirstOctet(std::string_view hex) {
  auto bytes = HexBytes(hex);
  if (!bytes || bytes->empty()) return 0;
  const size_t at = 1u + static_cast<uint8_t>((*bytes)[0]);
  return at < bytes->size() ? static_cast<uint8_t>((*bytes)[at]) : 0;
}

constexpr std::string_view kDialCharacters = "0123456789*#+ABCDabcdPpWw,";

bool DialString(std::string_view number) {
  for (size_t i = 0; i < number.size(); ++i) {
    if (kDialCharacters.find(number[i]) == std::string_view::npos) return false;
    if (number[i] == '+' && i != 0) return false;
  }
  return true;
}

// A memory name given quoted or bare: "SM", "ME".
std::string MemoryName(const AtParameter& parameter) { return Upper(parameter.text); }

std::string UsedIndexes(const std::map<int, StoredMessage>& slots) {
  std::string out;
  for (auto it = slots.begin(); it != slots.end();) {
    const int first = it->first;
    int last = first;
    for (++it; it != slots.end() && it->first == last + 1; ++it) last = it->first;
    if (!out.empty()) out += ',';
    out += std::to_string(first);
    if (last != first) out += "-" + std::to_string(last);
  }
  return out;
}

}  // namespace

std::optional<AtRequest> ParseAtLine(std::string_view line, bool framed) {
  if (line.size() < 2 || Upper(line.substr(0, 2)) != "AT") return std::nullopt;
  AtRequest request;
  request.framed = framed;
  std::string_view rest = line.substr(2);
  size_t i = 0;
  while (i < rest.size() && rest[i] != '=' && rest[i] != '?') {
    if (rest[i] != ' ')
      request.name += static_cast<char>(std::toupper(static_cast<unsigned char>(rest[i])));
    ++i;
  }
  const std::string_view tail = rest.substr(i);
  if (tail.empty()) return request;
  if (tail == "?") {
    request.form = AtRequest::Form::kRead;
    return request;
  }
  if (tail[0] != '=') return std::nullopt;
  std::string_view argument = tail.substr(1);
  if (argument == "?") {
    request.form = AtRequest::Form::kTest;
    return request;
  }
  request.form = AtRequest::Form::kSet;
  request.argument = Upper(argument);
  if (argument.find_first_not_of(' ') == std::string_view::npos) return request;
  size_t at = 0;
  for (;;) {
    AtParameter parameter;
    while (at < argument.size() && argument[at] == ' ') ++at;
    if (at < argument.size() && argument[at] == '"') {
      const size_t close = argument.find('"', at + 1);
      if (close == std::string_view::npos) return std::nullopt;
      parameter.text = argument.substr(at + 1, close - at - 1);
      parameter.quoted = true;
      at = close + 1;
      while (at < argument.size() && argument[at] == ' ') ++at;
      if (at < argument.size() && argument[at] != ',') return std::nullopt;
    } else {
      const size_t comma = std::min(argument.find(',', at), argument.size());
      std::string_view text = argument.substr(at, comma - at);
      while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
      if (text.find('"') != std::string_view::npos) return std::nullopt;
      parameter.text = text;
      at = comma;
    }
    request.parameters.push_back(std::move(parameter));
    if (at >= argument.size()) break;
    ++at;  // the comma
  }
  return request;
}

AtCommands::AtCommands(const PhoneOptions& options, Phone phone)
    : options_(options), phone_(std::move(phone)), messages_(options.messages) {
  if (!messages_) {
    messages_ = std::make_shared<MessageStore>();
    check_sends_ = false;
  }
}

void AtCommands::Reset() {
  sqwe0_ = false;
  pending_.reset();
}

std::string AtCommands::Run(const std::string& line, bool framed) {
  const std::optional<AtRequest> request = ParseAtLine(line, framed);
  if (!request) return kError;
  for (const Row& row : Table()) {
    if (row.name != request->name) continue;
    Handler handler = nullptr;
    switch (request->form) {
      case AtRequest::Form::kAction:
        handler = row.action;
        break;
      case AtRequest::Form::kSet:
        handler = row.set;
        break;
      case AtRequest::Form::kRead:
        handler = row.read;
        break;
      case AtRequest::Form::kTest:
        handler = row.test;
        break;
    }
    return handler ? handler(*this, *request) : kError;
  }
  return kError;
}

// ---- answers ----

std::string AtCommands::Info(std::string_view text) const { return Line(text) + kOk; }

std::string AtCommands::CmeError(int code) const {
  return cmee_ == 0 ? kError : Line(AtErrorAnswer(AtErrorFamily::kCme, code, cmee_));
}

std::string AtCommands::CmsError(int code) const {
  return cmee_ == 0 ? kError : Line(AtErrorAnswer(AtErrorFamily::kCms, code, cmee_));
}

bool AtCommands::Locked(const std::string& memory) const {
  return memory == "SM" && !options_.pin.empty() && !pin_given_;
}

bool AtCommands::Infrared() const { return options_.cable == Cable::kInfrared; }

// Over infrared the OBEX service stands in for the cable's switches.
bool AtCommands::BfbFamily() const {
  return (options_.family == 1 || options_.family == 2) && !Infrared();
}

// ---- character sets ----

std::string AtCommands::Encode(std::string_view utf8) const {
  switch (charset_) {
    case Charset::kGsm:
      return sms::Utf8ToGsm7(utf8);
    case Charset::kUcs2:
      return TextToHex(sms::Utf8ToUcs2(utf8));
    case Charset::kIra:
      break;
  }
  std::string ascii;
  for (char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      ascii += c;
    } else if ((b & 0xC0) != 0x80) {
      ascii += '?';
    }
  }
  return ascii;
}

std::optional<std::string> AtCommands::Decode(std::string_view text) const {
  switch (charset_) {
    case Charset::kUcs2: {
      if (text.size() % 4 != 0) return std::nullopt;
      auto bytes = HexBytes(text);
      if (!bytes) return std::nullopt;
      return sms::Ucs2ToUtf8(*bytes);
    }
    case Charset::kGsm:
      // Septets, one a byte; a terminal that sends UTF-8 is understood too.
      if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
        return sms::Gsm7ToUtf8(text);
      }
      break;
    case Charset::kIra:
      break;
  }
  if (!ValidUtf8(text)) return std::nullopt;
  return std::string(text);
}

std::string AtCommands::DecodeNumber(std::string_view text) const {
  if (charset_ == Charset::kUcs2) {
    auto decoded = Decode(text);
    if (decoded && !decoded->empty() && DialString(*decoded)) return *decoded;
  }
  return std::string(text);
}

// ---- the table ----

const std::vector<AtCommands::Row>& AtCommands::Table() {
  using R = const AtRequest&;
  using A = AtCommands&;
  static const std::vector<Row> table = {
      // Identity and line settings.
      {"", [](A, R) { return kOk; }},
      {"Z",
       [](A at, R) {
         at.echo_ = true;
         at.text_mode_ = false;
         at.charset_ = Charset::kGsm;
         at.cmee_ = 0;
         return kOk;
       }},
      {"E",
       [](A at, R) {
         at.echo_ = false;
         return kOk;
       }},
      {"E0",
       [](A at, R) {
         at.echo_ = false;
         return kOk;
       }},
      {"E1",
       [](A at, R) {
         at.echo_ = true;
         return kOk;
       }},
      {"+CFUN", nullptr, [](A, R r) { return r.argument == "1" ? kOk : kError; }},
      {"+CGMI", [](A at, R) { return at.Info(at.options_.manufacturer); }},
      {"+GMI", [](A at, R) { return at.Info(at.options_.manufacturer); }},
      {"+CGMM", [](A at, R) { return at.Info(at.options_.model); }},
      {"+GMM", [](A at, R) { return at.Info(at.options_.stack_name); }},
      {"+CGMR", [](A at, R) { return at.Info(at.options_.revision); }},
      {"+GMR", [](A at, R) { return at.Info(at.options_.revision); }},
      {"+CGSN", [](A at, R) { return at.Info(at.options_.serial_number); }},
      {"+CBC", [](A at, R) { return at.Info("+CBC: 0,80"); }},
      {"+CSQ", [](A at, R) { return at.Info("+CSQ: 21,99"); }},
      {"^SIFS",
       [](A at, R) {
         return at.Info(at.Infrared()                      ? "^SIFS: IRDA"
                        : at.options_.cable == Cable::kUsb ? "^SIFS: USB"
                                                           : "^SIFS: WIRE");
       }},
      {"+CMEE", nullptr,
       [](A at, R r) {
         auto n = Number(r, 0);
         if (r.parameters.size() != 1 || !n || *n < 0 || *n > 2) return kError;
         at.cmee_ = *n;
         return kOk;
       },
       [](A at, R) { return at.Info("+CMEE: " + std::to_string(at.cmee_)); },
       [](A at, R) { return at.Info("+CMEE: (0-2)"); }},
      {"+CSCS", nullptr,
       [](A at, R r) {
         if (r.parameters.size() != 1) return kError;
         const std::string name = Upper(r.parameters[0].text);
         if (name == "GSM") {
           at.charset_ = Charset::kGsm;
         } else if (name == "UCS2") {
           at.charset_ = Charset::kUcs2;
         } else if (name == "IRA") {
           at.charset_ = Charset::kIra;
         } else {
           return kError;
         }
         return kOk;
       },
       [](A at, R) {
         const char* names[] = {"GSM", "UCS2", "IRA"};
         return at.Info("+CSCS: " + Quote(names[static_cast<int>(at.charset_)]));
       },
       [](A at, R) { return at.Info("+CSCS: (\"GSM\",\"UCS2\",\"IRA\")"); }},
      {"+CPIN", nullptr,
       [](A at, R r) {
         if (r.parameters.empty() || r.parameters.size() > 2 || r.parameters[0].Empty()) {
           return kError;
         }
         if (at.options_.pin.empty() || at.pin_given_) return at.CmeError(3);
         if (r.parameters[0].text != at.options_.pin) return at.CmeError(16);
         at.pin_given_ = true;
         return kOk;
       },
       [](A at, R) {
         const bool asked = !at.options_.pin.empty() && !at.pin_given_;
         return at.Info(asked ? "+CPIN: SIM PIN" : "+CPIN: READY");
       },
       [](A, R) { return kOk; }},

      // The switches into OBEX.
      {"^SBFB", nullptr,
       [](A at, R r) {
         if (r.argument == "0") return kOk;  // framed, the phone leaves BFB mode once sent
         if (r.argument == "1" && at.BfbFamily() && !r.framed) {
           at.phone_.answer(kOk);
           at.phone_.enter_bfb();
           return std::string();
         }
         return kError;
       },
       nullptr, [](A at, R) { return at.BfbFamily() ? at.Info("^SBFB: (0,1)") : kError; }},
      {"^SQWE", nullptr,
       [](A at, R r) {
         if (at.Infrared()) return kError;
         if (at.BfbFamily()) return r.argument == "2" ? kOk : kError;
         if (r.argument == "0") {
           at.sqwe0_ = true;
           return kOk;
         }
         if (r.argument == "3" && at.sqwe0_ && !r.framed) {
           at.phone_.answer(kOk);
           at.phone_.enter_raw_obex(false);
           return std::string();
         }
         at.sqwe0_ = false;
         return r.argument == "3" ? kError : kOk;
       },
       nullptr,
       [](A at, R) {
         // Taken as a mode it does not know, as the phone always has.
         if (at.Infrared() || at.BfbFamily()) return kError;
         at.sqwe0_ = false;
         return kOk;
       }},
      // The standard way into OBEX, on every family: "CONNECT", then raw
      // OBEX until "+++" between silences, as after AT^SQWE=3.
      {"+CPROT", nullptr,
       [](A at, R r) {
         if (r.argument != "0" || r.framed) return kError;
         at.phone_.answer(Line("CONNECT"));
         at.phone_.enter_raw_obex(true);
         return std::string();
       },
       nullptr, [](A at, R) { return at.Info("+CPROT: 0"); }},

      // Short messages.
      {"+CMGF", nullptr,
       [](A at, R r) {
         auto n = Number(r, 0);
         if (r.parameters.size() != 1 || !n || *n < 0 || *n > 1) return kError;
         at.text_mode_ = *n == 1;
         return kOk;
       },
       [](A at, R) { return at.Info(at.text_mode_ ? "+CMGF: 1" : "+CMGF: 0"); },
       [](A at, R) { return at.Info("+CMGF: (0,1)"); }},
      {"+CPMS", nullptr, [](A at, R r) { return at.SelectMessageMemories(r); },
       [](A at, R) { return at.MessageMemories(); },
       [](A at, R) { return at.Info("+CPMS: (\"SM\",\"ME\"),(\"SM\",\"ME\"),(\"SM\",\"ME\")"); }},
      {"+CMGL", [](A at, R r) { return at.ListMessages(r); },
       [](A at, R r) { return at.ListMessages(r); }, nullptr,
       [](A at, R) {
         return at.Info(
             at.text_mode_
                 ? "+CMGL: (\"REC UNREAD\",\"REC READ\",\"STO UNSENT\",\"STO SENT\",\"ALL\")"
                 : "+CMGL: (0-4)");
       }},
      {"+CMGR", nullptr, [](A at, R r) { return at.ReadMessage(r); }, nullptr,
       [](A, R) { return kOk; }},
      {"+CMGD", nullptr, [](A at, R r) { return at.DeleteMessage(r); }, nullptr,
       [](A at, R) {
         if (at.Locked(at.mem1_)) return at.CmsError(311);
         return at.Info("+CMGD: (" + UsedIndexes(at.messages_->Messages(at.mem1_).slots) +
                        "),(0-4)");
       }},
      {"+CMGW", [](A at, R r) { return at.StartEntry(r, false); },
       [](A at, R r) { return at.StartEntry(r, false); }, nullptr, [](A, R) { return kOk; }},
      {"+CMGS", nullptr, [](A at, R r) { return at.StartEntry(r, true); }, nullptr,
       [](A, R) { return kOk; }},
      {"+CSCA", nullptr,
       [](A at, R r) {
         if (r.parameters.empty() || r.parameters.size() > 2 || r.parameters[0].Empty()) {
           return kError;
         }
         std::string number = at.DecodeNumber(r.parameters[0].text);
         if (number.empty()) return kError;
         auto type = Number(r, 1);
         if (Present(r, 1) && !type) return kError;
         if (type == 145 && number.front() != '+') number = "+" + number;
         if (!DialString(number)) return at.CmsError(330);
         at.messages_->service_centre = number;
         return kOk;
       },
       [](A at, R) {
         const std::string& number = at.messages_->service_centre;
         const int type = !number.empty() && number[0] == '+' ? 145 : 129;
         return at.Info("+CSCA: " + Quote(at.Encode(number)) + "," + std::to_string(type));
       },
       [](A, R) { return kOk; }},
      {"+CNMI", nullptr,
       [](A at, R r) {
         static const int kMax[] = {2, 3, 3, 2, 1};
         if (r.parameters.empty() || r.parameters.size() > 5) return kError;
         std::vector<int> values = at.cnmi_;
         for (size_t i = 0; i < r.parameters.size(); ++i) {
           if (r.parameters[i].Empty()) continue;
           auto n = Number(r, i);
           if (!n || *n < 0 || *n > kMax[i]) return kError;
           values[i] = *n;
         }
         at.cnmi_ = values;
         return kOk;
       },
       [](A at, R) {
         std::string text = "+CNMI: ";
         for (size_t i = 0; i < at.cnmi_.size(); ++i) {
           text += (i ? "," : "") + std::to_string(at.cnmi_[i]);
         }
         return at.Info(text);
       },
       [](A at, R) { return at.Info("+CNMI: (0-2),(0-3),(0-3),(0-2),(0,1)"); }},

      // The phonebook.
      {"+CPBS", nullptr, [](A at, R r) { return at.SelectPhonebook(r); },
       [](A at, R) {
         if (at.Locked(at.phonebook_)) return at.CmeError(11);
         const auto& memory = at.messages_->Phonebook(at.phonebook_);
         return at.Info("+CPBS: " + Quote(at.phonebook_) + "," +
                        std::to_string(memory.slots.size()) + "," + std::to_string(memory.size));
       },
       [](A at, R) { return at.Info("+CPBS: (\"SM\",\"ME\")"); }},
      {"+CPBR", nullptr, [](A at, R r) { return at.ReadPhonebook(r); }, nullptr,
       [](A at, R) {
         if (at.Locked(at.phonebook_)) return at.CmeError(11);
         return at.Info("+CPBR: (1-" + std::to_string(at.messages_->Phonebook(at.phonebook_).size) +
                        ")," + std::to_string(at.messages_->NumberLimit(at.phonebook_)) + "," +
                        std::to_string(at.messages_->NameLimit(at.phonebook_)));
       }},
      {"+CPBW", nullptr, [](A at, R r) { return at.WritePhonebook(r); }, nullptr,
       [](A at, R) {
         if (at.Locked(at.phonebook_)) return at.CmeError(11);
         return at.Info("+CPBW: (1-" + std::to_string(at.messages_->Phonebook(at.phonebook_).size) +
                        ")," + std::to_string(at.messages_->NumberLimit(at.phonebook_)) +
                        ",(129,145)," + std::to_string(at.messages_->NameLimit(at.phonebook_)));
       }},
  };
  return table;
}

// ---- messages ----

std::string AtCommands::MessageMemories() const {
  std::string text = "+CPMS: ";
  for (const std::string* memory : {&mem1_, &mem2_, &mem3_}) {
    if (Locked(*memory)) return CmsError(311);
    const auto& store = messages_->Messages(*memory);
    if (memory != &mem1_) text += ",";
    text += Quote(*memory) + "," + std::to_string(store.slots.size()) + "," +
            std::to_string(store.size);
  }
  return Info(text);
}

std::string AtCommands::SelectMessageMemories(const AtRequest& request) {
  if (request.parameters.empty() || request.parameters.size() > 3) return kError;
  std::string chosen[3] = {mem1_, mem2_, mem3_};
  for (size_t i = 0; i < request.parameters.size(); ++i) {
    if (request.parameters[i].Empty()) continue;
    chosen[i] = MemoryName(request.parameters[i]);
    if (!messages_->HasMemory(chosen[i])) return CmsError(302);
  }
  // Selecting the SIM needs the PIN; one left selected is only counted.
  for (size_t i = 0; i < request.parameters.size(); ++i) {
    if (!request.parameters[i].Empty() && Locked(chosen[i])) return CmsError(311);
  }
  std::string text = "+CPMS: ";
  for (int i = 0; i < 3; ++i) {
    const auto& store = messages_->Messages(chosen[i]);
    text += (i ? "," : "") + std::to_string(store.slots.size()) + "," + std::to_string(store.size);
  }
  mem1_ = chosen[0];
  mem2_ = chosen[1];
  mem3_ = chosen[2];
  return Info(text);
}

std::string AtCommands::MessageLines(const StoredMessage& message, int index, bool list) const {
  const int stat = static_cast<int>(message.status);
  std::string head = list ? "+CMGL: " + std::to_string(index) + "," : "+CMGR: ";
  if (!text_mode_) {
    const int length = TpduLength(message.pdu).value_or(0);
    return head + std::to_string(stat) + ",," + std::to_string(length) + "\r\n" + message.pdu;
  }
  head += Quote(sms::StatusText(message.status)) + ",";
  const sms::Decoded decoded = sms::DecodePdu(message.pdu);
  if (!decoded.pdu) return head + ",,";
  const sms::Pdu& pdu = *decoded.pdu;
  if (pdu.type == sms::PduType::kStatusReport) {
    auto time = [](const std::optional<sms::Timestamp>& t) {
      return Quote(t ? t->TextMode() : std::string());
    };
    return head + std::to_string(FirstOctet(message.pdu)) + "," +
           std::to_string(pdu.message_reference) + "," + Quote(Encode(pdu.address.text)) + "," +
           std::to_string(pdu.address.type) + "," + time(pdu.time) + "," +
           time(pdu.discharge_time) + "," + std::to_string(pdu.status);
  }
  head += Quote(Encode(pdu.address.text)) + ",";
  if (pdu.type == sms::PduType::kDeliver) {
    head += "," + Quote(pdu.time ? pdu.time->TextMode() : std::string());
  } else if (list) {
    head += ",";
  }
  // 8-bit and UCS-2 user data in hexadecimal, 7-bit text in the character
  // set of AT+CSCS.
  std::string body;
  switch (pdu.coding) {
    case sms::Coding::kEightBit:
      body = TextToHex(pdu.data);
      break;
    case sms::Coding::kUcs2:
      body = TextToHex(sms::Utf8ToUcs2(pdu.text));
      break;
    case sms::Coding::kGsm7:
      body = Encode(pdu.text);
      break;
  }
  return head + "\r\n" + body;
}

std::string AtCommands::ListMessages(const AtRequest& request) {
  // Which statuses: PDU mode 0-3 or 4 (all); text mode their names or "ALL".
  sms::Status wanted = sms::Status::kReceivedUnread;
  bool all = false;
  if (request.form == AtRequest::Form::kSet) {
    if (request.parameters.size() != 1) return kError;
    const std::string stat = Upper(request.parameters[0].text);
    if (text_mode_) {
      auto status = sms::StatusFromText(stat);
      all = stat == "ALL";
      if (!all && !status) return CmsError(305);
      if (status) wanted = *status;
    } else {
      auto n = Number(request, 0);
      if (!n) return kError;
      if (*n < 0 || *n > 4) return CmsError(304);
      all = *n == 4;
      if (!all) wanted = static_cast<sms::Status>(*n);
    }
  }
  if (Locked(mem1_)) return CmsError(311);
  std::string lines;
  std::string end = kOk;
  int64_t listed = 0;
  for (auto& [index, message] : messages_->Messages(mem1_).slots) {
    if (!all && message.status != wanted) continue;
    if (listed++ == options_.faults.list_error) {
      end = CmsError(500);
      break;
    }
    lines += (lines.empty() ? "" : "\r\n") + MessageLines(message, index, true);
    if (message.status == sms::Status::kReceivedUnread) {
      message.status = sms::Status::kReceivedRead;
    }
  }
  return lines.empty() ? end : Line(lines) + end;
}

std::string AtCommands::ReadMessage(const AtRequest& request) {
  auto index = Number(request, 0);
  if (request.parameters.size() != 1 || !index) return kError;
  if (Locked(mem1_)) return CmsError(311);
  auto& memory = messages_->Messages(mem1_);
  auto it = memory.slots.find(*index);
  if (it == memory.slots.end()) return CmsError(321);
  std::string answer = Line(MessageLines(it->second, *index, false)) + kOk;
  if (it->second.status == sms::Status::kReceivedUnread) {
    it->second.status = sms::Status::kReceivedRead;
  }
  return answer;
}

std::string AtCommands::DeleteMessage(const AtRequest& request) {
  auto index = Number(request, 0);
  const auto flag = Present(request, 1) ? Number(request, 1) : std::optional<int>(0);
  if (request.parameters.empty() || request.parameters.size() > 2 || !index || !flag || *flag < 0 ||
      *flag > 4) {
    return kError;
  }
  if (Locked(mem1_)) return CmsError(311);
  auto& memory = messages_->Messages(mem1_);
  if (*flag == 0) {
    if (*index < 1 || *index > memory.size) return CmsError(321);
    memory.slots.erase(*index);
    return kOk;
  }
  // 1: the read ones; 2: and the sent; 3: and the unsent; 4: all.
  std::erase_if(memory.slots, [&](const auto& slot) {
    switch (slot.second.status) {
      case sms::Status::kReceivedRead:
        return true;
      case sms::Status::kStoredSent:
        return *flag >= 2;
      case sms::Status::kStoredUnsent:
        return *flag >= 3;
      case sms::Status::kReceivedUnread:
        return *flag == 4;
    }
    return false;
  });
  return kOk;
}

// AT+CMGS and AT+CMGW: check what is given and prompt for the message.
std::string AtCommands::StartEntry(const AtRequest& request, bool send) {
  if (request.framed) return kError;
  Pending pending;
  pending.send = send;
  pending.status = send ? sms::Status::kStoredSent : sms::Status::kStoredUnsent;
  const size_t count = request.parameters.size();
  if (!text_mode_) {
    auto length = Number(request, 0);
    if (count < 1 || count > (send ? 1u : 2u) || !length) return kError;
    if (*length < 1 || *length > 255) return CmsError(304);
    pending.length = *length;
    if (Present(request, 1)) {
      auto stat = Number(request, 1);
      if (!stat) return kError;
      if (*stat < 0 || *stat > 3) return CmsError(304);
      pending.status = static_cast<sms::Status>(*stat);
    }
  } else {
    if (count > 3 || (send && count < 1)) return kError;
    if (count >= 1 && !request.parameters[0].Empty()) {
      std::string number = DecodeNumber(request.parameters[0].text);
      auto type = Number(request, 1);
      if (Present(request, 1) && !type) return kError;
      if (type == 145 && !number.empty() && number[0] != '+') number = "+" + number;
      pending.address = sms::AddressOf(number);
    } else if (send) {
      return kError;
    }
    if (Present(request, 2)) {
      auto stat = sms::StatusFromText(Upper(request.parameters[2].text));
      // Text mode writes drafts: a received message has no time stamp here.
      if (!stat || (*stat != sms::Status::kStoredUnsent && *stat != sms::Status::kStoredSent)) {
        return CmsError(305);
      }
      pending.status = *stat;
    }
  }
  if (send) {
    if (!options_.pin.empty() && !pin_given_) return CmsError(311);
  } else {
    if (Locked(mem2_)) return CmsError(311);
    if (!messages_->Messages(mem2_).FirstFree()) return CmsError(322);
  }
  pending_ = pending;
  return kPrompt;
}

std::string AtCommands::FinishText(const std::string& text, bool send) {
  const Pending pending = *pending_;
  pending_.reset();
  if (!send) return kOk;
  return text_mode_ ? FinishTextMessage(pending, text) : FinishPdu(pending, text);
}

std::string AtCommands::FinishPdu(const Pending& pending, const std::string& text) {
  const std::string hex = CleanPdu(text);
  const sms::Decoded decoded = sms::DecodePdu(hex);
  const bool fits = decoded.pdu && TpduLength(hex) == pending.length &&
                    (!pending.send || decoded.pdu->type == sms::PduType::kSubmit);
  if (pending.send) {
    if (!fits && check_sends_) return CmsError(304);
    return Sent(fits ? Upper(hex) : hex, fits);
  }
  if (!fits) return CmsError(304);
  auto& memory = messages_->Messages(mem2_);
  const auto slot = memory.FirstFree();
  if (!slot) return CmsError(322);
  memory.slots[*slot] = StoredMessage{pending.status, Upper(hex)};
  return Line("+CMGW: " + std::to_string(*slot)) + kOk;
}

std::string AtCommands::FinishTextMessage(const Pending& pending, const std::string& text) {
  std::string typed;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      typed += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      typed += text[i];
    }
  }
  const std::optional<std::string> utf8 = Decode(typed);
  if (!utf8) return CmsError(305);
  sms::Pdu pdu;
  pdu.type = sms::PduType::kSubmit;
  pdu.address = pending.address;
  pdu.coding = sms::ChooseCoding(*utf8);
  const std::vector<sms::Pdu> parts = sms::SplitText(pdu, *utf8);
  // Text mode sends and stores single messages.
  if (parts.size() != 1) return CmsError(305);
  const std::string hex = sms::EncodePdu(parts[0]).hex;
  if (pending.send) return Sent(hex, true);
  auto& memory = messages_->Messages(mem2_);
  const auto slot = memory.FirstFree();
  if (!slot) return CmsError(322);
  memory.slots[*slot] = StoredMessage{pending.status, hex};
  return Line("+CMGW: " + std::to_string(*slot)) + kOk;
}

// A message gone to the network: kept in the list of sent PDUs and, when it
// reads and there is room in the memory for writing, in the sent folder.
std::string AtCommands::Sent(const std::string& hex, bool stored_ok) {
  messages_->sent.push_back(hex);
  if (stored_ok && !Locked(mem2_)) {
    auto& memory = messages_->Messages(mem2_);
    if (auto slot = memory.FirstFree()) {
      memory.slots[*slot] = StoredMessage{sms::Status::kStoredSent, hex};
    }
  }
  message_reference_ = (message_reference_ + 1) % 256;
  return Line("+CMGS: " + std::to_string(message_reference_)) + kOk;
}

// ---- the phonebook ----

std::string AtCommands::SelectPhonebook(const AtRequest& request) {
  if (request.parameters.size() != 1) return kError;
  const std::string memory = MemoryName(request.parameters[0]);
  if (!messages_->HasMemory(memory)) return CmeError(3);
  if (Locked(memory)) return CmeError(11);
  phonebook_ = memory;
  return kOk;
}

std::string AtCommands::ReadPhonebook(const AtRequest& request) {
  auto first = Number(request, 0);
  auto last = Present(request, 1) ? Number(request, 1) : first;
  if (request.parameters.empty() || request.parameters.size() > 2 || !first || !last) {
    return kError;
  }
  if (Locked(phonebook_)) return CmeError(11);
  const auto& memory = messages_->Phonebook(phonebook_);
  if (*first < 1 || *last > memory.size || *first > *last) return CmeError(21);
  // Empty slots in the range are left out; a range with none used is
  // answered by OK alone.
  std::string lines;
  for (auto it = memory.slots.lower_bound(*first); it != memory.slots.end() && it->first <= *last;
       ++it) {
    const PhonebookEntry& entry = it->second;
    lines += (lines.empty() ? "" : "\r\n") +
             ("+CPBR: " + std::to_string(it->first) + "," + Quote(entry.number) + "," +
              std::to_string(entry.type) + "," + Quote(Encode(entry.name)));
  }
  return lines.empty() ? kOk : Line(lines) + kOk;
}

std::string AtCommands::WritePhonebook(const AtRequest& request) {
  const size_t count = request.parameters.size();
  if (count < 1 || count > 4) return kError;
  auto index = Number(request, 0);
  if (Present(request, 0) && !index) return kError;
  if (Locked(phonebook_)) return CmeError(11);
  auto& memory = messages_->Phonebook(phonebook_);
  if (index && (*index < 1 || *index > memory.size)) return CmeError(21);
  if (!Present(request, 1)) {
    // "AT+CPBW=<index>" empties the slot.
    if (!index || count > 1) return kError;
    memory.slots.erase(*index);
    return kOk;
  }
  PhonebookEntry entry;
  // Phonebook numbers are plain in every character set; only names follow it.
  entry.number = request.parameters[1].text;
  if (entry.number.empty()) return kError;
  if (!DialString(entry.number)) return CmeError(27);
  const int digits = static_cast<int>(entry.number.size()) - (entry.number[0] == '+' ? 1 : 0);
  if (digits > messages_->NumberLimit(phonebook_)) return CmeError(26);
  entry.type = entry.number[0] == '+' ? 145 : 129;
  if (Present(request, 2)) {
    auto type = Number(request, 2);
    if (!type || *type < 128 || *type > 255) return kError;
    if (entry.number[0] != '+') entry.type = *type;
  }
  if (Present(request, 3)) {
    auto name = Decode(request.parameters[3].text);
    if (!name) return CmeError(25);
    if (CharacterCount(*name) > messages_->NameLimit(phonebook_)) return CmeError(24);
    entry.name = *name;
  }
  if (!index) {
    index = memory.FirstFree();
    if (!index) return CmeError(20);
  }
  memory.slots[*index] = entry;
  return kOk;
}

}  // namespace quorvalen::sim
