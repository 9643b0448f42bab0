// The store over a directory on disk. Every path is walked one folder at a
// time from a descriptor of the root with O_NOFOLLOW, so neither a name nor a
// symbolic link planted in the tree can lead outside it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "quorvalen/sim/file_store.h"

namespace quorvalen::sim {

class DiskStore::Fd {
 public:
  Fd() = default;
  ~Fd() { Reset(-1); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int Get() const { return fd_; }

 private:
  int fd_ = -1;
};

namespace {

StoreStatus FromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
      return StoreStatus::kNotFound;
    case EEXIST:
      return StoreStatus::kExists;
    case ENOTEMPTY:
      return StoreStatus::kNotEmpty;
    case ENAMETOOLONG:
      return StoreStatus::kBadName;
    case EACCES:
    case EPERM:
    case EROFS:
      return StoreStatus::kForbidden;
    case ENOSPC:
    case EDQUOT:
      return StoreStatus::kNoSpace;
    default:
      return StoreStatus::kIoError;
  }
}

bool Visible(const struct stat& st) { return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode); }

// Lists the names a store may show, with their lstat data; false when the
// folder cannot be read.
template <typename Visit>
bool ForEachEntry(int dir, Visit visit) {
  // A fresh open, not a dup: a dup would share (and leave at the end) the
  // reading position of the caller's descriptor.
  int copy = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return false;
  DIR* stream = ::fdopendir(copy);
  if (stream == nullptr) {
    ::close(copy);
    return false;
  }
  while (const dirent* item = ::readdir(stream)) {
    std::string_view name = item->d_name;
    if (!ValidName(name)) continue;  // also hides our temporary files
    struct stat st;
    if (::fstatat(dir, item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !Visible(st)) continue;
    visit(name, st);
  }
  ::closedir(stream);
  return true;
}

uint64_t BytesUnder(int dir, int depth) {
  uint64_t total = 0;
  ForEachEntry(dir, [&](std::string_view name, const struct stat& st) {
    if (S_ISREG(st.st_mode)) {
      total += static_cast<uint64_t>(st.st_size);
    } else if (depth < 64) {
      int sub =
          ::openat(dir, std::string(name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) {
        total += BytesUnder(sub, depth + 1);
        ::close(sub);
      }
    }
  });
  return total;
}

bool WriteAll(int fd, std::string_view data, int& error) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

DiskStore::DiskStore(const std::string& root_dir) {
  root_fd_ = ::open(root_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root_fd_ < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open folder " + root_dir);
  }
}

DiskStore::~DiskStore() { ::close(root_fd_); }

std::string DiskStore::Key(const FolderPath& folder, std::string_view name) {
  std::string key;
  for (const std::string& part : folder) key += part + "/";
  key += name;
  return key;
}

const std::string* DiskStore::AttributesOf(const std::string& key) const {
  auto it = attributes_.find(key);
  return it == attributes_.end() ? nullptr : &it->second;
}

StoreStatus DiskStore::OpenFolder(const FolderPath& folder, Fd& fd) const {
  fd.Reset(::fcntl(root_fd_, F_DUPFD_CLOEXEC, 0));
  if (fd.Get() < 0) return FromErrno(errno);
  for (const std::string& name : folder) {
    if (!ValidName(name)) return StoreStatus::kBadName;
    int next = ::openat(fd.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return FromErrno(errno);
    fd.Reset(next);
  }
  return StoreStatus::kOk;
}

StoreStatus DiskStore::StatAt(int dir, std::string_view name, Entry& entry) const {
  struct stat st;
  if (::fstatat(dir, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return FromErrno(errno);
  }
  if (!Visible(st)) return StoreStatus::kNotFound;
  entry = Entry();
  entry.name = std::string(name);
  entry.folder = S_ISDIR(st.st_mode);
  entry.size = entry.folder ? 0 : static_cast<uint64_t>(st.st_size);
  entry.modified = st.st_mtim.tv_sec;
  return StoreStatus::kOk;
}

StoreStatus DiskStore::List(const FolderPath& folder, std::vector<Entry>& entries) {
  entries.clear();
  Fd dir;
  if (StoreStatus status = OpenFolder(folder, dir); status != StoreStatus::kOk) return status;
  bool read = ForEachEntry(dir.Get(), [&](std::string_view name, const struct stat& st) {
    Entry entry;
    entry.name = std::string(name);
    entry.folder = S_ISDIR(st.st_mode);
    entry.size = entry.folder ? 0 : static_cast<uint64_t>(st.st_size);
    entry.modified = st.st_mtim.tv_sec;
    if (const std::string* attributes = AttributesOf(Key(folder, name))) {
      entry.attributes = *attributes;
    }
    entries.push_back(std::move(entry));
  });
  return read ? StoreStatus::kOk : FromErrno(errno);
}

StoreStatus DiskStore::Stat(const FolderPath& folder, std::string_view name, Entry& entry) {
  if (!ValidName(name)) return StoreStatus::kBadName;
  Fd dir;
  if (StoreStatus status = OpenFolder(folder, dir); status != StoreStatus::kOk) return status;
  if (StoreStatus status = StatAt(dir.Get(), name, entry); status != StoreStatus::kOk) {
    return status;
  }
  if (const std::string* attributes = AttributesOf(Key(folder, name))) {
    entry.attributes = *attributes;
  }
  return StoreStatus::kOk;
}

StoreStatus DiskStore::Read(const FolderPath& folder, std::string_view name, std::string& data) {
  if (!ValidName(name)) return StoreStatus::kBadName;
  Fd dir;
  if (StoreStatus status = OpenFolder(folder, dir); status != StoreStatus::kOk) return status;
  // O_NONBLOCK so that a FIFO planted in the tree cannot stall the phone.
  Fd file;
  file.Reset(::openat(dir.Get(), std::string(name).c_str(),
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.Get() < 0) return FromErrno(errno);
  struct stat st;
  if (::fstat(file.Get(), &st) != 0) return FromErrno(errno);
  if (!S_ISREG(st.st_mode)) return StoreStatus::kNotFound;
  data.clear();
  data.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(file.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  return StoreStatus::kOk;
}

StoreStatus DiskStore::Write(const FolderPath& folder, std::string_view name,
                             std::string_view data) {
  if (!ValidName(name)) return StoreStatus::kBadName;
  Fd dir;
  if (StoreStatus status = OpenFolder(folder, dir); status != StoreStatus::kOk) return status;
  const std::string target(name);
  struct stat st;
  if (::fstatat(dir.Get(), target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(st.st_mode)) return StoreStatus::kExists;
    if (!S_ISREG(st.st_mode)) return StoreStatus::kForbidden;
  } else if (errno != ENOENT) {
    return FromErrno(errno);
  }
  // The ':' keeps the temporary name out of listings and out of reach of
  // clients, whose names may not contain one.
  const std::string temp =
      ".partial:" + std::to_string(::getpid()) + ":" + std::to_string(++temp_counter_);
  Fd file;
  file.Reset(::openat(dir.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0644));
  if (file.Get() < 0) return FromErrno(errno);
  int error = 0;
  bool written = WriteAll(file.Get(), data, error);
  if (written && ::close(file.Get()) != 0) {
    written = false;
    error = errno;
  }
  file.Reset(-1);
  if (written && ::renameat(dir.Get(), temp.c_str(), dir.Get(), target.c_str()) != 0) {
    written = false;
    error = errno;
  }
  if (!written) {
    ::unlinkat(dir.Get(), temp.c_str(), 0);
    return FromErrno(error);
  }
  return StoreStatus::kOk;
}

StoreStatus DiskStore::Remove(const FolderPath& folder, std::string_view name) {
  if (!ValidName(name)) return StoreStatus::kBadName;
  Fd dir;
  if (StoreStatus status = OpenFolder(folder, dir); status != StoreStatus::kOk) return status;
  Entry entry;
  if (StoreStatus status = StatAt(dir.Get(), name, entry); status != StoreStatus::kOk) {
    return status;
  }
  if (::unlinkat(dir.Get(), entry.name.c_str(), entry.folder ? AT_REMOVEDIR : 0) != 0) {
    return errno == EEXIST ? StoreStatus::kNotEmpty : FromErrno(errno);
  }
  const std::string key = Key(folder, name);
  std::erase_if(attributes_, [&](const auto& item) {
    return item.first == key || item.first.starts_with(key + "/");
  });
  return StoreStatus::kOk;
}

StoreStatus DiskStore::MakeFolder(const FolderPath& folder, std::string_view name) {
  if (!ValidName(name)) return StoreStatus::kBadName;
  Fd dir;
  if (StoreStatus status = OpenFolder(folder, dir); status != StoreStatus::kOk) return status;
  if (::mkdirat(dir.Get(), std::string(name).c_str(), 0755) != 0) return FromErrno(errno);
  return StoreStatus::kOk;
}

StoreStatus DiskStore::Rename(const FolderPath& folder, std::string_view from,
                              std::string_view to) {
  if (!ValidName(from) || !ValidName(to)) return StoreStatus::kBadName;
  Fd dir;
  if (StoreStatus status = OpenFolder(folder, dir); status != StoreStatus::kOk) return status;
  Entry entry;
  if (StoreStatus status = StatAt(dir.Get(), from, entry); status != StoreStatus::kOk) {
    return status;
  }
  if (from == to) return StoreStatus::kOk;
  const std::string target(to);
  struct stat st;
  if (::fstatat(dir.Get(), target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    return StoreStatus::kExists;
  }
  if (errno != ENOENT) return FromErrno(errno);
  if (::renameat(dir.Get(), entry.name.c_str(), dir.Get(), target.c_str()) != 0) {
    return FromErrno(errno);
  }
  // Attributes move with the entry, and with everything under a folder.
  const std::string old_key = Key(folder, from);
  const std::string new_key = Key(folder, to);
  std::map<std::string, std::string> moved;
  for (auto it = attributes_.begin(); it != attributes_.end();) {
    const std::string& key = it->first;
    if (key == old_key || key.starts_with(old_key + "/")) {
      moved[new_key + key.substr(old_key.size())] = std::move(it->second);
      it = attributes_.erase(it);
    } else {
      ++it;
    }
  }
  attributes_.merge(moved);
  return StoreStatus::kOk;
}

StoreStatus DiskStore::SetAttributes(const FolderPath& folder, std::string_view name,
                                     std::string_view attributes) {
  Entry entry;
  if (StoreStatus status = Stat(folder, name, entry); status != StoreStatus::kOk) return status;
  if (attributes.empty()) {
    attributes_.erase(Key(folder, name));
  } else {
    attributes_[Key(folder, name)] = std::string(attributes);
  }
  return StoreStatus::kOk;
}

uint64_t DiskStore::BytesStored() { return BytesUnder(root_fd_, 0); }

}  // namespace quorvalen::sim
