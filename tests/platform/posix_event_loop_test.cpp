// The poll(2) event loop: timer order and restarts, late ticks, the
// re-entrancy the control relies on, descriptors, and stopping. Time bounds
// are lower bounds (a timer is never early) or very generous upper ones.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quorvalen/posix_platform.h"

namespace quorvalen {
namespace {

// Only a loop that hangs takes this long.
constexpr int64_t kPatience = 10'000;

struct Pipe {
  int read_end = -1;
  int write_end = -1;
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    read_end = fds[0];
    write_end = fds[1];
    fcntl(read_end, F_SETFL, O_NONBLOCK);
  }
  ~Pipe() {
    if (read_end >= 0) close(read_end);
    if (write_end >= 0) close(write_end);
  }
  void Write(const std::string& bytes) const {
    ASSERT_EQ(write(write_end, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  std::string ReadAll() const {
    std::string got;
    char buffer[256];
    ssize_t n;
    while ((n = read(read_end, buffer, sizeof buffer)) > 0) got.append(buffer, n);
    return got;
  }
};

TEST(PosixEventLoop, TimersTickInDueOrderNeverEarlyAndStopWhenDisabled) {
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
    EXPECT_FALSE(timers[i]->Enabled());
    timers[i]->Interval(intervals[i]);
    timers[i]->Enabled(true);
  }
  ASSERT_TRUE(loop.RunUntil([&] { return order.size() == 3; }, kPatience));
  EXPECT_EQ(order, (std::vector<int>{20, 40, 60}));
  for (size_t i = 0; i < order.size(); ++i) EXPECT_GE(after[i], order[i]);

  loop.RunFor(80);
  EXPECT_EQ(order.size(), 3u);
}

TEST(PosixEventLoop, TimersThatAreOffOrHaveNoIntervalNeverTick) {
  PosixEventLoop loop;
  PosixClock clock;
  int ticks = 0;
  auto never_enabled = loop.CreateTimer([&] { ++ticks; });
  never_enabled->Interval(5);
  auto switched_off = loop.CreateTimer([&] { ++ticks; });
  switched_off->Interval(5);
  switched_off->Enabled(true);
  switched_off->Enabled(false);
  auto zero = loop.CreateTimer([&] { ++ticks; });
  zero->Enabled(true);
  auto negative = loop.CreateTimer([&] { ++ticks; });
  negative->Interval(-5);
  negative->Enabled(true);
  EXPECT_TRUE(negative->Enabled());
  EXPECT_EQ(negative->Interval(), -5);

  clock.WaitUntil(clock.MonotonicMs() + 20);
  bool sentinel = false;
  auto last = loop.CreateTimer([&] { sentinel = true; });
  last->Interval(30);
  last->Enabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return sentinel; }, kPatience));
  EXPECT_EQ(ticks, 0);
}

TEST(PosixEventLoop, PeriodicTimerKeepsTickingAndALateTickIsOneTickNotABurst) {
  PosixEventLoop loop;
  PosixClock clock;
  int ticks = 0;
  int64_t overrun_ms = 0;
  auto timer = loop.CreateTimer([&] {
    ++ticks;
    if (overrun_ms > 0) clock.WaitUntil(clock.MonotonicMs() + overrun_ms);
  });
  timer->Interval(10);
  int64_t start = clock.MonotonicMs();
  timer->Enabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return ticks == 5; }, kPatience));
  EXPECT_GE(clock.MonotonicMs() - start, 50);

  // The host is busy elsewhere for ten intervals. When it comes back the
  // timer ticks once, late, and then at its usual pace: the missed ticks are
  // not caught up.
  clock.WaitUntil(clock.MonotonicMs() + 100);
  int before = ticks;
  int64_t back = clock.MonotonicMs();
  loop.RunFor(30);
  int64_t stayed = clock.MonotonicMs() - back;
  EXPECT_GE(ticks - before, 1);
  EXPECT_LE(ticks - before, 2 + stayed / 10);

  // The handler itself overruns ten intervals: that turn ends with its tick,
  // and the next turn brings a single late one.
  clock.WaitUntil(clock.MonotonicMs() + 20);
  before = ticks;
  overrun_ms = 100;
  loop.ProcessPendingEvents();
  EXPECT_EQ(ticks, before + 1);
  overrun_ms = 0;
  loop.ProcessPendingEvents();
  EXPECT_EQ(ticks, before + 2);
}

