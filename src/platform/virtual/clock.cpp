// Wall time of the virtual world.
#include <cstdio>

#include "quorvalen/virtual_platform.h"
#include "support/civil_date.h"

namespace quorvalen {
namespace {

constexpr int64_t kMsPerDay = 86'400'000;

}  // namespace

void VirtualClock::SetStart(int year, int month, int day, int64_t ms_since_midnight) {
  // The start is given as the wall time of this very moment.
  int64_t elapsed = loop_.NowMs();
  int64_t total = DaysFromCivil(year, month, day) * kMsPerDay + ms_since_midnight - elapsed;
  start_day_ = total >= 0 ? total / kMsPerDay : (total - kMsPerDay + 1) / kMsPerDay;
  start_ms_ = total - start_day_ * kMsPerDay;
}

int64_t VirtualClock::LocalMsSinceMidnight() { return (start_ms_ + loop_.NowMs()) % kMsPerDay; }

std::string VirtualClock::DateText() {
  int64_t day = start_day_ + (start_ms_ + loop_.NowMs()) / kMsPerDay;
  int64_t y;
  int m, d;
  CivilFromDays(day, y, m, d);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02d", static_cast<long long>(y), m, d);
  return text;
}

std::string VirtualClock::TimeText() {
  int64_t ms = LocalMsSinceMidnight();
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(ms / 3'600'000),
                static_cast<int>(ms / 60'000 % 60), static_cast<int>(ms / 1000 % 60));
  return text;
}

}  // namespace quorvalen
