// The phone's files for front ends (the one-off commands, the shell, the
// mount): one layer over a session, with the state they share.
//
// Listings are kept per folder for a time limit on the platform's clock;
// a command also keeps what it listed until the next command begins, so
// that one command sees one picture of the phone and lists no folder
// twice. Our own changes drop what they make stale, in one place. Files
// opened through handles are held here: fetched whole by one GET on their
// first read, written here and sent whole by one PUT when flushed, and
// followed by their handles through renames and removals. Every failure is
// a SessionError; what the layer itself refuses is a FileError saying what
// was wrong with the path.
//
//   quorvalen::PhoneFiles files(*session, {.listing_ms = 10000});
//   for (const auto& entry : files.List("/Pictures").entries) ...
//   const quorvalen::FileHandle h = files.Open("/notes.txt", {.write = true});
//   files.Write(h, "more", 4, files.StatOpen(h).entry.size);
//   files.Release(h);  // sent by one PUT
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quorvalen/session.h"

namespace quorvalen {

class HeldContents;

// What the layer refuses on its own, before or instead of asking the phone.
enum class FileProblem {
  kNotFound,     // nothing of that name
  kExists,       // something of that name already
  kIsFolder,     // a folder where a file was meant
  kNotFolder,    // a file where a folder was meant
  kNotEmpty,     // a folder that still holds something
  kOtherFolder,  // a rename into another folder, which the phone cannot do
  kBadHandle,    // a handle that is not open
  kCache,        // the held bytes could not be kept (the temporary file failed)
};

class FileError : public SessionError {
 public:
  FileError(FileProblem problem, const std::string& message);
  FileProblem Problem() const { return problem_; }

 private:
  FileProblem problem_;
};

struct FilesOptions {
  // How long a listing serves after it was fetched, in milliseconds; 0
  // keeps nothing from one command to the next.
  int64_t listing_ms = 0;
  // A held file's bytes beyond this go to a temporary file.
  size_t memory_bound = 32u << 20;
  // Files read and closed are kept for the listings' time, this many at
  // the most, so that the next reader is served without a GET.
  size_t recent_files = 8;
  // The clock of the time limit; none: the process's steady clock.
  Clock* clock = nullptr;
  // Told once per listing fetched of each name the phone should not have
  // sent (the session skipped it).
  std::function<void(const std::string& folder, const SkippedEntry&)> on_skipped;
  // Opens a session anew once the one in use has closed (the phone went
  // away and the way back to AT mode failed). None: a closed session stays
  // closed, and every call on the phone fails with kClosed.
  std::function<std::unique_ptr<Session>()> reopen;
  // The least time between two tries of reopen, on the clock above; in
  // between, calls on the phone fail at once with kClosed, so a phone that
  // stays away costs one try per this long, not one per call.
  int64_t reopen_ms = 5000;
  // Told of each session reopen gave.
  std::function<void()> on_reopened;
};

using FileHandle = uint64_t;

struct OpenMode {
  bool write = false;     // opened for writing: a file kept whole is fetched first
  bool truncate = false;  // emptied at once (sent on flush)
};

// A path as the front ends show it.
struct FileStatus {
  // As listed; for a file held here, its name and the size of its bytes
  // now, with no time and no letters.
  RemoteEntry entry;
  // Only here: written and not sent yet, or gone from the phone while open.
  bool held_here = false;
};

class PhoneFiles {
 public:
  explicit PhoneFiles(Session& session, FilesOptions options = {});
  ~PhoneFiles();
  PhoneFiles(const PhoneFiles&) = delete;
  PhoneFiles& operator=(const PhoneFiles&) = delete;

  // The session in use. When it has closed and reopen is set, a new one
  // is opened first (nothing listed or kept from before serves then); a
  // try that fails throws its SessionError, and until reopen_ms after it
  // this throws kClosed at once.
  Session& Phone();
  // Whether the session in use is open; nothing is tried.
  bool PhoneOpen() const { return session_->IsOpen(); }
  const FilesOptions& Options() const { return options_; }

  // ---- Listings. Paths are read as the session reads them ("a//b/" is
  // "/a/b"); a listing the phone refuses throws its SessionError.
  const FolderListing& List(const std::string& folder);
  // The entry at a path, from its folder's listing ("/" is a folder).
  // None when the folder does not hold it.
  std::optional<RemoteEntry> Find(const std::string& path);
  // As Find, but every folder on the way is checked to be one: a path
  // under a file is not there (rather than a refusal of the phone).
  std::optional<RemoteEntry> Resolve(const std::string& path);
  // A new command begins: what earlier ones listed serves only within the
  // time limit. Until the first call, listings serve by time alone.
  void BeginCommand();
  // Drops a folder's listing, to see the phone afresh.
  void Forget(const std::string& folder);
  // Drops every listing (another front end changed the phone).
  void ForgetListings() { listings_.clear(); }

