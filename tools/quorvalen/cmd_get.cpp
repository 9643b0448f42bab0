// quorvalen get: files from the phone, read as cp reads its arguments. One
// argument lands in the current folder under its own name; with more, the
// last is the destination: a file, "-" for standard output, or a folder
// (which must exist when several are given). -r takes folders whole (a
// destination not spelt as a folder is the copy itself, so the command is
// the same the second time), and --skip-existing leaves alone what is
// already there with the same size: an interrupted backup, run again,
// resumes where it stopped.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "cli.h"
#include "local_file.h"

namespace quorvalen::tool {
namespace {

class Getter : public CopyRun {
 public:
  Getter(Cli& cli, const CopyOptions& options) : CopyRun(cli), options_(options) {}

  // Each returns false when the run must stop (the link failed, an
  // interrupt); failures that stop nothing else are counted in status.
  // A file fetched without its folder's listing first: one request fewer
  // (a tenth of a second on the control's clock) for a copy whose size
  // nobody needs up front (no progress line, no --skip-existing). A
  // refusal (not there, a folder) leaves *refused set for the listing way
  // to look into and say.
  bool Straight(const std::string& remote, const std::string& local, bool* refused) {
    *refused = false;
    const bool go = Step(remote, [&] {
      try {
        Fetch(remote, local, 0);
      } catch (const SessionError& e) {
        if (e.Kind() != SessionErrorKind::kRefused) throw;
        *refused = true;
      }
    });
    return go;
  }

  bool File(const std::string& remote, const std::string& local, uint64_t size) {
    uint64_t local_size = 0;
    if (local != "-" && options_.skip_existing && LocalExists(local, &local_size) &&
        local_size == size) {
      if (cli_.verbose) cli_.Note("skipped " + local + " (same size)");
      return true;
    }
    return Step(remote, [&] { Fetch(remote, local, size); });
  }

 private:
  void Fetch(const std::string& remote, const std::string& local, uint64_t size) {
    if (local == "-") {
      cli_.Phone().Get(
          remote,
          [&](std::string_view bytes) {
            if (std::fwrite(bytes.data(), 1, bytes.size(), cli_.out) != bytes.size()) {
              throw std::runtime_error(std::string("standard output: ") + std::strerror(errno));
            }
          },
          cli_.ProgressFor(BaseName(remote), size));
      std::fflush(cli_.out);
      return;
    }
    AtomicFile file(local, options_.force);
    cli_.Phone().Get(
        remote, [&](std::string_view bytes) { file.Write(bytes); },
        cli_.ProgressFor(BaseName(remote), size), [&] { return file.Restart(); });
    file.Commit();
    cli_.EndProgress();
    if (cli_.verbose) cli_.Note(remote + " -> " + local);
  }

 public:
  bool Folder(const std::string& remote, const std::string& local) {
    if (!LocalExists(local)) {
      if (::mkdir(local.c_str(), 0777) != 0) {
        return Local("cannot make " + local + ": " + std::strerror(errno));
      }
    } else if (!IsLocalFolder(local)) {
      return Local(local + " exists and is not a folder");
    }
    std::vector<RemoteEntry> entries;
    if (!Step(remote, [&] { entries = cli_.Files().List(remote).entries; })) return false;
    const std::string base = remote == "/" ? "" : remote;
    for (const RemoteEntry& entry : entries) {
      const std::string child = base + "/" + entry.name;
      const std::string target = JoinLocal(local, entry.name);
      if (!(entry.folder ? Folder(child, target) : File(child, target, entry.size))) return false;
    }
    return true;
  }

 private:
  const CopyOptions& options_;
};

// Whether a path names a file by its spelling (not "/", not ending in "/").
bool SpeltAsFile(const std::string& path) {
  return !path.empty() && path.back() != '/' && path.find_first_not_of('/') != std::string::npos;
}

}  // namespace

int RunGet(Cli& cli, const std::vector<std::string>& args, const CopyOptions& options) {
  const auto [sources, dest] = SourcesAndDestination(args, ".");
  const bool to_stdout = dest == "-";
  const bool into_folder = !to_stdout && (args.size() == 1 || IsLocalFolder(dest));
  if (sources.size() > 1 && !to_stdout && !into_folder) {
    cli.Error(dest + " is not a folder (several files go into an existing folder)");
    return kExitUsage;
  }
  Getter getter(cli, options);
  const bool straight = !cli.show_progress && !options.recursive && !options.skip_existing;
  for (const std::string& source : sources) {
    if (straight && SpeltAsFile(source)) {
      const std::string local = into_folder ? JoinLocal(dest, BaseName(source)) : dest;
      if (local == "-" || options.force || !LocalExists(local)) {
        bool refused = false;
        if (!getter.Straight(source, local, &refused)) break;
        if (!refused) continue;
      }
    }
    std::optional<RemoteEntry> entry;
    try {
      entry = cli.Files().Find(source);
    } catch (const SessionError& e) {
      return cli.Fail(e, source);
    }
    if (!entry) {
      cli.Error(source + ": not found");
      getter.Keep(kExitRefused);
      continue;
    }
    const std::string name = entry->name == "/" ? "phone" : entry->name;
    const bool inside = entry->folder ? FolderGoesInside(sources.size(), dest) : into_folder;
    const std::string local = inside ? JoinLocal(dest, name) : dest;
    if (entry->folder) {
      if (!options.recursive || to_stdout) {
        cli.Error(source + " is a folder (-r copies folders, into a local folder)");
        getter.Keep(kExitUsage);
        continue;
      }
      if (!getter.Folder(JoinRemotePath(SplitRemotePath(source)), local)) break;
    } else if (!getter.File(source, local, entry->size)) {
      break;
    }
  }
  cli.EndProgress();
  return getter.status;
}

}  // namespace quorvalen::tool
