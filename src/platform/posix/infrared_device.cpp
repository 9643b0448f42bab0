// The infrared device component on posix: one of two device paths, opened
// raw and non-blocking, read when polled. A write never waits: what the
// device does not take at once is kept and sent on by the next call that
// touches the device (the control polls it every 100 ms while the link is
// open).
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "quorvalen/error.h"
#include "quorvalen/posix_platform.h"

namespace quorvalen {
namespace {

constexpr char kSource[] = "IrDaComm.IrDaDevice";

[[noreturn]] void LinkLost(const std::string& path) {
  throw Error(kErrLinkLost, kSource, "The infrared link is lost: " + path);
}

}  // namespace

PosixInfraredDevice::PosixInfraredDevice(std::string comm_path, std::string obex_path)
    : comm_path_(std::move(comm_path)), obex_path_(std::move(obex_path)) {}

PosixInfraredDevice::~PosixInfraredDevice() {
  if (fd_ >= 0) ::close(fd_);
}

void PosixInfraredDevice::Settings(const std::string& text) {
  const InfraredService service = InfraredServiceOf(text);
  if (service == InfraredService::kNone) {
    throw Error(kErrInvalidPropertyValue, kSource, "No such infrared service: \"" + text + "\"");
  }
  path_ = service == InfraredService::kIrComm ? comm_path_ : obex_path_;
  settings_ = text;
}

void PosixInfraredDevice::PortOpen(bool open) {
  if (!open) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    received_.clear();
    outgoing_.clear();
    return;
  }
  if (fd_ >= 0) return;  // opening again is accepted
  if (path_.empty()) throw Error(kErrInvalidPropertyValue, kSource, "No infrared service selected");
  fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    throw Error(kErrHardwareNotAvailable, kSource,
                "Cannot open " + path_ + ": " + std::strerror(errno));
  }
  termios raw{};
  if (::tcgetattr(fd_, &raw) == 0) {
    ::cfmakeraw(&raw);
    ::tcsetattr(fd_, TCSANOW, &raw);
    // A new connection starts clean: what the air held before is gone.
    ::tcflush(fd_, TCIOFLUSH);
  }
  received_.clear();
  outgoing_.clear();
}

void PosixInfraredDevice::RequireOpen(const char* operation) const {
  if (fd_ < 0) {
    throw Error(kErrPortNotOpen, kSource,
                std::string("Operation valid only when the connection is open: ") + operation);
  }
}

void PosixInfraredDevice::Collect() {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      received_.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    LinkLost(path_);  // end of file, or the other side hung up (EIO)
  }
}

void PosixInfraredDevice::Flush() {
  size_t at = 0;
  while (at < outgoing_.size()) {
    const ssize_t n = ::write(fd_, outgoing_.data() + at, outgoing_.size() - at);
    if (n > 0) {
      at += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;  // no room now
    outgoing_.clear();
    LinkLost(path_);
  }
  outgoing_.erase(0, at);
}

int PosixInfraredDevice::InBufferCount() {
  RequireOpen("InBufferCount");
  Flush();
  Collect();
  return static_cast<int>(received_.size());
}

void PosixInfraredDevice::InBufferCount(int) {
  RequireOpen("InBufferCount");
  Flush();
  Collect();
  received_.clear();
}

void PosixInfraredDevice::OutBufferCount(int) {
  RequireOpen("OutBufferCount");
  outgoing_.clear();
  ::tcflush(fd_, TCOFLUSH);
}

std::string PosixInfraredDevice::Input() {
  RequireOpen("Input");
  Flush();
  Collect();
  return std::exchange(received_, std::string());
}

void PosixInfraredDevice::Output(std::string_view bytes) {
  RequireOpen("Output");
  outgoing_.append(bytes);
  Flush();
}

}  // namespace quorvalen
