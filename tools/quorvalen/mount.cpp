// quorvalen mount: the phone's files as a folder, through FUSE, on one
// session held for the life of the mount.
//
// This is the FUSE adapter over the files layer (src/files), which keeps
// the listings, the open files and their bytes: each callback below turns
// its arguments into one call of the layer and the layer's errors into an
// errno. What belongs to FUSE alone stays here: attributes, the library's
// hidden names for files removed while open, serving and the daemon.
//
// The file system runs single-threaded: the link serves one request at a
// time, so every operation waits its turn. The mount also serves the
// port's held-connection socket while it runs: a command typed in another
// terminal runs on the mount's session between two operations, and what
// it changed is listed afresh. Each wait for the phone is
// short but for files' contents, so an unplugged phone fails an operation
// with EIO in seconds; the session then closes, and a later operation
// opens a new one once the phone answers again.
#define FUSE_USE_VERSION 31
#include "mount.h"

#include <fcntl.h>
#include <fuse.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "cli.h"
#include "connection.h"
#include "hold.h"
#include "phone_files.h"
#include "quorvalen/byte_text.h"
#include "quorvalen/obex_requests.h"

namespace quorvalen::tool {
namespace {

// What the mount serves: the files layer; the lock that operations and
// commands of other processes take in turn.
struct Mounted {
  PhoneFiles files;
  std::mutex turn;
};

Mounted& Mount() { return *static_cast<Mounted*>(fuse_get_context()->private_data); }

// Where the log goes (a process holds one mount): set before the mount
// serves, read by operations and by the thread that serves commands.
std::atomic<bool> g_log_to_syslog{false};
// The thread that runs a command of another process, while it runs one.
std::atomic<pid_t> g_serving_thread{0};

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (g_log_to_syslog) {
    vsyslog(LOG_ERR, format, args);
  } else {
    std::fputs("quorvalen mount: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
  }
  va_end(args);
}

int Errno(const SessionError& e) {
  if (const auto* refused = dynamic_cast<const FileError*>(&e)) {
    switch (refused->Problem()) {
      case FileProblem::kNotFound:
        return ENOENT;
      case FileProblem::kExists:
        return EEXIST;
      case FileProblem::kIsFolder:
        return EISDIR;
      case FileProblem::kNotFolder:
        return ENOTDIR;
      case FileProblem::kNotEmpty:
        return ENOTEMPTY;
      case FileProblem::kOtherFolder:
        return EXDEV;  // mv copies then
      case FileProblem::kBadHandle:
        return EBADF;
      case FileProblem::kCache:
        return EIO;
    }
  }
  switch (e.Kind()) {
    case SessionErrorKind::kRefused:
      switch (e.Code()) {
        case 0xC4:
          return ENOENT;
        case 0xC1:
        case 0xC3:
          return EACCES;
        case 0xC9:
          return EEXIST;
        case 0xCD:
          return EFBIG;
        case 0xCE:
          return ENAMETOOLONG;
        case 0xE0:
          return ENOSPC;
        default:
          return EIO;
      }
    case SessionErrorKind::kBadName:
      return EINVAL;
    default:
      return EIO;
  }
}

// Every callback runs its work here: a failure becomes an errno (and a
// line in the log for what is not a plain no), and no exception crosses
// into the C library.
template <typename Work>
int Call(const char* what, const char* path, Work work, bool say_closed = false) {
  // A command served on this connection holds the turn while it runs: a
  // file of its own inside this mount (its folder, its output, a local
  // file it writes) would wait for that turn forever, so it is refused.
  const pid_t caller = fuse_get_context()->pid;
  if (caller == ::getpid() || (caller != 0 && caller == g_serving_thread)) return -EDEADLK;
  std::lock_guard turn(Mount().turn);
  const bool was_open = Mount().files.PhoneOpen();
  try {
    return work();
  } catch (const SessionError& e) {
    const int error = Errno(e);
    // While the phone is gone operations fail at once; that was said.
    if (error == EIO && (e.Kind() != SessionErrorKind::kClosed || say_closed)) {
      Log("%s %s: %s", what, path ? path : "(open file)", e.what());
      if (was_open && !Mount().files.PhoneOpen()) {
        Log("the phone is gone; operations fail until it answers again (looked for every %lld "
            "s)",
            static_cast<long long>(kMountReopenMs / 1000));
      }
    }
    return -error;
  } catch (const std::exception& e) {
    Log("%s %s: %s", what, path ? path : "(open file)", e.what());
    return -EIO;
  } catch (...) {
    Log("%s %s: an unknown failure", what, path ? path : "(open file)");
    return -EIO;
  }
}

// Names are UTF-8 here and Latin-1 on the wire: what Latin-1 cannot carry
// is refused before anything is sent.
bool Sendable(const char* path) { return Utf8ToLatin1(path).has_value(); }

// The library hides a file removed while open under a name of its own
// until the last handle closes (hard_remove off).
bool HiddenName(const std::string& path) {
  return path.substr(path.rfind('/') + 1).rfind(".fuse_hidden", 0) == 0;
}

void Fill(struct stat* st, const FileStatus& status) {
  std::memset(st, 0, sizeof *st);
  st->st_uid = getuid();
  st->st_gid = getgid();
  const RemoteEntry& entry = status.entry;
  if (status.held_here) {
    // Bytes only here: what it holds now.
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(entry.size);
    st->st_mtime = st->st_ctime = std::time(nullptr);
    return;
  }
  const bool writable =
      entry.permissions.empty() || entry.permissions.find('W') != std::string::npos;
  st->st_mode =
      entry.folder ? S_IFDIR | (writable ? 0755 : 0555) : S_IFREG | (writable ? 0644 : 0444);
  st->st_nlink = entry.folder ? 2 : 1;
  if (entry.folder) return;
  st->st_size = static_cast<off_t>(entry.size);
  st->st_blocks = static_cast<blkcnt_t>((entry.size + 511) / 512);
  if (entry.modified) st->st_mtime = st->st_ctime = st->st_atime = *entry.modified;
}

std::optional<FileHandle> HandleOf(const fuse_file_info* fi) {
  return fi ? std::optional<FileHandle>(fi->fh) : std::nullopt;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
  return Call("stat", path, [&] {
    PhoneFiles& files = Mount().files;
    if (!path) {
      if (!fi) return -EBADF;
      Fill(st, files.StatOpen(fi->fh));
      return 0;
    }
    std::optional<FileStatus> status = files.Stat(path, HandleOf(fi));
    if (!status) return -ENOENT;
    Fill(st, *status);
    return 0;
  });
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
  return Call("list", path, [&] {
    PhoneFiles& files = Mount().files;
    const auto none = static_cast<fuse_fill_dir_flags>(0);
    fill(buffer, ".", nullptr, 0, none);
    fill(buffer, "..", nullptr, 0, none);
    for (const RemoteEntry& entry : files.List(path).entries) {
      fill(buffer, entry.name.c_str(), nullptr, 0, none);
    }
    // Files written but not yet closed are there too.
    for (const std::string& name : files.HeldNames(path)) {
      fill(buffer, name.c_str(), nullptr, 0, none);
    }
    return 0;
  });
}

int Open(const char* path, fuse_file_info* fi) {
  if (!Sendable(path)) return -EILSEQ;
  return Call("open", path, [&] {
    OpenMode mode;
    mode.write = (fi->flags & O_ACCMODE) != O_RDONLY;
    mode.truncate = (fi->flags & O_TRUNC) != 0;
    fi->fh = Mount().files.Open(path, mode);
    fi->keep_cache = 0;
    return 0;
  });
}

int Create(const char* path, mode_t, fuse_file_info* fi) {
  if (!Sendable(path)) return -EILSEQ;
  return Call("create", path, [&] {
    fi->fh = Mount().files.Create(path);
    return 0;
  });
}

int Read(const char* path, char* out, size_t size, off_t offset, fuse_file_info* fi) {
  return Call("get", path, [&] {
    return static_cast<int>(Mount().files.Read(fi->fh, out, size, static_cast<uint64_t>(offset)));
  });
}

int Write(const char* path, const char* data, size_t size, off_t offset, fuse_file_info* fi) {
  return Call("write", path, [&] {
    Mount().files.Write(fi->fh, data, size, static_cast<uint64_t>(offset));
    return static_cast<int>(size);
  });
}

int Truncate(const char* path, off_t size, fuse_file_info* fi) {
  if (path && !Sendable(path)) return -EILSEQ;
  return Call("truncate", path, [&] {
    PhoneFiles& files = Mount().files;
    if (path) {
      files.Truncate(path, static_cast<uint64_t>(size), HandleOf(fi));
    } else if (fi) {
      files.TruncateOpen(fi->fh, static_cast<uint64_t>(size));
    } else {
      return -EBADF;
    }
    return 0;
  });
}

// A close: a file written is sent whole now; its failure fails the close
// (and is logged even when the phone is gone: those bytes are lost).
int Flush(const char* path, fuse_file_info* fi) {
  return Call(
      "flush", path,
      [&] {
        Mount().files.Flush(fi->fh);
        return 0;
      },
      true);
}

int Release(const char* path, fuse_file_info* fi) {
  return Call(
      "release", path,
      [&] {
        Mount().files.Release(fi->fh);
        return 0;
      },
      true);
}

// A change at one path, as the layer has it.
int Change(const char* what, const char* path, void (PhoneFiles::*change)(const std::string&)) {
  if (!Sendable(path)) return -EILSEQ;
  return Call(what, path, [&] {
    (Mount().files.*change)(path);
    return 0;
  });
}

int Rename(const char* from, const char* to, unsigned flags) {
  if (!Sendable(from) || !Sendable(to)) return -EILSEQ;
  if (flags != 0) return -EINVAL;
  return Call("mv", from, [&] {
    PhoneFiles& files = Mount().files;
    if (HiddenName(to) && files.IsHeld(from)) {
      // Removed from the phone now, its bytes kept here for the handles.
      files.HideOpen(from, to);
    } else {
      files.Replace(from, to);
    }
    return 0;
  });
}

int StatFs(const char* path, struct statvfs* st) {
  return Call("df", path, [&] {
    const MemoryInfo memory = Mount().files.Phone().Memory();
    std::memset(st, 0, sizeof *st);
    st->f_bsize = st->f_frsize = 512;
    st->f_blocks = memory.total / 512;
    st->f_bfree = st->f_bavail = memory.free / 512;
    // The longest name a request can carry.
    st->f_namemax = obex::kMaxGetNameChars;
    return 0;
  });
}

int Chmod(const char* path, mode_t mode, fuse_file_info*) {
  if (!path) return 0;
  if (!Sendable(path)) return -EILSEQ;
  return Call("chmod", path, [&] {
    // The phone keeps read, write and delete; the owner's write bit stands
    // for the last two.
    Mount().files.Chmod(path, (mode & S_IWUSR) ? "RWD" : "R");
    return 0;
  });
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
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write = Write;
  ops.truncate = Truncate;
  ops.flush = Flush;
  ops.fsync = [](const char* path, int, fuse_file_info* fi) { return Flush(path, fi); };
  ops.release = Release;
  ops.unlink = [](const char* path) { return Change("rm", path, &PhoneFiles::Unlink); };
  ops.mkdir = [](const char* path, mode_t) { return Change("mkdir", path, &PhoneFiles::MakeDir); };
  ops.rmdir = [](const char* path) { return Change("rmdir", path, &PhoneFiles::RemoveDir); };
  ops.rename = Rename;
  ops.statfs = StatFs;
  ops.chmod = Chmod;
  // The phone sets its own times; touch and cp -p are not refused.
  ops.utimens = [](const char*, const timespec*, fuse_file_info*) { return 0; };
  ops.chown = [](const char*, uid_t, gid_t, fuse_file_info*) { return 0; };
  return ops;
}

// Mounts, serves until unmounted or told to stop, unmounts. ready is
// called once the mount is in place (or with the reason it is not).
// holder: the server of the holder this mount runs in, whose socket the
// mount serves while it runs (else the mount listens on the port's socket
// itself, when held names one of this user's).
int Serve(Session& session, const MountOptions& options, bool to_syslog,
          std::function<std::unique_ptr<Session>()> reopen, const HeldPort& held,
          const std::function<bool(const std::string& error)>& ready,
          HoldServer* holder = nullptr) {
  g_log_to_syslog = to_syslog;
  FilesOptions files = MountFilesOptions(options, std::move(reopen));
  files.on_reopened = [] { Log("the phone answers again"); };
  Mounted fs{PhoneFiles(session, std::move(files)), {}};
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
  // (A holder's signals are its own: the library leaves them alone.)
  fuse_set_signal_handlers(se);
  if (holder) holder->Become("mount", options.mountpoint);
  if (!ready({})) {
    // Stopped before it was ready: nothing stays mounted.
    if (holder) holder->Become("hold", {});
    fuse_remove_signal_handlers(se);
    fuse_unmount(f);
    fuse_destroy(f);
    return HoldServer::Terminated() ? kExitLink : kExitInterrupted;
  }
  // Commands of other processes on the port run here, in turn with the
  // operations.
  std::unique_ptr<HoldServer> own;
  HoldServer* server = holder;
  std::thread serving;
  std::atomic<bool> loop_over{false};
  const pthread_t loop_thread = pthread_self();
  auto serve = [&fs, &server, &f, &loop_over, loop_thread, holder] {
    while (std::optional<HeldRequest> request = server->Next(-1, {})) {
      int code = kExitLink;
      {
        std::lock_guard turn(fs.turn);
        g_serving_thread = ::gettid();
        double ignored = 0;
        try {
          code = ServeHeld(*request, fs.files.Phone(), &ignored);
        } catch (const SessionError& e) {
          // The phone is gone (the mount looks for it again later).
          dprintf(request->fds[2], "quorvalen: %s\n", e.what());
        }
        g_serving_thread = 0;
        fs.files.ForgetListings();
      }
      server->Done(*request, code);
    }
    // A holder told to end (SIGTERM) ends its mount: the loop is woken
    // from its wait for the kernel by the signal, sent to its thread until
    // it sees that it is to end.
    if (holder && HoldServer::Terminated()) {
      fuse_exit(f);
      while (!loop_over) {
        pthread_kill(loop_thread, SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
  };
  if (holder) {
    serving = std::thread(serve);
  } else if (held.mine && !held.socket.empty()) {
    HolderState state;
    state.port = held.key;
    state.kind = "mount";
    state.where = options.mountpoint;
    state.fingerprint = held.fingerprint;
    std::string why;
    own = HoldServer::Listen(held.socket, state, &why);
    if (own) {
      server = own.get();
      server->OnInterrupt(StopHeldCommand);
      server->Start();
      serving = std::thread(serve);
    } else {
      Log("commands of other processes will not run on this mount's connection: %s", why.c_str());
    }
  }
  const int loop = fuse_loop(f);
  loop_over = true;
  if (server) {
    server->Shutdown();
    if (serving.joinable()) serving.join();
    // The holder holds on, idle again; a mount's own socket goes.
    if (holder) holder->Become("hold", {});
    if (own) own->Stop();
  }
  fuse_remove_signal_handlers(se);
  fuse_unmount(f);
  fuse_destroy(f);
  return loop == 0 ? kExitDone : kExitLocal;
}

}  // namespace

void MountSessionOptions(SessionOptions& options, bool again) {
  options.quick_timeout_ms = kMountAnswerMs;
  options.wait_for_phone = !again;
}

FilesOptions MountFilesOptions(const MountOptions& options,
                               std::function<std::unique_ptr<Session>()> reopen) {
  FilesOptions files;
  files.listing_ms = static_cast<int64_t>(options.cache_ttl * 1000);
  files.memory_bound = options.memory_bound;
  files.reopen = std::move(reopen);
  files.reopen_ms = kMountReopenMs;
  return files;
}

std::string MountpointProblem(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    // A mount whose server went away answers every call so.
    if (errno == ENOTCONN) return path + " is a mount that has lost its server (fusermount3 -u)";
    return path + " is not a folder";
  }
  if (!S_ISDIR(st.st_mode)) return path + " is not a folder";
  // A mount point is on another device than the folder above it; a second
  // mount would hide the first.
  struct stat above {};
  if (stat((path + "/..").c_str(), &above) == 0 &&
      (above.st_dev != st.st_dev || above.st_ino == st.st_ino)) {
    return path + " is a mount point already (fusermount3 -u unmounts it)";
  }
  std::error_code error;
  const bool empty = std::filesystem::is_empty(path, error);
  if (error) return path + " cannot be read: " + error.message();
  if (!empty) {
    return path + " is not empty: the mount would hide what it holds (use an empty folder)";
  }
  return {};
}

int RunHeldMount(Cli& cli, const GlobalOptions& global, const MountOptions& options,
                 Served& served) {
  // A shell or another mount serving this command holds the connection
  // for its own life.
  if (!served.server || !served.done) {
    cli.Error(
        "mount: the phone's connection is held by a quorvalen shell or mount, which shares it "
        "with commands only: end that first");
    return kExitLink;
  }
  if (std::string why = MountpointProblem(options.mountpoint); !why.empty()) {
    cli.Error("mount: " + why);
    return kExitUsage;
  }
  // The holder leaves the client's folder once mounted.
  MountOptions held_options = options;
  std::error_code ignored;
  held_options.mountpoint = std::filesystem::absolute(options.mountpoint, ignored);
  Connection connection(global);
  auto reopen = [&connection] {
    return connection.Open([](SessionOptions& o) { MountSessionOptions(o, true); });
  };
  Session& session = *served.session;
  session.SetQuickTimeout(kMountAnswerMs);
  openlog("quorvalen", LOG_PID, LOG_USER);
  const int status = Serve(
      session, held_options, true, reopen, HeldPort{},
      [&](const std::string& error) {
        if (!error.empty()) {
          cli.Error("mount: " + error);
          return true;
        }
        // The client quit (Ctrl-C) or the holder is told to end: the
        // mount is not left behind.
        if (Interrupted() || HoldServer::Terminated()) return false;
        if (!cli.quiet) {
          // Said as a mount of its own says it: the folder as given.
          cli.Note("mounted on " + options.mountpoint + "; fusermount3 -u " + options.mountpoint +
                   " unmounts");
        }
        // The client returns; the holder lets go of its terminal and folder.
        std::fflush(nullptr);
        [[maybe_unused]] const int root = chdir("/");
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
          for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, fd);
          close(null);
        }
        served.done(kExitDone);
        return true;
      },
      served.server);
  session.SetQuickTimeout(std::nullopt);
  return status;
}

int RunMount(Cli& cli, const GlobalOptions& global, const MountOptions& options) {
  if (std::string why = MountpointProblem(options.mountpoint); !why.empty()) {
    cli.Error("mount: " + why);
    return kExitUsage;
  }
  std::string no_hold;
  const HeldPort held = HeldPortOf(global, GatherSessionOptions(global), &no_hold);
  if (options.foreground) {
    Connection connection(global);
    std::unique_ptr<Session> session;
    try {
      session = connection.Open([](SessionOptions& o) { MountSessionOptions(o, false); });
    } catch (const SessionError& e) {
      return cli.Fail(e);
    }
    auto reopen = [&connection] {
      return connection.Open([](SessionOptions& o) { MountSessionOptions(o, true); });
    };
    const int status = Serve(*session, options, false, reopen, held, [&](const std::string& error) {
      if (!error.empty()) {
        cli.Error("mount: " + error);
      } else if (!cli.quiet) {
        cli.Note("mounted on " + options.mountpoint + "; fusermount3 -u " + options.mountpoint +
                 " or Ctrl-C unmounts");
      }
      return true;
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
      if (!cli.quiet)
        cli.Note("mounted on " + options.mountpoint + "; fusermount3 -u " + options.mountpoint +
                 " unmounts");
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
      session = connection.Open([](SessionOptions& o) { MountSessionOptions(o, false); });
    } catch (const SessionError& e) {
      // Still on the terminal: said here, the exit code goes to the parent.
      const int code = cli.Fail(e);
      std::fflush(nullptr);
      close(pipe_fds[1]);
      _exit(code);
    }
    openlog("quorvalen", LOG_PID, LOG_USER);
    auto reopen = [&connection] {
      return connection.Open([](SessionOptions& o) { MountSessionOptions(o, true); });
    };
    status = Serve(*session, daemon_options, true, reopen, held, [&](const std::string& error) {
      if (!error.empty()) {
        tell(1, "mount: " + error);
        return true;
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
      return true;
    });
    session->Close();
  }
  if (pipe_fds[1] >= 0) tell(1, "mount: ended before it was ready");
  _exit(status);
}

}  // namespace quorvalen::tool
