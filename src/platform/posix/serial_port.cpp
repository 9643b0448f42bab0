// The serial port on a termios device. The descriptor is non-blocking and in
// raw mode; the event loop watches it for input while a receive threshold is
// set and for output while bytes wait in the queue, so no call on the port
// ever waits for the line.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "platform/posix/termios2.h"
#include "quorvalen/error.h"
#include "quorvalen/line_settings.h"
#include "quorvalen/posix_platform.h"

namespace quorvalen {
namespace {

constexpr const char* kSource = "PosixSerialPort";

[[noreturn]] void Fail(int number, std::string description) {
  throw Error(number, kSource, std::move(description));
}

std::string Reason(int error) { return std::strerror(error); }

struct StandardRate {
  int baud;
  speed_t code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
#ifdef B4000000
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

std::optional<speed_t> StandardSpeed(int baud) {
  for (const StandardRate& rate : kStandardRates) {
    if (rate.baud == baud) return rate.code;
  }
  return std::nullopt;
}

// Puts the line into raw mode with the given settings. termios cannot
// express 1.5 stop bits; CSTOPB gives the UART's own choice, which is 1.5
// with 5 data bits and 2 otherwise.
void ApplySettings(int fd, const LineSettings& s, const std::string& path) {
  const std::string what = "Cannot set line settings " + s.Text() + " on " + path + ": ";
  if (s.data_bits < 5) Fail(kErrCannotSetLineSettings, what + "termios has no 4-bit bytes");
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) Fail(kErrCannotSetLineSettings, what + Reason(errno));

  cfmakeraw(&tio);
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD;
  // One byte satisfies a read, so a read of 0 means the far end hung up.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= kSizes[s.data_bits - 5];
  switch (s.parity) {
    case 'e':
      tio.c_cflag |= PARENB;
      break;
    case 'o':
      tio.c_cflag |= PARENB | PARODD;
      break;
    case 'm':
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case 's':
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (s.stop_halves > 2) tio.c_cflag |= CSTOPB;

  // A custom rate keeps the speed in force until termios2 replaces it, so
  // the line never passes through an unrelated rate.
  std::optional<speed_t> speed = StandardSpeed(s.baud);
  if (speed) {
    cfsetispeed(&tio, *speed);
    cfsetospeed(&tio, *speed);
  }
  if (tcsetattr(fd, TCSANOW, &tio) != 0) Fail(kErrCannotSetLineSettings, what + Reason(errno));
  std::string error;
  if (!speed && !SetCustomBaud(fd, s.baud, &error)) Fail(kErrCannotSetLineSettings, what + error);
}

// Raises or drops one modem line; 0 or the errno of a failure that matters.
int SetModemLine(int fd, int line, bool on) {
  int bits = line;
  if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return 0;
  // A pseudo-terminal has no modem lines.
  if (errno == ENOTTY || errno == EINVAL) return 0;
  return errno;
}

// Devices held open in this process, by device number, whatever path
// reached them. TIOCEXCL keeps other processes out (privileged ones
// excepted) but not a second port object in this one.
using DeviceKey = dev_t;
std::mutex open_devices_mutex;
std::set<DeviceKey> open_devices;

bool ClaimDevice(const DeviceKey& key) {
  std::lock_guard<std::mutex> lock(open_devices_mutex);
  return open_devices.insert(key).second;
}

void ReleaseDevice(const DeviceKey& key) {
  std::lock_guard<std::mutex> lock(open_devices_mutex);
  open_devices.erase(key);
}

}  // namespace

struct PosixSerialPort::State {
  State(PosixEventLoop& event_loop, std::function<std::string(int)> resolver)
      : loop(event_loop), resolve(std::move(resolver)) {}

  PosixEventLoop& loop;
  std::function<std::string(int)> resolve;

  int16_t comm_port = 1;
  LineSettings settings;
  bool rts = false;
  bool dtr = false;
  int16_t in_buffer_size = 1024;
  int16_t out_buffer_size = 512;
  int threshold = 1;
  int event = 0;
  std::function<void()> handler;

