// The system clocks: CLOCK_MONOTONIC for waits and time-outs, local wall time
// for trace stamps and the date and time texts.
#include <time.h>

#include <cstdio>

#include "quorvalen/posix_platform.h"

namespace quorvalen {
namespace {

constexpr int64_t kNsPerMs = 1'000'000;

int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Local broken-down time now, with the milliseconds of the current second.
tm LocalNow(int64_t* ms_of_second = nullptr) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t seconds = ts.tv_sec;
  tm local{};
  localtime_r(&seconds, &local);
  if (ms_of_second) *ms_of_second = ts.tv_nsec / kNsPerMs;
  return local;
}

}  // namespace

int64_t PosixClock::MonotonicMs() { return MonotonicNs() / kNsPerMs; }

int64_t PosixClock::LocalMsSinceMidnight() {
  int64_t ms = 0;
  tm local = LocalNow(&ms);
  // A leap second (tm_sec 60) stays within the day.
  int seconds = local.tm_hour * 3600 + local.tm_min * 60 + (local.tm_sec > 59 ? 59 : local.tm_sec);
  return seconds * int64_t{1000} + ms;
}

std::string PosixClock::DateText() {
  tm local = LocalNow();
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return text;
}

std::string PosixClock::TimeText() {
  tm local = LocalNow();
  char text[64];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min,
                local.tm_sec > 59 ? 59 : local.tm_sec);
  return text;
}

void PosixClock::WaitUntil(int64_t monotonic_ms) {
  // Naps of at most a millisecond, checking the clock after each: the wait
  // ends close to its target, and a signal only cuts one nap short.
  for (;;) {
    int64_t remaining = monotonic_ms * kNsPerMs - MonotonicNs();
    if (remaining <= 0) return;
    if (remaining > kNsPerMs) remaining = kNsPerMs;
    timespec nap{0, static_cast<long>(remaining)};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &nap, nullptr);
  }
}

}  // namespace quorvalen
