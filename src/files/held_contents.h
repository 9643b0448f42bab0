// The bytes of one held file: in memory up to a bound, then in a temporary
// file, so that a large file read or written through the files layer costs
// no more memory than the bound.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace quorvalen {

class HeldContents {
 public:
  explicit HeldContents(size_t memory_bound) : bound_(memory_bound) {}
  ~HeldContents();
  HeldContents(const HeldContents&) = delete;
  HeldContents& operator=(const HeldContents&) = delete;

  uint64_t Size() const { return size_; }
  // Whether the bytes went to a temporary file.
  bool Spilled() const { return file_ != nullptr; }
  // Each is false when the temporary file fails.
  bool Append(std::string_view bytes) { return Write(size_, bytes.data(), bytes.size()); }
  bool Write(uint64_t at, const char* data, size_t n);
  // Up to n bytes from at; -1 on a failed read.
  ssize_t Read(uint64_t at, char* out, size_t n);
  bool Resize(uint64_t size);

 private:
  bool Spill();

  size_t bound_;
  std::string memory_;
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
};

}  // namespace quorvalen
