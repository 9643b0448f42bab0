// The built-in sample of messages and contacts: the same on every run,
// made with the message codec, with something in it for every corner of a
// decoder (alphabets, long messages, a lost part, reports, binary data,
// time zones, a flash message).
#include <algorithm>
#include <optional>
#include <utility>

#include "quorvalen/byte_text.h"
#include "quorvalen/sim/message_store.h"

namespace quorvalen::sim {
namespace {

using sms::Pdu;
using sms::PduType;
using sms::Status;

sms::Timestamp Time(int year, int month, int day, int hour, int minute, int second,
                    int zone_quarters) {
  return sms::Timestamp{year, month, day, hour, minute, second, zone_quarters};
}

class SampleBuilder {
 public:
  SampleBuilder() { centre_ = sms::AddressOf(store_.service_centre); }

  // A received message from a sender, split as the codec splits it; only
  // the parts whose sequence numbers are in `keep` (all when empty) are
  // stored, from `first` on.
  void Received(const std::string& memory, int first, Status status, const std::string& from,
                const sms::Timestamp& time, const std::string& text, uint16_t reference = 0,
                bool sixteen_bit = false, std::vector<int> keep = {},
                std::optional<int> message_class = std::nullopt) {
    Pdu base;
    base.type = PduType::kDeliver;
    base.service_centre = centre_;
    base.address = sms::AddressOf(from);
    base.time = time;
    base.coding = sms::ChooseCoding(text);
    base.message_class = message_class;
    Store(memory, first, status, sms::SplitText(base, text, reference, sixteen_bit), keep);
  }

  // A message written on the phone: sent or waiting to be.
  void Draft(const std::string& memory, int index, Status status, const std::string& to,
             const std::string& text) {
    Pdu base;
    base.type = PduType::kSubmit;
    base.address = sms::AddressOf(to);
    base.coding = sms::ChooseCoding(text);
    base.validity = 0xA7;
    Store(memory, index, status, sms::SplitText(base, text), {});
  }

  void Binary(const std::string& memory, int index, const std::string& from,
              const sms::Timestamp& time, const std::string& data) {
    Pdu pdu;
    pdu.type = PduType::kDeliver;
    pdu.service_centre = centre_;
    pdu.address = sms::AddressOf(from);
    pdu.time = time;
    pdu.coding = sms::Coding::kEightBit;
    pdu.data = data;
    Put(memory, index, Status::kReceivedRead, pdu);
    texts_.push_back({memory, {index}, TextToHex(data)});
  }

  void Report(const std::string& memory, int index, const std::string& recipient, uint8_t reference,
              const sms::Timestamp& taken, const sms::Timestamp& done) {
    Pdu pdu;
    pdu.type = PduType::kStatusReport;
    pdu.service_centre = centre_;
    pdu.address = sms::AddressOf(recipient);
    pdu.message_reference = reference;
    pdu.time = taken;
    pdu.discharge_time = done;
    pdu.status = 0x00;
    Put(memory, index, Status::kReceivedRead, pdu);
    texts_.push_back({memory, {index}, ""});
  }

  void Contact(const std::string& memory, int index, const std::string& number,
               const std::string& name) {
    store_.Phonebook(memory).slots[index] =
        PhonebookEntry{number, number[0] == '+' ? 145 : 129, name};
  }

  MessageStore& Store() { return store_; }
  std::vector<MessageStore::SampleText>& Texts() { return texts_; }

 private:
  void Put(const std::string& memory, int index, Status status, const Pdu& pdu) {
    store_.Messages(memory).slots[index] = StoredMessage{status, sms::EncodePdu(pdu).hex};
  }

  void Store(const std::string& memory, int first, Status status, const std::vector<Pdu>& parts,
             const std::vector<int>& keep) {
    MessageStore::SampleText made{memory, {}, {}};
    int index = first;
    for (size_t i = 0; i < parts.size(); ++i) {
      const int sequence = static_cast<int>(i) + 1;
      if (!keep.empty() && std::find(keep.begin(), keep.end(), sequence) == keep.end()) continue;
      Put(memory, index, status, parts[i]);
      made.indexes.push_back(index++);
      made.text += parts[i].text;
    }
    texts_.push_back(std::move(made));
  }