TEST(PosixEventLoop, ReEnablingOrSettingTheIntervalStartsAFreshFullInterval) {
  PosixEventLoop loop;
  PosixClock clock;
  int ticks = 0;
  int64_t ticked_at = 0;
  auto timer = loop.CreateTimer([&] {
    ++ticks;
    ticked_at = clock.MonotonicMs();
  });
  timer->Interval(80);
  timer->Enabled(true);
  clock.WaitUntil(clock.MonotonicMs() + 100);  // the first tick is overdue

  int64_t restarted = clock.MonotonicMs();
  timer->Enabled(false);
  timer->Enabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return ticks == 1; }, kPatience));
  EXPECT_GE(ticked_at - restarted, 80);

  clock.WaitUntil(clock.MonotonicMs() + 100);
  restarted = clock.MonotonicMs();
  timer->Interval(80);
  ASSERT_TRUE(loop.RunUntil([&] { return ticks == 2; }, kPatience));
  EXPECT_GE(ticked_at - restarted, 80);

  // Enabling an enabled timer changes nothing: the overdue tick still comes.
  clock.WaitUntil(clock.MonotonicMs() + 100);
  timer->Enabled(true);
  loop.ProcessPendingEvents();
  EXPECT_EQ(ticks, 3);
}

TEST(PosixEventLoop, TicksMayDestroyOrRestartTimersIncludingTheirOwn) {
  PosixEventLoop loop;
  PosixClock clock;
  int first = 0;
  int second = 0;
  int self = 0;
  std::unique_ptr<Timer> victim;
  std::unique_ptr<Timer> killer = loop.CreateTimer([&] {
    ++first;
    victim.reset();
  });
  victim = loop.CreateTimer([&] { ++second; });
  std::unique_ptr<Timer> suicidal = loop.CreateTimer([&] {
    ++self;
    suicidal.reset();
  });
  for (Timer* t : {killer.get(), victim.get(), suicidal.get()}) {
    t->Interval(10);
    t->Enabled(true);
  }
  clock.WaitUntil(clock.MonotonicMs() + 30);  // all three due in one turn
  loop.ProcessPendingEvents();
  killer->Enabled(false);
  loop.RunFor(40);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(self, 1);
  EXPECT_EQ(suicidal, nullptr);

  // A tick that restarts its own timer gets the fresh interval, once.
  std::vector<int64_t> times;
  std::unique_ptr<Timer> restarter = loop.CreateTimer([&] {
    times.push_back(clock.MonotonicMs());
    restarter->Enabled(false);
    restarter->Enabled(true);
  });
  restarter->Interval(30);
  restarter->Enabled(true);
  ASSERT_TRUE(loop.RunUntil([&] { return times.size() == 3; }, kPatience));
  EXPECT_GE(times[1] - times[0], 30);
  EXPECT_GE(times[2] - times[1], 30);

  // A timer may outlive its loop; it just never ticks again.
  auto gone = std::make_unique<PosixEventLoop>();
  auto orphan = gone->CreateTimer([] {});
  orphan->Interval(5);
  orphan->Enabled(true);
  gone.reset();
  orphan->Enabled(false);
  orphan->Interval(7);
  EXPECT_EQ(orphan->Interval(), 7);
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
  // re-enter itself when it re-armed itself and that tick fell due meanwhile:
  // the tick comes on a later turn instead.
  int outer = 0;
  int inner = 0;
  int outer_seen_inside = -1;
  std::unique_ptr<Timer> a = loop.CreateTimer([&] {
    if (++outer > 1) {
      a->Enabled(false);
      return;
    }
    a->Interval(10);
    clock.WaitUntil(clock.MonotonicMs() + 25);
    loop.ProcessPendingEvents();
    outer_seen_inside = outer;
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
  EXPECT_EQ(outer_seen_inside, 1);
  loop.ProcessPendingEvents();
  EXPECT_EQ(outer, 2);
  EXPECT_EQ(inner, 1);

  // A descriptor callback that lets events run is not called again for the
  // readiness it is still handling.
  Pipe pipe;
  pipe.Write("x");
  int calls = 0;
  std::string got;
  loop.Watch(pipe.read_end, POLLIN, [&](short) {
    ++calls;
    loop.ProcessPendingEvents();
    got += pipe.ReadAll();
  });
  loop.ProcessPendingEvents();
  loop.ProcessPendingEvents();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(got, "x");
}

TEST(PosixEventLoop, PostedWorkRunsOnceOnALaterTurnFromAnyThread) {
  PosixEventLoop loop;

  // Work that posts itself again runs once per turn: nothing is lost, and
  // ProcessPendingEvents still returns.
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    loop.Post(again);
  };
  loop.Post(again);
  loop.ProcessPendingEvents();
  EXPECT_EQ(runs, 1);
  loop.ProcessPendingEvents();
  EXPECT_EQ(runs, 2);

  bool from_tick = false;
  auto timer = loop.CreateTimer([&] { loop.Post([&] { from_tick = true; }); });
  timer->Interval(5);
  timer->Enabled(true);
  EXPECT_TRUE(loop.RunUntil([&] { return from_tick; }, kPatience));
  timer.reset();

  // Another thread's Post wakes a loop that has nothing else to wait for.
  PosixEventLoop quiet;
  PosixClock clock;
  std::atomic<bool> ran{false};
  int64_t start = clock.MonotonicMs();
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    quiet.Post([&] { ran = true; });
  });
  EXPECT_TRUE(quiet.RunUntil([&] { return ran.load(); }, 2 * kPatience));
  poster.join();
  EXPECT_LT(clock.MonotonicMs() - start, kPatience);
}

