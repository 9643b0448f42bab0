// The ring of command slots against a plain array shifted slot by slot.
#include "quorvalen/command_slots.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace quorvalen {
namespace {

// The shifting rule, written out on an array.
struct ArraySlots {
  std::vector<std::string> slots = std::vector<std::string>(CommandSlots::kSlots);
  void ShiftForPop(int count) {
    for (int i = 0; i <= count && i < CommandSlots::kSlots; ++i) {
      slots[i] = i + 1 < CommandSlots::kSlots ? slots[i + 1] : std::string();
    }
  }
};

TEST(CommandSlots, BehaveExactlyLikeAShiftedArray) {
  std::mt19937 rng(11);
  for (int round = 0; round < 30; ++round) {
    CommandSlots ring;
    ArraySlots array;
    int count = 0;
    for (int step = 0; step < 3000; ++step) {
      int what = rng() % 100;
      if (what < 45 && count < CommandSlots::kSlots) {
        std::string text = "C" + std::to_string(step);
        ring.Set(count, text);
        array.slots[count] = text;
        ++count;
      } else if (what < 90) {
        ring.ShiftForPop(count);
        array.ShiftForPop(count);
        count = std::max(count - 1, 0);
      } else if (what < 95) {
        // The host lowers or raises the count, or empties the queue.
        count = static_cast<int>(rng() % (round % 2 ? 40 : 2001));
      } else {
        ring.Set(0, "HEAD" + std::to_string(step));  // the executor rewrites the head
        array.slots[0] = "HEAD" + std::to_string(step);
      }
      if (step % 97 == 0 || round == 0) {
        for (int i = 0; i < CommandSlots::kSlots; ++i) {
          ASSERT_EQ(ring[i], array.slots[i]) << "round " << round << " step " << step << " slot " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorvalen
