// The real event loop: poll(2) over the watched descriptors and a wake pipe,
// periodic timers in a binary heap keyed by due time on CLOCK_MONOTONIC, and a
// queue of posted work. One turn of the loop waits at most until the next
// timer is due, then runs ready descriptors, expired timers and posted work.
//
// The control calls ProcessPendingEvents() from inside its own handlers, so
// every structure here is walked in a way that tolerates being re-entered and
// changed under the walker: an event is taken out of its queue before its
// handler runs, and nothing a nested turn runs is run again by the outer one.
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quorvalen/posix_platform.h"

namespace quorvalen {
namespace {

constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kForever = INT64_MAX;
constexpr size_t kNotArmed = SIZE_MAX;

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// now + ms, saturating, with negative durations meaning "no time at all".
int64_t DeadlineAfter(int64_t ms) {
  int64_t now = NowNs();
  if (ms <= 0) return now;
  if (ms > (kForever - now) / kNsPerMs) return kForever;
  return now + ms * kNsPerMs;
}

class LoopCore;

// What a Timer handle and the loop share. It outlives the handle while the
// loop is running its tick, so a tick may destroy its own timer.
struct TimerRecord {
  LoopCore* loop = nullptr;  // null once the handle or the loop is gone
  std::function<void()> on_tick;
  int interval_ms = 0;
  bool enabled = false;
  int64_t due_ns = 0;
  uint64_t seq = 0;  // arming order: equal due times tick first-armed first
  size_t heap_index = kNotArmed;
  bool firing = false;  // its tick is running somewhere up the stack
  bool parked = false;  // came due while firing; re-armed when the tick ends
};

struct WatchRecord {
  int fd;
  short events;
  std::function<void(short)> on_ready;
  short pending = 0;     // readiness seen by the latest poll, not yet delivered
  bool running = false;  // its callback is running somewhere up the stack
};

class LoopCore {
 public:
  LoopCore();
  ~LoopCore();
  LoopCore(const LoopCore&) = delete;
  LoopCore& operator=(const LoopCore&) = delete;

  // ---- timers ----
  void Adopt(TimerRecord* timer) { timers_.insert(timer); }
  void Forget(TimerRecord* timer) {
    Disarm(*timer);
    timers_.erase(timer);
  }
  // Starts a fresh full interval from now, or stops the timer when its
  // interval cannot tick.
  void Arm(const std::shared_ptr<TimerRecord>& timer);
  void Disarm(TimerRecord& timer);

  // ---- posted work and waking ----
  void Post(std::function<void()> work);
  // Async-signal-safe: an atomic exchange and at most one write(2).
  void Wake();
  void RequestStop() {
    stop_.store(true);
    Wake();
  }
  bool StopRequested() const { return stop_.load(); }
  bool ConsumeStop() { return stop_.exchange(false); }

  // ---- descriptors ----
  int Watch(int fd, short events, std::function<void(short)> on_ready);
  void ChangeWatch(int id, short events);
  void Unwatch(int id) { watches_.erase(id); }

  // One turn: waits until wait_until_ns at most (kForever: no limit; the
  // past: no wait), then runs what is due. Returns as soon as `until` holds,
  // checking it after every event; what is left runs on a later turn.
  void Turn(int64_t wait_until_ns, const std::function<bool()>* until);

 private:
  using TimerPtr = std::shared_ptr<TimerRecord>;
  struct PostedWork {
    uint64_t seq;
    std::function<void()> run;
  };

  int PollTimeoutMs(int64_t wait_until_ns);
  void DrainWakePipe();
  bool RunReadyDescriptors(const std::vector<pollfd>& fds, const std::vector<int>& ids,
                           const std::function<bool()>* until);
  bool RunExpiredTimers(const std::function<bool()>* until);
  void FireTimer(const TimerPtr& timer, int64_t now_ns);
  bool RunPostedWork(const std::function<bool()>* until);
  bool HasPostedWork();

  // Min-heap on (due_ns, seq); every record knows its own index, so a timer
  // can leave the heap from anywhere in O(log n).
  static bool Earlier(const TimerRecord& a, const TimerRecord& b) {
    return a.due_ns != b.due_ns ? a.due_ns < b.due_ns : a.seq < b.seq;
  }
  void HeapPush(TimerPtr timer);
  TimerPtr HeapRemove(size_t index);
  void HeapPlace(size_t index, TimerPtr timer);
  void SiftUp(size_t index);
  void SiftDown(size_t index);

