#include "quorvalen/line_settings.h"

#include <charconv>
#include <vector>

namespace quorvalen {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<int> ParseInt(std::string_view s) {
  int value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return value;
}

}  // namespace

std::string LineSettings::Text() const {
  std::string stop = stop_halves == 3 ? "1.5" : std::to_string(stop_halves / 2);
  return std::to_string(baud) + "," + parity + "," + std::to_string(data_bits) + "," + stop;
}

std::optional<LineSettings> ParseLineSettings(std::string_view text) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    fields.push_back(Trim(text.substr(start, comma == std::string_view::npos ? comma : comma - start)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (fields.size() != 4) return std::nullopt;

  LineSettings s;
  auto baud = ParseInt(fields[0]);
  if (!baud || *baud <= 0) return std::nullopt;
  s.baud = *baud;

  if (fields[1].size() != 1) return std::nullopt;
  char p = fields[1][0];
  if (p >= 'A' && p <= 'Z') p = static_cast<char>(p - 'A' + 'a');
  if (p != 'n' && p != 'e' && p != 'o' && p != 'm' && p != 's') return std::nullopt;
  s.parity = p;

  auto data = ParseInt(fields[2]);
  if (!data || *data < 4 || *data > 8) return std::nullopt;
  s.data_bits = *data;

  if (fields[3] == "1") {
    s.stop_halves = 2;
  } else if (fields[3] == "1.5") {
    s.stop_halves = 3;
  } else if (fields[3] == "2") {
    s.stop_halves = 4;
  } else {
    return std::nullopt;
  }
  return s;
}

}  // namespace quorvalen
