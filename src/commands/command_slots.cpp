#include "quorvalen/command_slots.h"

#include <algorithm>
#include <utility>

namespace quorvalen {

void CommandSlots::Set(int i, std::string text) {
  if (!text.empty()) used_ = std::max(used_, i + 1);
  slots_[Physical(i)] = std::move(text);
}

void CommandSlots::ShiftForPop(int count) {
  if (count < 0) return;
  const int last = std::min(count, kSlots - 1);
  if (count + 1 < kSlots && used_ <= count + 2) {
    // Only empty slots lie beyond slot count + 1: turn the ring by one.
    // The old head wraps round to the last slot, which must read as empty,
    // and slot count + 1 keeps its text (now also in slot count).
    slots_[base_].clear();
    base_ = (base_ + 1) % kSlots;
    std::string& kept = slots_[Physical(count + 1)];
    kept = slots_[Physical(count)];
    used_ = kept.empty() ? count : count + 2;
    return;
  }
  for (int i = 0; i < last; ++i) slots_[Physical(i)] = std::move(slots_[Physical(i + 1)]);
  // The final pass copies, so the slot it reads keeps its text.
  slots_[Physical(last)] = last + 1 < kSlots ? slots_[Physical(last + 1)] : std::string();
}

}  // namespace quorvalen
