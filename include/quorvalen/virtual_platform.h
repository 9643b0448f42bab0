// The virtual platform: a discrete-event world on a virtual clock, serial
// lines with delivery times from their line speed, and in-memory files.
//
// Events belong to one of two domains. Host events (timers, receive
// notifications, posted work) run only when the host's loop runs. World
// events (bytes arriving, a peer reacting to them) run whenever virtual time
// passes, by the loop or by a busy wait, because the phone at the far end of
// the cable does not stop while the host's thread is busy. Nothing here
// sleeps: a 30-second time-out passes in microseconds of real time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

#include "quorvalen/basic_platform.h"
#include "quorvalen/line_settings.h"
#include "quorvalen/platform.h"

namespace quorvalen {

class VirtualEventLoop : public EventLoop {
 public:
  enum class Domain { kHost, kWorld };

  struct Counters {
    uint64_t host_events = 0;   // host events run (timer ticks included)
    uint64_t world_events = 0;  // world events run
    uint64_t timer_ticks = 0;   // timer ticks delivered
  };

  VirtualEventLoop() = default;
  VirtualEventLoop(const VirtualEventLoop&) = delete;
  VirtualEventLoop& operator=(const VirtualEventLoop&) = delete;

  // Virtual time since the world began.
  int64_t NowNs() const { return now_ns_; }
  int64_t NowMs() const { return now_ns_ / 1'000'000; }

  // Schedules an event at an absolute time (not before now).
  void At(int64_t time_ns, Domain domain, std::function<void()> event);
  void After(int64_t delay_ns, Domain domain, std::function<void()> event) {
    At(now_ns_ + delay_ns, domain, std::move(event));
  }

  // Lets virtual time pass up to time_ns, running world events only: what a
  // busy wait on the host's thread looks like from outside.
  void AdvanceTo(int64_t time_ns);

  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override;
  void Post(std::function<void()> work) override;
  void ProcessPendingEvents() override;
  // Runs until Stop() or until nothing is left to happen.
  void Run() override;
  void Stop() override { stop_ = true; }
  void RunFor(int64_t ms) override;
  bool RunUntil(const std::function<bool()>& done, int64_t timeout_ms) override;

  const Counters& Count() const { return counters_; }
  size_t PendingEvents() const { return host_.size() + world_.size(); }

 private:
  struct Event {
    int64_t time_ns;
    uint64_t seq;
    std::function<void()> run;
  };
  struct Later {
    bool operator()(const Event& a, const Event& b) const {
      return a.time_ns != b.time_ns ? a.time_ns > b.time_ns : a.seq > b.seq;
    }
  };
  using Queue = std::priority_queue<Event, std::vector<Event>, Later>;

  // Runs the earliest event of either domain due at or before limit_ns;
  // false when there is none.
  bool RunNext(int64_t limit_ns);
  void RunEvent(Queue& queue, Domain domain);

  friend class VirtualTimer;
  int64_t now_ns_ = 0;
  uint64_t seq_ = 0;
  bool stop_ = false;
  Queue host_;
  Queue world_;
  Counters counters_;
};

// Wall time of the virtual world: a fixed start (by default 2026-01-01
// 09:30:00.000 local time) plus the virtual time that has passed.
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(VirtualEventLoop& loop) : loop_(loop) { SetStart(2026, 1, 1, kNineThirty); }

  void SetStart(int year, int month, int day, int64_t ms_since_midnight);

  int64_t MonotonicMs() override { return loop_.NowMs(); }
  int64_t LocalMsSinceMidnight() override;
  std::string DateText() override;
  std::string TimeText() override;
  void WaitUntil(int64_t monotonic_ms) override { loop_.AdvanceTo(monotonic_ms * 1'000'000); }

 private:
  static constexpr int64_t kNineThirty = (9 * 3600 + 30 * 60) * 1000LL;
  VirtualEventLoop& loop_;
  int64_t start_day_ = 0;  // days since 1970-01-01
  int64_t start_ms_ = 0;
};

