// The simulated phone's short messages and phonebook, driven over its
// virtual line with AT commands: listing and reading in both message
// formats and character sets, deleting, writing, sending, the PIN, the
// error forms, the list-error fault, files, and the sample.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "quorvalen/byte_text.h"
#include "quorvalen/sim/message_store.h"
#include "quorvalen/sms.h"
#include "sim_host.h"

namespace quorvalen::sim {
namespace {

PhoneOptions WithSample(PhoneOptions options = {}) {
  options.messages = std::make_shared<MessageStore>(MessageStore::Sample());
  return options;
}

// A phone with the sample, its echo off.
class Phone {
 public:
  explicit Phone(PhoneOptions options = WithSample()) : host_(std::move(options)) {
    host_.Exchange("ATE0\r");
  }
  // The whole answer: what arrives until the line falls silent (at 19200
  // bit/s a long list takes a while).
  std::string operator()(const std::string& command) {
    std::string answer = host_.Exchange(command + "\r");
    for (std::string more; !(more = host_.Listen(300)).empty();) answer += more;
    return answer;
  }
  SimHost& Host() { return host_; }
  MessageStore& Store() { return host_.Phone().Messages(); }

 private:
  SimHost host_;
};

std::vector<std::string> Lines(const std::string& answer) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < answer.size();) {
    size_t end = answer.find("\r\n", at);
    if (end == std::string::npos) end = answer.size();
    if (end > at) lines.push_back(answer.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// A PDU-mode list: index, status, length and PDU of each entry.
struct Listed {
  int index, stat, length;
  std::string pdu;
  bool operator==(const Listed&) const = default;
};
std::vector<Listed> PduList(const std::string& answer) {
  std::vector<Listed> listed;
  const std::vector<std::string> lines = Lines(answer);
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    Listed entry;
    if (std::sscanf(lines[i].c_str(), "+CMGL: %d,%d,,%d", &entry.index, &entry.stat,
                    &entry.length) == 3) {
      entry.pdu = lines[++i];
      listed.push_back(entry);
    }
  }
  return listed;
}
std::vector<int> Indexes(const std::vector<Listed>& listed) {
  std::vector<int> out;
  for (const Listed& l : listed) out.push_back(l.index);
  return out;
}

// The octets of a PDU after its service centre's part.
int TpduOctets(const std::string& pdu) {
  return static_cast<int>(pdu.size() / 2) - 1 - std::stoi(pdu.substr(0, 2), nullptr, 16);
}

std::vector<int> Used(MessageStore& store, const std::string& memory) {
  std::vector<int> out;
  for (const auto& slot : store.Messages(memory).slots) out.push_back(slot.first);
  return out;
}

std::string Ucs2Hex(const std::string& utf8) { return TextToHex(sms::Utf8ToUcs2(utf8)); }

sms::Encoded Submit(const std::string& to, const std::string& text) {
  sms::Pdu pdu;
  pdu.type = sms::PduType::kSubmit;
  pdu.address = sms::AddressOf(to);
  pdu.coding = sms::ChooseCoding(text);
  pdu.text = text;
  return sms::EncodePdu(pdu);
}

const std::string kOk = "\r\nOK\r\n";

TEST(Messages, PduModeListsByStatusAndReadingMarksRead) {
  Phone at;
  EXPECT_EQ(at("AT+CPMS?"), "\r\n+CPMS: \"SM\",11,30,\"SM\",11,30,\"SM\",11,30\r\n" + kOk);
  EXPECT_EQ(at("AT+CPMS=?"),
            "\r\n+CPMS: (\"SM\",\"ME\"),(\"SM\",\"ME\"),(\"SM\",\"ME\")\r\n" + kOk);
  // The plain list is the unread ones; listing them makes them read.
  const std::vector<Listed> unread = PduList(at("AT+CMGL"));
  EXPECT_EQ(Indexes(unread), (std::vector<int>{2, 3, 9}));
  EXPECT_EQ(unread[0].stat, 0);
  EXPECT_EQ(at("AT+CMGL=0"), kOk);
  const std::vector<Listed> all = PduList(at("AT+CMGL=4"));
  EXPECT_EQ(Indexes(all), (std::vector<int>{1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12}));
  for (const Listed& l : all) {
    EXPECT_EQ(l.pdu, at.Store().Messages("SM").slots[l.index].pdu);
    EXPECT_EQ(l.length, TpduOctets(l.pdu));
  }
  EXPECT_EQ(all[6].stat, 1);   // 9, read now
  EXPECT_EQ(all[9].stat, 3);   // 11 sent
  EXPECT_EQ(all[10].stat, 2);  // 12 unsent
  EXPECT_EQ(Indexes(PduList(at("AT+CMGL=1"))), (std::vector<int>{1, 2, 3, 4, 5, 6, 8, 9, 10}));
  EXPECT_EQ(Indexes(PduList(at("AT+CMGL=3"))), (std::vector<int>{11}));

  // AT+CMGR reads one, and marks it read too.
  EXPECT_EQ(at("AT+CPMS=\"ME\",\"ME\",\"ME\""), "\r\n+CPMS: 9,200,9,200,9,200\r\n" + kOk);
  const std::string pdu = at.Store().Messages("ME").slots[2].pdu;
  EXPECT_EQ(at("AT+CMGR=2"),
            "\r\n+CMGR: 0,," + std::to_string(TpduOctets(pdu)) + "\r\n" + pdu + "\r\n" + kOk);
  EXPECT_EQ(at("AT+CMGR=2").substr(0, 11), "\r\n+CMGR: 1,");
  EXPECT_EQ(at("AT+CMGL=7"), "\r\nERROR\r\n");
  at("AT+CMEE=1");
  EXPECT_EQ(at("AT+CMGL=7"), "\r\n+CMS ERROR: 304\r\n");
  EXPECT_EQ(at("AT+CPMS=\"XX\""), "\r\n+CMS ERROR: 302\r\n");
}

TEST(Messages, TextModeShowsEachKindInTheChosenCharacterSet) {
  Phone at;
  EXPECT_EQ(at("AT+CMGF=1"), kOk);
  EXPECT_EQ(at("AT+CMGF?"), "\r\n+CMGF: 1\r\n" + kOk);
  EXPECT_EQ(at("AT+CMGR=1"),
            "\r\n+CMGR: \"REC READ\",\"+491701234567\",,\"26/12/07,15:50:31+04\"\r\n"
            "Hello! Are we still on for dinner at 8? Let me know " +
                std::string(1, '\0') + " once.\r\n" + kOk);
  EXPECT_EQ(at("AT+CMGR=2"),
            "\r\n+CMGR: \"REC UNREAD\",\"01761234567\",,\"26/12/06,09:15:00-20\"\r\n" +
                sms::Utf8ToGsm7("Costs 5\u20AC: [a] {b} ~c \\d ^e |f") + "\r\n" + kOk);
  EXPECT_EQ(at("AT+CMGR=8"),
            "\r\n+CMGR: \"REC READ\",\"QuorvBank\",,\"26/12/03,08:00:00+04\"\r\n"
            "Your balance is 1234.56 EUR.\r\n" +
                kOk);
  const std::string report = at.Store().Messages("SM").slots[10].pdu;
  const std::string first_octet = std::to_string(std::stoi(
      report.substr(2 + 2 * std::stoi(report.substr(0, 2), nullptr, 16), 2), nullptr, 16));
  EXPECT_EQ(at("AT+CMGR=10"), "\r\n+CMGR: \"REC READ\"," + first_octet +
                                  ",42,\"+491701234567\",145,\"26/12/01,10:00:00+04\","
                                  "\"26/12/01,10:00:05+04\",0\r\n" +
                                  kOk);
  EXPECT_EQ(at("AT+CMGR=12"),
            "\r\n+CMGR: \"STO UNSENT\",\"01761234567\",\r\nDraft: call the plumber\r\n" + kOk);

  // UCS2: the numbers and 7-bit texts in hexadecimal UCS-2 too.
  EXPECT_EQ(at("AT+CSCS=\"UCS2\""), kOk);
  EXPECT_EQ(at("AT+CSCS?"), "\r\n+CSCS: \"UCS2\"\r\n" + kOk);
  at("AT+CPMS=\"ME\"");
  const std::vector<std::string> lines = Lines(at("AT+CMGL=\"ALL\""));
  ASSERT_EQ(lines.size(), 19u);
  EXPECT_EQ(lines[0],
            "+CMGL: 1,\"REC READ\",\"" + Ucs2Hex("+74951234567") + "\",,\"26/11/30,14:20:00+12\"");
  EXPECT_EQ(lines[1], Ucs2Hex("\u041F\u0440\u0438\u0432\u0435\u0442! "
                              "\u041A\u0430\u043A \u0434\u0435\u043B\u0430?"));
  EXPECT_EQ(lines[3], Ucs2Hex("Happy birthday \U0001F382 from Tokyo \u6771\u4EAC"));
  EXPECT_EQ(lines[4].rfind("+CMGL: 3,\"REC READ\",\"", 0), 0u);
  EXPECT_EQ(lines[5].substr(0, 8), Ucs2Hex("Re"));
  EXPECT_EQ(lines[12], "+CMGL: 7,\"REC READ\",\"" + Ucs2Hex("+4915112345678") +
                           "\",,\"26/11/26,06:30:00+04\"");
  EXPECT_EQ(lines[13], "00017F80FEFF5156");  // 8-bit data in hexadecimal
  EXPECT_EQ(lines[14], "+CMGL: 8,\"STO SENT\",\"" + Ucs2Hex("+306912345678") + "\",,");
  // Listing in text mode made the unread ones read as well.
  EXPECT_EQ(at("AT+CMGL"), kOk);
  EXPECT_EQ(at("AT+CMGL=\"SOMETHING\""), "\r\nERROR\r\n");
}

TEST(Messages, ErrorsComeInTheFormAtCmeeChose) {
  Phone at;
  EXPECT_EQ(at("AT+CMEE?"), "\r\n+CMEE: 0\r\n" + kOk);
  EXPECT_EQ(at("AT+CMGR=7"), "\r\nERROR\r\n");  // slot 7 is empty
  EXPECT_EQ(at("AT+CMEE=1"), kOk);
  EXPECT_EQ(at("AT+CMGR=7"), "\r\n+CMS ERROR: 321\r\n");
  EXPECT_EQ(at("AT+CMGR=31"), "\r\n+CMS ERROR: 321\r\n");
  EXPECT_EQ(at("AT+CPBR=101"), "\r\n+CME ERROR: 21\r\n");
  EXPECT_EQ(at("AT+CMEE=2"), kOk);
  EXPECT_EQ(at("AT+CMGR=7"), "\r\n+CMS ERROR: invalid memory index\r\n");
  EXPECT_EQ(at("AT+CPBR=101"), "\r\n+CME ERROR: invalid index\r\n");
  // Whatever does not read stays a plain ERROR.
  EXPECT_EQ(at("AT+CMGR=x"), "\r\nERROR\r\n");
  EXPECT_EQ(at("AT+CMGR=\"1"), "\r\nERROR\r\n");
  EXPECT_EQ(at("AT+CMEE=3"), "\r\nERROR\r\n");
  EXPECT_EQ(at("AT+CMEE=?"), "\r\n+CMEE: (0-2)\r\n" + kOk);
}

TEST(Messages, DeletesOneOrByStatus) {
  Phone at;
  EXPECT_EQ(at("AT+CMGD=?"), "\r\n+CMGD: (1-6,8-12),(0-4)\r\n" + kOk);
  EXPECT_EQ(at("AT+CMGD=1"), kOk);
  EXPECT_EQ(at("AT+CMGD=7"), kOk);  // already empty
  at("AT+CMEE=1");
  EXPECT_EQ(at("AT+CMGR=1"), "\r\n+CMS ERROR: 321\r\n");
  EXPECT_EQ(at("AT+CMGD=31"), "\r\n+CMS ERROR: 321\r\n");
  // 1: the read ones; 2: and the sent; 3: and the unsent; 4: all.
  EXPECT_EQ(at("AT+CMGD=1,1"), kOk);
  EXPECT_EQ(Used(at.Store(), "SM"), (std::vector<int>{2, 3, 9, 11, 12}));
  EXPECT_EQ(at("AT+CMGD=0,2"), kOk);
  EXPECT_EQ(Used(at.Store(), "SM"), (std::vector<int>{2, 3, 9, 12}));
  EXPECT_EQ(at("AT+CMGD=0,3"), kOk);
  EXPECT_EQ(Used(at.Store(), "SM"), (std::vector<int>{2, 3, 9}));
  EXPECT_EQ(at("AT+CMGD=0,4"), kOk);
  EXPECT_EQ(at("AT+CMGL=4"), kOk);
  EXPECT_EQ(at("AT+CMGD=?"), "\r\n+CMGD: (),(0-4)\r\n" + kOk);
  EXPECT_EQ(at("AT+CMGD=1,5"), "\r\nERROR\r\n");
}

TEST(Messages, WrittenMessagesAreStoredAndListed) {
  Phone at;
  at("AT+CMEE=1");
  const sms::Encoded draft = Submit("+491701234567", "Written on the phone");
  EXPECT_EQ(at("AT+CMGW=" + std::to_string(draft.tpdu_length)), "\r\n> ");
  EXPECT_EQ(at.Host().Exchange(draft.hex + "\x1A"), "\r\n+CMGW: 7\r\n" + kOk);
  const std::vector<Listed> unsent = PduList(at("AT+CMGL=2"));
  ASSERT_EQ(Indexes(unsent), (std::vector<int>{7, 12}));
  EXPECT_EQ(unsent[0], (Listed{7, 2, draft.tpdu_length, draft.hex}));
  // A status given; a wrong length is refused.
  EXPECT_EQ(at("AT+CMGW=" + std::to_string(draft.tpdu_length) + ",3"), "\r\n> ");
  EXPECT_EQ(at.Host().Exchange(draft.hex + "\x1A"), "\r\n+CMGW: 13\r\n" + kOk);
  EXPECT_EQ(at.Store().Messages("SM").slots[13].status, sms::Status::kStoredSent);
  at("AT+CMGW=5");
  EXPECT_EQ(at.Host().Exchange(draft.hex + "\x1A"), "\r\n+CMS ERROR: 304\r\n");

  // Text mode: the text in the character set, made a SUBMIT.
  at("AT+CMGF=1");
  at("AT+CSCS=\"UCS2\"");
  EXPECT_EQ(at("AT+CMGW=\"" + Ucs2Hex("+306912345678") + "\""), "\r\n> ");
  EXPECT_EQ(at.Host().Exchange(Ucs2Hex("\u0393\u03B5\u03B9\u03B1!") + "\x1A"),
            "\r\n+CMGW: 14\r\n" + kOk);
  const sms::Decoded written = sms::DecodePdu(at.Store().Messages("SM").slots[14].pdu);
  ASSERT_TRUE(written.pdu);
  EXPECT_EQ(written.pdu->type, sms::PduType::kSubmit);
  EXPECT_EQ(written.pdu->address, (sms::Address{"+306912345678", 0x91}));
  EXPECT_EQ(written.pdu->text, "\u0393\u03B5\u03B9\u03B1!");
  EXPECT_EQ(at("AT+CMGR=14"), "\r\n+CMGR: \"STO UNSENT\",\"" + Ucs2Hex("+306912345678") +
                                  "\",\r\n" + Ucs2Hex("\u0393\u03B5\u03B9\u03B1!") + "\r\n" + kOk);

  // A full memory refuses before the prompt.
  auto& sm = at.Store().Messages("SM");
  for (int i = 1; i <= sm.size; ++i) sm.slots.try_emplace(i, sm.slots[1]);
  EXPECT_EQ(at("AT+CMGW=\"123\""), "\r\n+CMS ERROR: 322\r\n");
}

TEST(Messages, SentMessagesAreCheckedAndKeptInTheSentFolder) {
  Phone at;
  at("AT+CMEE=1");
  const sms::Encoded message = Submit("+491701234567", "On my way");
  // The session's way: a lone CR, the command, the prompt, the PDU and Ctrl-Z.
  EXPECT_EQ(at.Host().Exchange("\r"), "");
  EXPECT_EQ(at("AT+CMGS=" + std::to_string(message.tpdu_length)), "\r\n> ");
  EXPECT_EQ(at.Host().Exchange(message.hex + "\x1A"), "\r\n+CMGS: 1\r\n" + kOk);
  EXPECT_EQ(at.Store().sent, std::vector<std::string>{message.hex});
  EXPECT_EQ(at.Store().Messages("SM").slots[7].status, sms::Status::kStoredSent);
  EXPECT_EQ(at.Store().Messages("SM").slots[7].pdu, message.hex);

  // A length that is not the TPDU's, or a PDU that is no SUBMIT: 304.
  at("AT+CMGS=" + std::to_string(message.tpdu_length + 1));
  EXPECT_EQ(at.Host().Exchange(message.hex + "\x1A"), "\r\n+CMS ERROR: 304\r\n");
  const std::string deliver = at.Store().Messages("SM").slots[1].pdu;
  at("AT+CMGS=" + std::to_string(TpduOctets(deliver)));
  EXPECT_EQ(at.Host().Exchange(deliver + "\x1A"), "\r\n+CMS ERROR: 304\r\n");
  // Escape cancels: OK, nothing sent or stored.
  at("AT+CMGS=" + std::to_string(message.tpdu_length));
  EXPECT_EQ(at.Host().Exchange(message.hex + "\x1B"), kOk);
  EXPECT_EQ(at.Store().sent.size(), 1u);
  EXPECT_EQ(at.Store().Messages("SM").slots.size(), 12u);

  // Text mode: the number and the text, the next reference.
  at("AT+CMGF=1");
  EXPECT_EQ(at("AT+CMGS=\"01761234567\",129"), "\r\n> ");
  EXPECT_EQ(at.Host().Exchange("Back at 5\x1A"), "\r\n+CMGS: 2\r\n" + kOk);
  const sms::Decoded sent = sms::DecodePdu(at.Store().sent.back());
  ASSERT_TRUE(sent.pdu);
  EXPECT_EQ(sent.pdu->address, (sms::Address{"01761234567", 0x81}));
  EXPECT_EQ(sent.pdu->text, "Back at 5");
  EXPECT_EQ(at.Store().Messages("SM").slots[13].status, sms::Status::kStoredSent);

  // Inside a BFB frame there is no prompt.
  SimHost bfb(WithSample());
  bfb.Exchange("AT^SBFB=1\r");
  bfb.Speed(57600);
  std::string frames = bfb.Exchange(BuildBfbFrame(0x06, "AT+CMGS=5\r"));
  EXPECT_EQ(FramePayloads(frames).at(0), "\r\nERROR\r\n");
}

TEST(Messages, ThePinGuardsTheSimButNotThePhone) {
  PhoneOptions options = WithSample();
  options.pin = "1234";
  Phone at(options);
  at("AT+CMEE=1");
  EXPECT_EQ(at("AT+CPIN?"), "\r\n+CPIN: SIM PIN\r\n" + kOk);
  EXPECT_EQ(at("AT+CMGL=4"), "\r\n+CMS ERROR: 311\r\n");
  EXPECT_EQ(at("AT+CPMS?"), "\r\n+CMS ERROR: 311\r\n");
  EXPECT_EQ(at("AT+CMGS=20"), "\r\n+CMS ERROR: 311\r\n");
  EXPECT_EQ(at("AT+CPBR=1"), "\r\n+CME ERROR: 11\r\n");
  EXPECT_EQ(at("AT+CPBS?"), "\r\n+CME ERROR: 11\r\n");
  // The phone's own memory works; the SIM left selected for writing is only counted.
  EXPECT_EQ(at("AT+CPMS=\"ME\""), "\r\n+CPMS: 9,200,11,30,11,30\r\n" + kOk);
  EXPECT_EQ(at("AT+CPMS?"), "\r\n+CMS ERROR: 311\r\n");
  EXPECT_EQ(at("AT+CMGW=20"), "\r\n+CMS ERROR: 311\r\n");
  EXPECT_EQ(at("AT+CPMS=\"ME\",\"ME\",\"ME\""), "\r\n+CPMS: 9,200,9,200,9,200\r\n" + kOk);
  EXPECT_EQ(PduList(at("AT+CMGL=4")).size(), 9u);
  EXPECT_EQ(at("AT+CPBS=\"ME\""), kOk);
  EXPECT_EQ(Lines(at("AT+CPBR=1,10")).size(), 6u);
  EXPECT_EQ(at("AT+CPBS=\"SM\""), "\r\n+CME ERROR: 11\r\n");
  EXPECT_EQ(at("AT+CPMS=\"SM\",\"ME\",\"ME\""), "\r\n+CMS ERROR: 311\r\n");

  EXPECT_EQ(at("AT+CPIN=\"0000\""), "\r\n+CME ERROR: 16\r\n");
  at("AT+CMEE=2");
  EXPECT_EQ(at("AT+CPIN=0000"), "\r\n+CME ERROR: incorrect password\r\n");
  EXPECT_EQ(at("AT+CPIN=1234"), kOk);
  EXPECT_EQ(at("AT+CPIN?"), "\r\n+CPIN: READY\r\n" + kOk);
  EXPECT_EQ(at("AT+CPBS=\"SM\""), kOk);
  EXPECT_EQ(Lines(at("AT+CPBR=1,100")).size(), 5u);
  EXPECT_EQ(at("AT+CPIN=1234"), "\r\n+CME ERROR: operation not allowed\r\n");

  // Without a PIN the SIM is ready at once.
  Phone open;
  EXPECT_EQ(open("AT+CPIN?"), "\r\n+CPIN: READY\r\n" + kOk);
}

TEST(Phonebook, ReadsWritesAndDeletes) {
  Phone at;
  at("AT+CMEE=1");
  EXPECT_EQ(at("AT+CPBS=?"), "\r\n+CPBS: (\"SM\",\"ME\")\r\n" + kOk);
  EXPECT_EQ(at("AT+CPBS?"), "\r\n+CPBS: \"SM\",4,100\r\n" + kOk);
  EXPECT_EQ(at("AT+CPBR=?"), "\r\n+CPBR: (1-100),20,14\r\n" + kOk);
  EXPECT_EQ(at("AT+CPBR=1,4"), "\r\n+CPBR: 1,\"+491701234567\",145,\"" +
                                   sms::Utf8ToGsm7("Anna M\u00FCller") +
                                   "\"\r\n+CPBR: 2,\"+306912345678\",145,\"" +
                                   sms::Utf8ToGsm7("\u039D\u03AF\u03BA\u03BF\u03C2") +
                                   "\"\r\n+CPBR: 4,\"0301234567\",129,\"Office\"\r\n" + kOk);
  EXPECT_EQ(at("AT+CPBR=3"), kOk);  // an empty slot: no line
  EXPECT_EQ(at("AT+CPBR=0"), "\r\n+CME ERROR: 21\r\n");
  EXPECT_EQ(at("AT+CPBR=90,101"), "\r\n+CME ERROR: 21\r\n");
  at("AT+CSCS=\"UCS2\"");
  EXPECT_EQ(at("AT+CPBR=2"), "\r\n+CPBR: 2,\"+306912345678\",145,\"" +
                                 Ucs2Hex("\u039D\u03AF\u03BA\u03BF\u03C2") + "\"\r\n" + kOk);
  at("AT+CSCS=\"IRA\"");
  EXPECT_EQ(at("AT+CPBR=1"), "\r\n+CPBR: 1,\"+491701234567\",145,\"Anna M?ller\"\r\n" + kOk);

  // Writing: a given slot, the first free one, commas and blanks in the text.
  EXPECT_EQ(at("AT+CPBW = 3 , \"+4930123\" , 145 , \"Doe, Jane\""), kOk);
  EXPECT_EQ(at("AT+CPBW=,\"0301111\",129,\"First free\""), kOk);
  EXPECT_EQ(at("AT+CPBW=,\"0302222\""), kOk);
  EXPECT_EQ(at("AT+CPBR=3,7"),
            "\r\n+CPBR: 3,\"+4930123\",145,\"Doe, Jane\"\r\n"
            "+CPBR: 4,\"0301234567\",129,\"Office\"\r\n"
            "+CPBR: 5,\"+74951234567\",145,\"???? ??????\"\r\n"
            "+CPBR: 6,\"0301111\",129,\"First free\"\r\n"
            "+CPBR: 7,\"0302222\",129,\"\"\r\n" +
                kOk);
  EXPECT_EQ(at("AT+CPBW=3"), kOk);
  EXPECT_EQ(at("AT+CPBR=3"), kOk);
  at("AT+CSCS=\"UCS2\"");
  EXPECT_EQ(at("AT+CPBW=3,\"+301\",145,\"" + Ucs2Hex("\u039D\u03AF") + "\""), kOk);
  EXPECT_EQ(at.Store().Phonebook("SM").slots[3].name, "\u039D\u03AF");

  // Limits: 14 characters and 20 digits on the SIM, dial characters only.
  EXPECT_EQ(at("AT+CPBW=8,\"1\",129,\"" + Ucs2Hex("Fifteen letters") + "\""),
            "\r\n+CME ERROR: 24\r\n");
  EXPECT_EQ(at("AT+CPBW=8,\"+123456789012345678901\""), "\r\n+CME ERROR: 26\r\n");
  EXPECT_EQ(at("AT+CPBW=8,\"030-1234\""), "\r\n+CME ERROR: 27\r\n");
  EXPECT_EQ(at("AT+CPBW=101,\"1\""), "\r\n+CME ERROR: 21\r\n");
  EXPECT_EQ(at("AT+CPBS=\"ME\""), kOk);
  EXPECT_EQ(at("AT+CPBW=5,\"1\",129,\"" + Ucs2Hex("Fifteen letters") + "\""), kOk);
  auto& book = at.Store().Phonebook("ME");
  for (int i = 1; i <= book.size; ++i) book.slots.try_emplace(i, PhonebookEntry{"1", 129, "x"});
  EXPECT_EQ(at("AT+CPBW=,\"123\""), "\r\n+CME ERROR: 20\r\n");
  EXPECT_EQ(at("AT+CPBS=\"XX\""), "\r\n+CME ERROR: 3\r\n");
}

TEST(Messages, SettingsAnswerEveryForm) {
  Phone at;
  EXPECT_EQ(at("AT+CMGF?"), "\r\n+CMGF: 0\r\n" + kOk);
  EXPECT_EQ(at("AT+CMGF=?"), "\r\n+CMGF: (0,1)\r\n" + kOk);
  EXPECT_EQ(at("AT+CMGF=2"), "\r\nERROR\r\n");
  EXPECT_EQ(at("AT+CSCS?"), "\r\n+CSCS: \"GSM\"\r\n" + kOk);
  EXPECT_EQ(at("AT+CSCS=\"UTF-8\""), "\r\nERROR\r\n");
  EXPECT_EQ(at("AT+CSCA?"), "\r\n+CSCA: \"+491710760000\",145\r\n" + kOk);
  EXPECT_EQ(at("AT+CSCA=\"491719999\",145"), kOk);
  EXPECT_EQ(at("AT+CSCA?"), "\r\n+CSCA: \"+491719999\",145\r\n" + kOk);
  EXPECT_EQ(at("AT+CNMI=?"), "\r\n+CNMI: (0-2),(0-3),(0-3),(0-2),(0,1)\r\n" + kOk);
  EXPECT_EQ(at("AT+CNMI=2,1,,2"), kOk);
  EXPECT_EQ(at("AT+CNMI?"), "\r\n+CNMI: 2,1,0,2,0\r\n" + kOk);
  EXPECT_EQ(at("AT+CNMI=3"), "\r\nERROR\r\n");
  // ATZ brings the defaults back.
  at("AT+CMGF=1");
  at("AT+CMEE=2");
  at("ATZ");
  at("ATE0");
  EXPECT_EQ(at("AT+CMGF?"), "\r\n+CMGF: 0\r\n" + kOk);
  EXPECT_EQ(at("AT+CMEE?"), "\r\n+CMEE: 0\r\n" + kOk);
}

TEST(Messages, TheListErrorFaultCutsTheList) {
  PhoneOptions options = WithSample();
  options.faults.list_error = 2;
  Phone at(options);
  std::string answer = at("AT+CMGL=4");
  EXPECT_EQ(Indexes(PduList(answer)), (std::vector<int>{1, 2}));
  EXPECT_EQ(answer.substr(answer.size() - 9), "\r\nERROR\r\n");
  at("AT+CMEE=1");
  answer = at("AT+CMGL=4");
  EXPECT_EQ(Indexes(PduList(answer)), (std::vector<int>{1, 2}));
  EXPECT_EQ(answer.substr(answer.size() - 19), "\r\n+CMS ERROR: 500\r\n");
  EXPECT_EQ(Indexes(PduList(at("AT+CMGL=3"))), std::vector<int>{11});  // shorter: whole
  std::string error;
  EXPECT_EQ(ParseFaultPlan("list-error=0", &error).value().list_error, 0);
  EXPECT_FALSE(ParseFaultPlan("list-error=x", &error).has_value());
}

class MessageFiles : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
  }
};