  std::vector<TimerPtr> heap_;
  std::unordered_set<TimerRecord*> timers_;
  uint64_t timer_seq_ = 0;

  std::map<int, std::shared_ptr<WatchRecord>> watches_;
  int next_watch_id_ = 1;

  // Post() may come from another thread; everything else is loop-thread only.
  std::mutex posted_mutex_;
  std::deque<PostedWork> posted_;
  uint64_t post_seq_ = 0;

  int wake_read_ = -1;
  int wake_write_ = -1;
  std::atomic<bool> wake_pending_{false};
  std::atomic<bool> stop_{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "Stop() must be signal-safe");
};

LoopCore::LoopCore() {
  int fds[2];
  if (pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "PosixEventLoop");
  for (int fd : fds) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  wake_read_ = fds[0];
  wake_write_ = fds[1];
}

LoopCore::~LoopCore() {
  // Timer handles may outlive the loop; they become inert.
  for (TimerRecord* timer : timers_) {
    timer->loop = nullptr;
    timer->heap_index = kNotArmed;
  }
  heap_.clear();
  close(wake_read_);
  close(wake_write_);
}

void LoopCore::Arm(const std::shared_ptr<TimerRecord>& timer) {
  Disarm(*timer);
  if (!timer->enabled || timer->interval_ms <= 0) return;
  timer->due_ns = NowNs() + timer->interval_ms * kNsPerMs;
  HeapPush(timer);
}

void LoopCore::Disarm(TimerRecord& timer) {
  timer.parked = false;
  if (timer.heap_index != kNotArmed) HeapRemove(timer.heap_index);
}

void LoopCore::Post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    posted_.push_back({post_seq_++, std::move(work)});
  }
  Wake();
}

void LoopCore::Wake() {
  // One byte in the pipe is enough to end a poll; more would only fill it.
  if (wake_pending_.exchange(true)) return;
  int saved_errno = errno;
  char byte = 0;
  [[maybe_unused]] ssize_t n = write(wake_write_, &byte, 1);
  errno = saved_errno;
}

void LoopCore::DrainWakePipe() {
  // Cleared before reading so that a wake arriving meanwhile writes again.
  wake_pending_.store(false);
  char buffer[64];
  while (read(wake_read_, buffer, sizeof buffer) > 0) {
  }
}

int LoopCore::Watch(int fd, short events, std::function<void(short)> on_ready) {
  int id = next_watch_id_++;
  auto watch = std::make_shared<WatchRecord>();
  watch->fd = fd;
  watch->events = events;
  watch->on_ready = std::move(on_ready);
  watches_.emplace(id, std::move(watch));
  return id;
}

void LoopCore::ChangeWatch(int id, short events) {
  if (auto it = watches_.find(id); it != watches_.end()) it->second->events = events;
}

bool LoopCore::HasPostedWork() {
  std::lock_guard<std::mutex> lock(posted_mutex_);
  return !posted_.empty();
}

