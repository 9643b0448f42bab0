// Civil dates by day counts (proleptic Gregorian), without the C library's
// time zone.
#include "quorvalen/obex_time.h"

#include <algorithm>
#include <cstdio>

namespace quorvalen {
namespace {

int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yoe = year - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool Digits(std::string_view text, size_t at, size_t count, int64_t& value) {
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

std::string WriteObexTime(int64_t seconds) {
  int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const int64_t of_day = seconds - days * 86400;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = std::clamp<int64_t>(yoe + era * 400 + (month <= 2 ? 1 : 0), 0, 9999);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d", static_cast<int>(year),
                static_cast<int>(month), static_cast<int>(day), static_cast<int>(of_day / 3600),
                static_cast<int>(of_day / 60 % 60), static_cast<int>(of_day % 60));
  return text;
}

std::optional<int64_t> ReadObexTime(std::string_view text) {
  if (!text.empty() && text.back() == 'Z') text.remove_suffix(1);
  int64_t year, month, day, hour, minute, second;
  if (text.size() != 15 || text[8] != 'T' || !Digits(text, 0, 4, year) ||
      !Digits(text, 4, 2, month) || !Digits(text, 6, 2, day) || !Digits(text, 9, 2, hour) ||
      !Digits(text, 11, 2, minute) || !Digits(text, 13, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace quorvalen
