#include "quorvalen/obex_time.h"

#include <algorithm>
#include <cstdio>

#include "support/civil_date.h"

namespace quorvalen {
namespace {

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
  const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const int64_t of_day = seconds - days * 86400;
  int64_t year;
  int month, day;
  CivilFromDays(days, year, month, day);
  year = std::clamp<int64_t>(year, 0, 9999);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d", static_cast<int>(year), month, day,
                static_cast<int>(of_day / 3600), static_cast<int>(of_day / 60 % 60),
                static_cast<int>(of_day % 60));
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
  return DaysFromCivil(year, static_cast<int>(month), static_cast<int>(day)) * 86400 +
         hour * 3600 + minute * 60 + second;
}

}  // namespace quorvalen
