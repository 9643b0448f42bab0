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
