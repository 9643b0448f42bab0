// Faults the simulated phone can inject into what it sends, drawn from a
// seeded generator so that every run with the same seed and the same input
// goes the same way.
//
// A fault plan is a comma-separated list:
//   drop=P          drop a whole answer with probability P
//   corrupt=P       flip one bit of each byte with probability P
//   duplicate=P     send a whole answer twice with probability P
//   delay=P:MS      hold an answer back MS milliseconds with probability P
//                   (later answers wait behind it, order is kept)
//   garbage=P       send 1 to 16 random bytes before an answer, probability P
//   mute-after=N    answer nothing after the first N answers
//   hangup-after=N  hang up the line after the first N answers
//   resend=MS       re-send a BFB answer block not acknowledged within MS
//   list-error=N    AT+CMGL gives N messages of its list, then fails with
//                   +CMS ERROR: 500 (in the form AT+CMEE chose)
// Probabilities are numbers from 0 to 1.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace quorvalen::sim {

struct FaultPlan {
  double drop = 0;
  double corrupt = 0;
  double duplicate = 0;
  double delay = 0;
  int64_t delay_ms = 0;
  double garbage = 0;
  int64_t mute_after = -1;
  int64_t hangup_after = -1;
  int64_t resend_ms = 0;
  int64_t list_error = -1;

  // Whether any fault touches the answers on their way (list-error does
  // not: it is the phone's own doing).
  bool Any() const {
    return drop > 0 || corrupt > 0 || duplicate > 0 || delay > 0 || garbage > 0 || mute_after >= 0 ||
           hangup_after >= 0;
  }
};

// Reads a plan; on error returns nothing and says why in *error.
std::optional<FaultPlan> ParseFaultPlan(std::string_view text, std::string* error);

// Applies a plan to the answers of one phone.
class FaultInjector {
 public:
  FaultInjector(FaultPlan plan, uint64_t seed) : plan_(plan), rng_(seed) {}

  struct Outcome {
    std::string bytes;     // what goes on the line (possibly empty)
    int64_t delay_ms = 0;  // how long to hold it back
    bool hang_up = false;  // hang up after sending it
  };
  // How long a link that repeats its frames (IrLAP over infrared) takes to
  // send one again that it lost.
  static constexpr int64_t kLinkRepeatMs = 500;
  // Decides what becomes of one answer; on a link that repeats its own
  // frames a loss or damage only holds the answer back.
  Outcome Apply(std::string_view answer, bool link_repeats = false);
  const FaultPlan& Plan() const { return plan_; }

 private:
  bool Chance(double p);

  FaultPlan plan_;
  std::mt19937_64 rng_;
  int64_t answers_ = 0;
};

}  // namespace quorvalen::sim
