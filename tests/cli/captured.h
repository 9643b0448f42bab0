// A stream for a subcommand's output whose text the test reads back.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace quorvalen::tool {

// A stream whose text can be read back.
class Captured {
 public:
  Captured() : file_(open_memstream(&buffer_, &size_)) {}
  ~Captured() {
    std::fclose(file_);
    std::free(buffer_);
  }
  std::FILE* File() { return file_; }
  std::string Take() {
    std::fflush(file_);
    std::string text(buffer_, size_);
    std::rewind(file_);
    std::fflush(file_);
    return text;
  }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  std::FILE* file_;
};

}  // namespace quorvalen::tool
