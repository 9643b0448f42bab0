// A phone line that goes nowhere, for feeding the simulated phone directly.
#pragma once

#include "quorvalen/sim/phone.h"

namespace quorvalen::sim {

class NullLine : public PhoneLine {
 public:
  double NowMs() override { return now_ += 1; }
  void After(double, std::function<void()>) override {}
  void Send(std::string_view bytes, int) override { sent_ += bytes.size(); }
  void HangUp() override {}
  size_t Sent() const { return sent_; }

 private:
  double now_ = 0;
  size_t sent_ = 0;
};

}  // namespace quorvalen::sim
