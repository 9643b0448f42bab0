// The debug trace written to a file on disk, one CR LF line per write.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "quorvalen/posix_platform.h"

namespace quorvalen {

PosixTraceFile::~PosixTraceFile() { Close(); }

bool PosixTraceFile::Open(const std::string& path) {
  Close();
  if (path.empty()) return false;
  int fd;
  do {
    fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  fd_ = fd;
  return true;
}

void PosixTraceFile::WriteLine(std::string_view text) {
  if (fd_ < 0) return;
  // One write per line keeps lines whole when another process reads along.
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text);
  line.append("\r\n");
  size_t written = 0;
  while (written < line.size()) {
    ssize_t n = write(fd_, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk loses the line, never the control
    written += static_cast<size_t>(n);
  }
}

void PosixTraceFile::Close() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
}

bool PosixTraceFile::IsOpen() const { return fd_ >= 0; }

}  // namespace quorvalen
