// The simulated phone's file system: what its OBEX file server reads and
// writes. A FileStore is a tree of folders and files addressed by a folder
// path (names from the root) and a name in that folder. Two stores exist:
// DiskStore over a directory on disk, and MemoryStore in memory, with
// SampleStore as a memory store filled with a fixed sample tree.
//
// Names are UTF-8. Every name a store takes goes through ValidName, so no
// name can climb out of the tree or address something by a path.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvalen::sim {

// Folder names from the root; empty at the root.
using FolderPath = std::vector<std::string>;

enum class StoreStatus {
  kOk,
  kNotFound,   // no such file or folder (or one the store does not show)
  kExists,     // the name is taken by an entry that cannot be replaced
  kNotEmpty,   // a folder with entries cannot be removed
  kBadName,    // a name ValidName refuses
  kForbidden,  // the name is taken by something the store does not show
  kNoSpace,
  kIoError,
};

struct Entry {
  std::string name;
  bool folder = false;
  uint64_t size = 0;       // files only
  int64_t modified = 0;    // seconds since 1970-01-01 UTC
  std::string attributes;  // as set by the client; empty = the default
};

// Non-empty, at most 255 bytes of valid UTF-8, not "." or "..", and free of
// '/', '\\', ':', control characters and the non-characters U+FFFE, U+FFFF
// (so that every name can appear in an XML listing).
bool ValidName(std::string_view name);

// Sample times and contents, usable by whoever needs to reproduce them.
inline constexpr int64_t kSampleTime = 1767259800;  // 2026-01-01T09:30:00Z
// Deterministic bytes from a linear congruential generator.
std::string SampleBytes(uint32_t seed, size_t size);

class FileStore {
 public:
  virtual ~FileStore() = default;

  // Files and folders of a folder, in no particular order.
  virtual StoreStatus List(const FolderPath& folder, std::vector<Entry>& entries) = 0;
  // One file or folder; kNotFound when the folder or name is missing.
  virtual StoreStatus Stat(const FolderPath& folder, std::string_view name, Entry& entry) = 0;
  virtual StoreStatus Read(const FolderPath& folder, std::string_view name, std::string& data) = 0;
  // Creates or replaces a file as a whole: readers see the old contents or
  // the new ones, never a part. kExists when the name is a folder.
  virtual StoreStatus Write(const FolderPath& folder, std::string_view name,
                            std::string_view data) = 0;
  // Removes a file or an empty folder.
  virtual StoreStatus Remove(const FolderPath& folder, std::string_view name) = 0;
  // kExists when the name is taken.
  virtual StoreStatus MakeFolder(const FolderPath& folder, std::string_view name) = 0;
  // Renames within one folder; kExists when `to` is taken by another entry.
  virtual StoreStatus Rename(const FolderPath& folder, std::string_view from,
                             std::string_view to) = 0;
  // Attributes follow the entry through renames; an empty value restores
  // the default.
  virtual StoreStatus SetAttributes(const FolderPath& folder, std::string_view name,
                                    std::string_view attributes) = 0;
  // Total size of all files.
  virtual uint64_t BytesStored() = 0;
};

// A tree in memory.
class MemoryStore : public FileStore {
 public:
  // The clock stamps what is written; without one, every stamp is kSampleTime,
  // so runs are deterministic.
  explicit MemoryStore(std::function<int64_t()> clock = {});
  ~MemoryStore() override;
  void SetClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }

  StoreStatus List(const FolderPath& folder, std::vector<Entry>& entries) override;
  StoreStatus Stat(const FolderPath& folder, std::string_view name, Entry& entry) override;
  StoreStatus Read(const FolderPath& folder, std::string_view name, std::string& data) override;
  StoreStatus Write(const FolderPath& folder, std::string_view name,
                    std::string_view data) override;
  StoreStatus Remove(const FolderPath& folder, std::string_view name) override;
  StoreStatus MakeFolder(const FolderPath& folder, std::string_view name) override;
  StoreStatus Rename(const FolderPath& folder, std::string_view from, std::string_view to) override;
  StoreStatus SetAttributes(const FolderPath& folder, std::string_view name,
                            std::string_view attributes) override;
  uint64_t BytesStored() override { return bytes_; }

 private:
  struct Node;
  StoreStatus FindFolder(const FolderPath& folder, Node*& dir);
  StoreStatus FindEntry(const FolderPath& folder, std::string_view name, Node*& dir, Node*& node);
  int64_t Now() const;

  std::function<int64_t()> clock_;
  std::unique_ptr<Node> root_;
  uint64_t bytes_ = 0;
};

// The built-in sample tree, the same on every run (all stamped kSampleTime):
//   Documents/Café.txt, Documents/Meeting notes.txt, Documents/Notes & <ideas>.txt
//   Music/ (empty)
//   Pictures/logo.png            SampleBytes(1, 300)
//   Pictures/Holiday/beach.jpg   SampleBytes(2, 37 * 1024)
//   Pictures/Holiday/sunset.jpg  SampleBytes(3, 420)
//   Videos/clip.3gp              SampleBytes(4, 300 * 1024)
//   empty.txt (0 bytes), readme.txt
struct SampleFile {
  std::string folder;  // "" or "Pictures/Holiday"
  std::string name;
  std::string contents;
};
const std::vector<SampleFile>& SampleFiles();

class SampleStore : public MemoryStore {
 public:
  // A clock given stamps only what is written later.
  explicit SampleStore(std::function<int64_t()> clock = {});
};

// A directory on disk. It never reaches outside its root: every name is
// checked, every folder on a path is opened without following symbolic
// links, and symbolic links (and anything but files and folders) are
// neither listed nor reachable. Writes go to a temporary file in the target
// folder that is renamed over the name, so a half-written file is never
// seen. Attributes are kept in memory.
class DiskStore : public FileStore {
 public:
  // Throws std::system_error when root_dir cannot be opened as a directory.
  explicit DiskStore(const std::string& root_dir);
  ~DiskStore() override;
  DiskStore(const DiskStore&) = delete;
  DiskStore& operator=(const DiskStore&) = delete;

  StoreStatus List(const FolderPath& folder, std::vector<Entry>& entries) override;
  StoreStatus Stat(const FolderPath& folder, std::string_view name, Entry& entry) override;
  StoreStatus Read(const FolderPath& folder, std::string_view name, std::string& data) override;
  StoreStatus Write(const FolderPath& folder, std::string_view name,
                    std::string_view data) override;
  StoreStatus Remove(const FolderPath& folder, std::string_view name) override;
  StoreStatus MakeFolder(const FolderPath& folder, std::string_view name) override;
  StoreStatus Rename(const FolderPath& folder, std::string_view from, std::string_view to) override;
  StoreStatus SetAttributes(const FolderPath& folder, std::string_view name,
                            std::string_view attributes) override;
  uint64_t BytesStored() override;

 private:
  class Fd;
  StoreStatus OpenFolder(const FolderPath& folder, Fd& fd) const;
  StoreStatus StatAt(int dir, std::string_view name, Entry& entry) const;
  static std::string Key(const FolderPath& folder, std::string_view name);
  const std::string* AttributesOf(const std::string& key) const;

  int root_fd_ = -1;
  uint64_t temp_counter_ = 0;
  // Attributes by path from the root ("Pictures/a.jpg").
  std::map<std::string, std::string> attributes_;
};

}  // namespace quorvalen::sim
