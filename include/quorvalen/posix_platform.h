// The real platform: a poll(2) event loop with a timer heap, the system
// clocks, trace files on disk, the terminal bell and a property bag kept in a
// text file.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quorvalen/basic_platform.h"
#include "quorvalen/platform.h"

namespace quorvalen {

// A single-threaded loop over poll(2). Timers are kept in a heap keyed by
// their due time on the monotonic clock; descriptors are watched for the
// events the caller asks for. Every callback runs on the thread that runs the
// loop. Stop() may also be called from another thread or a signal handler.
class PosixEventLoop : public EventLoop {
 public:
  using WatchId = int;

  PosixEventLoop();
  ~PosixEventLoop() override;
  PosixEventLoop(const PosixEventLoop&) = delete;
  PosixEventLoop& operator=(const PosixEventLoop&) = delete;

  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override;
  void Post(std::function<void()> work) override;
  void ProcessPendingEvents() override;
  void Run() override;
  void Stop() override;
  void RunFor(int64_t ms) override;
  bool RunUntil(const std::function<bool()>& done, int64_t timeout_ms) override;

  // Watches fd for the poll events given (POLLIN, POLLOUT); on_ready gets the
  // returned events. A watch with no events is kept but not polled.
  WatchId Watch(int fd, short events, std::function<void(short revents)> on_ready);
  void ChangeWatch(WatchId id, short events);
  void Unwatch(WatchId id);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class PosixClock : public Clock {
 public:
  int64_t MonotonicMs() override;
  int64_t LocalMsSinceMidnight() override;
  std::string DateText() override;
  std::string TimeText() override;
  // Sleeps in small steps; never runs events.
  void WaitUntil(int64_t monotonic_ms) override;
};

class PosixTraceFile : public TraceFile {
 public:
  ~PosixTraceFile() override;
  bool Open(const std::string& path) override;
  void WriteLine(std::string_view text) override;
  void Close() override;
  bool IsOpen() const override;

 private:
  int fd_ = -1;
};

// Writes BEL to a descriptor (a terminal), or does nothing when given -1.
class TerminalBeeper : public Beeper {
 public:
  explicit TerminalBeeper(int fd) : fd_(fd) {}
  void Beep() override;

 private:
  int fd_;
};

// A property bag kept in a text file, one "Name=Value" per line. Values are
// stored as text with backslash escapes (\\ and \xHH for control bytes, DEL
// and bytes above 0x7F), so every value round-trips byte-exact; Booleans are
// "True"/"False", integers plain decimal. Lines starting with '#' and empty
// lines are comments. Keys nobody asks for are kept and written back.
class FilePropertyBag : public PropertyBag {
 public:
  explicit FilePropertyBag(std::string path);

  // Reads the file; a missing file is an empty bag. A malformed line throws
  // Error kErrBadFileFormat naming the path and the line number, and leaves
  // the bag as it was. An unreadable file throws kErrFileAccess.
  void Load();
  // Writes every key atomically (temporary file, then rename).
  void Save();

  PropertyValue ReadProperty(const std::string& name, const PropertyValue& default_value) override;
  void WriteProperty(const std::string& name, const PropertyValue& value,
                     const PropertyValue& default_value) override;

  const std::string& Path() const { return path_; }
  // The keys in file order with their values as text (escapes undone).
  const std::vector<std::pair<std::string, std::string>>& Entries() const { return entries_; }

 private:
  std::string path_;
  // Keys in file order, with their raw (unescaped) text values.
  std::vector<std::pair<std::string, std::string>> entries_;
  // The line each key is on in the file as last loaded or saved; keys set
  // since then have none. Named in type-mismatch errors.
  std::map<std::string, int> lines_;
};

}  // namespace quorvalen

namespace quorvalen {

// The serial port on a termios device (a real port, a USB adapter or a
// pseudo-terminal). The device is opened non-blocking in raw mode; reads
// are collected by the loop when a receive threshold is set, and writes the
// device cannot take at once are queued and flushed from the loop (and by
// every later call on the port), so no call blocks for long.
class PosixSerialPort : public SerialPort {
 public:
  // resolve maps a port number to a device path.
  PosixSerialPort(PosixEventLoop& loop, std::function<std::string(int)> resolve);
  ~PosixSerialPort() override;