  // ---- Changes on the phone, as the session makes them; each drops the
  // listings and kept files it makes stale. (Reading changes nothing
  // here: a front end reads through Phone().)
  void Remove(const std::string& path);
  void MakeFolder(const std::string& path);
  void SetPermissions(const std::string& path, const std::string& letters);
  // Within one folder: to is a new name or a path in the same folder. Held
  // files at or below from follow.
  void Rename(const std::string& from, const std::string& to);
  // As Session::Put: restart brings the source back to its start for a
  // try again.
  void Put(const Source& source, uint64_t size, const std::string& path,
           const Progress& progress = {}, const Restart& restart = {});

  // ---- A file system's operations, with its rules.
  // A path (or an open file, whose name may be gone): what it is now.
  // None when it is not there.
  std::optional<FileStatus> Stat(const std::string& path, std::optional<FileHandle> open = {});
  FileStatus StatOpen(FileHandle handle);
  // Names of files written in the folder and not sent yet (a listing
  // does not have them).
  std::vector<std::string> HeldNames(const std::string& folder) const;
  // Whether a file at the path is held (open, or being written).
  bool IsHeld(const std::string& path) const;
  FileHandle Open(const std::string& path, OpenMode mode = {});
  // A new empty file, sent on flush (an existing one is replaced then).
  FileHandle Create(const std::string& path);
  // Up to size bytes from at; the file is fetched on its first read.
  size_t Read(FileHandle handle, char* out, size_t size, uint64_t at);
  void Write(FileHandle handle, const char* data, size_t size, uint64_t at);
  // Cuts a file to size: an open one here (sent on flush), else fetched,
  // cut and sent at once.
  void Truncate(const std::string& path, uint64_t size, std::optional<FileHandle> open = {});
  void TruncateOpen(FileHandle handle, uint64_t size);
  // Sends a file written through the handle by one PUT. A failure is said
  // once: the bytes stay for the handles and are not sent again.
  void Flush(FileHandle handle);
  // Closes a handle (flushing first); the last one lets the file go. A
  // failed flush is thrown after the handle is closed.
  void Release(FileHandle handle);
  // Removes a file; its open handles read on from its bytes here.
  void Unlink(const std::string& path);
  // Makes a folder that must not exist yet.
  void MakeDir(const std::string& path);
  // Removes an empty folder.
  void RemoveDir(const std::string& path);
  // rename(2) within a folder: replaces what it lands on (an empty folder
  // by a folder, a file by a file).
  void Replace(const std::string& from, const std::string& to);
  // Removes a file from the phone now, keeping it here under a local name
  // for its open handles until the last closes (nothing goes anywhere).
  void HideOpen(const std::string& path, const std::string& local_name);
  // The phone's letters; for a file not on the phone yet, given once it is.
  void Chmod(const std::string& path, const std::string& letters);

 private:
  struct Held;
  using HeldPtr = std::shared_ptr<Held>;
  struct CachedListing {
    FolderListing listing;
    int64_t until = 0;     // serves by time until then
    uint64_t command = 0;  // and for the rest of the command that fetched it
  };
  struct Recent {
    std::unique_ptr<HeldContents> contents;
    int64_t until = 0;
  };

  int64_t Now() const;
  // After the phone refused a change at path: a FileError kNotFolder when
  // a folder on the way is a file; nothing otherwise.
  void RefuseFileOnTheWay(const std::string& path);
  // Our own change at a path: its folder's listing, what is listed at or
  // below it, and files kept from those go.
  void Changed(const std::string& path);
  HeldPtr ByPath(const std::string& path) const;
  HeldPtr Lookup(FileHandle handle) const;    // none when not open
  HeldPtr ByHandle(FileHandle handle) const;  // throws kBadHandle
  FileHandle Attach(const HeldPtr& held);
  HeldPtr Hold(const std::string& path);
  void Detach(Held& held);
  void Unname(Held& held);
  void Rekey(const std::string& from, const std::string& to);
  void KeepRecent(const std::string& path, std::unique_ptr<HeldContents> contents);
  void Fetch(Held& held);
  void Send(Held& held);
  FileStatus HeldStatus(const Held& held) const;

  Session* session_;
  FilesOptions options_;
  std::unique_ptr<Session> reopened_;  // the session reopen gave, in use
  std::optional<int64_t> tried_at_;    // the last try of reopen since the close
  std::map<std::string, CachedListing> listings_;
  uint64_t command_ = 0;                     // 0: no command has begun
  std::map<std::string, HeldPtr> by_path_;   // held files by their name
  std::map<FileHandle, HeldPtr> by_handle_;  // by open handle
  FileHandle last_handle_ = 0;
  std::map<std::string, Recent> recent_;
};

}  // namespace quorvalen
