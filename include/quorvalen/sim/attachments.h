// Where a simulated phone lives: at the far end of a virtual serial line
// (its reactions are world events, so it keeps answering while the control
// busy-waits), or on the master side of a pseudo-terminal, driven by a loop
// of its own.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <vector>

#include "quorvalen/sim/paced_line.h"
#include "quorvalen/sim/phone.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen::sim {

// A phone on a virtual serial line, owning its storage.
class VirtualPhone : private PhoneLine {
 public:
  VirtualPhone(VirtualPlatform& platform, int comm_port, PhoneOptions options,
               std::unique_ptr<FileStore> store);
  VirtualPhone(VirtualSerialLine& line, VirtualEventLoop& loop, PhoneOptions options,
               std::unique_ptr<FileStore> store);
  ~VirtualPhone() override;

  SimulatedPhone& Phone() { return *phone_; }
  FileStore& Store() { return *store_; }
  VirtualSerialLine& Line() { return line_; }
  bool HungUp() const { return hung_up_; }
  // The cable pulled: nothing passes either way until Replug().
  void Unplug() { hung_up_ = true; }
  // Unplugged and plugged in again: the line works and the phone is back
  // in AT mode.
  void Replug() {
    hung_up_ = false;
    phone_->Replug();
  }
  // A cable cut in one direction: what the host sends is lost on the way.
  void Listening(bool on) { listening_ = on; }
  // The other direction: what the phone sends is lost on the way.
  void Speaking(bool on) { speaking_ = on; }

 private:
  double NowMs() override { return static_cast<double>(loop_.NowNs()) / 1e6; }
  void After(double ms, std::function<void()> work) override;
  void Send(std::string_view bytes, int baud) override;
  void HangUp() override { hung_up_ = true; }

  VirtualSerialLine& line_;
  VirtualEventLoop& loop_;
  std::unique_ptr<FileStore> store_;
  std::unique_ptr<SimulatedPhone> phone_;
  bool hung_up_ = false;
  bool listening_ = true;
  bool speaking_ = true;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// A phone seen over infrared in the virtual world: its AT interpreter
// behind the serial-emulation service, its OBEX server behind the OBEX
// service. Its faults apply to both; a hang-up is the link going away.
class VirtualInfraredPhone : private PhoneLine, private VirtualInfraredLink::Peer {
 public:
  VirtualInfraredPhone(VirtualPlatform& platform, PhoneOptions options,
                       std::unique_ptr<FileStore> store);
  ~VirtualInfraredPhone() override;

  SimulatedPhone& Phone() { return *phone_; }
  FileStore& Store() { return *store_; }
  VirtualInfraredLink& Link() { return link_; }
  // Deaf to what the host sends (the phone turned away).
  void Listening(bool on) { listening_ = on; }
  // In sight again after the link was lost, back in AT mode.
  void Replug() {
    link_.Restore();
    phone_->Replug();
  }

 private:
  double NowMs() override { return static_cast<double>(loop_.NowNs()) / 1e6; }
  void After(double ms, std::function<void()> work) override;
  void Send(std::string_view bytes, int baud) override;
  void HangUp() override { link_.Lose(); }
  void Connected(VirtualInfraredLink::Service service) override;
  void Received(VirtualInfraredLink::Service service, std::string_view bytes) override;

  VirtualInfraredLink& link_;
  VirtualEventLoop& loop_;
  std::unique_ptr<FileStore> store_;
  std::unique_ptr<SimulatedPhone> phone_;
  bool listening_ = true;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// A phone on a new pseudo-terminal. The phone keeps the master side;
// clients open the slave through DevicePath() and may come and go. The
// last client's close of the slave, or a speed of 0 set on it, hangs up
// (SimulatedPhone::HostLetGo), after the bytes it wrote. Run() serves
// until Stop(); Stop() and Replug() may be called from another thread or
// a signal handler. With Cable::kInfrared it serves the two infrared
// services on two pseudo-terminals: the serial-emulation service at
// DevicePath(), the OBEX service at ObexDevicePath(). With
// PhoneOptions::pace its bytes take a cable's time (PacedLine) on the way
// in and out.
class PtyClients;
class PtyPhone : private PhoneLine {
 public:
  // How often a client's speed is looked at (0 is a hang-up): a client
  // that sets 0 and a speed again within this may go unnoticed.
  static constexpr int kSpeedLookMs = 100;

  // Nothing (and the reason in *error) when no pseudo-terminal can be had.
  static std::unique_ptr<PtyPhone> Open(PhoneOptions options, std::unique_ptr<FileStore> store,
                                        std::string* error);
  ~PtyPhone() override;

  const std::string& DevicePath() const { return ptys_[kSerial].path; }
  const std::string& ObexDevicePath() const { return ptys_[kObex].path; }
  SimulatedPhone& Phone() { return *phone_; }
  void Run();
  void Stop();
  void Replug();

 private:
  // The pseudo-terminals: the cable's (or the serial-emulation service's),
  // and the OBEX service's over infrared.
  enum Channel { kSerial = 0, kObex = 1 };
  struct Pty {
    int master = -1;
    std::string path;
    std::unique_ptr<PtyClients> clients;
    bool client = false;  // a client holds the slave, as far as the news went
    int speed = 0;        // the speed it set, as last seen (0: none)
    bool more = false;    // bytes may be waiting still
  };
  static constexpr size_t kReadLimit = 65536;

  PtyPhone();
  double NowMs() override;
  void After(double ms, std::function<void()> work) override;
  void Send(std::string_view bytes, int baud) override;
  void HangUp() override { hung_up_ = true; }
  void Wake();
  // The clients' news since the last look, and a speed of 0.
  void Follow(Channel channel);
  // What a client wrote and the phone has not read yet.
  std::string ReadWaiting(Channel channel);
  void Hear(Channel channel, std::string_view bytes);
  void LetGo(Channel channel);

  struct Timed {
    double due;
    uint64_t seq;
    std::function<void()> work;
    bool operator>(const Timed& o) const { return due != o.due ? due > o.due : seq > o.seq; }
  };

  Pty ptys_[2];
  bool obex_active_ = false;
  int wake_[2] = {-1, -1};
  std::unique_ptr<FileStore> store_;
  std::unique_ptr<PacedLine> paced_;  // the phone's line when paced
  std::unique_ptr<SimulatedPhone> phone_;
  std::priority_queue<Timed, std::vector<Timed>, std::greater<Timed>> timers_;
  uint64_t seq_ = 0;
  double start_ms_ = -1;
  bool hung_up_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<bool> replug_{false};
};

}  // namespace quorvalen::sim
