// Messages and the phonebook through the session, against the simulated
// phone's sample store in virtual time, over each cable family and over
// infrared: the store decoded to the texts it was made from, long texts
// sent and stored in parts, the phone's errors typed, the PIN, and the
// phonebook written and read back in any script; and the guard that keeps
// a data block from a phone that refused its line.
#include <gtest/gtest.h>

#include <algorithm>

#include "quorvalen/byte_text.h"
#include "quorvalen/quorvalen.h"
#include "quorvalen/session.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/sim/message_store.h"
#include "quorvalen/virtual_platform.h"
#include "session/checked_line.h"
#include "session/error_of.h"

namespace quorvalen {
namespace {

struct Road {
  int family;
  int com_type;  // 1: infrared
};

class MessagesTest : public ::testing::TestWithParam<Road> {
 protected:
  void Start(const std::string& pin = {}, const std::string& faults = {}) {
    sim::PhoneOptions o;
    o.family = GetParam().family;
    o.messages = store_;
    o.pin = pin;
    if (!faults.empty()) {
      std::string error;
      o.faults = *sim::ParseFaultPlan(faults, &error);
    }
    if (GetParam().com_type == 1) {
      infrared_ = std::make_unique<sim::VirtualInfraredPhone>(platform_, o,
                                                              std::make_unique<sim::SampleStore>());
    } else {
      cable_ = std::make_unique<sim::VirtualPhone>(platform_, 1, o,
                                                   std::make_unique<sim::SampleStore>());
    }
    options_.com_type = GetParam().com_type;
    options_.mobile_type =
        GetParam().com_type == 1 ? std::nullopt : std::optional<int>(GetParam().family);
    session_ = Session::Open(platform_, options_);
  }
  const std::string& Written() {
    return cable_ ? cable_->Line().HostWritten() : infrared_->Link().HostWritten();
  }
  const Message* Find(const std::vector<Message>& messages, const std::string& memory,
                      const std::vector<int>& indexes) {
    for (const Message& m : messages) {
      if (m.memory == memory && m.indexes == indexes) return &m;
    }
    return nullptr;
  }
  // The text of a message's parts, without the notes of missing ones.
  static std::string PartsText(const Message& m) {
    std::string text = m.text;
    for (size_t at; (at = text.find("[part ")) != std::string::npos;) {
      text.erase(at, text.find(" is missing]", at) + 12 - at);
    }
    return text;
  }

