// Long messages: the splitting of a text or data into parts that each fit
// one PDU, and the joining of stored parts back into messages.
#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <tuple>

#include "codecs/sms_fields.h"
#include "quorvalen/sms.h"

namespace quorvalen::sms {

namespace {

constexpr size_t kUserDataOctets = 140;
constexpr size_t kMaxParts = 255;

// Room in one PDU's user data, in units of the coding (septets, octets or
// UTF-16 units), beside a header of the given elements (none: no header).
size_t Capacity(Coding coding, size_t header_elements) {
  const size_t header_octets = header_elements == 0 ? 0 : 1 + header_elements;
  if (header_octets >= kUserDataOctets) return 0;
  switch (coding) {
    case Coding::kGsm7:
      return (kUserDataOctets * 8 - header_octets * 8) / 7;
    case Coding::kUcs2:
      return (kUserDataOctets - header_octets) / 2;
    case Coding::kEightBit:
      break;
  }
  return kUserDataOctets - header_octets;
}

// Cuts units (unit_size bytes each) into chunks of at most capacity units,
// moving a cut back by one unit where may_end_at says the cut would fall
// inside a character. Nothing when the units need more than kMaxParts
// chunks or a chunk cannot hold one character.
template <typename MayEnd>
std::vector<std::string_view> Chunks(std::string_view units, size_t unit_size, size_t capacity,
                                     MayEnd may_end_at) {
  std::vector<std::string_view> chunks;
  const size_t count = units.size() / unit_size;
  for (size_t start = 0; start < count;) {
    size_t end = std::min(count, start + capacity);
    if (end < count && !may_end_at(end)) --end;
    if (end <= start || chunks.size() == kMaxParts) return {};
    chunks.push_back(units.substr(start * unit_size, (end - start) * unit_size));
    start = end;
  }
  return chunks;
}

// The parts of the coded user data: one without a concatenation when it
// fits, else as many as needed. to_part fills a part from its chunk.
template <typename MayEnd, typename ToPart>
std::vector<Pdu> Split(const Pdu& base, std::string_view units, size_t unit_size,
                       uint16_t reference, bool sixteen_bit, MayEnd may_end_at, ToPart to_part) {
  Pdu model = base;
  model.text.clear();
  model.data.clear();
  model.concatenation.reset();
  model.user_data_header = internal::OtherElements(base.user_data_header);
  const size_t others = model.user_data_header.size();

  std::vector<Pdu> parts;
  if (units.size() / unit_size <= Capacity(base.coding, others)) {
    parts.push_back(model);
    to_part(units, parts.back());
    return parts;
  }
  const size_t concatenation_octets = sixteen_bit ? 6 : 5;
  const std::vector<std::string_view> chunks =
      Chunks(units, unit_size, Capacity(base.coding, others + concatenation_octets), may_end_at);
  parts.reserve(chunks.size());
  for (size_t i = 0; i < chunks.size(); ++i) {
    parts.push_back(model);
    Pdu& part = parts.back();
    to_part(chunks[i], part);
    Concatenation c;
    c.reference = sixteen_bit ? reference : reference & 0xFF;
    c.total = static_cast<uint8_t>(chunks.size());
    c.sequence = static_cast<uint8_t>(i + 1);
    c.sixteen_bit = sixteen_bit;
    part.concatenation = c;
  }
  return parts;
}

}  // namespace

std::vector<Pdu> SplitText(const Pdu& base, std::string_view utf8, uint16_t reference,
                           bool sixteen_bit_reference) {
  if (base.coding == Coding::kEightBit) {
    return SplitData(base, utf8, reference, sixteen_bit_reference);
  }
  if (base.coding == Coding::kGsm7) {
    const std::string septets = Utf8ToGsm7(utf8);
    // Utf8ToGsm7 writes an escape only before its code.
    auto may_end_at = [&](size_t end) { return septets[end - 1] != '\x1B'; };
    return Split(base, septets, 1, reference, sixteen_bit_reference, may_end_at,
                 [](std::string_view chunk, Pdu& part) { part.text = Gsm7ToUtf8(chunk); });
  }
  const std::string units = Utf8ToUcs2(utf8);
  auto may_end_at = [&](size_t end) {
    const auto high = static_cast<uint8_t>(units[2 * (end - 1)]);
    return high < 0xD8 || high > 0xDB;
  };
  return Split(base, units, 2, reference, sixteen_bit_reference, may_end_at,
               [](std::string_view chunk, Pdu& part) { part.text = Ucs2ToUtf8(chunk); });
}

std::vector<Pdu> SplitData(const Pdu& base, std::string_view data, uint16_t reference,
                           bool sixteen_bit_reference) {
  Pdu eight_bit = base;
  eight_bit.coding = Coding::kEightBit;
  return Split(
      eight_bit, data, 1, reference, sixteen_bit_reference, [](size_t) { return true; },
      [](std::string_view chunk, Pdu& part) { part.data = chunk; });
}

std::vector<JoinedMessage> JoinParts(const std::vector<Pdu>& pdus) {
  struct Group {
    std::vector<std::optional<size_t>> positions;  // by sequence - 1
  };
  using Key = std::tuple<PduType, std::string, uint8_t, uint16_t, bool, uint8_t>;
  // The messages of one key, in order: a part whose place is taken in every
  // one of them (a reference used again) begins another.
  std::map<Key, std::vector<size_t>> groups;
  std::deque<Group> all_groups;
  std::vector<JoinedMessage> messages;
  std::vector<Group*> group_of_message;
  messages.reserve(pdus.size());
  group_of_message.reserve(pdus.size());

  for (size_t i = 0; i < pdus.size(); ++i) {
    const Pdu& pdu = pdus[i];
    // A decoded concatenation always has 1 <= sequence <= total; a caller's
    // own that does not stands alone too.
    const bool concatenated = pdu.concatenation && pdu.concatenation->sequence >= 1 &&
                              pdu.concatenation->sequence <= pdu.concatenation->total;
    if (!concatenated) {
      JoinedMessage single;
      single.parts = {i};
      single.text = pdu.text;
      single.data = pdu.data;
      messages.push_back(std::move(single));
      group_of_message.push_back(nullptr);
      continue;
    }
    const Concatenation& c = *pdu.concatenation;
    Key key{pdu.type, pdu.address.text, pdu.address.type, c.reference, c.sixteen_bit, c.total};
    std::vector<size_t>& candidates = groups[std::move(key)];
    Group* group = nullptr;
    for (size_t g : candidates) {
      if (!all_groups[g].positions[c.sequence - 1]) {
        group = &all_groups[g];
        break;
      }
    }
    if (group == nullptr) {
      candidates.push_back(all_groups.size());
      group = &all_groups.emplace_back();
      group->positions.resize(c.total);
      messages.emplace_back();
      group_of_message.push_back(group);
    }
    group->positions[c.sequence - 1] = i;
  }

  for (size_t m = 0; m < messages.size(); ++m) {
    const Group* group = group_of_message[m];
    if (group == nullptr) continue;
    JoinedMessage& message = messages[m];
    for (size_t s = 0; s < group->positions.size(); ++s) {
      if (!group->positions[s]) {
        message.missing.push_back(static_cast<int>(s + 1));
        continue;
      }
      const Pdu& part = pdus[*group->positions[s]];
      message.parts.push_back(*group->positions[s]);
      message.text += part.text;
      message.data += part.data;
    }
  }
  return messages;
}

}  // namespace quorvalen::sms
