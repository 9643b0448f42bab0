// Assembly of the real platform: one poll loop, the system clocks, termios
// ports found through a table of device paths, and trace files on disk.
#include "quorvalen/posix_platform.h"

#include <unistd.h>

namespace quorvalen {

PosixPlatform::PosixPlatform() : beeper_(isatty(STDERR_FILENO) ? STDERR_FILENO : -1) {}

PosixPlatform::~PosixPlatform() = default;

std::unique_ptr<SerialPort> PosixPlatform::CreateSerialPort() {
  // The platform outlives every port made on it.
  return std::make_unique<PosixSerialPort>(loop_, [this](int n) { return DevicePath(n); });
}

std::unique_ptr<TraceFile> PosixPlatform::CreateTraceFile() {
  return std::make_unique<PosixTraceFile>();
}

void PosixPlatform::Infrared(std::string comm_path, std::string obex_path) {
  factory_.Register("IrDaComm.IrDaDevice", [comm_path, obex_path] {
    return std::make_shared<PosixInfraredDevice>(comm_path, obex_path);
  });
}

bool PosixPlatform::DevicePath(int comm_port, std::string path) {
  if (path.empty()) {
    devices_.erase(comm_port);
  } else {
    devices_[comm_port] = std::move(path);
  }
  return true;
}

std::string PosixPlatform::DevicePath(int comm_port) const {
  auto it = devices_.find(comm_port);
  if (it != devices_.end()) return it->second;
  return "/dev/ttyS" + std::to_string(comm_port - 1);
}

}  // namespace quorvalen