  int16_t CommPort() const override;
  void CommPort(int16_t port) override;
  std::string Settings() const override;
  void Settings(const std::string& settings) override;
  bool RTSEnable() const override;
  void RTSEnable(bool on) override;
  bool DTREnable() const override;
  void DTREnable(bool on) override;
  int16_t InBufferSize() const override;
  void InBufferSize(int16_t bytes) override;
  int16_t OutBufferSize() const override;
  void OutBufferSize(int16_t bytes) override;
  bool PortOpen() const override;
  void PortOpen(bool open) override;
  int InBufferCount() override;
  std::string Input() override;
  void Output(std::string_view bytes) override;
  int RThreshold() const override;
  void RThreshold(int bytes) override;
  int CommEvent() const override;
  void OnComm(std::function<void()> handler) override;

  // The device path of the open port (empty when closed).
  const std::string& DevicePath() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The infrared device component on posix: its two services are two device
// paths (character devices or pseudo-terminals), given when it is made; the
// settings text picks one by its SERVICE= value and opening opens that
// path, with anything waiting on it dropped. The control polls it; it has
// no notification. Refuses an unknown service (380), a read or write while
// closed (8012), a path that cannot be opened (8010); a device that hangs
// up is a lost link (8020).
class PosixInfraredDevice : public InfraredDeviceBase {
 public:
  PosixInfraredDevice(std::string comm_path, std::string obex_path);
  ~PosixInfraredDevice() override;

  void Settings(const std::string& service) override;
  std::string Settings() const override { return settings_; }
  bool PortOpen() const override { return fd_ >= 0; }
  void PortOpen(bool open) override;
  int InBufferCount() override;
  void InBufferCount(int count) override;
  void OutBufferCount(int count) override;
  std::string Input() override;
  void Output(std::string_view bytes) override;

 private:
  void RequireOpen(const char* operation) const;
  // Reads what is waiting into received_.
  void Collect();
  // Writes as much of outgoing_ as the device takes now, without waiting.
  void Flush();

  std::string comm_path_;
  std::string obex_path_;
  std::string settings_;
  std::string path_;  // of the service selected
  int fd_ = -1;
  std::string received_;
  std::string outgoing_;  // written by the host, not yet taken by the device
};

// The posix platform: the poll loop, the system clocks, termios ports whose
// device paths come from a table the host can set, trace files on disk, and
// the terminal bell.
class PosixPlatform : public Platform {
 public:
  PosixPlatform();
  ~PosixPlatform() override;

  PosixEventLoop& Loop() override { return loop_; }
  PosixClock& Time() override { return clock_; }
  RecordingContainer& Site() override { return container_; }
  ComponentRegistry& Factory() override { return factory_; }
  TerminalBeeper& Bell() override { return beeper_; }
  std::unique_ptr<SerialPort> CreateSerialPort() override;
  std::unique_ptr<TraceFile> CreateTraceFile() override;

  // CommPort n opens this path; without an entry, /dev/ttyS<n-1>.
  bool DevicePath(int comm_port, std::string path) override;
  std::string DevicePath(int comm_port) const;
  // Registers the infrared device component ("IrDaComm.IrDaDevice") whose
  // two services are these paths. Without it, creating the component
  // fails with 429.
  void Infrared(std::string comm_path, std::string obex_path);

 private:
  PosixEventLoop loop_;
  PosixClock clock_;
  RecordingContainer container_;
  ComponentRegistry factory_;
  TerminalBeeper beeper_;
  std::map<int, std::string> devices_;
};

}  // namespace quorvalen