// A serial cable between the host's port and a far end (a scripted peer or
// the simulated phone). Each direction carries bytes one after the other at
// the sender's line speed; a byte is readable at the receiver when its last
// bit has arrived. Delivery to the far end happens in world events.
class VirtualSerialLine {
 public:
  // Bytes as they arrive, with the settings the sender used.
  using Receiver = std::function<void(std::string_view bytes, const LineSettings& sent_with)>;
  // Bytes per delivery event; a UART hands on what it has about this often.
  static constexpr size_t kDeliveryChunk = 64;

  explicit VirtualSerialLine(VirtualEventLoop& loop) : loop_(loop) {}
  VirtualSerialLine(const VirtualSerialLine&) = delete;
  VirtualSerialLine& operator=(const VirtualSerialLine&) = delete;

  // ---- the far end ----
  void OnFarReceive(Receiver receiver) { far_receiver_ = std::move(receiver); }
  // The host lets go of the line: its port closes (heard once the bytes
  // it wrote have arrived, as a close waits for them to go out) or drops
  // DTR while open (heard at once). Delivered in a world event.
  void OnHostHangUp(std::function<void()> listener) { hang_up_listener_ = std::move(listener); }
  // Bytes from the far end towards the host. Lost when no host port is open
  // by the time they arrive.
  void FarWrite(std::string_view bytes);
  // The far end's own settings. Until set, it follows the host's.
  void FarSettings(const LineSettings& settings) { far_settings_ = settings, far_follows_ = false; }
  LineSettings FarSettings() const { return far_follows_ ? host_settings_ : far_settings_; }
  bool HostOpen() const { return host_ != nullptr; }
  LineSettings HostSettings() const { return host_settings_; }
  bool HostRts() const { return host_rts_; }
  bool HostDtr() const { return host_dtr_; }
  // Every byte the host has written, in order (for checks of the wire),
  // and every byte the far end has; kept unless switched off.
  const std::string& HostWritten() const { return host_written_; }
  const std::string& FarWritten() const { return far_written_; }
  void KeepTraffic(bool keep) { keep_traffic_ = keep; }

  // ---- the host end, used by VirtualSerialPort ----
  class HostEnd {
   public:
    virtual ~HostEnd() = default;
    virtual void Deliver(std::string data, int64_t first_arrival_ns, int64_t byte_ns) = 0;
  };
  void AttachHost(HostEnd* host) { host_ = host; }
  // A closed port drives no modem lines.
  void DetachHost(HostEnd* host);
  void HostSettings(const LineSettings& settings) { host_settings_ = settings; }
  void HostModemLines(bool rts, bool dtr);
  void HostWrite(std::string_view bytes);

 private:
  void HearHangUp(int64_t at_ns);

  VirtualEventLoop& loop_;
  HostEnd* host_ = nullptr;
  Receiver far_receiver_;
  std::function<void()> hang_up_listener_;
  LineSettings host_settings_;
  LineSettings far_settings_;
  bool far_follows_ = true;
  bool keep_traffic_ = true;
  bool host_rts_ = false;
  bool host_dtr_ = false;
  int64_t to_far_busy_until_ns_ = 0;
  int64_t to_host_busy_until_ns_ = 0;
  std::string host_written_;
  std::string far_written_;
};

// The host's serial port on the virtual platform. CommPort n reaches the
// line the platform attached as port n.
class VirtualPlatform;
class VirtualSerialPort : public SerialPort, private VirtualSerialLine::HostEnd {
 public:
  explicit VirtualSerialPort(VirtualPlatform& platform);
  ~VirtualSerialPort() override;

