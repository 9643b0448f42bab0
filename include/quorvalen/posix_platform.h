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

  PropertyValue ReadProperty(const std::string& name,
                             const PropertyValue& default_value) override;
  void WriteProperty(const std::string& name, const PropertyValue& value,
                     const PropertyValue& default_value) override;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  // Keys in file order, with their raw (unescaped) text values.
  std::vector<std::pair<std::string, std::string>> entries_;
};

}  // namespace quorvalen
