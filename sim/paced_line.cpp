// The time bytes take on a cable, on a line that takes none.
#include "quorvalen/sim/paced_line.h"

#include <algorithm>

namespace quorvalen::sim {
namespace {

// Clocks in fractions of a millisecond may run a pump a hair before the
// time it was asked for; what is due within this is due.
constexpr double kSlackMs = 1e-6;

}  // namespace

PacedLine::PacedLine(PhoneLine& line, int fixed_rate) : line_(line), fixed_rate_(fixed_rate) {}

PacedLine::~PacedLine() { *alive_ = false; }

void PacedLine::Send(std::string_view bytes, int baud) {
  if (bytes.empty()) return;
  const int rate = Rate(baud);
  const double start = std::max(NowMs(), out_.free_at);
  for (size_t at = 0; at < bytes.size(); at += kChunk) {
    const size_t n = std::min(kChunk, bytes.size() - at);
    const double due = rate > 0 ? start + LineTimeMs(at + n, rate) : start;
    Queue(out_, due,
          [this, chunk = std::string(bytes.substr(at, n)), baud]() { line_.Send(chunk, baud); });
  }
  if (rate > 0) out_.free_at = start + LineTimeMs(bytes.size(), rate);
}

void PacedLine::HangUp() {
  Queue(out_, std::max(NowMs(), out_.free_at), [this]() { line_.HangUp(); });
}

void PacedLine::Arrive(std::string_view bytes, int host_baud, int fallback_baud,
                       const Receiver& receiver) {
  if (bytes.empty()) return;
  const int rate = Rate(host_baud != 0 ? host_baud : fallback_baud);
  const double start = std::max(NowMs(), in_.free_at);
  for (size_t at = 0; at < bytes.size(); at += kChunk) {
    const size_t n = std::min(kChunk, bytes.size() - at);
    const double due = rate > 0 ? start + LineTimeMs(at + n, rate) : start;
    Queue(in_, due, [receiver, chunk = std::string(bytes.substr(at, n))]() { receiver(chunk); });
  }
  if (rate > 0) in_.free_at = start + LineTimeMs(bytes.size(), rate);
}

void PacedLine::Arrive(std::function<void()> event) {
  Queue(in_, std::max(NowMs(), in_.free_at), std::move(event));
}

void PacedLine::Drop() {
  ++generation_;
  for (Direction* d : {&out_, &in_}) {
    d->items.clear();
    d->pump_due = false;
    d->free_at = 0;
  }
}

// Work comes due in the order it was queued (the due times of a direction
// never go back): one pump per direction waits for the item at the head,
// never one timer per item (a timer queue may order two equal times either
// way).
void PacedLine::Queue(Direction& direction, double due, std::function<void()> work) {
  if (direction.items.empty() && !direction.pump_due && due <= NowMs() + kSlackMs) {
    work();  // nothing ahead of it and nothing to wait for
    return;
  }
  direction.items.push_back(Item{due, std::move(work)});
  if (!direction.pump_due) SchedulePump(direction);
}

void PacedLine::SchedulePump(Direction& direction) {
  direction.pump_due = true;
  std::weak_ptr<bool> alive = alive_;
  line_.After(std::max(0.0, direction.items.front().due - NowMs()),
              [this, alive, &direction, generation = generation_]() {
                if (alive.expired() || generation != generation_) return;
                direction.pump_due = false;
                Pump(direction);
              });
}

void PacedLine::Pump(Direction& direction) {
  const uint64_t generation = generation_;
  while (!direction.items.empty() && direction.items.front().due <= NowMs() + kSlackMs) {
    std::function<void()> work = std::move(direction.items.front().work);
    direction.items.pop_front();
    work();
    // Dropped meanwhile, or the work queued more and a pump took over.
    if (generation != generation_ || direction.pump_due) return;
  }
  if (!direction.items.empty()) SchedulePump(direction);
}

}  // namespace quorvalen::sim