  int16_t CommPort() const override { return comm_port_; }
  void CommPort(int16_t port) override;
  std::string Settings() const override { return settings_.Text(); }
  void Settings(const std::string& settings) override;
  bool RTSEnable() const override { return rts_; }
  void RTSEnable(bool on) override;
  bool DTREnable() const override { return dtr_; }
  void DTREnable(bool on) override;
  int16_t InBufferSize() const override { return in_buffer_size_; }
  void InBufferSize(int16_t bytes) override;
  int16_t OutBufferSize() const override { return out_buffer_size_; }
  void OutBufferSize(int16_t bytes) override;
  bool PortOpen() const override { return line_ != nullptr; }
  void PortOpen(bool open) override;
  int InBufferCount() override;
  std::string Input() override;
  void Output(std::string_view bytes) override;
  int RThreshold() const override { return threshold_; }
  void RThreshold(int bytes) override;
  int CommEvent() const override { return event_; }
  void OnComm(std::function<void()> handler) override { handler_ = std::move(handler); }

 private:
  struct Segment {
    std::string data;
    size_t read = 0;
    int64_t first_arrival_ns;
    int64_t byte_ns;
  };
  void Deliver(std::string data, int64_t first_arrival_ns, int64_t byte_ns) override;
  size_t Arrived() const;
  void NotifyIfDue();
  void RequireOpen(const char* operation) const;
  void SetBufferSize(int16_t& size, int16_t bytes, const char* name);

  VirtualPlatform& platform_;
  VirtualSerialLine* line_ = nullptr;
  int16_t comm_port_ = 1;
  LineSettings settings_;
  bool rts_ = false;
  bool dtr_ = false;
  int16_t in_buffer_size_ = 1024;
  int16_t out_buffer_size_ = 512;
  int threshold_ = 1;
  int event_ = 0;
  bool notify_pending_ = false;
  std::function<void()> handler_;
  std::deque<Segment> received_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The air between the host's infrared device and a peer (the simulated
// phone) offering the two infrared services. The host connects to one
// service at a time; bytes travel one after the other in each direction at
// the infrared rate (ten bits a byte), and a byte that arrives while its
// connection is closed is lost, as in the air.
class VirtualInfraredLink {
 public:
  using Service = InfraredService;
  static constexpr size_t kDeliveryChunk = 64;

  class Peer {
   public:
    virtual ~Peer() = default;
    // A connection to the service opened, or closed (kNone).
    virtual void Connected(Service service) = 0;
    virtual void Received(Service service, std::string_view bytes) = 0;
  };
  class HostEnd {
   public:
    virtual ~HostEnd() = default;
    virtual void Deliver(std::string_view bytes) = 0;
  };

  explicit VirtualInfraredLink(VirtualEventLoop& loop) : loop_(loop) {}
  VirtualInfraredLink(const VirtualInfraredLink&) = delete;
  VirtualInfraredLink& operator=(const VirtualInfraredLink&) = delete;

  // ---- the peer ----
  void AttachPeer(Peer* peer) { peer_ = peer; }
  // Bits per second, 9600 to 115200 (default 115200); false for others.
  bool Rate(int bits_per_second);
  int Rate() const { return rate_; }
  // Bytes from the peer towards the host, on the connection open now.
  void PeerSend(std::string_view bytes);
  // The link goes away: the connection closes and the host device's
  // operations fail until it is restored.
  void Lose();
  void Restore() { lost_ = false; }
  bool Lost() const { return lost_; }
  Service Connection() const { return service_; }
  // Every byte the host has sent, in order.
  const std::string& HostWritten() const { return host_written_; }

  // ---- the host's device ----
  // Throws Error kErrLinkLost while the link is lost.
  void Connect(HostEnd* host, Service service);
  void Disconnect(HostEnd* host);
  // True while host holds the connection open now.
  bool Holds(const HostEnd* host) const { return host_ == host && !lost_; }
  void HostSend(std::string_view bytes);

