// The virtual world's event queue and its timers.
#include <algorithm>

#include "quorvalen/virtual_platform.h"

namespace quorvalen {

// Timer state outlives the Timer object as long as an event refers to it.
// Each timer keeps at most one live event in the queue: re-arming it (as the
// AT answer time-out is, on every character received) moves its due time,
// and the live event, when it comes, follows the due time instead of a new
// event being queued for every re-arm.
struct VirtualTimerState {
  VirtualEventLoop* loop;
  std::function<void()> tick;
  int interval_ms = 0;
  bool enabled = false;
  bool alive = true;
  int64_t due_ns = 0;
  int64_t scheduled_ns = -1;  // time of the live event, -1 when none
};

class VirtualTimer : public Timer {
 public:
  VirtualTimer(VirtualEventLoop& loop, std::function<void()> tick)
      : state_(std::make_shared<VirtualTimerState>()) {
    state_->loop = &loop;
    state_->tick = std::move(tick);
  }
  ~VirtualTimer() override { state_->alive = false; }

  int Interval() const override { return state_->interval_ms; }
  void Interval(int ms) override {
    state_->interval_ms = ms;
    if (state_->enabled) Arm(state_);
  }
  bool Enabled() const override { return state_->enabled; }
  void Enabled(bool on) override {
    if (on == state_->enabled) return;
    state_->enabled = on;
    if (on) Arm(state_);
  }

 private:
  // Starts a fresh full interval from now.
  static void Arm(const std::shared_ptr<VirtualTimerState>& state) {
    if (state->interval_ms <= 0) {
      state->due_ns = INT64_MAX;
      return;
    }
    state->due_ns = state->loop->NowNs() + state->interval_ms * 1'000'000LL;
    if (state->scheduled_ns < 0 || state->scheduled_ns > state->due_ns) Schedule(state);
  }

  static void Schedule(const std::shared_ptr<VirtualTimerState>& state) {
    const int64_t at = state->due_ns;
    state->scheduled_ns = at;
    state->loop->At(at, VirtualEventLoop::Domain::kHost, [state, at]() { Fire(state, at); });
  }

  static void Fire(const std::shared_ptr<VirtualTimerState>& state, int64_t at) {
    if (!state->alive || state->scheduled_ns != at) return;  // superseded
    state->scheduled_ns = -1;
    if (!state->enabled || state->due_ns == INT64_MAX) return;
    VirtualEventLoop& loop = *state->loop;
    if (state->due_ns > loop.NowNs()) {
      Schedule(state);  // re-armed since: follow the due time
      return;
    }
    ++loop.counters_.timer_ticks;
    // A tick that comes late (the host was busy) is one tick, not a burst:
    // the next one keeps the timer's phase.
    const int64_t interval_ns = state->interval_ms * 1'000'000LL;
    int64_t next = state->due_ns + interval_ns;
    if (next <= loop.NowNs()) next += ((loop.NowNs() - next) / interval_ns + 1) * interval_ns;
    state->due_ns = next;
    Schedule(state);
    // Copy: the handler may destroy the timer.
    auto tick = state->tick;
    tick();
  }

  std::shared_ptr<VirtualTimerState> state_;
};

void VirtualEventLoop::At(int64_t time_ns, Domain domain, std::function<void()> event) {
  Event e{std::max(time_ns, now_ns_), seq_++, std::move(event)};
  (domain == Domain::kHost ? host_ : world_).push(std::move(e));
}

void VirtualEventLoop::RunEvent(Queue& queue, Domain domain) {
  // The comparison looks only at time and sequence, so moving the function
  // out of the top element before popping it is safe.
  Event e = std::move(const_cast<Event&>(queue.top()));
  queue.pop();
  now_ns_ = std::max(now_ns_, e.time_ns);
  ++(domain == Domain::kHost ? counters_.host_events : counters_.world_events);
  e.run();
}

bool VirtualEventLoop::RunNext(int64_t limit_ns) {
  const Event* h = host_.empty() ? nullptr : &host_.top();
  const Event* w = world_.empty() ? nullptr : &world_.top();
  bool host_first = h && (!w || Later()(*w, *h));
  const Event* next = host_first ? h : w;
  if (!next || next->time_ns > limit_ns) return false;
  if (host_first) {
    RunEvent(host_, Domain::kHost);
  } else {
    RunEvent(world_, Domain::kWorld);
  }
  return true;
}

void VirtualEventLoop::AdvanceTo(int64_t time_ns) {
  while (!world_.empty() && world_.top().time_ns <= time_ns) RunEvent(world_, Domain::kWorld);
  now_ns_ = std::max(now_ns_, time_ns);
}

std::unique_ptr<Timer> VirtualEventLoop::CreateTimer(std::function<void()> on_tick) {
  return std::make_unique<VirtualTimer>(*this, std::move(on_tick));
}

void VirtualEventLoop::Post(std::function<void()> work) { At(now_ns_, Domain::kHost, std::move(work)); }

void VirtualEventLoop::ProcessPendingEvents() {
  while (RunNext(now_ns_)) {
  }
}

void VirtualEventLoop::Run() {
  stop_ = false;
  while (!stop_ && RunNext(INT64_MAX)) {
  }
}

void VirtualEventLoop::RunFor(int64_t ms) {
  int64_t target = now_ns_ + ms * 1'000'000;
  while (RunNext(target)) {
  }
  now_ns_ = std::max(now_ns_, target);
}

bool VirtualEventLoop::RunUntil(const std::function<bool()>& done, int64_t timeout_ms) {
  int64_t deadline = now_ns_ + timeout_ms * 1'000'000;
  if (done()) return true;
  while (RunNext(deadline)) {
    if (done()) return true;
  }
  now_ns_ = std::max(now_ns_, deadline);
  return done();
}

}  // namespace quorvalen
