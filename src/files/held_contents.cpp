#include "held_contents.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace quorvalen {

HeldContents::~HeldContents() {
  if (file_) std::fclose(file_);
}

bool HeldContents::Write(uint64_t at, const char* data, size_t n) {
  if (!file_ && at + n > bound_ && !Spill()) return false;
  if (file_) {
    if (at > size_ && !Resize(at)) return false;
    if (fseeko(file_, static_cast<off_t>(at), SEEK_SET) != 0 ||
        std::fwrite(data, 1, n, file_) != n) {
      return false;
    }
  } else {
    if (memory_.size() < at + n) memory_.resize(at + n);
    std::memcpy(memory_.data() + at, data, n);
  }
  size_ = std::max<uint64_t>(size_, at + n);
  return true;
}

ssize_t HeldContents::Read(uint64_t at, char* out, size_t n) {
  if (at >= size_) return 0;
  n = static_cast<size_t>(std::min<uint64_t>(n, size_ - at));
  if (!file_) {
    std::memcpy(out, memory_.data() + at, n);
    return static_cast<ssize_t>(n);
  }
  std::fflush(file_);
  return pread(fileno(file_), out, n, static_cast<off_t>(at));
}

bool HeldContents::Resize(uint64_t size) {
  if (!file_ && size > bound_ && !Spill()) return false;
  if (file_) {
    std::fflush(file_);
    if (ftruncate(fileno(file_), static_cast<off_t>(size)) != 0) return false;
  } else {
    memory_.resize(static_cast<size_t>(size));
  }
  size_ = size;
  return true;
}

bool HeldContents::Spill() {
  file_ = std::tmpfile();
  if (!file_ || (!memory_.empty() &&
                 std::fwrite(memory_.data(), 1, memory_.size(), file_) != memory_.size())) {
    return false;
  }
  memory_ = std::string();
  return true;
}

}  // namespace quorvalen