int LoopCore::PollTimeoutMs(int64_t wait_until_ns) {
  if (HasPostedWork()) return 0;
  int64_t wake_at = wait_until_ns;
  if (!heap_.empty()) wake_at = std::min(wake_at, heap_.front()->due_ns);
  if (wake_at == kForever) return -1;
  int64_t remaining = wake_at - NowNs();
  if (remaining <= 0) return 0;
  // Rounded up: waking a little late is harmless, waking early costs a spin.
  int64_t ms = (remaining + kNsPerMs - 1) / kNsPerMs;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void LoopCore::Turn(int64_t wait_until_ns, const std::function<bool()>* until) {
  if (until && (*until)()) return;

  // Watches whose callback is running up the stack are left out: a nested
  // turn must not re-enter them, nor spin on their readiness.
  std::vector<pollfd> fds;
  std::vector<int> ids;
  fds.reserve(watches_.size() + 1);
  ids.reserve(watches_.size());
  fds.push_back({wake_read_, POLLIN, 0});
  for (const auto& [id, watch] : watches_) {
    if (watch->events == 0 || watch->running) continue;
    fds.push_back({watch->fd, watch->events, 0});
    ids.push_back(id);
  }

  int ready = poll(fds.data(), fds.size(), PollTimeoutMs(wait_until_ns));
  if (ready < 0) {
    // EINTR (a signal, perhaps one that called Stop) or a transient
    // failure: nothing is known to be ready, but timers and work still run.
    for (pollfd& p : fds) p.revents = 0;
  }
  if (fds[0].revents != 0) DrainWakePipe();

  if (RunReadyDescriptors(fds, ids, until)) return;
  if (RunExpiredTimers(until)) return;
  RunPostedWork(until);
}

bool LoopCore::RunReadyDescriptors(const std::vector<pollfd>& fds, const std::vector<int>& ids,
                                   const std::function<bool()>* until) {
  // Record first, deliver second: a callback may run a nested turn, which
  // delivers (and clears) what it sees, so the outer walk delivers only what
  // is still pending.
  for (size_t i = 0; i < ids.size(); ++i) {
    if (auto it = watches_.find(ids[i]); it != watches_.end())
      it->second->pending = fds[i + 1].revents;
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    if (fds[i + 1].revents == 0) continue;
    auto it = watches_.find(ids[i]);
    if (it == watches_.end()) continue;
    std::shared_ptr<WatchRecord> watch = it->second;  // survives Unwatch in its callback
    short revents = watch->pending & (watch->events | POLLERR | POLLHUP | POLLNVAL);
    watch->pending = 0;
    if (revents == 0 || watch->running || watch->events == 0) continue;
    watch->running = true;
    struct Done {
      WatchRecord& w;
      ~Done() { w.running = false; }
    } done{*watch};
    watch->on_ready(revents);
    if (until && (*until)()) return true;
  }
  return false;
}

bool LoopCore::RunExpiredTimers(const std::function<bool()>* until) {
  // One reading of the clock for the whole walk. Whatever is armed during it
  // (a fresh interval, a tick's next slot) is due after that reading, so the
  // walk always ends and a late timer ticks once per turn, not in a burst.
  int64_t now = NowNs();
  while (!heap_.empty()) {
    if (heap_.front()->due_ns > now) break;
    TimerPtr timer = HeapRemove(0);
    if (timer->firing) {
      // Its previous tick is still running (this is a nested turn): the tick
      // is delivered once that one returns.
      timer->parked = true;
      continue;
    }
    FireTimer(timer, now);
    if (until && (*until)()) return true;
  }
  return false;
}

void LoopCore::FireTimer(const TimerPtr& timer, int64_t now_ns) {
  // The next tick keeps the timer's phase: one interval after this one's due
  // time, skipping the slots that have already passed.
  int64_t interval_ns = timer->interval_ms * kNsPerMs;
  int64_t next = timer->due_ns + interval_ns;
  if (next <= now_ns) next += ((now_ns - next) / interval_ns + 1) * interval_ns;

  struct Rearm {
    LoopCore& core;
    const TimerPtr& timer;
    int64_t next;
    ~Rearm() {
      timer->firing = false;
      // Not re-armed when the tick destroyed, disabled or re-armed it itself.
      if (!timer->loop || !timer->enabled || timer->interval_ms <= 0 ||
          timer->heap_index != kNotArmed) {
        return;
      }
      // A parked timer keeps the due time it was armed with (already past:
      // it ticks on the next turn); otherwise the phase slot computed above,
      // which is also past if the tick overran it, giving one late tick.
      if (!timer->parked) timer->due_ns = next;
      timer->parked = false;
      core.HeapPush(timer);
    }
  } rearm{*this, timer, next};

  timer->firing = true;
  timer->on_tick();
}

bool LoopCore::RunPostedWork(const std::function<bool()>* until) {
  uint64_t fence;
  {
    std::lock_guard<std::mutex> lock(posted_mutex_);
    fence = post_seq_;
  }
  // Work posted while this walk runs waits for the next turn, so a handler
  // that posts itself again cannot hold ProcessPendingEvents forever.
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> lock(posted_mutex_);
      if (posted_.empty() || posted_.front().seq >= fence) return false;
      work = std::move(posted_.front().run);
      posted_.pop_front();
    }
    work();
    if (until && (*until)()) return true;
  }
}

void LoopCore::HeapPush(TimerPtr timer) {
  timer->seq = timer_seq_++;
  heap_.emplace_back();
  HeapPlace(heap_.size() - 1, std::move(timer));
  SiftUp(heap_.size() - 1);
}

std::shared_ptr<TimerRecord> LoopCore::HeapRemove(size_t index) {
  TimerPtr removed = std::move(heap_[index]);
  removed->heap_index = kNotArmed;
  TimerPtr last = std::move(heap_.back());
  heap_.pop_back();
  if (index < heap_.size()) {
    HeapPlace(index, std::move(last));
    if (index > 0 && Earlier(*heap_[index], *heap_[(index - 1) / 2])) {
      SiftUp(index);
    } else {
      SiftDown(index);
    }
  }
  return removed;
}