TEST_F(MessageFiles, LoadIntoTheMemoriesTheyName) {
  MessageStore store = MessageStore::Sample();
  const sms::Encoded raw = Submit("+4930123456", "Raw one");
  std::string error;
  ASSERT_TRUE(store.LoadMessages(
      Write("messages.txt",
            "# memory index status number time text\n"
            "SM 1 \"REC READ\" +491701234567 2026-12-07T15:50:31+01:00 Hello  with spaces\n"
            "\n"
            "SM 3\t\"STO UNSENT\"\t0170123456\t-\tDraft\r\n"
            "SM 5 2 pdu " +
                raw.hex + "\n"),
      &error))
      << error;
  ASSERT_TRUE(store.LoadContacts(Write("contacts.txt", "ME 2 +491701234567 Jane Q. Doe\n"), &error))
      << error;
  EXPECT_EQ(store.Messages("ME").slots.size(), 9u);  // not named: kept
  EXPECT_EQ(store.Phonebook("SM").slots.size(), 4u);
  auto options = WithSample();
  options.messages = std::make_shared<MessageStore>(store);
  Phone at(options);
  at("AT+CMGF=1");
  EXPECT_EQ(at("AT+CMGL=\"ALL\""),
            "\r\n+CMGL: 1,\"REC READ\",\"+491701234567\",,\"26/12/07,15:50:31+04\"\r\n"
            "Hello  with spaces\r\n"
            "+CMGL: 3,\"STO UNSENT\",\"0170123456\",,\r\nDraft\r\n"
            "+CMGL: 5,\"STO UNSENT\",\"+4930123456\",,\r\nRaw one\r\n" +
                kOk);
  at("AT+CPBS=\"ME\"");
  EXPECT_EQ(at("AT+CPBR=1,250"), "\r\n+CPBR: 2,\"+491701234567\",145,\"Jane Q. Doe\"\r\n" + kOk);
}

