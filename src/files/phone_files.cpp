#include "phone_files.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

#include "held_contents.h"

namespace quorvalen {
namespace {

SessionErrorKind KindOf(FileProblem problem) {
  switch (problem) {
    case FileProblem::kOtherFolder:
      return SessionErrorKind::kBadName;  // as the session says it
    case FileProblem::kBadHandle:
    case FileProblem::kCache:
      return SessionErrorKind::kLocal;
    default:
      return SessionErrorKind::kRefused;
  }
}

std::string Normal(const std::string& path) { return JoinRemotePath(SplitRemotePath(path)); }

std::string NameOf(const std::string& path) {
  const std::vector<std::string> names = SplitRemotePath(path);
  return names.empty() ? "/" : names.back();
}

// The path itself or anything below it.
bool Within(const std::string& path, const std::string& folder) {
  return path == folder || (path.size() > folder.size() && path[folder.size()] == '/' &&
                            path.compare(0, folder.size(), folder) == 0);
}

[[noreturn]] void Refuse(FileProblem problem, const std::string& path, const char* why) {
  throw FileError(problem, path + ": " + why);
}

}  // namespace

FileError::FileError(FileProblem problem, const std::string& message)
    : SessionError(KindOf(problem), message), problem_(problem) {}

// One file as the layer holds it: fetched for reading, or being written.
// Open handles point at it, whatever its name becomes.
struct PhoneFiles::Held {
  std::string path;  // its name now; empty once removed
  std::unique_ptr<HeldContents> contents;
  bool fetched = false;   // the phone's bytes are in contents
  bool dirty = false;     // contents differ from the phone's: PUT on flush
  bool on_phone = false;  // the phone has a file of this name
  bool hidden = false;    // removed while open: its bytes never go anywhere
  int handles = 0;
  std::string permissions;  // set before the file reached the phone
};

PhoneFiles::PhoneFiles(Session& session, FilesOptions options)
    : session_(&session), options_(std::move(options)) {}

PhoneFiles::~PhoneFiles() = default;

Session& PhoneFiles::Phone() {
  if (session_->IsOpen() || !options_.reopen) return *session_;
  const int64_t now = Now();
  if (tried_at_ && now < *tried_at_ + options_.reopen_ms) {
    throw SessionError(SessionErrorKind::kClosed,
                       "the phone is gone (it is looked for again every " +
                           std::to_string((options_.reopen_ms + 999) / 1000) + " s)");
  }
  tried_at_ = now;
  std::unique_ptr<Session> fresh = options_.reopen();
  // The phone may have changed while it was away: it is seen afresh. Files
  // held for open handles keep their bytes (a written one is sent on the
  // new session).
  listings_.clear();
  recent_.clear();
  reopened_ = std::move(fresh);
  session_ = reopened_.get();
  tried_at_.reset();
  if (options_.on_reopened) options_.on_reopened();
  return *session_;
}

int64_t PhoneFiles::Now() const {
  if (options_.clock) return options_.clock->MonotonicMs();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// ---- Listings

const FolderListing& PhoneFiles::List(const std::string& folder) {
  const std::string key = Normal(folder);
  auto it = listings_.find(key);
  if (it != listings_.end() &&
      (Now() < it->second.until || (command_ != 0 && it->second.command == command_))) {
    return it->second.listing;
  }
  FolderListing listing = Phone().List(key);
  if (options_.on_skipped) {
    for (const SkippedEntry& skipped : listing.skipped) options_.on_skipped(key, skipped);
  }
  CachedListing& cached = listings_[key];
  cached = {std::move(listing), Now() + options_.listing_ms, command_};
  return cached.listing;
}

std::optional<RemoteEntry> PhoneFiles::Find(const std::string& path) {
  std::vector<std::string> names = SplitRemotePath(path);
  if (names.empty()) {
    RemoteEntry root;
    root.name = "/";
    root.folder = true;
    return root;
  }
  const std::string name = std::move(names.back());
  names.pop_back();
  const std::string folder = JoinRemotePath(names);
  const FolderListing* listing = nullptr;
  try {
    listing = &List(folder);
  } catch (const SessionError& e) {
    if (e.Kind() == SessionErrorKind::kRefused) RefuseFileOnTheWay(path);
    throw;
  }
  for (const RemoteEntry& entry : listing->entries) {
    if (entry.name == name) return entry;
  }
  return std::nullopt;
}

std::optional<RemoteEntry> PhoneFiles::Resolve(const std::string& path) {
  const std::vector<std::string> names = SplitRemotePath(path);
  if (names.size() > 1) {
    std::optional<RemoteEntry> folder = Resolve(RemoteParent(path));
    if (!folder || !folder->folder) return std::nullopt;
  }
  return Find(path);
}

void PhoneFiles::BeginCommand() {
  ++command_;
  const int64_t now = Now();
  std::erase_if(listings_, [&](const auto& entry) { return entry.second.until <= now; });
}

void PhoneFiles::Forget(const std::string& folder) { listings_.erase(Normal(folder)); }

void PhoneFiles::Changed(const std::string& path) {
  const std::string parent = RemoteParent(path);
  std::erase_if(listings_, [&](const auto& entry) {
    return entry.first == parent || Within(entry.first, path);
  });
  std::erase_if(recent_, [&](const auto& entry) {
    return RemoteParent(entry.first) == parent || Within(entry.first, path);
  });
}

// ---- The phone's operations

void PhoneFiles::Put(const Source& source, uint64_t size, const std::string& path,
                     const Progress& progress, const Restart& restart) {
  try {
    Phone().Put(source, size, path, progress, restart);
  } catch (const SessionError& e) {
    if (e.Kind() == SessionErrorKind::kRefused) RefuseFileOnTheWay(path);
    throw;
  }
  Changed(Normal(path));
}

void PhoneFiles::RefuseFileOnTheWay(const std::string& path) {
  // The phone answers a folder change into a file as into nothing ("not
  // found"); its parent's listing tells the two apart.
  const std::vector<std::string> names = SplitRemotePath(path);
  for (size_t i = 1; i < names.size(); ++i) {
    const std::string folder = JoinRemotePath({names.begin(), names.begin() + i});
    std::optional<RemoteEntry> entry;
    try {
      entry = Find(folder);
    } catch (const SessionError&) {
      return;  // the first failure is the one to tell
    }
    if (!entry) return;
    if (!entry->folder) throw FileError(FileProblem::kNotFolder, folder + " is not a folder");
  }
}

void PhoneFiles::Remove(const std::string& path) {
  Phone().Remove(path);
  Changed(Normal(path));
}

void PhoneFiles::MakeFolder(const std::string& path) {
  Phone().MakeFolder(path);
  Changed(Normal(path));
}

void PhoneFiles::Rename(const std::string& from, const std::string& to) {
  Phone().Rename(from, to);
  const std::string source = Normal(from);
  Changed(source);
  // A bare name stays in the folder, as the session reads it.
  Rekey(source,
        to.find('/') == std::string::npos ? RemoteChild(RemoteParent(source), to) : Normal(to));
}

void PhoneFiles::SetPermissions(const std::string& path, const std::string& letters) {
  Phone().SetPermissions(path, letters);
  Changed(Normal(path));
}

// ---- Held files

PhoneFiles::HeldPtr PhoneFiles::ByPath(const std::string& path) const {
  auto it = by_path_.find(path);
  return it == by_path_.end() ? nullptr : it->second;
}

PhoneFiles::HeldPtr PhoneFiles::Lookup(FileHandle handle) const {
  auto it = by_handle_.find(handle);
  return it == by_handle_.end() ? nullptr : it->second;
}

PhoneFiles::HeldPtr PhoneFiles::ByHandle(FileHandle handle) const {
  HeldPtr held = Lookup(handle);
  if (!held) {
    throw FileError(FileProblem::kBadHandle, "handle " + std::to_string(handle) + " is not open");
  }
  return held;
}

FileHandle PhoneFiles::Attach(const HeldPtr& held) {
  by_handle_[++last_handle_] = held;
  ++held->handles;
  return last_handle_;
}

// A new held file under its name, with the bytes of a recent reading when
// there are some.
PhoneFiles::HeldPtr PhoneFiles::Hold(const std::string& path) {
  auto held = std::make_shared<Held>();
  held->path = path;
  auto recent = recent_.find(path);
  if (recent != recent_.end() && Now() < recent->second.until) {
    held->contents = std::move(recent->second.contents);
    held->fetched = true;
  } else {
    held->contents = std::make_unique<HeldContents>(options_.memory_bound);
  }
  if (recent != recent_.end()) recent_.erase(recent);
  by_path_[path] = held;
  return held;
}

// Removed or replaced under its name: open handles keep its bytes
// (fetched now if they were not yet), and nothing more goes to the phone.
void PhoneFiles::Detach(Held& held) {
  if (held.on_phone && !held.fetched && !held.dirty) {
    try {
      Fetch(held);
    } catch (const SessionError&) {
      // Its handles find it gone when they read.
    }
  }
  Unname(held);
  held.path.clear();
  held.dirty = false;
}

// The name no longer leads to it (open handles still do).
void PhoneFiles::Unname(Held& held) {
  auto it = by_path_.find(held.path);
  if (it != by_path_.end() && it->second.get() == &held) by_path_.erase(it);
}

// A rename: held files at or below from move with it.
void PhoneFiles::Rekey(const std::string& from, const std::string& to) {
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
}

// A file read and closed is kept for the listings' time, so that the next
// reader (a file manager opens a file more than once) is served without
// fetching it again.
void PhoneFiles::KeepRecent(const std::string& path, std::unique_ptr<HeldContents> contents) {
  if (options_.listing_ms <= 0 || options_.recent_files == 0 || !contents) return;
  if (recent_.size() >= options_.recent_files) {
    auto oldest = std::min_element(
        recent_.begin(), recent_.end(),
        [](const auto& a, const auto& b) { return a.second.until < b.second.until; });
    recent_.erase(oldest);
  }
  recent_[path] = {std::move(contents), Now() + options_.listing_ms};
}

void PhoneFiles::Fetch(Held& held) {
  if (!held.contents->Resize(0)) Refuse(FileProblem::kCache, held.path, "the cache failed");
  try {
    Phone().Get(
        held.path,
        [&](std::string_view bytes) {
          if (!held.contents->Append(bytes)) {
            Refuse(FileProblem::kCache, held.path,
                   "the cache's temporary file cannot take the file");
          }
        },
        {}, [&] { return held.contents->Resize(0); });
  } catch (...) {
    held.contents->Resize(0);
    throw;
  }
  held.fetched = true;
}

void PhoneFiles::Send(Held& held) {
  if (!held.dirty || held.path.empty() || held.hidden) return;
  const std::string path = held.path;
  // Read from where they are held (memory or the temporary file) straight
  // into the PUT, from the start again for each try.
  HeldContents& contents = *held.contents;
  uint64_t at = 0;
  const Source source = [&](char* buffer, size_t size) {
    const ssize_t n = contents.Read(at, buffer, size);
    if (n < 0) Refuse(FileProblem::kCache, "put " + path, "the temporary file cannot be read");
    at += static_cast<uint64_t>(n);
    return static_cast<size_t>(n);
  };
  // Said once: whatever happens, the bytes stay for the open handles and
  // are not sent again.
  held.dirty = false;
  held.fetched = false;
  try {
    Phone().Put(source, contents.Size(), path, {}, [&] {
      at = 0;
      return true;
    });
    if (!held.permissions.empty() && held.permissions != "RWD") {
      Phone().SetPermissions(path, held.permissions);
    }
  } catch (const FileError&) {
    Changed(path);
    throw;
  } catch (const SessionError& e) {
    Changed(path);
    throw SessionError(
        e.Kind(),
        "put " + path + " failed (" + e.what() + "): the file is not on the phone as written",
        e.Code(), e.AtFamily());
  }
  Changed(path);
  held.fetched = true;
  held.on_phone = true;
}

FileStatus PhoneFiles::HeldStatus(const Held& held) const {
  FileStatus status;
  status.entry.name = held.path.empty() ? "" : NameOf(held.path);
  status.entry.size = held.contents->Size();
  status.held_here = true;
  return status;
}

// ---- A file system's operations

std::optional<FileStatus> PhoneFiles::Stat(const std::string& path_in,
                                           std::optional<FileHandle> open) {
  const std::string path = Normal(path_in);
  HeldPtr held = open ? Lookup(*open) : nullptr;
  if (!held) held = ByPath(path);
  if (held && (held->dirty || !held->on_phone)) return HeldStatus(*held);
  std::optional<RemoteEntry> entry = Resolve(path);
  // Gone from the phone, still open here.
  if (!entry && held) return HeldStatus(*held);
  if (!entry) return std::nullopt;
  FileStatus status{*entry};
  // A file being read shows the length of its bytes.
  if (held && held->fetched) status.entry.size = held->contents->Size();
  return status;
}

FileStatus PhoneFiles::StatOpen(FileHandle handle) { return HeldStatus(*ByHandle(handle)); }

std::vector<std::string> PhoneFiles::HeldNames(const std::string& folder) const {
  const std::string key = Normal(folder);
  std::vector<std::string> names;
  for (const auto& [path, held] : by_path_) {
    if (held->dirty && !held->on_phone && !held->hidden && RemoteParent(path) == key) {
      names.push_back(NameOf(path));
    }
  }
  return names;
}

bool PhoneFiles::IsHeld(const std::string& path) const { return ByPath(Normal(path)) != nullptr; }

FileHandle PhoneFiles::Open(const std::string& path_in, OpenMode mode) {
  const std::string path = Normal(path_in);
  HeldPtr held = ByPath(path);
  if (!held) {
    std::optional<RemoteEntry> entry = Resolve(path);
    if (!entry) Refuse(FileProblem::kNotFound, path, "not found");
    if (entry->folder) Refuse(FileProblem::kIsFolder, path, "is a folder");
    held = Hold(path);
    held->on_phone = true;
    // Bytes kept from a recent reading serve while the phone lists the
    // file with their size.
    if (held->fetched && held->contents->Size() != entry->size) held->fetched = false;
  }
  if (mode.truncate) {
    if (!held->contents->Resize(0)) Refuse(FileProblem::kCache, path, "the cache failed");
    held->fetched = false;
    held->dirty = true;
  } else if (mode.write && !held->fetched && !held->dirty) {
    // Changing a part of a file: its bytes first.
    try {
      Fetch(*held);
    } catch (...) {
      if (held->handles == 0) Unname(*held);
      throw;
    }
  }
  return Attach(held);
}

FileHandle PhoneFiles::Create(const std::string& path_in) {
  const std::string path = Normal(path_in);
  HeldPtr held = ByPath(path);
  if (!held) held = Hold(path);
  if (!held->contents->Resize(0)) Refuse(FileProblem::kCache, path, "the cache failed");
  held->fetched = false;
  held->dirty = true;
  return Attach(held);
}

size_t PhoneFiles::Read(FileHandle handle, char* out, size_t size, uint64_t at) {
  HeldPtr held = ByHandle(handle);
  if (!held->fetched && !held->dirty) {
    if (held->path.empty()) Refuse(FileProblem::kNotFound, "the file", "is gone");
    Fetch(*held);
  }
  const ssize_t n = held->contents->Read(at, out, size);
  if (n < 0) Refuse(FileProblem::kCache, held->path, "the cache cannot be read");
  return static_cast<size_t>(n);
}

void PhoneFiles::Write(FileHandle handle, const char* data, size_t size, uint64_t at) {
  HeldPtr held = ByHandle(handle);
  if (!held->contents->Write(at, data, size)) {
    throw FileError(FileProblem::kCache,
                    held->path + ": the temporary file: " + std::strerror(errno));
  }
  held->dirty = true;
}

void PhoneFiles::TruncateOpen(FileHandle handle, uint64_t size) {
  HeldPtr held = ByHandle(handle);
  if (held->path.empty() && !held->fetched && !held->dirty) {
    Refuse(FileProblem::kNotFound, "the file", "is gone");
  }
  Truncate(held->path, size, handle);
}

void PhoneFiles::Truncate(const std::string& path_in, uint64_t size,
                          std::optional<FileHandle> open) {
  const std::string path = Normal(path_in);
  HeldPtr held = open ? Lookup(*open) : nullptr;
  if (!held) held = ByPath(path);
  if (held && (held->fetched || held->dirty)) {
    // Open: cut there, sent when it is flushed.
    if (!held->contents->Resize(size)) Refuse(FileProblem::kCache, path, "the cache failed");
    held->dirty = true;
    return;
  }
  // A file nobody has open with its bytes: fetch, cut, send.
  held = Hold(path);
  held->on_phone = true;
  try {
    if (size != 0) Fetch(*held);
    if (!held->contents->Resize(size)) Refuse(FileProblem::kCache, path, "the cache failed");
    held->dirty = true;
    Send(*held);
  } catch (...) {
    Unname(*held);
    throw;
  }
  Unname(*held);
}

void PhoneFiles::Flush(FileHandle handle) { Send(*ByHandle(handle)); }

void PhoneFiles::Release(FileHandle handle) {
  auto it = by_handle_.find(handle);
  if (it == by_handle_.end()) return;
  HeldPtr held = it->second;
  by_handle_.erase(it);
  std::exception_ptr failure;
  try {
    Send(*held);
  } catch (...) {
    failure = std::current_exception();
  }
  if (--held->handles <= 0) {
    if (held->fetched && !held->dirty && !held->hidden && !held->path.empty()) {
      KeepRecent(held->path, std::move(held->contents));
    }
    Unname(*held);
  }
  if (failure) std::rethrow_exception(failure);
}

void PhoneFiles::Unlink(const std::string& path_in) {
  const std::string path = Normal(path_in);
  HeldPtr held = ByPath(path);
  if (held) {
    Detach(*held);
    if (!held->on_phone) return;
  }
  std::optional<RemoteEntry> entry = Resolve(path);
  if (!entry) {
    if (held) return;
    Refuse(FileProblem::kNotFound, path, "not found");
  }
  if (entry->folder) Refuse(FileProblem::kIsFolder, path, "is a folder");
  Remove(path);
}

void PhoneFiles::MakeDir(const std::string& path_in) {
  const std::string path = Normal(path_in);
  if (Resolve(path)) Refuse(FileProblem::kExists, path, "exists");
  MakeFolder(path);
}

void PhoneFiles::RemoveDir(const std::string& path_in) {
  const std::string path = Normal(path_in);
  std::optional<RemoteEntry> entry = Resolve(path);
  if (!entry) Refuse(FileProblem::kNotFound, path, "not found");
  if (!entry->folder) Refuse(FileProblem::kNotFolder, path, "is not a folder");
  if (!List(path).entries.empty()) Refuse(FileProblem::kNotEmpty, path, "is not empty");
  Remove(path);
}

void PhoneFiles::Replace(const std::string& from_in, const std::string& to_in) {
  const std::string from = Normal(from_in);
  const std::string to = Normal(to_in);
  // The phone renames within a folder only.
  if (RemoteParent(from) != RemoteParent(to)) {
    throw FileError(FileProblem::kOtherFolder,
                    "the phone renames only within a folder: " + from + " -> " + to);
  }
  if (from == to) return;
  if (HeldPtr held = ByPath(from); held && !held->on_phone) {
    // Not on the phone yet: it takes the new name when it is sent.
    if (ByPath(to)) {
      try {
        Unlink(to);
      } catch (const SessionError&) {
        // What stood there stays; the new file replaces it when sent.
      }
    }
    Rekey(from, to);
    return;
  }
  std::optional<RemoteEntry> source = Resolve(from);
  if (!source) Refuse(FileProblem::kNotFound, from, "not found");
  bool replaced = false;
  if (std::optional<RemoteEntry> target = Resolve(to)) {
    if (target->folder != source->folder) {
      if (target->folder) Refuse(FileProblem::kIsFolder, to, "is a folder");
      Refuse(FileProblem::kNotFolder, to, "is not a folder");
    }
    if (target->folder && !List(to).entries.empty()) {
      Refuse(FileProblem::kNotEmpty, to, "is not empty");
    }
    // Its open handles keep its bytes, fetched while the phone has them.
    if (HeldPtr other = ByPath(to)) Detach(*other);
    Remove(to);
    replaced = true;
  }
  // What was held under the new name is replaced too.
  if (HeldPtr other = ByPath(to)) Detach(*other);
  try {
    Rename(from, to);
  } catch (const SessionError& e) {
    if (!replaced) throw;
    throw SessionError(
        e.Kind(),
        from + " -> " + to + " failed after " + to + " was removed to make room: " + e.what(),
        e.Code(), e.AtFamily());
  }
}

void PhoneFiles::HideOpen(const std::string& path_in, const std::string& hidden_path) {
  const std::string path = Normal(path_in);
  HeldPtr held = ByPath(path);
  if (!held) Refuse(FileProblem::kNotFound, path, "is not open");
  std::exception_ptr failure;
  try {
    Unlink(path);
  } catch (...) {
    failure = std::current_exception();
  }
  held->path = Normal(hidden_path);
  held->hidden = true;
  held->on_phone = false;
  by_path_[held->path] = held;
  if (failure) std::rethrow_exception(failure);
}

void PhoneFiles::Chmod(const std::string& path_in, const std::string& letters) {
  const std::string path = Normal(path_in);
  if (HeldPtr held = ByPath(path); held && !held->on_phone) {
    held->permissions = letters;  // given once the file is there
    return;
  }
  SetPermissions(path, letters);
}

}  // namespace quorvalen
