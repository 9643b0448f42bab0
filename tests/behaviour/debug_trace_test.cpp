// The trace file's lines, byte for byte.
#include <gtest/gtest.h>

#include "support/control_fixture.h"

namespace quorvalen {
namespace {

using DebugTraceTest = ControlTest;

TEST_F(DebugTraceTest, LinesAreStampedAndLineBreaksSpelledOut) {
  platform.Time().SetStart(2026, 3, 7, ((14 * 60 + 5) * 60 + 9) * 1000LL + 250);
  TraceTo("trace.txt");
  internals.DebugTrace(" >COM    :OK\r\n");
  internals.DebugTrace("");
  internals.DebugTrace("a\nb\rc\x01");
  platform.Loop().RunFor(1500);
  internals.CloseTrace();
  EXPECT_EQ(platform.Files()["trace.txt"],
            "Quorvalen Debug File Open 2026-03-0714:05:09\r\n"
            "050709250 >COM    :OK[13][10]\r\n"
            "050709250\r\n"
            "050709250a[10]b[13]c\x01\r\n"
            "Quorvalen Debug File Close 2026-03-0714:05:10\r\n");
}

TEST_F(DebugTraceTest, StampIsNineDigitsJustAfterMidnight) {
  platform.Time().SetStart(2026, 12, 31, 86'400'000 - 2);
  TraceTo("m.txt");
  platform.Loop().RunFor(5);  // crosses midnight into the new year
  internals.DebugTrace("x");
  auto lines = TraceLines("m.txt");
  EXPECT_EQ(lines[0], "Quorvalen Debug File Open 2026-12-3123:59:59");
  EXPECT_EQ(lines[1], "000000003x");
  EXPECT_EQ(platform.Time().DateText(), "2027-01-01");
}

TEST_F(DebugTraceTest, OffMeansNoFileAtAll) {
  internals.DebugTrace("nothing");
  control.Command("AT");
  EXPECT_TRUE(platform.Files().empty());
  // An unusable path leaves tracing off.
  control.DebugPath("");
  EXPECT_FALSE(internals.OpenTrace());
  EXPECT_FALSE(internals.DebugOn());
}

TEST_F(DebugTraceTest, OpeningAgainReplacesTheOldFile) {
  platform.Files()["old.txt"] = "previous run\r\n";
  TraceTo("old.txt");
  auto lines = TraceLines("old.txt");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Quorvalen Debug File Open ", 0), 0u);
}

}  // namespace
}  // namespace quorvalen