 private:
  int64_t ByteNs() const { return 10'000'000'000LL / rate_; }

  VirtualEventLoop& loop_;
  Peer* peer_ = nullptr;
  HostEnd* host_ = nullptr;
  Service service_ = Service::kNone;
  // Each connection has a number: bytes in flight belong to the one they
  // were sent on.
  uint64_t connection_ = 0;
  int rate_ = 115200;
  bool lost_ = false;
  int64_t to_peer_busy_until_ns_ = 0;
  int64_t to_host_busy_until_ns_ = 0;
  std::string host_written_;
};

// The infrared device component on the virtual platform
// ("IrDaComm.IrDaDevice" once the platform has an infrared link). The
// settings text selects the service by its SERVICE= value; opening
// connects to it. Refuses what a real component refuses: an unknown
// service (380), a read or write while closed (8012), anything while the
// link is lost (8020).
class VirtualInfraredDevice : public InfraredDeviceBase, private VirtualInfraredLink::HostEnd {
 public:
  explicit VirtualInfraredDevice(VirtualInfraredLink& link) : link_(link) {}
  ~VirtualInfraredDevice() override;

  void Settings(const std::string& service) override;
  std::string Settings() const override { return settings_; }
  bool PortOpen() const override { return open_; }
  void PortOpen(bool open) override;
  int InBufferCount() override;
  void InBufferCount(int count) override;
  void OutBufferCount(int) override { RequireLink(); }
  std::string Input() override;
  void Output(std::string_view bytes) override;

 private:
  void Deliver(std::string_view bytes) override { received_.append(bytes); }
  void RequireLink() const;
  void RequireOpen(const char* operation) const;

  VirtualInfraredLink& link_;
  std::string settings_;
  VirtualInfraredLink::Service service_ = VirtualInfraredLink::Service::kNone;
  bool open_ = false;
  std::string received_;
};

// Files kept in memory: path to contents.
class MemoryTraceFile : public TraceFile {
 public:
  explicit MemoryTraceFile(std::map<std::string, std::string>& files) : files_(files) {}
  bool Open(const std::string& path) override;
  void WriteLine(std::string_view text) override;
  void Close() override { path_.clear(); }
  bool IsOpen() const override { return !path_.empty(); }

 private:
  std::map<std::string, std::string>& files_;
  std::string path_;
};

class VirtualPlatform : public Platform {
 public:
  VirtualPlatform();

  VirtualEventLoop& Loop() override { return loop_; }
  VirtualClock& Time() override { return clock_; }
  RecordingContainer& Site() override { return container_; }
  ComponentRegistry& Factory() override { return factory_; }
  CountingBeeper& Bell() override { return beeper_; }
  std::unique_ptr<SerialPort> CreateSerialPort() override;
  std::unique_ptr<TraceFile> CreateTraceFile() override;

  // Lays a cable at port number n (what CommPort n opens). Opening a port
  // number that has no cable fails as a missing port does.
  VirtualSerialLine& AddLine(int comm_port);
  VirtualSerialLine* Line(int comm_port);
  // Puts an infrared link in the air and registers the infrared device
  // component that reaches it; without one, creating the component fails
  // with 429.
  VirtualInfraredLink& AddInfrared();
  VirtualInfraredLink* Infrared() { return infrared_.get(); }

  // Trace files written on this platform, by path. A path that names a
  // directory ("/" at the end) or is empty cannot be opened.
  std::map<std::string, std::string>& Files() { return files_; }

 private:
  VirtualEventLoop loop_;
  VirtualClock clock_{loop_};
  RecordingContainer container_;
  ComponentRegistry factory_;
  CountingBeeper beeper_;
  std::map<int, std::unique_ptr<VirtualSerialLine>> lines_;
  std::unique_ptr<VirtualInfraredLink> infrared_;
  std::map<int, const VirtualSerialPort*> open_ports_;
  std::map<std::string, std::string> files_;
  friend class VirtualSerialPort;
};

}  // namespace quorvalen