  MessageStore store_;
  sms::Address centre_;
  std::vector<MessageStore::SampleText> texts_;
};

const std::string kThreeParts =
    "The train from Mumbai was late again, so here is the whole plan in one go. We meet at the "
    "north entrance of the station at half past nine, then walk to the old market for breakfast. "
    "After that the museum opens at eleven; tickets are cheaper online, so buy them tonight. "
    "Lunch is at the place by the river that we liked last year. In the afternoon everyone is "
    "free until six, and dinner is booked for eight. Do not forget the umbrella!";

const std::string kTwoParts =
    "Reminder from the office: the quarterly review moves to Thursday at 10:00 in room 4B. "
    "Please bring the printed figures and your notes from the last meeting. Coffee and bagels "
    "will be there; the video link follows in a separate message.";

const std::string kPartLost =
    "Chapter one of the story goes like this: once upon a time, in a town by the sea, there "
    "lived a lighthouse keeper who counted ships. Every night he wrote their names into a thick "
    "blue book. Chapter two begins when a ship came that had no name at all, only a flag with a "
    "golden bird. Chapter three tells how the keeper rowed out to meet it, and what he found.";

SampleBuilder Build() {
  SampleBuilder b;
  // The SIM: slot 7 left free.
  b.Received("SM", 1, Status::kReceivedRead, "+491701234567", Time(2026, 12, 7, 15, 50, 31, 4),
             "Hello! Are we still on for dinner at 8? Let me know @ once.");
  b.Received("SM", 2, Status::kReceivedUnread, "01761234567", Time(2026, 12, 6, 9, 15, 0, -20),
             "Costs 5\u20AC: [a] {b} ~c \\d ^e |f");
  b.Received("SM", 3, Status::kReceivedUnread, "+306912345678", Time(2026, 12, 5, 18, 30, 0, 8),
             "\u039A\u03B1\u03BB\u03B7\u03BC\u03AD\u03C1\u03B1! \u03A4\u03B1 \u03BB\u03AD\u03BC"
             "\u03B5 \u03B1\u03CD\u03C1\u03B9\u03BF.");
  b.Received("SM", 4, Status::kReceivedRead, "+919812345678", Time(2026, 12, 4, 11, 0, 0, 22),
             kThreeParts, 0x42);
  b.Received("SM", 8, Status::kReceivedRead, "QuorvBank", Time(2026, 12, 3, 8, 0, 0, 4),
             "Your balance is 1234.56 EUR.");
  b.Received("SM", 9, Status::kReceivedUnread, "+491709876543", Time(2026, 12, 2, 23, 59, 59, 4),
             "Flash: this message shows at once.", 0, false, {}, 0);
  b.Report("SM", 10, "+491701234567", 42, Time(2026, 12, 1, 10, 0, 0, 4),
           Time(2026, 12, 1, 10, 0, 5, 4));
  b.Draft("SM", 11, Status::kStoredSent, "+491701234567", "See you at 8. Bring the map!");
  b.Draft("SM", 12, Status::kStoredUnsent, "01761234567", "Draft: call the plumber");

  // The phone's own memory.
  b.Received("ME", 1, Status::kReceivedRead, "+74951234567", Time(2026, 11, 30, 14, 20, 0, 12),
             "\u041F\u0440\u0438\u0432\u0435\u0442! \u041A\u0430\u043A \u0434\u0435\u043B\u0430?");
  b.Received("ME", 2, Status::kReceivedUnread, "+819012345678", Time(2026, 11, 29, 20, 0, 0, 36),
             "Happy birthday \U0001F382 from Tokyo \u6771\u4EAC");
  b.Received("ME", 3, Status::kReceivedRead, "+12125550123", Time(2026, 11, 28, 7, 45, 0, -20),
             kTwoParts, 0x1234, true);
  b.Received("ME", 5, Status::kReceivedUnread, "+33612345678", Time(2026, 11, 27, 12, 0, 0, 4),
             kPartLost, 0x07, false, {1, 3});
  b.Binary("ME", 7, "+4915112345678", Time(2026, 11, 26, 6, 30, 0, 4),
           std::string("\x00\x01\x7F\x80\xFE\xFFQV", 8));
  b.Draft("ME", 8, Status::kStoredSent, "+306912345678",
          "\u0395\u03C5\u03C7\u03B1\u03C1\u03B9\u03C3\u03C4\u03CE!");
  b.Draft("ME", 9, Status::kStoredUnsent, "+79161234567",
          "\u0427\u0435\u0440\u043D\u043E\u0432\u0438\u043A");

  // Phonebooks: SM 3 free.
  b.Contact("SM", 1, "+491701234567", "Anna M\u00FCller");
  b.Contact("SM", 2, "+306912345678", "\u039D\u03AF\u03BA\u03BF\u03C2");
  b.Contact("SM", 4, "0301234567", "Office");
  b.Contact("SM", 5, "+74951234567",
            "\u0418\u0432\u0430\u043D \u041F\u0435\u0442\u0440\u043E\u0432");
  b.Contact("ME", 1, "+46701234567", "Zo\u00EB \u00C5ngstr\u00F6m");
  b.Contact("ME", 2, "+79161234567",
            "\u0414\u043C\u0438\u0442\u0440\u0438\u0439 \u0418\u0432\u0430\u043D\u043E\u0432");
  b.Contact("ME", 3, "+306987654321",
            "\u03A3\u03BF\u03C6\u03AF\u03B1 \u0393\u03B5\u03C9\u03C1\u03B3\u03AF\u03BF\u03C5");
  b.Contact("ME", 4, "0891234567", "Home");
  b.Contact("ME", 6, "0207123456", "Pizza Express");
  return b;
}

}  // namespace

MessageStore MessageStore::Sample() { return std::move(Build().Store()); }

std::vector<MessageStore::SampleText> MessageStore::SampleTexts() {
  return std::move(Build().Texts());
}

}  // namespace quorvalen::sim