  VirtualPlatform platform_;
  std::shared_ptr<sim::MessageStore> store_ =
      std::make_shared<sim::MessageStore>(sim::MessageStore::Sample());
  std::unique_ptr<sim::VirtualPhone> cable_;
  std::unique_ptr<sim::VirtualInfraredPhone> infrared_;
  SessionOptions options_;
  std::unique_ptr<Session> session_;
};

TEST_P(MessagesTest, TheSampleStoreReadsAsTheTextsItWasMadeFrom) {
  Start();
  const std::vector<Message> messages = session_->Messages();
  const auto samples = sim::MessageStore::SampleTexts();
  ASSERT_FALSE(samples.empty());
  for (const auto& sample : samples) {
    const Message* m = Find(messages, sample.memory, sample.indexes);
    ASSERT_NE(m, nullptr) << sample.memory << " " << sample.indexes.front();
    EXPECT_TRUE(m->error.empty()) << m->error;
    if (m->pdu.type == sms::PduType::kStatusReport) continue;
    if (m->pdu.coding == sms::Coding::kEightBit) {
      EXPECT_EQ(TextToHex(m->data), sample.text);
    } else {
      EXPECT_EQ(PartsText(*m), sample.text) << sample.memory << " " << sample.indexes.front();
    }
  }
  // Every stored PDU belongs to exactly one listed message.
  size_t stored = 0;
  size_t listed = 0;
  for (const char* memory : {"SM", "ME"}) stored += store_->Messages(memory).slots.size();
  for (const Message& m : messages) listed += m.indexes.size();
  EXPECT_EQ(listed, stored);
  // A long message with a part missing says so.
  const bool missing = std::any_of(messages.begin(), messages.end(), [](const Message& m) {
    return !m.missing_parts.empty() && m.text.find("is missing]") != std::string::npos;
  });
  EXPECT_TRUE(missing);
  // Listing read them: none is unread on the phone any more.
  for (const Message& m : session_->Messages()) {
    EXPECT_NE(m.status, sms::Status::kReceivedUnread);
  }
}

TEST_P(MessagesTest, LongTextsGoInPartsAndLandInTheSentFolder) {
  Start();
  // 200 characters: three UCS-2 parts of at most 67.
  const std::string letters[] = {"α", "β", "γ", "δ", "ε", "ζ", "η", "θ", "ι"};
  std::string greek;
  for (int i = 0; i < 200; ++i) greek += i % 10 == 9 ? std::string(" ") : letters[i % 9];
  ASSERT_EQ(sms::Utf8ToUcs2(greek).size(), 400u);
  std::string latin(299, 'x');
  latin += "€";  // an extension character: two septets

  const SentMessage first = session_->SendMessage("+306912345678", greek);
  EXPECT_EQ(first.references.size(), 3u);
  const SentMessage second = session_->SendMessage("0170123456", latin);
  EXPECT_EQ(second.references.size(), 2u);

  // The phone received SUBMIT PDUs that join to the texts.
  ASSERT_EQ(store_->sent.size(), 5u);
  std::vector<sms::Pdu> pdus;
  for (const std::string& hex : store_->sent) {
    sms::Decoded decoded = sms::DecodePdu(hex);
    ASSERT_TRUE(decoded.pdu) << decoded.error;
    EXPECT_EQ(decoded.pdu->type, sms::PduType::kSubmit);
    pdus.push_back(*decoded.pdu);
  }
  EXPECT_EQ(pdus[0].coding, sms::Coding::kUcs2);
  EXPECT_EQ(pdus[3].coding, sms::Coding::kGsm7);
  EXPECT_EQ(pdus[0].address.text, "+306912345678");
  EXPECT_EQ(pdus[3].address.text, "0170123456");
  const auto joined = sms::JoinParts(pdus);
  ASSERT_EQ(joined.size(), 2u);
  EXPECT_EQ(joined[0].text, greek);
  EXPECT_EQ(joined[1].text, latin);

  // Both are kept as sent messages, whole.
  int sent_found = 0;
  for (const Message& m : session_->Messages()) {
    if (m.status != sms::Status::kStoredSent) continue;
    if (m.text == greek || m.text == latin) ++sent_found;
  }
  EXPECT_EQ(sent_found, 2);
}

TEST_P(MessagesTest, DraftsAreStoredAndMessagesDeleted) {
  Start();
  SendOptions in_me;
  in_me.memory = "ME";
  const SentMessage draft =
      session_->StoreDraft("+491701234567", "Ring me [later] ~ thanks", in_me);
  ASSERT_EQ(draft.indexes.size(), 1u);
  const std::vector<Message> listed = session_->Messages("ME");
  const Message* stored = Find(listed, "ME", draft.indexes);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->status, sms::Status::kStoredUnsent);
  EXPECT_EQ(stored->text, "Ring me [later] ~ thanks");
  EXPECT_FALSE(stored->pdu.time);

  EXPECT_EQ(draft.memory, "ME");
  session_->DeleteMessage("ME", draft.indexes.front());
  EXPECT_EQ(Find(session_->Messages("ME"), "ME", draft.indexes), nullptr);

  // A memory without room for the draft: said before anything is sent.
  auto& sm = store_->Messages("SM");
  for (int i = 1; i <= sm.size; ++i) sm.slots.try_emplace(i, sm.slots.begin()->second);
  const SessionError full = ErrorOf([&] {
    SendOptions in_sm;
    in_sm.memory = "SM";
    session_->StoreDraft("+491701234567", "no room", in_sm);
  });
  EXPECT_EQ(full.Code(), 322);
  EXPECT_NE(std::string(full.what()).find("memory full (SM has 0 free"), std::string::npos)
      << full.what();

