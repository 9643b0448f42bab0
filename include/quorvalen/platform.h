// The operations the control needs from the system it runs on. The control
// never touches the OS itself; a Platform hands it every one of these. Two
// implementations exist: posix (real) and virtual (a discrete-event world on
// a virtual clock, for deterministic tests).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace quorvalen {

// A periodic timer that ticks on the loop thread. Created disabled.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual int Interval() const = 0;
  // Takes effect at once: an enabled timer starts a fresh full interval.
  // An interval of 0 or less never ticks.
  virtual void Interval(int ms) = 0;
  virtual bool Enabled() const = 0;
  // Disabling stops the ticks; enabling a disabled timer starts a fresh full
  // interval. Enabling an enabled timer changes nothing.
  virtual void Enabled(bool on) = 0;
};

// The host's event loop: timers, receive notifications and posted work all
// run on it, one handler at a time.
class EventLoop {
 public:
  virtual ~EventLoop() = default;
  virtual std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) = 0;
  // Runs a function on the loop as soon as it turns.
  virtual void Post(std::function<void()> work) = 0;
  // Lets the events that are due now run, re-entrantly; does not wait.
  virtual void ProcessPendingEvents() = 0;
  // Runs until Stop() is called.
  virtual void Run() = 0;
  virtual void Stop() = 0;
  // Runs for the given time, then returns.
  virtual void RunFor(int64_t ms) = 0;
  // Runs until done() is true (checked after every event) or the time is up;
  // returns done().
  virtual bool RunUntil(const std::function<bool()>& done, int64_t timeout_ms) = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds on a clock that never jumps; for waits and time-outs.
  virtual int64_t MonotonicMs() = 0;
  // Local time of day in whole milliseconds since midnight; for trace stamps.
  virtual int64_t LocalMsSinceMidnight() = 0;
  // "YYYY-MM-DD" and "HH:MM:SS", local time.
  virtual std::string DateText() = 0;
  virtual std::string TimeText() = 0;
  // A busy wait: returns once MonotonicMs() has reached the given value. It
  // runs none of the host's events (a real thread spins or sleeps; the
  // virtual world lets the far end of the line go on meanwhile).
  virtual void WaitUntil(int64_t monotonic_ms) = 0;
};

// Components created by program identifier share this base.
class Component {
 public:
  virtual ~Component() = default;
};

// The serial port component. Failures throw quorvalen::Error with the
// numbers of error.h (8002, 8005, 8010, 8012, 8015 ...).
class SerialPort : public Component {
 public:
  // Event code of the receive notification: data received.
  static constexpr int kEventReceive = 2;
  // Event code raised once when the other end hangs up (carrier lost, a
  // USB cable pulled, the far end of a pseudo-terminal closed).
  static constexpr int kEventCarrierLost = 5;

  virtual int16_t CommPort() const = 0;
  virtual void CommPort(int16_t port) = 0;
  // "baud,parity,databits,stopbits", e.g. "19200,n,8,1"; may change while
  // the port is open and takes effect at once.
  virtual std::string Settings() const = 0;
  virtual void Settings(const std::string& settings) = 0;
  virtual bool RTSEnable() const = 0;
  virtual void RTSEnable(bool on) = 0;
  virtual bool DTREnable() const = 0;
  virtual void DTREnable(bool on) = 0;
  virtual int16_t InBufferSize() const = 0;
  virtual void InBufferSize(int16_t bytes) = 0;
  virtual int16_t OutBufferSize() const = 0;
  virtual void OutBufferSize(int16_t bytes) = 0;
  virtual bool PortOpen() const = 0;
  virtual void PortOpen(bool open) = 0;
  // Received bytes not yet read.
  virtual int InBufferCount() = 0;
  // Reads and removes every waiting byte (byte text; empty when none).
  virtual std::string Input() = 0;
  // Queues bytes for sending and returns without waiting.
  virtual void Output(std::string_view bytes) = 0;
  // With a threshold n > 0 the handler runs on the loop when n or more bytes
  // are waiting; 0 raises no notification.
  virtual int RThreshold() const = 0;
  virtual void RThreshold(int bytes) = 0;
  virtual int CommEvent() const = 0;
  virtual void OnComm(std::function<void()> handler) = 0;
};

