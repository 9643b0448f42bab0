// The command queue: order, answers, trace, the shifting rule, capacity.
#include <gtest/gtest.h>

#include "quorvalen/error.h"
#include "support/control_fixture.h"

namespace quorvalen {
namespace {

using CommandStack = ControlTest;

TEST_F(CommandStack, PushAndPopReportEveryLengthAndShiftTheSlots) {
  TraceTo("q.log");
  for (const char* c : {"A", "B", "C"}) internals.PushCommand(c);
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"}, {"STACK+", "2"}, {"STACK+", "3"}}));
  auto lines = TraceLines("q.log");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].substr(9), " Stack[0]:A");
  EXPECT_EQ(lines[3].substr(9), " Stack[2]:C");
  EXPECT_EQ(internals.Slot(0), "A");

  acks.clear();
  internals.ExecutorBusy() = true;
  internals.PopCommand();
  EXPECT_EQ(acks, (AckList{{"STACK-", "2"}}));
  EXPECT_EQ(internals.Slot(0), "B");
  EXPECT_EQ(internals.Slot(1), "C");
  EXPECT_EQ(internals.Slot(2), "");
  EXPECT_FALSE(internals.ExecutorBusy());
  EXPECT_TRUE(internals.CommandEnded());
}

TEST_F(CommandStack, PoppingAnEmptyQueueSaysMinusOneAndEndsAtZero) {
  internals.ExecutorBusy() = true;
  internals.PopCommand();
  EXPECT_EQ(acks, (AckList{{"STACK-", "-1"}}));
  EXPECT_EQ(control.StackCount(), 0);
  EXPECT_FALSE(internals.ExecutorBusy());
  // A count the host set below zero is not corrected.
  control.StackCount(-5);
  internals.PopCommand();
  EXPECT_EQ(acks.back(), (Ack{"STACK-", "-6"}));
  EXPECT_EQ(control.StackCount(), -6);
}

TEST_F(CommandStack, TheHostEmptiesTheQueueByWritingZero) {
  for (const char* c : {"A", "B", "C"}) control.Command(c);
  control.StackCount(0);
  EXPECT_EQ(control.Command(), "A");  // the old head is still in its slot
  control.Command("D");
  EXPECT_EQ(internals.Slot(0), "D");
  EXPECT_EQ(internals.Slot(1), "B");
  EXPECT_EQ(control.StackCount(), 1);
}

TEST_F(CommandStack, ReadingCommandShowsTheSlotAtTheCount) {
  for (const char* c : {"A", "B", "C", "D"}) control.Command(c);
  control.StackCount(2);
  internals.PopCommand();  // the extra pass copies slot 3 into slot 2
  EXPECT_EQ(control.Command(), "C");
  control.StackCount(2);
  EXPECT_EQ(control.Command(), "D");
  control.StackCount(3);
  EXPECT_EQ(control.Command(), "D");
  control.StackCount(2001);
  EXPECT_THROW(control.Command(), Error);
  control.StackCount(-1);
  try {
    control.Command();
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number, kErrSubscriptOutOfRange);
  }
}

TEST_F(CommandStack, AFullQueueRefusesThePushAndChangesNothing) {
  for (int i = 0; i < Quorvalen::kStackSlots; ++i) control.Command("C" + std::to_string(i));
  EXPECT_EQ(control.StackCount(), 2001);
  acks.clear();
  try {
    control.Command("one too many");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number, kErrSubscriptOutOfRange);
  }
  EXPECT_EQ(control.StackCount(), 2001);
  EXPECT_TRUE(acks.empty());
  EXPECT_EQ(internals.Slot(2000), "C2000");

  // A pop of a full queue finds no slot past the last: it reads as empty.
  internals.PopCommand();
  EXPECT_EQ(control.StackCount(), 2000);
  EXPECT_EQ(internals.Slot(0), "C1");
  EXPECT_EQ(internals.Slot(1999), "C2000");
  EXPECT_EQ(internals.Slot(2000), "");
}

TEST_F(CommandStack, AnAckHandlerMayWriteCommandFromInsideAck) {
  // The handler queues a follow-up for the first push only; it sees the
  // new entry already stored and counted.
  bool queued = false;
  control.OnAck([&](const std::string& c, const std::string& a) {
    acks.emplace_back(c, a);
    if (c == "STACK+" && !queued) {
      queued = true;
      EXPECT_EQ(control.StackCount(), 1);
      control.Command("FOLLOW-UP");
    }
  });
  control.Command("FIRST");
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"}, {"STACK+", "2"}}));
  EXPECT_EQ(internals.Slot(0), "FIRST");
  EXPECT_EQ(internals.Slot(1), "FOLLOW-UP");

}

}  // namespace
}  // namespace quorvalen