void LoopCore::HeapPlace(size_t index, TimerPtr timer) {
  timer->heap_index = index;
  heap_[index] = std::move(timer);
}

void LoopCore::SiftUp(size_t index) {
  while (index > 0) {
    size_t parent = (index - 1) / 2;
    if (!Earlier(*heap_[index], *heap_[parent])) return;
    TimerPtr moving = std::move(heap_[index]);
    HeapPlace(index, std::move(heap_[parent]));
    HeapPlace(parent, std::move(moving));
    index = parent;
  }
}

void LoopCore::SiftDown(size_t index) {
  for (;;) {
    size_t smallest = index;
    for (size_t child : {2 * index + 1, 2 * index + 2}) {
      if (child < heap_.size() && Earlier(*heap_[child], *heap_[smallest])) smallest = child;
    }
    if (smallest == index) return;
    TimerPtr moving = std::move(heap_[index]);
    HeapPlace(index, std::move(heap_[smallest]));
    HeapPlace(smallest, std::move(moving));
    index = smallest;
  }
}

class PosixTimer : public Timer {
 public:
  PosixTimer(LoopCore& loop, std::function<void()> on_tick)
      : record_(std::make_shared<TimerRecord>()) {
    record_->loop = &loop;
    record_->on_tick = std::move(on_tick);
    loop.Adopt(record_.get());
  }
  ~PosixTimer() override {
    if (record_->loop) record_->loop->Forget(record_.get());
    record_->loop = nullptr;
    record_->enabled = false;
  }
  PosixTimer(const PosixTimer&) = delete;
  PosixTimer& operator=(const PosixTimer&) = delete;

  int Interval() const override { return record_->interval_ms; }
  void Interval(int ms) override {
    record_->interval_ms = ms;
    if (record_->enabled && record_->loop) record_->loop->Arm(record_);
  }
  bool Enabled() const override { return record_->enabled; }
  void Enabled(bool on) override {
    if (on == record_->enabled) return;
    record_->enabled = on;
    if (!record_->loop) return;
    if (on) {
      record_->loop->Arm(record_);
    } else {
      record_->loop->Disarm(*record_);
    }
  }

 private:
  std::shared_ptr<TimerRecord> record_;
};

}  // namespace

struct PosixEventLoop::State {
  LoopCore core;
};

PosixEventLoop::PosixEventLoop() : state_(std::make_unique<State>()) {}

PosixEventLoop::~PosixEventLoop() = default;

std::unique_ptr<Timer> PosixEventLoop::CreateTimer(std::function<void()> on_tick) {
  return std::make_unique<PosixTimer>(state_->core, std::move(on_tick));
}

void PosixEventLoop::Post(std::function<void()> work) { state_->core.Post(std::move(work)); }

void PosixEventLoop::ProcessPendingEvents() { state_->core.Turn(0, nullptr); }

// A Stop() that arrives while no run is in progress ends the next one at once,
// so a Stop from another thread that races the start of Run() is not lost.
void PosixEventLoop::Run() {
  LoopCore& core = state_->core;
  std::function<bool()> stopping = [&core] { return core.StopRequested(); };
  while (!core.ConsumeStop()) core.Turn(kForever, &stopping);
}

void PosixEventLoop::Stop() { state_->core.RequestStop(); }

void PosixEventLoop::RunFor(int64_t ms) {
  LoopCore& core = state_->core;
  int64_t deadline = DeadlineAfter(ms);
  std::function<bool()> stopping = [&core] { return core.StopRequested(); };
  for (;;) {
    core.Turn(deadline, &stopping);
    if (core.ConsumeStop() || NowNs() >= deadline) return;
  }
}

bool PosixEventLoop::RunUntil(const std::function<bool()>& done, int64_t timeout_ms) {
  if (done()) return true;
  LoopCore& core = state_->core;
  int64_t deadline = DeadlineAfter(timeout_ms);
  std::function<bool()> finished = [&] { return core.StopRequested() || done(); };
  for (;;) {
    core.Turn(deadline, &finished);
    if (done()) return true;
    if (core.ConsumeStop() || NowNs() >= deadline) return done();
  }
}

PosixEventLoop::WatchId PosixEventLoop::Watch(int fd, short events,
                                              std::function<void(short revents)> on_ready) {
  return state_->core.Watch(fd, events, std::move(on_ready));
}

void PosixEventLoop::ChangeWatch(WatchId id, short events) { state_->core.ChangeWatch(id, events); }

void PosixEventLoop::Unwatch(WatchId id) { state_->core.Unwatch(id); }

}  // namespace quorvalen
