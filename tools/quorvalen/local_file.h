// Local files written whole or not at all: the bytes go to a temporary file
// beside the destination, which is renamed over it only when complete. A
// file abandoned (a failed GET, an interrupt) leaves nothing behind.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace quorvalen::tool {

class AtomicFile {
 public:
  // Creates the temporary file for destination. With replace false, an
  // existing destination is refused. Throws std::runtime_error with the
  // reason.
  AtomicFile(const std::string& destination, bool replace);
  ~AtomicFile();  // removes the temporary file unless committed
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void Write(std::string_view bytes);  // throws std::runtime_error
  // Empties the file, for a transfer that starts again; true (or throws).
  bool Restart();
  void Commit();                       // throws std::runtime_error
  const std::string& TemporaryPath() const { return temporary_; }

 private:
  void Abandon();

  std::string destination_;
  std::string temporary_;
  bool replace_;
  int fd_ = -1;
};

// Reads a whole local file ("-": standard input) into *bytes; false with
// the reason in *error.
bool ReadLocalFile(const std::string& path, std::string* bytes, std::string* error);

// A local file read for a PUT, and read again from its start when the PUT
// is tried again. A regular file is read where it lies, so the PUT alone
// holds its bytes; anything else (standard input, "-", a pipe) can be read
// once only and is kept in memory for the tries.
class LocalSource {
 public:
  // Opens the file. Throws std::runtime_error with the reason.
  explicit LocalSource(const std::string& path);
  ~LocalSource();
  LocalSource(const LocalSource&) = delete;
  LocalSource& operator=(const LocalSource&) = delete;

  // The size as opened; the PUT sends this many bytes.
  uint64_t Size() const { return size_; }
  // Up to size bytes; 0 at the end. Throws std::runtime_error.
  size_t Read(char* buffer, size_t size);
  // Back to the first byte; true (or throws).
  bool Restart();

 private:
  std::string path_;
  int fd_ = -1;         // a regular file, read where it lies
  std::string memory_;  // or its bytes, read once
  uint64_t size_ = 0;
  uint64_t at_ = 0;
};

// Writes text whole to the file at path (atomically, replacing it), or to
// out for "-". Throws std::runtime_error with the reason.
void WriteLocalFile(const std::string& path, std::string_view text, std::FILE* out);

// True when path exists; size is set for a regular file.
bool LocalExists(const std::string& path, uint64_t* size = nullptr);
bool IsLocalFolder(const std::string& path);
// The last name of a path ("a/b/c.txt" gives "c.txt", "/" gives "").
std::string BaseName(const std::string& path);
// "dir" + "/" + name, without doubling the slash.
std::string JoinLocal(const std::string& dir, const std::string& name);

}  // namespace quorvalen::tool