TEST_F(MessageFiles, ABadLineIsNamedAndChangesNothing) {
  MessageStore store = MessageStore::Sample();
  std::string error;
  const std::string path = Write("bad.txt",
                                 "SM 1 \"REC READ\" +49170 2026-12-07T15:50:31+01:00 Fine\n"
                                 "# a comment\n"
                                 "SM 2 \"REC READ\" +49170 yesterday Not fine\n");
  EXPECT_FALSE(store.LoadMessages(path, &error));
  EXPECT_EQ(error.substr(0, path.size() + 3), path + ":3:");
  EXPECT_EQ(store.Messages("SM").slots.size(), 11u);
  for (const std::string line : {"XX 1 0 +49 - x", "SM 31 0 +49 2026-12-07T15:50:31Z x",
                                 "SM 1 \"REC LOST\" +49 - x", "SM 1 0 pdu 0011"}) {
    EXPECT_FALSE(store.LoadMessages(Write("bad.txt", std::string(line) + "\n"), &error)) << line;
    EXPECT_EQ(error.substr(path.size(), 3), ":1:") << error;
  }
  for (const std::string line :
       {"SM 1 +4917a@ Name", "SM 1 +49 A name far too long for the SIM", "SM 0 +49 Zero"}) {
    EXPECT_FALSE(store.LoadContacts(Write("bad.txt", line + "\n"), &error)) << line;
    EXPECT_EQ(error.substr(path.size(), 3), ":1:") << error;
  }
  EXPECT_FALSE(store.LoadContacts(path + ".missing", &error));
  EXPECT_NE(error.find(".missing"), std::string::npos);
}

