// quorvalen mount: the phone's files as a folder, through FUSE, on one
// session held for the life of the mount.
//
// The file system runs single-threaded: the link serves one request at a
// time, so every operation waits its turn. Folder contents come from
// listings kept per folder for --cache-ttl seconds and dropped by our own
// changes there. A file read is fetched whole, once, by a streaming GET
// into a cache (memory up to a bound, then a temporary file) and served
// from there. A file written is kept in a temporary file and sent by one
// PUT when it is closed, so it appears on the phone whole or not at all.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "cli.h"
#include "connection.h"
#include "mount.h"
#include "quorvalen/byte_text.h"

namespace quorvalen::tool {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes of one file: in memory up to a bound, then in a temporary file.
class Contents {
 public:
  explicit Contents(size_t memory_bound) : bound_(memory_bound) {}
  ~Contents() {
    if (file_) std::fclose(file_);
  }
  Contents(const Contents&) = delete;
  Contents& operator=(const Contents&) = delete;

  uint64_t Size() const { return size_; }
  bool Append(std::string_view bytes) { return Write(size_, bytes.data(), bytes.size()); }
  bool Write(uint64_t at, const char* data, size_t n) {
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
  // Up to n bytes from at; -1 on a failed read.
  ssize_t Read(uint64_t at, char* out, size_t n) {
    if (at >= size_) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size_ - at));
    if (!file_) {
      std::memcpy(out, memory_.data() + at, n);
      return static_cast<ssize_t>(n);
    }
    std::fflush(file_);
    const ssize_t got = pread(fileno(file_), out, n, static_cast<off_t>(at));
    return got;
  }
  bool Resize(uint64_t size) {
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
  // The whole of it, for a PUT (the session sends a file from memory).
  bool All(std::string& out) {
    out.resize(static_cast<size_t>(size_));
    return size_ == 0 || Read(0, out.data(), out.size()) == static_cast<ssize_t>(size_);
  }

 private:
  // From memory to a temporary file.
  bool Spill() {
    file_ = std::tmpfile();
    if (!file_ || (!memory_.empty() &&
                   std::fwrite(memory_.data(), 1, memory_.size(), file_) != memory_.size())) {
      return false;
    }
    memory_ = std::string();
    return true;
  }

  size_t bound_;
  std::string memory_;
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
};

// One file as the mount holds it: fetched for reading, or being written.
// Open handles point at it, whatever its name becomes.
struct Held {
  std::string path;  // its name now; empty once unlinked
  std::unique_ptr<Contents> contents;
  bool fetched = false;  // the phone's bytes are in contents
  bool dirty = false;    // contents differ from the phone's: PUT on close
  bool on_phone = false; // the phone has a file of this name
  bool hidden = false;   // removed while open: its bytes never go anywhere
  int handles = 0;
  std::string permissions;  // set before the file reached the phone
};
using HeldPtr = std::shared_ptr<Held>;

class PhoneFs {
 public:
  PhoneFs(Session& session, const MountOptions& options, bool to_syslog)
      : session_(session), options_(options), syslog_(to_syslog) {}

  void Log(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    if (syslog_) {
      vsyslog(LOG_ERR, format, args);
    } else {
      std::fputs("quorvalen mount: ", stderr);
      std::vfprintf(stderr, format, args);
      std::fputc('\n', stderr);
    }
    va_end(args);
  }

  // Runs one operation on the session and turns its failure into an
  // errno (and a line in the log for what is not the phone's plain no).
  template <typename Work>
  int Guard(const char* what, const std::string& path, Work work) {
    if (!session_.IsOpen()) return -EIO;  // the phone is gone: fail at once
    try {
      return work();
    } catch (const SessionError& e) {
      last_error_ = e.what();
      const int error = Errno(e);
      if (error == EIO) Log("%s %s: %s", what, path.c_str(), e.what());
      if (!session_.IsOpen()) Log("the phone is gone; every further operation fails");
      return -error;
    }
  }

