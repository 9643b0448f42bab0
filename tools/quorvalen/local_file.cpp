#include "local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "cli.h"

namespace quorvalen::tool {
namespace {

[[noreturn]] void Fail(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + std::strerror(error));
}

}  // namespace

AtomicFile::AtomicFile(const std::string& destination, bool replace)
    : destination_(destination), replace_(replace) {
  if (!replace && LocalExists(destination)) {
    throw std::runtime_error(destination + " exists (--force replaces it)");
  }
  const size_t slash = destination.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : destination.substr(0, slash + 1);
  std::string name = ".";
  name += BaseName(destination);
  name += ".part-XXXXXX";
  std::string pattern = JoinLocal(dir, name);
  fd_ = ::mkstemp(pattern.data());
  if (fd_ < 0) Fail("cannot write in " + dir, errno);
  temporary_ = pattern;
  RegisterPartialFile(temporary_);
}

AtomicFile::~AtomicFile() { Abandon(); }

void AtomicFile::Abandon() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    RegisterPartialFile("");
    temporary_.clear();
  }
}

void AtomicFile::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("cannot write " + destination_, errno);
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

bool AtomicFile::Restart() {
  if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) {
    Fail("cannot write " + destination_, errno);
  }
  return true;
}

void AtomicFile::Commit() {
  // Files are made with the permissions of a new file (mkstemp makes 0600).
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd_, 0666 & ~mask);
  if (::fsync(fd_) != 0 || ::close(fd_) != 0) {
    fd_ = -1;
    Fail("cannot write " + destination_, errno);
  }
  fd_ = -1;
  if (!replace_ && LocalExists(destination_)) {
    throw std::runtime_error(destination_ + " appeared meanwhile; left as it was");
  }
  if (::rename(temporary_.c_str(), destination_.c_str()) != 0) {
    Fail("cannot write " + destination_, errno);
  }
  RegisterPartialFile("");
  temporary_.clear();
}

bool ReadLocalFile(const std::string& path, std::string* bytes, std::string* error) {
  if (path == "-") {
    bytes->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    if (std::cin.bad()) *error = "cannot read standard input";
    return !std::cin.bad();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) *error = "cannot read " + path;
  return !in.bad();
}

LocalSource::LocalSource(const std::string& path) : path_(path) {
  if (path == "-") {
    std::string error;
    if (!ReadLocalFile(path, &memory_, &error)) throw std::runtime_error(error);
    size_ = memory_.size();
    return;
  }
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) Fail("cannot read " + path, errno);
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    Fail("cannot read " + path, error);
  }
  if (S_ISREG(st.st_mode)) {
    size_ = static_cast<uint64_t>(st.st_size);
    return;
  }
  // A pipe or a device: its size is known only once it is read.
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd_);
      fd_ = -1;
      Fail("cannot read " + path, error);
    }
    if (n == 0) break;
    memory_.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd_);
  fd_ = -1;
  size_ = memory_.size();
}

LocalSource::~LocalSource() {
  if (fd_ >= 0) ::close(fd_);
}

size_t LocalSource::Read(char* buffer, size_t size) {
  if (fd_ < 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, memory_.size() - at_));
    std::memcpy(buffer, memory_.data() + at_, n);
    at_ += n;
    return n;
  }
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("cannot read " + path_, errno);
    return static_cast<size_t>(n);
  }
}

bool LocalSource::Restart() {
  at_ = 0;
  if (fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) != 0) Fail("cannot read " + path_, errno);
  return true;
}

void WriteLocalFile(const std::string& path, std::string_view text, std::FILE* out) {
  if (path != "-") {
    AtomicFile file(path, true);
    file.Write(text);
    file.Commit();
  } else if (std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
             std::fflush(out) != 0) {
    throw std::runtime_error("cannot write standard output");
  }
}

bool LocalExists(const std::string& path, uint64_t* size) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (size) *size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  return true;
}

bool IsLocalFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string BaseName(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string JoinLocal(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir == ".") return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace quorvalen::tool