  // The open device; fd < 0 when closed.
  int fd = -1;
  std::string path;
  DeviceKey device{};
  PosixEventLoop::WatchId watch = 0;
  short watched = 0;
  // Counts opens, so work posted for one session is void in the next.
  uint64_t session = 0;
  bool hung_up = false;
  bool hang_up_announced = false;
  bool check_posted = false;
  std::string received;
  // Bytes not yet taken by the device, consumed from the front by offset.
  std::deque<std::string> outgoing;
  size_t sent = 0;
  // Expires with the state; posted work and handlers test it.
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

  bool IsOpen() const { return fd >= 0; }

  void RequireOpen(const char* operation) const {
    if (fd < 0) {
      Fail(kErrPortNotOpen, std::string("Operation valid only when the port is open: ") +
                                operation + " on port " + std::to_string(comm_port));
    }
  }

  void RequireClosed(const char* operation) const {
    if (fd >= 0) {
      Fail(kErrPortInvalidWhileOpen,
           std::string("Operation not valid while the port is open: ") + operation);
    }
  }

  void Open();
  void Close();
  void ModemLine(int line, bool on, const char* name);
  void UpdateWatch();
  void OnReady(short revents);
  size_t WriteNow(const char* data, size_t size);
  void Flush();
  void ReadAvailable();
  void HangUp();
  bool Raise(int code);
  void PostReceiveCheck();
};

void PosixSerialPort::State::Open() {
  if (fd >= 0) Fail(kErrPortAlreadyOpen, "Port already open: " + path);
  std::string device_path = resolve ? resolve(comm_port) : std::string();
  if (device_path.empty()) {
    Fail(kErrInvalidPortNumber, "No device for port " + std::to_string(comm_port));
  }
  int f = open(device_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (f < 0) {
    int error = errno;
    int number = kErrHardwareNotAvailable;
    if (error == ENOENT || error == ENODEV || error == ENXIO) number = kErrInvalidPortNumber;
    if (error == EBUSY) number = kErrPortAlreadyOpen;
    Fail(number, "Cannot open " + device_path + ": " + Reason(error));
  }
  // Until the port is committed, a failure closes the descriptor and gives
  // the device back.
  struct Undo {
    int fd;
    std::optional<DeviceKey> claimed;
    ~Undo() {
      if (claimed) ReleaseDevice(*claimed);
      if (fd >= 0) close(fd);
    }
  } undo{f, std::nullopt};

  struct stat st {};
  termios probe{};
  if (fstat(f, &st) != 0 || tcgetattr(f, &probe) != 0) {
    Fail(kErrHardwareNotAvailable,
         "Cannot open " + device_path + ": not a terminal (" + Reason(errno) + ")");
  }
  DeviceKey key = st.st_rdev;
  if (!ClaimDevice(key)) {
    Fail(kErrPortAlreadyOpen, "Port already open: " + device_path + " is in use");
  }
  undo.claimed = key;
  // Keeps other processes off the line; a driver without it is no reason to fail.
  ioctl(f, TIOCEXCL);

  ApplySettings(f, settings, device_path);
  auto drive = [&](int line, bool on, const char* name) {
    if (int error = SetModemLine(f, line, on)) {
      Fail(kErrHardwareNotAvailable,
           std::string("Cannot set ") + name + " on " + device_path + ": " + Reason(error));
    }
  };
  drive(TIOCM_RTS, rts, "RTS");
  drive(TIOCM_DTR, dtr, "DTR");
  tcflush(f, TCIFLUSH);

  fd = f;
  device = key;
  undo.fd = -1;
  undo.claimed.reset();
  path = device_path;
  ++session;
  hung_up = false;
  hang_up_announced = false;
  received.clear();
  watched = 0;
  watch = loop.Watch(fd, 0, [this](short revents) { OnReady(revents); });
  UpdateWatch();
}

void PosixSerialPort::State::Close() {
  if (fd < 0) return;
  loop.Unwatch(watch);
  watch = 0;
  watched = 0;
  // Queued bytes are dropped; what the device already took still drains.
  outgoing.clear();
  sent = 0;
  ioctl(fd, TIOCNXCL);
  close(fd);
  fd = -1;
  ReleaseDevice(device);
  path.clear();
  received.clear();
  hung_up = false;
  hang_up_announced = false;
}

void PosixSerialPort::State::ModemLine(int line, bool on, const char* name) {
  // A line that has hung up has no modem lines left to drive.
  if (fd < 0 || hung_up) return;
  if (int error = SetModemLine(fd, line, on)) {
    Fail(kErrHardwareNotAvailable,
         std::string("Cannot set ") + name + " on " + path + ": " + Reason(error));
  }
}

void PosixSerialPort::State::UpdateWatch() {
  if (fd < 0) return;
  short want = 0;
  if (!hung_up) {
    if (threshold > 0) want |= POLLIN;
    if (!outgoing.empty()) want |= POLLOUT;
  }
  if (want != watched) {
    loop.ChangeWatch(watch, want);
    watched = want;
  }
}

void PosixSerialPort::State::OnReady(short revents) {
  if (fd < 0) return;
  if (revents & POLLOUT) Flush();
  size_t before = received.size();
  if (threshold > 0 && (revents & (POLLIN | POLLHUP | POLLERR))) ReadAvailable();
  if (revents & (POLLHUP | POLLERR | POLLNVAL)) HangUp();
  UpdateWatch();
  if (threshold > 0 && received.size() > before &&
      received.size() >= static_cast<size_t>(threshold)) {
    Raise(SerialPort::kEventReceive);
  }
}

// Writes what the device takes now and returns the count. A hard failure
// means the line is gone: it hangs the port up, which drops the queue.
size_t PosixSerialPort::State::WriteNow(const char* data, size_t size) {
  size_t done = 0;
  while (done < size && fd >= 0 && !hung_up) {
    ssize_t n = write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) HangUp();
    break;
  }
  return done;
}

void PosixSerialPort::State::Flush() {
  while (!outgoing.empty()) {
    const std::string& front = outgoing.front();
    size_t n = WriteNow(front.data() + sent, front.size() - sent);
    if (hung_up) break;
    sent += n;
    if (sent < front.size()) break;
    outgoing.pop_front();
    sent = 0;
  }
  UpdateWatch();
}

void PosixSerialPort::State::ReadAvailable() {
  char chunk[4096];
  while (fd >= 0 && !hung_up) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      received.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // End of file or EIO: the other end has gone.
    HangUp();
  }
}

// The port stays open for the host to close; the loop stops watching it (a
// hung-up descriptor is always ready) and the host hears of it once, from
// the loop.
void PosixSerialPort::State::HangUp() {
  if (fd < 0 || hung_up) return;
  hung_up = true;
  outgoing.clear();
  sent = 0;
  UpdateWatch();
  std::weak_ptr<bool> token = alive;
  loop.Post([this, token, s = session] {
    if (token.expired() || session != s || fd < 0 || hang_up_announced) return;
    hang_up_announced = true;
    Raise(PosixSerialPort::kEventCarrierLost);
  });
}

// Runs the host's handler. It may close the port, reopen it or drop the
// last reference to it; returns whether the same session is still open.
bool PosixSerialPort::State::Raise(int code) {
  std::weak_ptr<bool> token = alive;
  uint64_t s = session;
  event = code;
  if (handler) {
    auto run = handler;
    run();
  }
  return !token.expired() && session == s && fd >= 0;
}

// Announces bytes that sit in the buffer without the loop having read them
// (a host call pulled them in, or the threshold was raised since).
void PosixSerialPort::State::PostReceiveCheck() {
  if (check_posted || fd < 0 || threshold <= 0 ||
      received.size() < static_cast<size_t>(threshold)) {
    return;
  }
  check_posted = true;
  std::weak_ptr<bool> token = alive;
  loop.Post([this, token, s = session] {
    if (token.expired()) return;
    check_posted = false;
    if (session != s || fd < 0 || threshold <= 0 ||
        received.size() < static_cast<size_t>(threshold)) {
      return;
    }
    Raise(kEventReceive);
  });
}

PosixSerialPort::PosixSerialPort(PosixEventLoop& loop, std::function<std::string(int)> resolve)
    : state_(std::make_unique<State>(loop, std::move(resolve))) {}

PosixSerialPort::~PosixSerialPort() { state_->Close(); }

int16_t PosixSerialPort::CommPort() const { return state_->comm_port; }

void PosixSerialPort::CommPort(int16_t port) {
  state_->RequireClosed("CommPort");
  if (port < 1) Fail(kErrInvalidPortNumber, "Invalid port number " + std::to_string(port));
  state_->comm_port = port;
}

std::string PosixSerialPort::Settings() const { return state_->settings.Text(); }

void PosixSerialPort::Settings(const std::string& settings) {
  std::optional<LineSettings> parsed = ParseLineSettings(settings);
  if (!parsed) Fail(kErrInvalidPropertyValue, "Invalid line settings \"" + settings + "\"");
  if (parsed->data_bits < 5) {
    Fail(kErrCannotSetLineSettings,
         "Cannot set line settings " + parsed->Text() + ": termios has no 4-bit bytes");
  }
  State& s = *state_;
  if (s.IsOpen() && !s.hung_up) ApplySettings(s.fd, *parsed, s.path);
  s.settings = *parsed;
}

bool PosixSerialPort::RTSEnable() const { return state_->rts; }

void PosixSerialPort::RTSEnable(bool on) {
  state_->ModemLine(TIOCM_RTS, on, "RTS");
  state_->rts = on;
}

bool PosixSerialPort::DTREnable() const { return state_->dtr; }

void PosixSerialPort::DTREnable(bool on) {
  state_->ModemLine(TIOCM_DTR, on, "DTR");
  state_->dtr = on;
}

int16_t PosixSerialPort::InBufferSize() const { return state_->in_buffer_size; }

void PosixSerialPort::InBufferSize(int16_t bytes) {
  state_->RequireClosed("InBufferSize");
  if (bytes <= 0) Fail(kErrInvalidPropertyValue, "Invalid InBufferSize " + std::to_string(bytes));
  state_->in_buffer_size = bytes;
}

int16_t PosixSerialPort::OutBufferSize() const { return state_->out_buffer_size; }

void PosixSerialPort::OutBufferSize(int16_t bytes) {
  state_->RequireClosed("OutBufferSize");
  if (bytes <= 0) Fail(kErrInvalidPropertyValue, "Invalid OutBufferSize " + std::to_string(bytes));
  state_->out_buffer_size = bytes;
}

bool PosixSerialPort::PortOpen() const { return state_->IsOpen(); }

void PosixSerialPort::PortOpen(bool open) {
  if (open) {
    state_->Open();
  } else {
    state_->Close();
  }
}

int PosixSerialPort::InBufferCount() {
  State& s = *state_;
  s.RequireOpen("InBufferCount");
  s.Flush();
  s.ReadAvailable();
  s.PostReceiveCheck();
  return static_cast<int>(s.received.size());
}

std::string PosixSerialPort::Input() {
  State& s = *state_;
  s.RequireOpen("Input");
  s.Flush();
  s.ReadAvailable();
  return std::exchange(s.received, std::string());
}

void PosixSerialPort::Output(std::string_view bytes) {
  State& s = *state_;
  s.RequireOpen("Output");
  s.Flush();
  // Bytes for a line that has hung up are lost, as on a cut cable.
  if (s.hung_up || bytes.empty()) return;
  size_t done = s.outgoing.empty() ? s.WriteNow(bytes.data(), bytes.size()) : 0;
  if (s.hung_up || done == bytes.size()) return;
  s.outgoing.emplace_back(bytes.substr(done));
  s.UpdateWatch();
}

int PosixSerialPort::RThreshold() const { return state_->threshold; }

void PosixSerialPort::RThreshold(int bytes) {
  state_->threshold = bytes;
  state_->UpdateWatch();
  state_->PostReceiveCheck();
}

int PosixSerialPort::CommEvent() const { return state_->event; }

void PosixSerialPort::OnComm(std::function<void()> handler) {
  state_->handler = std::move(handler);
}

const std::string& PosixSerialPort::DevicePath() const { return state_->path; }

}  // namespace quorvalen