  // A slot the memory does not have: the phone's error, typed and at once
  // (not after the control's answer time-out).
  const int64_t before = platform_.Time().MonotonicMs();
  const SessionError e = ErrorOf([&] { session_->DeleteMessage("ME", 9999); });
  EXPECT_EQ(e.Kind(), SessionErrorKind::kRefused);
  EXPECT_EQ(e.AtFamily(), AtErrorFamily::kCms);
  EXPECT_EQ(e.Code(), 321);
  EXPECT_NE(std::string(e.what()).find("invalid memory index"), std::string::npos);
  EXPECT_LT(platform_.Time().MonotonicMs() - before, 5000);
  // The session goes on.
  EXPECT_FALSE(session_->Messages("SM").empty());
}

TEST_P(MessagesTest, AListCutOffByTheMessageServiceIsAnError) {
  Start({}, "list-error=2");
  const SessionError e = ErrorOf([&] { session_->Messages("SM"); });
  EXPECT_EQ(e.Kind(), SessionErrorKind::kRefused);
  EXPECT_EQ(e.Code(), 500);
}

TEST_P(MessagesTest, TheSimWantsItsPinAndTheTraceNeverHoldsIt) {
  options_.trace_path = "/trace.log";
  Start("4711");
  // The phone's own memory needs no PIN.
  EXPECT_FALSE(session_->Messages("ME").empty());
  SessionError e = ErrorOf([&] { session_->Messages("SM"); });
  EXPECT_EQ(e.Kind(), SessionErrorKind::kRefused);
  EXPECT_EQ(e.Code(), 11);

  // A wrong PIN is given once: three would lock the SIM.
  options_.pin = "1234";
  session_->Close();
  session_ = Session::Open(platform_, options_);
  e = ErrorOf([&] { session_->Contacts("SM"); });
  EXPECT_EQ(e.Code(), 16);
  auto pins_given = [&] {
    const std::string& written = Written();
    size_t count = 0;
    for (size_t at = 0; (at = written.find("AT+CPIN=", at)) != std::string::npos; ++at) ++count;
    return count;
  };
  const size_t given = pins_given();
  e = ErrorOf([&] { session_->DeleteMessage("SM", 1); });
  EXPECT_EQ(e.Code(), 16);
  EXPECT_EQ(pins_given(), given);

  // Asked for when the phone wants it, before a message is sent (a phone
  // refuses the sending line itself without it), and only once.
  options_.pin.reset();
  int asked = 0;
  options_.ask_pin = [&] {
    ++asked;
    return std::optional<std::string>("4711");
  };
  session_->Close();
  session_ = Session::Open(platform_, options_);
  EXPECT_EQ(session_->SendMessage("+491701234567", "PIN given").references.size(), 1u);
  EXPECT_FALSE(session_->Messages("SM").empty());
  EXPECT_FALSE(session_->Contacts("SM").empty());
  EXPECT_EQ(asked, 1);
  session_->Close();
  const std::string& trace = platform_.Files()["/trace.log"];
  EXPECT_EQ(trace.find("\"4711\""), std::string::npos);
  EXPECT_EQ(trace.find("AT+CPIN=\""), std::string::npos);
  EXPECT_NE(trace.find("(not traced: the SIM's PIN)"), std::string::npos);
  EXPECT_NE(trace.find("AT+CPIN?"), std::string::npos);
}

TEST_P(MessagesTest, ThePhonebookKeepsNamesInAnyScript) {
  Start();
  std::vector<Contact> contacts = session_->Contacts();
  size_t stored = 0;
  for (const char* memory : {"SM", "ME"}) {
    for (const auto& slot : store_->Phonebook(memory).slots) {
      const int index = slot.first;
      const sim::PhonebookEntry& entry = slot.second;
      ++stored;
      const auto it = std::find_if(contacts.begin(), contacts.end(), [&](const Contact& c) {
        return c.memory == memory && c.index == index;
      });
      ASSERT_NE(it, contacts.end()) << memory << " " << index;
      EXPECT_EQ(it->name, entry.name);
      EXPECT_EQ(it->number, entry.number);
    }
  }
  EXPECT_EQ(contacts.size(), stored);

  // The first free slot, a name in Cyrillic with an emoji, read back.
  const int at = session_->WriteContact("SM", std::nullopt, "+79161234567", "Юлия 🌻");
  EXPECT_EQ(store_->Phonebook("SM").slots.at(at).name, "Юлия 🌻");
  EXPECT_TRUE(store_->Phonebook("SM").slots.count(at - 1) || at == 1);
  const PhonebookLimits limits = session_->ContactLimits("SM");
  const SessionError e = ErrorOf([&] {
    session_->WriteContact("SM", std::nullopt, "0301234", std::string(limits.name_length + 1, 'a'));
  });
  EXPECT_EQ(e.Kind(), SessionErrorKind::kBadName);
  session_->DeleteContact("SM", at);
  EXPECT_EQ(store_->Phonebook("SM").slots.count(at), 0u);
  // Whatever character set the phone had is given back at the end.
  session_->Close();
  session_ = Session::Open(platform_, options_);
  EXPECT_EQ(session_->At("AT+CSCS?").lines.front(), "+CSCS: \"GSM\"");
}

INSTANTIATE_TEST_SUITE_P(Roads, MessagesTest,
                         ::testing::Values(Road{0, 0}, Road{1, 0}, Road{2, 0}, Road{1, 1}),
                         [](const auto& info) {
                           return info.param.com_type == 1
                                      ? std::string("Infrared")
                                      : "Family" + std::to_string(info.param.family);
                         });

// The session's guard on a line with a data block: a phone that refuses
// the line instead of prompting gets no data block (it would take it for
// command text), and the control hears the refusal and ends the line.
TEST(PromptGuard, ARefusalInsteadOfThePromptKeepsTheBlockFromThePhone) {
  VirtualPlatform platform;
  sim::PhoneOptions options;
  options.messages = std::make_shared<sim::MessageStore>(sim::MessageStore::Sample());
  options.pin = "1234";  // the SIM is locked: AT+CMGS is refused before its prompt
  sim::VirtualPhone phone(platform, 1, options, std::make_unique<sim::SampleStore>());
  CheckedPlatform checked(platform);
  Quorvalen control(checked);
  std::vector<std::pair<std::string, std::string>> acks;
  control.OnAck([&](const std::string& c, const std::string& a) { acks.emplace_back(c, a); });
  auto run = [&](const std::string& command) {
    acks.clear();
    control.Command(command);
    platform.Loop().RunUntil([&] { return !acks.empty() && acks.back().first == "STACK-"; }, 60000);
  };
  run("SPEC>OPEN");
  run("AT+CMEE=1");
  const std::string block = "0011000B811067214365F70000A704C8329BFD06";
  checked.AwaitPrompt(true);
  const int64_t start = platform.Time().MonotonicMs();
  run("AT+CMGS=19,HEX>" + block);
  checked.AwaitPrompt(false);

  // The refusal reached the control as a line of the command, after the
  // block it was not followed by: the block never reached the phone. (The
  // control ends the line by its time-out; the session gives it the ERROR
  // the refusal stands for.)
  bool refused = false;
  for (const auto& [command, answer] : acks) refused |= answer == "+CMS ERROR: 311";
  EXPECT_TRUE(refused);
  EXPECT_EQ(phone.Line().HostWritten().find(block), std::string::npos);
  EXPECT_TRUE(options.messages->sent.empty());
  EXPECT_LT(platform.Time().MonotonicMs() - start, 60000);

  // The phone is in command state and answers the next line.
  run("AT");
  EXPECT_NE(std::find(acks.begin(), acks.end(), std::pair<std::string, std::string>{"AT", "OK"}),
            acks.end());
}

}  // namespace
}  // namespace quorvalen
