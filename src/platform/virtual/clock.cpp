// Wall time of the virtual world.
#include <cstdio>

#include "quorvalen/virtual_platform.h"

namespace quorvalen {
namespace {

constexpr int64_t kMsPerDay = 86'400'000;

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

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
