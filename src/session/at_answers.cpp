// Splitting AT answer lines into their parameters.
#include "session/at_answers.h"

#include <algorithm>
#include <charconv>

namespace quorvalen {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::vector<std::string> Split(std::string_view text) {
  std::vector<std::string> parameters;
  std::string current;
  bool quoted = false;
  int depth = 0;
  bool was_quoted = false;
  auto finish = [&] {
    parameters.push_back(was_quoted ? current : std::string(Trim(current)));
    current.clear();
    was_quoted = false;
  };
  for (char c : text) {
    if (c == '"' && depth == 0) {
      quoted = !quoted;
      was_quoted = true;
      continue;
    }
    if (!quoted) {
      if (c == '(') ++depth;
      if (c == ')' && depth > 0) --depth;
      if (c == ',' && depth == 0) {
        finish();
        continue;
      }
    }
    current += c;
  }
  finish();
  return parameters;
}

}  // namespace

std::optional<std::vector<std::string>> AnswerParameters(std::string_view line,
                                                         std::string_view name) {
  if (line.substr(0, name.size()) != name || line.size() <= name.size() ||
      line[name.size()] != ':') {
    return std::nullopt;
  }
  return Split(Trim(line.substr(name.size() + 1)));
}

std::vector<std::string> ListItems(std::string_view list) {
  list = Trim(list);
  if (!list.empty() && list.front() == '(') list.remove_prefix(1);
  if (!list.empty() && list.back() == ')') list.remove_suffix(1);
  if (Trim(list).empty()) return {};
  return Split(list);
}

std::optional<std::vector<std::string>> FirstListOf(const std::vector<std::string>& lines,
                                                    std::string_view name) {
  for (const std::string& line : lines) {
    auto parameters = AnswerParameters(line, name);
    if (parameters && !parameters->empty()) return ListItems(parameters->front());
  }
  return std::nullopt;
}

std::vector<std::string> PreferredMemories(const std::vector<std::string>& listed) {
  std::vector<std::string> chosen;
  for (const char* memory : {"SM", "ME"}) {
    if (std::find(listed.begin(), listed.end(), memory) != listed.end()) chosen.push_back(memory);
  }
  return chosen.empty() ? listed : chosen;
}

std::optional<int> NumberOf(std::string_view text) {
  text = Trim(text);
  int value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<std::pair<int, int>> RangeOf(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '(') text.remove_prefix(1);
  if (!text.empty() && text.back() == ')') text.remove_suffix(1);
  const size_t dash = text.find('-');
  if (dash == std::string_view::npos) {
    std::optional<int> single = NumberOf(text);
    if (!single) return std::nullopt;
    return std::make_pair(*single, *single);
  }
  std::optional<int> first = NumberOf(text.substr(0, dash));
  std::optional<int> last = NumberOf(text.substr(dash + 1));
  if (!first || !last) return std::nullopt;
  return std::make_pair(*first, *last);
}

}  // namespace quorvalen
