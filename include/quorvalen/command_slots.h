// The slots of the command queue. A pop moves slot i + 1 into slot i for i
// from 0 up to the count inclusive, and hosts can see the slots past the
// count, so the slots must behave exactly like a shifted array. They are
// kept in a ring, so that a pop costs the same however long the queue is:
// turning the ring moves every slot at once, which is exact while nothing
// but empty slots lies beyond the ones the pop moves; otherwise the slots
// are moved one by one.
#pragma once

#include <array>
#include <string>

namespace quorvalen {

class CommandSlots {
 public:
  static constexpr int kSlots = 2001;

  // Slot i, 0 <= i < kSlots.
  const std::string& operator[](int i) const { return slots_[Physical(i)]; }
  void Set(int i, std::string text);
  // The shifting of a pop made with the given count. A slot past the last
  // one reads as empty.
  void ShiftForPop(int count);

 private:
  int Physical(int i) const { return (base_ + i) % kSlots; }

  std::array<std::string, kSlots> slots_;
  int base_ = 0;
  // Every slot from this index on is empty.
  int used_ = 0;
};

}  // namespace quorvalen
