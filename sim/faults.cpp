// Reading a fault plan, and applying it to the phone's answers.
#include "quorvalen/sim/faults.h"

#include <charconv>
#include <cstdlib>

namespace quorvalen::sim {
namespace {

bool ParseProbability(std::string_view text, double* out) {
  std::string s(text);
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (s.empty() || end != s.c_str() + s.size() || !(v >= 0 && v <= 1)) return false;
  *out = v;
  return true;
}

bool ParseCount(std::string_view text, int64_t* out) {
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v < 0) return false;
  *out = v;
  return true;
}

}  // namespace

std::optional<FaultPlan> ParseFaultPlan(std::string_view text, std::string* error) {
  FaultPlan plan;
  size_t start = 0;
  while (start <= text.size() && !text.empty()) {
    size_t comma = text.find(',', start);
    std::string_view item = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
    size_t eq = item.find('=');
    std::string_view name = item.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
    bool ok = eq != std::string_view::npos;
    if (!ok) {
    } else if (name == "drop") {
      ok = ParseProbability(value, &plan.drop);
    } else if (name == "corrupt") {
      ok = ParseProbability(value, &plan.corrupt);
    } else if (name == "duplicate") {
      ok = ParseProbability(value, &plan.duplicate);
    } else if (name == "garbage") {
      ok = ParseProbability(value, &plan.garbage);
    } else if (name == "delay") {
      size_t colon = value.find(':');
      ok = colon != std::string_view::npos && ParseProbability(value.substr(0, colon), &plan.delay) &&
           ParseCount(value.substr(colon + 1), &plan.delay_ms);
    } else if (name == "mute-after") {
      ok = ParseCount(value, &plan.mute_after);
    } else if (name == "hangup-after") {
      ok = ParseCount(value, &plan.hangup_after);
    } else if (name == "list-error") {
      ok = ParseCount(value, &plan.list_error);
    } else if (name == "resend") {
      ok = ParseCount(value, &plan.resend_ms);
    } else {
      ok = false;
    }
    if (!ok) {
      if (error) *error = "cannot read fault \"" + std::string(item) + "\"";
      return std::nullopt;
    }
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return plan;
}

bool FaultInjector::Chance(double p) {
  if (p <= 0) return false;
  return std::uniform_real_distribution<double>(0, 1)(rng_) < p;
}

FaultInjector::Outcome FaultInjector::Apply(std::string_view answer, bool link_repeats) {
  Outcome out;
  const int64_t index = answers_++;
  if (plan_.mute_after >= 0 && index >= plan_.mute_after) return out;
  if (plan_.hangup_after >= 0 && index >= plan_.hangup_after) {
    out.hang_up = true;
    return out;
  }
  if (link_repeats) {
    // A link that checks and repeats its own frames: what it loses or
    // damages on the way comes again after its repeat time; it drops
    // doubled frames and bytes that make no frame.
    out.bytes.assign(answer);
    bool repeated = Chance(plan_.drop);
    if (plan_.corrupt > 0) {
      for (size_t i = 0; i < answer.size(); ++i) repeated = Chance(plan_.corrupt) || repeated;
    }
    if (repeated) out.delay_ms += kLinkRepeatMs;
    if (Chance(plan_.delay)) out.delay_ms += plan_.delay_ms;
    return out;
  }
  if (Chance(plan_.drop)) return out;
  if (Chance(plan_.garbage)) {
    int n = 1 + static_cast<int>(rng_() % 16);
    for (int i = 0; i < n; ++i) out.bytes += static_cast<char>(rng_() & 0xFF);
  }
  out.bytes.append(answer);
  if (Chance(plan_.duplicate)) out.bytes.append(answer);
  if (plan_.corrupt > 0) {
    for (char& c : out.bytes) {
      if (Chance(plan_.corrupt)) c = static_cast<char>(c ^ (1 << (rng_() % 8)));
    }
  }
  if (Chance(plan_.delay)) out.delay_ms = plan_.delay_ms;
  return out;
}

}  // namespace quorvalen::sim