// What a decoder makes of the sample, read over the line, is what it was
// made from.
TEST(Messages, TheSampleDecodesToWhatItWasMadeFrom) {
  Phone at;
  const std::vector<MessageStore::SampleText> made = MessageStore::SampleTexts();
  size_t checked = 0;
  for (const std::string memory : {"SM", "ME"}) {
    at("AT+CPMS=\"" + memory + "\"");
    const std::vector<Listed> listed = PduList(at("AT+CMGL=4"));
    std::vector<sms::Pdu> pdus;
    for (const Listed& l : listed) {
      const sms::Decoded decoded = sms::DecodePdu(l.pdu);
      ASSERT_TRUE(decoded.pdu) << memory << " " << l.index << ": " << decoded.error;
      pdus.push_back(*decoded.pdu);
    }
    for (const sms::JoinedMessage& joined : sms::JoinParts(pdus)) {
      std::vector<int> indexes;
      for (size_t part : joined.parts) indexes.push_back(listed[part].index);
      const auto it = std::find_if(made.begin(), made.end(), [&](const auto& m) {
        return m.memory == memory && m.indexes == indexes;
      });
      ASSERT_NE(it, made.end()) << memory << " " << indexes.front();
      const bool binary = pdus[joined.parts[0]].coding == sms::Coding::kEightBit;
      EXPECT_EQ(binary ? TextToHex(joined.data) : joined.text, it->text);
      ++checked;
    }
  }
  EXPECT_EQ(checked, made.size());
  // Every kind is there: the missing part, both references, a report, the class.
  EXPECT_EQ(made.size(), 16u);
  const std::vector<Listed> me = PduList(at("AT+CMGL=4"));
  EXPECT_EQ(sms::JoinParts({*sms::DecodePdu(me[4].pdu).pdu, *sms::DecodePdu(me[5].pdu).pdu})
                .at(0)
                .missing,
            std::vector<int>{2});
}

TEST(Messages, InfraredServesTheSameCommands) {
  VirtualPlatform platform;
  VirtualInfraredPhone phone(platform, WithSample(), std::make_unique<SampleStore>());
  struct Host : VirtualInfraredLink::HostEnd {
    void Deliver(std::string_view bytes) override { received.append(bytes); }
    std::string received;
  } host;
  phone.Link().Connect(&host, InfraredService::kIrComm);
  phone.Link().HostSend("ATE0\rAT+CPBR=4\r");
  platform.Loop().RunFor(500);
  EXPECT_EQ(host.received, "ATE0\r\r\nOK\r\n\r\n+CPBR: 4,\"0301234567\",129,\"Office\"\r\n" + kOk);
  host.received.clear();
  phone.Link().HostSend("AT+CMGL=4\r");
  platform.Loop().RunFor(2000);
  EXPECT_EQ(PduList(host.received).size(), 11u);
}

}  // namespace
}  // namespace quorvalen::sim
