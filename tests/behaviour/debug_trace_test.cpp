// The trace file's lines, byte for byte, and what a trace that is off
// costs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "support/control_fixture.h"

// Every allocation of this test program is counted. The sanitizers bring
// their own allocator, so the count is kept only in plain builds.
#if defined(__SANITIZE_ADDRESS__)
#define QUORVALEN_COUNTS_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVALEN_COUNTS_ALLOCATIONS 0
#endif
#endif
#ifndef QUORVALEN_COUNTS_ALLOCATIONS
#define QUORVALEN_COUNTS_ALLOCATIONS 1
#endif

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

#if QUORVALEN_COUNTS_ALLOCATIONS
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

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

// With the trace off, the paths that reject what the phone sent build no
// trace text (the hex of the rejected bytes above all): they allocate
// nothing at all once their buffers have grown. With the trace on they do.
TEST_F(DebugTraceTest, AnOffTraceBuildsNoText) {
  if (!QUORVALEN_COUNTS_ALLOCATIONS) GTEST_SKIP() << "allocations are not counted here";
  control.MobileType(1);
  internals.LinkMode() = ControlCore::kObexMode;
  internals.PushCommand("SPEC>WAIT:1");  // queued, not started
  const std::string bad_length("\xA0\x00\x01", 3);
  const std::string unknown_block("\x16\x02\x14\x05\xFA", 5);
  auto reject_all = [&] {
    for (int i = 0; i < 20; ++i) {
      control.OBEX_Decoder(bad_length);
      for (char c : unknown_block) internals.DecodeBfbFrame(c);
    }
  };
  reject_all();  // the buffers grow once
  long before = g_allocations.load();
  reject_all();
  EXPECT_EQ(g_allocations.load() - before, 0);

  TraceTo("t.txt");
  before = g_allocations.load();
  reject_all();
  EXPECT_GE(g_allocations.load() - before, 40);
  EXPECT_EQ(TraceLines("t.txt").back().substr(9), " >BFB    :CMD ERROR 05FA");
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
