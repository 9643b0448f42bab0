// A minimal phone on the master side of a pseudo-terminal, in a thread of
// its own: it echoes each AT line and answers "AT+CGMM" with a model and
// every other line with "OK". For end-to-end runs of the posix platform and
// the tools without the simulated phone.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "platform/pty_pair.h"

namespace quorvalen {

class PtyPhone {
 public:
  explicit PtyPhone(std::string model = "QV-100") : model_(std::move(model)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~PtyPhone() {
    stop_ = true;
    thread_.join();
  }
  PtyPhone(const PtyPhone&) = delete;
  PtyPhone& operator=(const PtyPhone&) = delete;

  bool Ok() const { return pty_.Ok(); }
  const std::string& SlavePath() const { return pty_.SlavePath(); }
  // Every line received, each ended by its carriage return (safe to read
  // once the phone is destroyed or quiet).
  std::string Received() const { return received_; }

 private:
  void Serve() {
    std::string pending;
    while (!stop_) {
      pollfd p{pty_.Master(), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      std::string chunk;
      pty_.ReadAvailable(&chunk);
      received_ += chunk;
      pending += chunk;
      size_t cr;
      while ((cr = pending.find('\r')) != std::string::npos) {
        std::string line = pending.substr(0, cr);
        pending.erase(0, cr + 1);
        std::string answer = line + "\r\r\n";
        if (line == "AT+CGMM") answer += model_ + "\r\n\r\n";
        answer += "OK\r\n";
        pty_.WriteAll(answer);
      }
    }
  }

  PtyPair pty_;
  std::string model_;
  std::string received_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace quorvalen