  int GetAttr(const char* path_or_null, struct stat* st, fuse_file_info* fi) {
    std::memset(st, 0, sizeof *st);
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_nlink = 1;
    // An open file (its name may be gone already): what it holds now.
    HeldPtr held = fi ? Handle(fi) : nullptr;
    if (!held && path_or_null) held = ByPath(path_or_null);
    auto held_file = [&] {
      st->st_mode = S_IFREG | 0644;
      st->st_size = static_cast<off_t>(held->contents->Size());
      st->st_mtime = st->st_ctime = std::time(nullptr);
      return 0;
    };
    if (held && (held->dirty || !path_or_null || !held->on_phone)) return held_file();
    if (!path_or_null) return -EBADF;
    const std::string path = path_or_null;
    if (path == "/") {
      st->st_mode = S_IFDIR | 0755;
      st->st_nlink = 2;
      return 0;
    }
    return Guard("stat", path, [&] {
      std::optional<RemoteEntry> entry = Find(path);
      if (!entry && held) return held_file();  // gone from the phone, still open here
      if (!entry) return -ENOENT;
      const bool writable = entry->permissions.empty() ||
                            entry->permissions.find('W') != std::string::npos;
      st->st_mode = entry->folder ? S_IFDIR | (writable ? 0755 : 0555)
                                  : S_IFREG | (writable ? 0644 : 0444);
      st->st_nlink = entry->folder ? 2 : 1;
      st->st_size = static_cast<off_t>(entry->size);
      st->st_blocks = static_cast<blkcnt_t>((entry->size + 511) / 512);
      if (entry->modified) st->st_mtime = st->st_ctime = st->st_atime = *entry->modified;
      // A file being read shows the length of its bytes.
      if (held && held->fetched) st->st_size = static_cast<off_t>(held->contents->Size());
      return 0;
    });
  }

