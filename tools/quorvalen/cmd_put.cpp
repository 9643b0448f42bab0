// quorvalen put: files onto the phone, read as cp reads its arguments. One
// argument lands in the phone's root under its own name; with more, the
// last is the destination: a file, or a folder (which must exist when
// several are given). "-" reads standard input, into a file named in full.
// -r takes folders whole (placed as get places them), --skip-existing
// leaves alone what the phone has with the same size, and an existing file
// is replaced only with -f.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "cli.h"
#include "local_file.h"

namespace quorvalen::tool {
namespace {

class Putter : public CopyRun {
 public:
  Putter(Cli& cli, const CopyOptions& options) : CopyRun(cli), options_(options) {}

  bool File(const std::string& local, const std::string& remote) {
    std::optional<LocalSource> source;
    try {
      source.emplace(local);
    } catch (const std::runtime_error& e) {
      return Local(e.what());
    }
    const uint64_t size = source->Size();
    return Step(remote, [&] {
      // A file on the phone is as precious as a local one: replaced only
      // when asked.
      if (options_.skip_existing || !options_.force) {
        std::optional<RemoteEntry> there = cli_.Files().Find(remote);
        if (there && !there->folder && options_.skip_existing && there->size == size) {
          if (cli_.verbose) cli_.Note("skipped " + remote + " (same size)");
          return;
        }
        if (there && !there->folder && !options_.force) {
          throw FileError(FileProblem::kExists, "exists on the phone (-f replaces it)");
        }
      }
      // Read as the PUT asks, into the control's memory and nowhere else,
      // and from the start again for each try.
      cli_.Files().Put([&](char* buffer, size_t n) { return source->Read(buffer, n); }, size,
                       remote, cli_.ProgressFor(BaseName(local == "-" ? remote : local), size),
                       [&] { return source->Restart(); });
      cli_.EndProgress();
      if (cli_.verbose) cli_.Note(local + " -> " + remote);
    });
  }

  bool Folder(const std::string& local, const std::string& remote) {
    bool ok = Step(remote, [&] {
      std::optional<RemoteEntry> there = cli_.Files().Find(remote);
      if (there && !there->folder) {
        throw SessionError(SessionErrorKind::kRefused, "exists and is not a folder");
      }
      if (!there) {
        cli_.Files().MakeFolder(remote);
      }
    });
    if (!ok) return false;
    DIR* dir = ::opendir(local.c_str());
    if (!dir) return Local("cannot read " + local + ": " + std::strerror(errno));
    std::vector<std::string> names;
    while (dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string path = JoinLocal(local, name);
      const std::string target = RemoteChild(remote, name);
      if (!(IsLocalFolder(path) ? Folder(path, target) : File(path, target))) return false;
    }
    return true;
  }

 private:
  const CopyOptions& options_;
};

// The name a local file or folder keeps on the phone ("." is the folder's
// own name).
std::string LocalName(const std::string& path) {
  std::string name = BaseName(path);
  if (name == "." || name == "..") {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      name = BaseName(real);
      std::free(real);
    }
  }
  return name;
}

}  // namespace

int RunPut(Cli& cli, const std::vector<std::string>& args, const CopyOptions& options) {
  const auto [sources, dest] = SourcesAndDestination(args, "/");
  const bool from_stdin = std::find(sources.begin(), sources.end(), "-") != sources.end();
  bool into_folder = args.size() == 1 || (!dest.empty() && dest.back() == '/');
  try {
    if (!into_folder) {
      std::optional<RemoteEntry> there = cli.Files().Find(dest);
      into_folder = there && there->folder;
    }
  } catch (const SessionError& e) {
    return cli.Fail(e, dest);
  }
  // Standard input has no name of its own to keep in a folder.
  if (from_stdin && into_folder) {
    cli.Error("put - needs the name to give the file on the phone: put - REMOTE");
    return kExitUsage;
  }
  if (sources.size() > 1 && !into_folder) {
    cli.Error(dest + " is not a folder on the phone (several files go into an existing folder)");
    return kExitUsage;
  }
  Putter putter(cli, options);
  for (const std::string& source : sources) {
    const bool folder = source != "-" && IsLocalFolder(source);
    if (source != "-" && !LocalExists(source)) {
      cli.Error("cannot read " + source + ": " + std::strerror(ENOENT));
      putter.Keep(kExitLocal);
      continue;
    }
    const bool inside = folder ? FolderGoesInside(sources.size(), dest) : into_folder;
    const std::string remote = inside ? RemoteChild(dest, LocalName(source)) : dest;
    if (folder && !options.recursive) {
      cli.Error(source + " is a folder (-r copies folders)");
      putter.Keep(kExitUsage);
      continue;
    }
    if (!(folder ? putter.Folder(source, remote) : putter.File(source, remote))) break;
  }
  cli.EndProgress();
  return putter.status;
}

}  // namespace quorvalen::tool
