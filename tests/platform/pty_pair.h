// A pseudo-terminal for the port tests: the test keeps the master end and
// plays the far end of the cable; a port opens the slave through its path.
// Deliberately free of <termios.h>, so a test may use the kernel's termios2.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>

namespace quorvalen {

class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    if (const char* name = ptsname(master_)) slave_path_ = name;
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Ok() const { return master_ >= 0 && !slave_path_.empty(); }
  int Master() const { return master_; }
  const std::string& SlavePath() const { return slave_path_; }

  // Hangs up the line as seen from the slave.
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  // Writes every byte, waiting for room; false on failure or after 10 s.
  bool WriteAll(std::string_view bytes) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!bytes.empty()) {
      ssize_t n = write(master_, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 100);
    }
    return true;
  }

  // Appends what the master can read now to *out.
  void ReadAvailable(std::string* out) {
    char chunk[8192];
    for (;;) {
      ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0) return;
      out->append(chunk, static_cast<size_t>(n));
    }
  }

  // Reads until `count` bytes have come or 10 s have passed.
  std::string ReadCount(size_t count) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
      ReadAvailable(&out);
      if (out.size() >= count) break;
      pollfd p{master_, POLLIN, 0};
      poll(&p, 1, 100);
    }
    return out;
  }

 private:
  int master_ = -1;
  std::string slave_path_;
};

}  // namespace quorvalen