  int ReadDir(const std::string& path, void* buffer, fuse_fill_dir_t fill) {
    return Guard("list", path, [&] {
      const FolderListing& listing = List(path);
      fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
      fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
      for (const RemoteEntry& entry : listing.entries) {
        fill(buffer, entry.name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
      }
      // Files written but not yet closed are there too.
      for (const auto& [held_path, held] : by_path_) {
        if (held->dirty && !held->on_phone && !held->hidden && Parent(held_path) == path) {
          fill(buffer, Name(held_path).c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        }
      }
      return 0;
    });
  }

  int Open(const std::string& path, fuse_file_info* fi) {
    if (int bad = CheckName(path)) return bad;
    return Guard("open", path, [&] {
      HeldPtr held = ByPath(path);
      if (!held) {
        std::optional<RemoteEntry> entry = Find(path);
        if (!entry) return -ENOENT;
        if (entry->folder) return -EISDIR;
        held = Hold(path);
        held->on_phone = true;
        // Bytes kept from a recent reading serve while the phone lists the
        // file with their size.
        if (held->fetched && held->contents->Size() != entry->size) held->fetched = false;
      }
      const int access = fi->flags & O_ACCMODE;
      if (fi->flags & O_TRUNC) {
        if (!held->contents->Resize(0)) return -EIO;
        held->fetched = false;
        held->dirty = true;
      } else if (access != O_RDONLY && !held->fetched && !held->dirty) {
        // Changing a part of a file: its bytes first.
        if (int error = Fetch(*held)) {
          Forget(*held);
          return error;
        }
      }
      Attach(held, fi);
      fi->keep_cache = 0;
      return 0;
    });
  }

  int Create(const std::string& path, fuse_file_info* fi) {
    if (int bad = CheckName(path)) return bad;
    HeldPtr held = ByPath(path);
    if (!held) held = Hold(path);
    if (!held->contents->Resize(0)) return -EIO;
    held->fetched = false;
    held->dirty = true;
    Attach(held, fi);
    return 0;
  }

  int Read(fuse_file_info* fi, char* out, size_t size, off_t offset) {
    HeldPtr held = Handle(fi);
    if (!held) return -EBADF;
    if (!held->fetched && !held->dirty) {
      if (held->path.empty()) return -ENOENT;
      if (int error = Fetch(*held)) return error;
    }
    const ssize_t n = held->contents->Read(static_cast<uint64_t>(offset), out, size);
    return n < 0 ? -EIO : static_cast<int>(n);
  }

  int Write(fuse_file_info* fi, const char* data, size_t size, off_t offset) {
    HeldPtr held = Handle(fi);
    if (!held) return -EBADF;
    if (!held->contents->Write(static_cast<uint64_t>(offset), data, size)) {
      Log("write %s: the temporary file: %s", held->path.c_str(), std::strerror(errno));
      return -EIO;
    }
    held->dirty = true;
    return static_cast<int>(size);
  }

  int Truncate(const char* path_or_null, off_t size, fuse_file_info* fi) {
    HeldPtr held = fi ? Handle(fi) : nullptr;
    if (!held && path_or_null) held = ByPath(path_or_null);
    if (held && (held->fetched || held->dirty)) {
      // Open: cut there, sent when it is closed.
      if (!held->contents->Resize(static_cast<uint64_t>(size))) return -EIO;
      held->dirty = true;
      return 0;
    }
    if (!path_or_null) return -EBADF;
    const std::string path = path_or_null;
    if (int bad = CheckName(path)) return bad;
    // A file nobody has open: fetch, cut, send.
    held = Hold(path);
    held->on_phone = true;
    int error = size == 0 ? 0 : Fetch(*held);
    if (!error && !held->contents->Resize(static_cast<uint64_t>(size))) error = -EIO;
    if (!error) {
      held->dirty = true;
      error = Flush(*held);
    }
    Forget(*held);
    return error;
  }

  // A close: a file written is sent whole now; its failure fails the close.
  int Flush(fuse_file_info* fi) {
    HeldPtr held = Handle(fi);
    return held ? Flush(*held) : 0;
  }

  void Release(fuse_file_info* fi) {
    auto it = open_.find(fi->fh);
    if (it == open_.end()) return;
    HeldPtr held = it->second;
    open_.erase(it);
    if (held->dirty) Flush(*held);
    if (--held->handles <= 0) {
      if (held->fetched && !held->dirty && !held->path.empty()) {
        KeepRecent(held->path, std::move(held->contents));
      }
      Forget(*held);
    }
  }

  int Unlink(const std::string& path) {
    if (int bad = CheckName(path)) return bad;
    HeldPtr held = ByPath(path);
    if (held) {
      Detach(*held);
      if (!held->on_phone) return 0;
    }
    return Guard("rm", path, [&] {
      std::optional<RemoteEntry> entry = Find(path);
      if (!entry) return held ? 0 : -ENOENT;
      if (entry->folder) return -EISDIR;
      session_.Remove(path);
      Forget(Parent(path));
      return 0;
    });
  }

  int MakeDir(const std::string& path) {
    if (int bad = CheckName(path)) return bad;
    return Guard("mkdir", path, [&] {
      if (Find(path)) return -EEXIST;
      session_.MakeFolder(path);
      Forget(Parent(path));
      return 0;
    });
  }

  int RemoveDir(const std::string& path) {
    if (int bad = CheckName(path)) return bad;
    return Guard("rmdir", path, [&] {
      std::optional<RemoteEntry> entry = Find(path);
      if (!entry) return -ENOENT;
      if (!entry->folder) return -ENOTDIR;
      if (!List(path).entries.empty()) return -ENOTEMPTY;
      session_.Remove(path);
      Forget(Parent(path));
      Forget(path);
      return 0;
    });
  }

  int Rename(const std::string& from, const std::string& to, unsigned flags) {
    if (int bad = CheckName(from)) return bad;
    if (int bad = CheckName(to)) return bad;
    // The phone renames within a folder only; mv copies on EXDEV.
    if (flags != 0) return -EINVAL;
    if (Parent(from) != Parent(to)) return -EXDEV;
    if (from == to) return 0;
    HeldPtr held = ByPath(from);
    if (held && Name(to).rfind(".fuse_hidden", 0) == 0) {
      // The library hides a file removed while open under a name of its
      // own until the last handle closes: removed from the phone now, its
      // bytes kept here for the handles.
      const int removed = Unlink(from);
      held->path = to;
      held->hidden = true;
      held->on_phone = false;
      by_path_[to] = held;
      return removed;
    }
    if (held && !held->on_phone) {
      // Not on the phone yet: it takes the new name when it is sent.
      if (HeldPtr other = ByPath(to)) Unlink(to);
      Rekey(from, to);
      return 0;
    }
    bool replaced = false;
    const int result = Guard("mv", from, [&] {
      std::optional<RemoteEntry> source = Find(from);
      if (!source) return -ENOENT;
      if (std::optional<RemoteEntry> target = Find(to)) {
        // rename replaces what it lands on: an empty folder by a folder, a
        // file by a file.
        if (target->folder != source->folder) return target->folder ? -EISDIR : -ENOTDIR;
        if (target->folder && !List(to).entries.empty()) return -ENOTEMPTY;
        session_.Remove(to);
        replaced = true;
        Forget(Parent(to));
      }
      // What was held under the new name is replaced too.
      if (HeldPtr other = ByPath(to)) Detach(*other);
      session_.Rename(from, to);
      Forget(Parent(from));
      Rekey(from, to);
      return 0;
    });
    if (result != 0 && replaced) {
      Log("mv %s %s failed after %s was removed to make room: %s", from.c_str(), to.c_str(),
          to.c_str(), last_error_.c_str());
    }
    return result;
  }

  int StatFs(struct statvfs* st) {
    return Guard("df", "/", [&] {
      const MemoryInfo memory = session_.Memory();
      std::memset(st, 0, sizeof *st);
      st->f_bsize = st->f_frsize = 512;
      st->f_blocks = memory.total / 512;
      st->f_bfree = st->f_bavail = memory.free / 512;
      st->f_namemax = 123;
      return 0;
    });
  }

  int Chmod(const std::string& path, mode_t mode) {
    if (int bad = CheckName(path)) return bad;
    // The phone keeps read, write and delete; the owner's write bit stands
    // for the last two.
    const std::string letters = (mode & S_IWUSR) ? "RWD" : "R";
    if (HeldPtr held = ByPath(path); held && !held->on_phone) {
      held->permissions = letters;  // given once the file is there
      return 0;
    }
    return Guard("chmod", path, [&] {
      session_.SetPermissions(path, letters);
      Forget(Parent(path));
      return 0;
    });
  }

 private:
  static std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
  static std::string Name(const std::string& path) { return path.substr(path.rfind('/') + 1); }
  static bool Within(const std::string& path, const std::string& folder) {
    return path == folder || path.rfind(folder + "/", 0) == 0;
  }

  // Names are UTF-8 here and Latin-1 on the wire: what Latin-1 cannot
  // carry is refused before anything is sent.
  static int CheckName(const std::string& path) {
    return Utf8ToLatin1(path) ? 0 : -EILSEQ;
  }

  static int Errno(const SessionError& e) {
    switch (e.Kind()) {
      case SessionErrorKind::kRefused:
        switch (e.Code()) {
          case 0xC4: return ENOENT;
          case 0xC1: case 0xC3: return EACCES;
          case 0xC9: return EEXIST;
          case 0xCD: return EFBIG;
          case 0xCE: return ENAMETOOLONG;
          case 0xE0: return ENOSPC;
          default: return EIO;
        }
      case SessionErrorKind::kBadName:
        return EINVAL;
      default:
        return EIO;
    }
  }

  int Flush(Held& held) {
    if (!held.dirty || held.path.empty() || held.hidden) return 0;
    const std::string path = held.path;
    std::string data;
    if (!held.contents->All(data)) {
      Log("put %s: the temporary file cannot be read", path.c_str());
      return -EIO;
    }
    last_error_.clear();
    const int result = Guard("put", path, [&] {
      session_.Put(SourceOf(data), data.size(), path);
      if (!held.permissions.empty() && held.permissions != "RWD") {
        session_.SetPermissions(path, held.permissions);
      }
      return 0;
    });
    Forget(Parent(path));
    // Said once: the bytes stay for the open handles, not sent again.
    held.dirty = false;
    if (result == 0) {
      held.fetched = true;
      held.on_phone = true;
    } else {
      held.fetched = false;
      Log("put %s failed (%s): the file is not on the phone as written", path.c_str(),
          last_error_.empty() ? "the phone is gone" : last_error_.c_str());
    }
    return result;
  }

  const FolderListing& List(const std::string& folder) {
    auto it = listings_.find(folder);
    if (it != listings_.end() && Clock::now() < it->second.second) return it->second.first;
    FolderListing listing = session_.List(folder);
    const auto until = Clock::now() + TimeToLive();
    return (listings_[folder] = {std::move(listing), until}).first;
  }
  // Our own change in a folder: its listing and the files kept from it go.
  void Forget(const std::string& folder) {
    listings_.erase(folder);
    std::erase_if(recent_, [&](const auto& entry) { return Parent(entry.first) == folder; });
  }
  std::chrono::milliseconds TimeToLive() const {
    return std::chrono::milliseconds(static_cast<int64_t>(options_.cache_ttl * 1000));
  }

  std::optional<RemoteEntry> Find(const std::string& path) {
    if (path == "/") {
      RemoteEntry root;
      root.folder = true;
      return root;
    }
    const std::string parent = Parent(path);
    if (parent != "/") {
      std::optional<RemoteEntry> folder = Find(parent);
      if (!folder || !folder->folder) return std::nullopt;
    }
    const std::string name = Name(path);
    for (const RemoteEntry& entry : List(parent).entries) {
      if (entry.name == name) return entry;
    }
    return std::nullopt;
  }

  HeldPtr ByPath(const std::string& path) const {
    auto it = by_path_.find(path);
    return it == by_path_.end() ? nullptr : it->second;
  }
  HeldPtr Handle(const fuse_file_info* fi) const {
    auto it = open_.find(fi->fh);
    return it == open_.end() ? nullptr : it->second;
  }
  void Attach(const HeldPtr& held, fuse_file_info* fi) {
    fi->fh = ++last_handle_;
    open_[fi->fh] = held;
    ++held->handles;
  }

  // A new held file under its name, with the bytes of a recent reading
  // when there are some.
  HeldPtr Hold(const std::string& path) {
    auto held = std::make_shared<Held>();
    held->path = path;
    auto recent = recent_.find(path);
    if (recent != recent_.end() && Clock::now() < recent->second.until) {
      held->contents = std::move(recent->second.contents);
      held->fetched = true;
    } else {
      held->contents = std::make_unique<Contents>(options_.memory_bound);
    }
    if (recent != recent_.end()) recent_.erase(recent);
    by_path_[path] = held;
    return held;
  }
  // Removed or replaced under its name: open handles keep its bytes
  // (fetched now if they were not yet), and nothing more goes to the phone.
  void Detach(Held& held) {
    if (held.on_phone && !held.fetched && !held.dirty) Fetch(held);
    Forget(held);
    held.path.clear();
    held.dirty = false;
  }
  // The name no longer leads to it (open handles still do).
  void Forget(Held& held) {
    auto it = by_path_.find(held.path);
    if (it != by_path_.end() && it->second.get() == &held) by_path_.erase(it);
  }
  // A rename: held files at or below from, and what was cached there, move.
  void Rekey(const std::string& from, const std::string& to) {
    std::vector<HeldPtr> moved;
    for (auto it = by_path_.begin(); it != by_path_.end();) {
      if (Within(it->first, from)) {
        moved.push_back(it->second);
        it = by_path_.erase(it);
      } else {
        ++it;
      }
    }
    for (const HeldPtr& held : moved) {
      held->path = to + held->path.substr(from.size());
      by_path_[held->path] = held;
    }
    std::erase_if(listings_, [&](const auto& entry) { return Within(entry.first, from); });
    std::erase_if(recent_, [&](const auto& entry) { return Within(entry.first, from); });
  }

  // A file read and closed is kept for the listings' time, so that the
  // next reader (a file manager opens a file more than once) is served
  // without fetching it again; a few files at the most.
  void KeepRecent(const std::string& path, std::unique_ptr<Contents> contents) {
    if (options_.cache_ttl <= 0 || !contents) return;
    constexpr size_t kRecentFiles = 8;
    if (recent_.size() >= kRecentFiles) {
      auto oldest = std::min_element(recent_.begin(), recent_.end(), [](const auto& a, const auto& b) {
        return a.second.until < b.second.until;
      });
      recent_.erase(oldest);
    }
    recent_[path] = {std::move(contents), Clock::now() + TimeToLive()};
  }

  int Fetch(Held& held) {
    if (!held.contents->Resize(0)) return -EIO;
    bool local_failure = false;
    const int result = Guard("get", held.path, [&] {
      session_.Get(held.path, [&](std::string_view bytes) {
        if (!held.contents->Append(bytes)) {
          local_failure = true;
          throw SessionError(SessionErrorKind::kLocal, "the cache cannot take the file");
        }
      });
      return 0;
    });
    if (result != 0) {
      held.contents->Resize(0);
      if (local_failure) Log("get %s: the cache's temporary file failed", held.path.c_str());
      return result;
    }
    held.fetched = true;
    return 0;
  }

  Session& session_;
  MountOptions options_;
  bool syslog_;
  std::string last_error_;  // what the last failed operation said
  std::map<std::string, std::pair<FolderListing, Clock::time_point>> listings_;
  std::map<std::string, HeldPtr> by_path_;   // held files by their name
  std::map<uint64_t, HeldPtr> open_;         // by open handle
  uint64_t last_handle_ = 0;
  struct Recent {
    std::unique_ptr<Contents> contents;
    Clock::time_point until;
  };
  std::map<std::string, Recent> recent_;
};

PhoneFs& Fs() { return *static_cast<PhoneFs*>(fuse_get_context()->private_data); }

// Every callback: no exception may cross into the C library.
template <typename Work>
int Safely(Work work) {
  try {
    return work();
  } catch (const std::exception& e) {
    Fs().Log("%s", e.what());
    return -EIO;
  }
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = [](fuse_conn_info*, fuse_config* config) -> void* {
    // Attributes come from our own listings, which we keep.
    config->attr_timeout = 1;
    config->entry_timeout = 1;
    config->negative_timeout = 0;
    // An unlinked file that is still open is renamed to a hidden name by
    // the library (see Rename), so that it can still be read and stat'ed.
    config->hard_remove = 0;
    return fuse_get_context()->private_data;
  };
  ops.getattr = [](const char* path, struct stat* st, fuse_file_info* fi) {
    return Safely([&] { return Fs().GetAttr(path, st, fi); });
  };
  ops.readdir = [](const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                   fuse_readdir_flags) {
    return Safely([&] { return Fs().ReadDir(path, buffer, fill); });
  };
  ops.open = [](const char* path, fuse_file_info* fi) {
    return Safely([&] { return Fs().Open(path, fi); });
  };
  ops.create = [](const char* path, mode_t, fuse_file_info* fi) {
    return Safely([&] { return Fs().Create(path, fi); });
  };
  ops.read = [](const char*, char* out, size_t size, off_t offset, fuse_file_info* fi) {
    return Safely([&] { return Fs().Read(fi, out, size, offset); });
  };
  ops.write = [](const char*, const char* data, size_t size, off_t offset, fuse_file_info* fi) {
    return Safely([&] { return Fs().Write(fi, data, size, offset); });
  };
  ops.truncate = [](const char* path, off_t size, fuse_file_info* fi) {
    return Safely([&] { return Fs().Truncate(path, size, fi); });
  };
  ops.flush = [](const char*, fuse_file_info* fi) {
    return Safely([&] { return Fs().Flush(fi); });
  };
  ops.fsync = [](const char*, int, fuse_file_info* fi) {
    return Safely([&] { return Fs().Flush(fi); });
  };
  ops.release = [](const char*, fuse_file_info* fi) {
    return Safely([&] {
      Fs().Release(fi);
      return 0;
    });
  };
  ops.unlink = [](const char* path) { return Safely([&] { return Fs().Unlink(path); }); };
  ops.mkdir = [](const char* path, mode_t) { return Safely([&] { return Fs().MakeDir(path); }); };
  ops.rmdir = [](const char* path) { return Safely([&] { return Fs().RemoveDir(path); }); };
  ops.rename = [](const char* from, const char* to, unsigned flags) {
    return Safely([&] { return Fs().Rename(from, to, flags); });
  };
  ops.statfs = [](const char*, struct statvfs* st) {
    return Safely([&] { return Fs().StatFs(st); });
  };
  ops.chmod = [](const char* path, mode_t mode, fuse_file_info*) {
    return Safely([&] { return path ? Fs().Chmod(path, mode) : 0; });
  };
  // The phone sets its own times; touch and cp -p are not refused.
  ops.utimens = [](const char*, const timespec*, fuse_file_info*) { return 0; };
  ops.chown = [](const char*, uid_t, gid_t, fuse_file_info*) { return 0; };
  return ops;
}

// Mounts, serves until unmounted or told to stop, unmounts. ready is
// called once the mount is in place (or with the reason it is not).
int Serve(Session& session, const MountOptions& options, bool to_syslog,
          const std::function<void(const std::string& error)>& ready) {
  PhoneFs fs(session, options, to_syslog);
  const fuse_operations ops = Operations();
  std::string fs_options = "fsname=quorvalen,subtype=quorvalen";
  const char* argv[] = {"quorvalen", "-o", fs_options.c_str()};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  fuse* f = fuse_new(&args, &ops, sizeof ops, &fs);
  if (!f) {
    ready("the file system could not be set up");
    return kExitLocal;
  }
  if (fuse_mount(f, options.mountpoint.c_str()) != 0) {
    fuse_destroy(f);
    ready("cannot mount on " + options.mountpoint + " (does it exist, and may FUSE mount here?)");
    return kExitLocal;
  }
  fuse_session* se = fuse_get_session(f);
  fuse_set_signal_handlers(se);
  ready({});
  const int loop = fuse_loop(f);
  fuse_remove_signal_handlers(se);
  fuse_unmount(f);
  fuse_destroy(f);
  return loop == 0 ? kExitDone : kExitLocal;
}

}  // namespace

int RunMount(Cli& cli, const GlobalOptions& global, const MountOptions& options) {
  struct stat st {};
  if (stat(options.mountpoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    cli.Error("mount: " + options.mountpoint + " is not a folder");
    return kExitUsage;
  }
  if (options.foreground) {
    Connection connection(global);
    std::unique_ptr<Session> session;
    try {
      session = connection.Open();
    } catch (const SessionError& e) {
      return cli.Fail(e);
    }
    const int status = Serve(*session, options, false, [&](const std::string& error) {
      if (!error.empty()) {
        cli.Error("mount: " + error);
      } else if (!cli.quiet) {
        cli.Note("mounted on " + options.mountpoint + "; fusermount3 -u " + options.mountpoint +
                 " or Ctrl-C unmounts");
      }
    });
    session->Close();
    return status;
  }
  // Detached: a child holds the session and the mount; this process waits
  // until the mount is ready (or says why not) and returns.
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) {
    cli.Error("mount: " + std::string(std::strerror(errno)));
    return kExitLocal;
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    cli.Error("mount: " + std::string(std::strerror(errno)));
    return kExitLocal;
  }
  if (child > 0) {
    close(pipe_fds[1]);
    std::string report;
    char buffer[512];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) report.append(buffer, n);
    close(pipe_fds[0]);
    if (report.size() >= 2 && report.rfind("OK", 0) == 0) {
      if (!cli.quiet) cli.Note("mounted on " + options.mountpoint + "; fusermount3 -u " +
                               options.mountpoint + " unmounts");
      return kExitDone;
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!report.empty()) cli.Error(report.substr(report.find(' ') + 1));
    return WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : kExitLink;
  }
  close(pipe_fds[0]);
  setsid();
  auto tell = [&](int code, const std::string& text) {
    const std::string line = (code == 0 ? "OK " : "NO ") + text;
    [[maybe_unused]] ssize_t w = write(pipe_fds[1], line.data(), line.size());
    close(pipe_fds[1]);
    pipe_fds[1] = -1;
  };
  int status;
  {
    // The daemon leaves the folder it was started from (so that it can be
    // unmounted): the paths it keeps using are made absolute first.
    GlobalOptions daemon_global = global;
    MountOptions daemon_options = options;
    std::error_code ignored;
    if (!daemon_global.sim_root.empty()) {
      daemon_global.sim_root = std::filesystem::absolute(daemon_global.sim_root, ignored);
    }
    daemon_options.mountpoint = std::filesystem::absolute(options.mountpoint, ignored);
    Connection connection(daemon_global);
    std::unique_ptr<Session> session;
    try {
      session = connection.Open();
    } catch (const SessionError& e) {
      // Still on the terminal: said here, the exit code goes to the parent.
      const int code = cli.Fail(e);
      std::fflush(nullptr);
      close(pipe_fds[1]);
      _exit(code);
    }
    openlog("quorvalen", LOG_PID, LOG_USER);
    status = Serve(*session, daemon_options, true, [&](const std::string& error) {
      if (!error.empty()) {
        tell(1, "mount: " + error);
        return;
      }
      tell(0, "");
      // Detached from the terminal and its folder from here on.
      [[maybe_unused]] const int root = chdir("/");
      const int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) close(null);
      }
    });
    session->Close();
  }
  if (pipe_fds[1] >= 0) tell(1, "mount: ended before it was ready");
  _exit(status);
}

}  // namespace quorvalen::tool
