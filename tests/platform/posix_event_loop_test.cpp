// The poll(2) event loop: timer order, late ticks, the re-entrancy the
// control relies on, and stopping (descriptors: serial_port_test). Time bounds are lower bounds
// (a timer is never early) or very generous upper ones.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quorvalen/posix_platform.h"

namespace quorvalen {
namespace {

// Only a loop that hangs takes this long.
constexpr int64_t kPatience = 10'000;

TEST(PosixEventLoop, TimersTickInDueOrderNeverEarlyAndNotWhenDisabled) {
  PosixEventLoop loop;
  PosixClock clock;
  const std::vector<int> intervals = {60, 20, 40};
  std::vector<std::unique_ptr<Timer>> timers;
  std::vector<int> order;
  std::vector<int64_t> after;
  int64_t start = clock.MonotonicMs();
  for (size_t i = 0; i < intervals.size(); ++i) {
    timers.push_back(loop.CreateTimer([&, i] {
      order.push_back(intervals[i]);
      after.push_back(clock.MonotonicMs() - start);
      timers[i]->Enabled(false);
    }));
    timers[i]->Interval(intervals[i]);
    timers[i]->Enabled(true);
  }
  int never = 0;
  auto switched_off = loop.CreateTimer([&] { ++never; });
  switched_off->Interval(5);
  switched_off->Enabled(true);
  switched_off->Enabled(false);
  auto zero = loop.CreateTimer([&] { ++never; });
  zero->Enabled(true);

  ASSERT_TRUE(loop.RunUntil([&] { return order.size() == 3; }, kPatience));
  EXPECT_EQ(order, (std::vector<int>{20, 40, 60}));
  for (size_t i = 0; i < order.size(); ++i) EXPECT_GE(after[i], order[i]);
  loop.RunFor(80);
  EXPECT_EQ(order.size(), 3u);
  EXPECT_EQ(never, 0);

  // Re-enabling starts a fresh full interval, even when a tick was overdue.
  timers[0]->Enabled(true);
  clock.WaitUntil(clock.MonotonicMs() + 80);
  int64_t restarted = clock.MonotonicMs();
  timers[0]->Enabled(false);
  timers[0]->Enabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return order.size() == 4; }, kPatience));
  EXPECT_GE(clock.MonotonicMs() - restarted, 60);
}

TEST(PosixEventLoop, ALateTickIsOneTickNotABurst) {
  PosixEventLoop loop;
  PosixClock clock;
  int ticks = 0;
  int64_t overrun_ms = 0;
  auto timer = loop.CreateTimer([&] {
    ++ticks;
    if (overrun_ms > 0) clock.WaitUntil(clock.MonotonicMs() + overrun_ms);
  });
  timer->Interval(10);
  timer->Enabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return ticks == 3; }, kPatience));

  // The host is busy elsewhere for ten intervals: one late tick, then the
  // usual pace; the missed ticks are not caught up.
  clock.WaitUntil(clock.MonotonicMs() + 100);
  int before = ticks;
  int64_t back = clock.MonotonicMs();
  loop.RunFor(30);
  int64_t stayed = clock.MonotonicMs() - back;
  EXPECT_GE(ticks - before, 1);
  EXPECT_LE(ticks - before, 2 + stayed / 10);

  // The handler itself overruns ten intervals: the next turn brings one tick.
  clock.WaitUntil(clock.MonotonicMs() + 20);
  before = ticks;
  overrun_ms = 100;
  loop.ProcessPendingEvents();
  EXPECT_EQ(ticks, before + 1);
  overrun_ms = 0;
  loop.ProcessPendingEvents();
  EXPECT_EQ(ticks, before + 2);
}

TEST(PosixEventLoop, NestedProcessPendingEventsRunsEachEventExactlyOnce) {
  PosixEventLoop loop;
  PosixClock clock;
  std::vector<std::string> log;
  loop.Post([&] {
    log.push_back("a-begin");
    loop.ProcessPendingEvents();
    log.push_back("a-end");
  });
  loop.Post([&] { log.push_back("b"); });
  loop.Post([&] { log.push_back("c"); });
  loop.ProcessPendingEvents();
  loop.ProcessPendingEvents();
  EXPECT_EQ(log, (std::vector<std::string>{"a-begin", "b", "c", "a-end"}));

  // A tick that lets events run sees the other due timer tick, but does not
  // re-enter itself: its own next tick comes on a later turn.
  int outer = 0;
  int inner = 0;
  std::unique_ptr<Timer> a = loop.CreateTimer([&] {
    if (++outer > 1) return a->Enabled(false);
    a->Interval(10);
    clock.WaitUntil(clock.MonotonicMs() + 25);
    loop.ProcessPendingEvents();
    EXPECT_EQ(outer, 1);
  });
  std::unique_ptr<Timer> b = loop.CreateTimer([&] {
    ++inner;
    b->Enabled(false);
  });
  for (Timer* t : {a.get(), b.get()}) {
    t->Interval(10);
    t->Enabled(true);
  }
  clock.WaitUntil(clock.MonotonicMs() + 20);
  loop.ProcessPendingEvents();
  EXPECT_EQ(outer, 1);
  EXPECT_EQ(inner, 1);
  loop.ProcessPendingEvents();
  EXPECT_EQ(outer, 2);
}

TEST(PosixEventLoop, StopAndPostWorkFromAnotherThread) {
  PosixEventLoop loop;
  PosixClock clock;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    loop.Stop();
  });
  int64_t start = clock.MonotonicMs();
  loop.Run();
  stopper.join();
  EXPECT_LT(clock.MonotonicMs() - start, kPatience);

  // Another thread's Post wakes a loop that has nothing else to wait for.
  std::atomic<bool> ran{false};
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    loop.Post([&] { ran = true; });
  });
  EXPECT_TRUE(loop.RunUntil([&] { return ran.load(); }, 2 * kPatience));
  poster.join();

  // A stop from a callback ends that run only.
  int ticks = 0;
  auto timer = loop.CreateTimer([&] {
    if (++ticks == 1) loop.Stop();
  });
  timer->Interval(10);
  timer->Enabled(true);
  loop.RunFor(kPatience);
  EXPECT_EQ(ticks, 1);
  EXPECT_TRUE(loop.RunUntil([&] { return ticks == 3; }, kPatience));
}

}  // namespace
}  // namespace quorvalen