// The infrared device component, used by member name like a serial port
// without a receive notification.
class InfraredDevice : public Component {
 public:
  virtual void Settings(const std::string& service) = 0;
  virtual std::string Settings() const = 0;
  virtual void RTSEnable(bool on) = 0;
  virtual void DTREnable(bool on) = 0;
  virtual void Handshaking(int mode) = 0;
  virtual void InputLen(int bytes) = 0;
  virtual void RThreshold(int bytes) = 0;
  virtual void SThreshold(int bytes) = 0;
  virtual void InputMode(int mode) = 0;
  virtual void InBufferSize(int bytes) = 0;
  virtual void OutBufferSize(int bytes) = 0;
  virtual void EOFEnable(bool on) = 0;
  virtual bool PortOpen() const = 0;
  virtual void PortOpen(bool open) = 0;
  virtual int InBufferCount() = 0;
  // Setting 0 discards the waiting bytes.
  virtual void InBufferCount(int count) = 0;
  // Setting 0 discards the bytes not yet sent.
  virtual void OutBufferCount(int count) = 0;
  virtual std::string Input() = 0;
  virtual void Output(std::string_view bytes) = 0;
};

// Creates components by program identifier ("IrDaComm.IrDaDevice").
class ObjectFactory {
 public:
  using Creator = std::function<std::shared_ptr<Component>()>;
  virtual ~ObjectFactory() = default;
  virtual void Register(const std::string& program_id, Creator creator) = 0;
  // Throws Error 429 for an identifier nobody registered.
  virtual std::shared_ptr<Component> Create(const std::string& program_id) = 0;
};

// A saved property value: Booleans, 32-bit integers and texts.
using PropertyValue = std::variant<bool, int32_t, std::string>;

// Where the container keeps saved properties. Both operations may throw
// Error; a value read back has the type of the default it was read with.
class PropertyBag {
 public:
  virtual ~PropertyBag() = default;
  virtual PropertyValue ReadProperty(const std::string& name,
                                     const PropertyValue& default_value) = 0;
  // A value equal to its default is left out of the bag.
  virtual void WriteProperty(const std::string& name, const PropertyValue& value,
                             const PropertyValue& default_value) = 0;
};

// The container the control sits on.
class Container {
 public:
  virtual ~Container() = default;
  // Called on every get and set of a host-visible property.
  virtual void PropertyChanged(const std::string& name) = 0;
  // The control asks for its size, in twips.
  virtual void RequestSize(int width, int height) = 0;
};

// The trace file: one at a time, written from its beginning.
class TraceFile {
 public:
  virtual ~TraceFile() = default;
  // Creates or truncates; false when the file cannot be opened.
  virtual bool Open(const std::string& path) = 0;
  // Writes text and CR LF, one byte per character. A failed write is lost
  // silently.
  virtual void WriteLine(std::string_view text) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
};

class Beeper {
 public:
  virtual ~Beeper() = default;
  virtual void Beep() = 0;
};

// Everything a control needs, handed to it at construction. The platform
// outlives every control made on it.
class Platform {
 public:
  virtual ~Platform() = default;
  virtual EventLoop& Loop() = 0;
  virtual Clock& Time() = 0;
  virtual Container& Site() = 0;
  virtual ObjectFactory& Factory() = 0;
  virtual Beeper& Bell() = 0;
  virtual std::unique_ptr<SerialPort> CreateSerialPort() = 0;
  virtual std::unique_ptr<TraceFile> CreateTraceFile() = 0;
  // Names the device that CommPort comm_port opens (an empty path: the
  // default again); false on a platform whose ports have no paths.
  virtual bool DevicePath(int comm_port, std::string path) {
    static_cast<void>(comm_port);
    static_cast<void>(path);
    return false;
  }
};

}  // namespace quorvalen