PosixEventLoop* signal_loop = nullptr;
void StopFromSignal(int) { signal_loop->Stop(); }

TEST(PosixEventLoop, StopEndsTheRunFromAThreadASignalHandlerOrACallback) {
  PosixEventLoop loop;
  PosixClock clock;

  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    loop.Stop();
  });
  loop.Run();
  stopper.join();

  struct sigaction action {};
  struct sigaction saved {};
  action.sa_handler = StopFromSignal;
  sigemptyset(&action.sa_mask);
  signal_loop = &loop;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
  pthread_t runner = pthread_self();
  std::thread signaller([runner] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pthread_kill(runner, SIGUSR1);
  });
  loop.Run();
  signaller.join();
  sigaction(SIGUSR1, &saved, nullptr);
  signal_loop = nullptr;

  int ticks = 0;
  auto timer = loop.CreateTimer([&] {
    if (++ticks == 1) loop.Stop();
  });
  timer->Interval(10);
  timer->Enabled(true);
  int64_t start = clock.MonotonicMs();
  loop.RunFor(kPatience);
  EXPECT_LT(clock.MonotonicMs() - start, kPatience);
  EXPECT_EQ(ticks, 1);
  // The stop was used up by that run; the next one runs normally.
  EXPECT_TRUE(loop.RunUntil([&] { return ticks == 3; }, kPatience));
}

TEST(PosixEventLoop, WatchedDescriptorsReportReadinessUntilChangedOrUnwatched) {
  PosixEventLoop loop;
  Pipe pipe;
  std::string got;
  short seen = 0;
  PosixEventLoop::WatchId reader = loop.Watch(pipe.read_end, POLLIN, [&](short revents) {
    seen |= revents;
    got += pipe.ReadAll();
  });
  pipe.Write("hi");
  ASSERT_TRUE(loop.RunUntil([&] { return got == "hi"; }, kPatience));
  EXPECT_TRUE(seen & POLLIN);

  loop.ChangeWatch(reader, 0);
  pipe.Write("x");
  loop.RunFor(30);
  EXPECT_EQ(got, "hi");
  loop.ChangeWatch(reader, POLLIN);
  ASSERT_TRUE(loop.RunUntil([&] { return got == "hix"; }, kPatience));

  // A callback may remove itself and others; the removed are not called.
  Pipe other;
  other.Write("y");
  int first = 0;
  int second = 0;
  PosixEventLoop::WatchId first_id = 0;
  PosixEventLoop::WatchId second_id = 0;
  first_id = loop.Watch(other.read_end, POLLIN, [&](short) {
    ++first;
    loop.Unwatch(second_id);
    loop.Unwatch(first_id);
  });
  second_id = loop.Watch(other.read_end, POLLIN, [&](short) { ++second; });
  loop.ProcessPendingEvents();
  loop.RunFor(20);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);

  // Writability, and a hang-up that nobody asked for still reaches the watch.
  int writable = 0;
  PosixEventLoop::WatchId writer = 0;
  writer = loop.Watch(pipe.write_end, POLLOUT, [&](short revents) {
    if (revents & POLLOUT) ++writable;
    loop.Unwatch(writer);
  });
  ASSERT_TRUE(loop.RunUntil([&] { return writable == 1; }, kPatience));
  close(pipe.write_end);
  pipe.write_end = -1;
  seen = 0;
  ASSERT_TRUE(loop.RunUntil([&] { return (seen & POLLHUP) != 0; }, kPatience));
  loop.Unwatch(reader);
}

TEST(PosixEventLoop, RunUntilChecksAfterEveryEventAndReportsTheOutcome) {
  PosixEventLoop loop;
  PosixClock clock;
  int ticks = 0;
  auto timer = loop.CreateTimer([&] { ++ticks; });
  timer->Interval(5);
  timer->Enabled(true);
  clock.WaitUntil(clock.MonotonicMs() + 10);
  loop.Post([&] { ++ticks; });
  loop.Post([&] { ++ticks; });
  loop.Post([&] { ++ticks; });
  EXPECT_TRUE(loop.RunUntil([&] { return ticks >= 2; }, kPatience));
  EXPECT_EQ(ticks, 2);

  EXPECT_TRUE(loop.RunUntil([] { return true; }, 0));
  timer->Enabled(false);
  int64_t start = clock.MonotonicMs();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 30));
  EXPECT_GE(clock.MonotonicMs() - start, 30);
  start = clock.MonotonicMs();
  loop.RunFor(30);
  EXPECT_GE(clock.MonotonicMs() - start, 30);
}

}  // namespace
}  // namespace quorvalen
