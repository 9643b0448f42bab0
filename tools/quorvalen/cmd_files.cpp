// quorvalen rm, mkdir, mv, chmod and df: one request each on the phone's
// files (rm -r one per entry of a tree), with the messages a person expects
// of the commands of the same names.
#include <cctype>

#include "cli.h"

namespace quorvalen::tool {

namespace {

// rm's run: each path, and with -r what a folder holds, deepest first.
class Remover : public CopyRun {
 public:
  Remover(Cli& cli, const RmOptions& options) : CopyRun(cli), options_(options) {}

  // False when the run must stop. A folder goes only once all it held is
  // gone, so a failure inside leaves the folders above it standing.
  bool Path(const std::string& path, bool* gone) {
    *gone = false;
    bool folder = false;
    bool there = true;
    std::vector<std::string> inside;
    if (options_.recursive || options_.force) {
      const bool go_on = Step(path, [&] {
        std::optional<RemoteEntry> entry = cli_.Files().Find(path);
        there = entry.has_value();
        if (!there && !options_.force) throw SessionError(SessionErrorKind::kRefused, "not found");
        folder = there && entry->folder && options_.recursive;
        // Names copied: every removal drops the folder's listing.
        if (folder) {
          for (const RemoteEntry& e : cli_.Files().List(path).entries) inside.push_back(e.name);
        }
      });
      if (!go_on) return false;
      if (!there) {
        *gone = options_.force;
        return true;
      }
    }
    bool emptied = true;
    for (const std::string& name : inside) {
      if (Interrupted()) return false;
      bool child_gone = false;
      if (!Path(RemoteChild(path, name), &child_gone)) return false;
      emptied = emptied && child_gone;
    }
    if (!emptied) return true;
    return Step(path, [&] {
      try {
        cli_.Files().Remove(path);
      } catch (const SessionError& e) {
        // The phone refuses to delete a folder that still holds something.
        if (e.Code() != 0xCC) throw;
        throw SessionError(e.Kind(),
                           options_.recursive ? "the folder is not empty"
                                              : "the folder is not empty (rm -r removes it whole)",
                           e.Code());
      }
      *gone = true;
      if (cli_.verbose) cli_.Note("removed " + JoinRemotePath(SplitRemotePath(path)));
    });
  }

 private:
  const RmOptions& options_;
};

}  // namespace

int RunRm(Cli& cli, const std::vector<std::string>& paths, const RmOptions& options) {
  Remover run(cli, options);
  for (const std::string& path : paths) {
    bool top = false;
    try {
      top = SplitRemotePath(path).empty();
    } catch (const SessionError&) {
      // said by the run, where the path is used
    }
    if (options.recursive && top) {
      // As rm keeps / (--preserve-root): the phone's every file in one word
      // is never what was meant.
      cli.Error("rm -r does not remove the top folder (/)");
      run.Keep(kExitUsage);
      continue;
    }
    bool gone = false;
    if (!run.Path(path, &gone)) break;
  }
  return run.status;
}

int RunMkdir(Cli& cli, const std::vector<std::string>& paths, bool parents) {
  CopyRun run(cli);
  for (const std::string& path : paths) {
    const std::vector<std::string> names = SplitRemotePath(path);
    if (names.empty()) {  // the top folder: known without asking the phone
      cli.Error(path + ": exists");
      run.Keep(kExitRefused);
      continue;
    }
    bool go_on = run.Step(path, [&] {
      for (size_t i = parents ? 0 : names.size() - 1; i < names.size(); ++i) {
        const std::vector<std::string> prefix(names.begin(), names.begin() + i + 1);
        std::optional<RemoteEntry> there = cli.Files().Find(JoinRemotePath(prefix));
        if (there && there->folder && (parents || i + 1 < names.size())) continue;
        if (there) throw SessionError(SessionErrorKind::kRefused, "exists");
        cli.Files().MakeFolder(JoinRemotePath(prefix));
      }
    });
    if (!go_on) break;
  }
  return run.status;
}

int RunMv(Cli& cli, const std::string& from, const std::string& to) {
  CopyRun run(cli);
  run.Step(from, [&] {
    std::string target = to;
    // Into a folder, as mv does: the same name there.
    std::optional<RemoteEntry> there = cli.Files().Find(to);
    if (there && there->folder) target = RemoteChild(to, SplitRemotePath(from).back());
    cli.Files().Rename(from, target);
  });
  return run.status;
}

namespace {

// The phone keeps an entry's letters as the text it was sent and shows
// them as they are; it knows R (read), W (write) and D (delete), nothing
// of owners or octal modes. The letters (in either case) go upper-case in
// that order; nothing if a character is not one of them.
std::optional<std::string> PhoneLetters(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string letters;
  for (const char letter : {'R', 'W', 'D'}) {
    if (text.find(letter) != std::string::npos) letters += letter;
  }
  if (letters.empty() || text.find_first_not_of("RWD") != std::string::npos ||
      text.size() != letters.size()) {
    return std::nullopt;
  }
  return letters;
}

}  // namespace

int RunChmod(Cli& cli, const std::string& permissions, const std::vector<std::string>& paths) {
  const std::optional<std::string> letters = PhoneLetters(permissions);
  if (!letters) {
    cli.Error(
        "chmod takes the phone's letters R (read), W (write) and D (delete), such as R, RW "
        "or RWD; not \"" +
        permissions + "\"");
    return kExitUsage;
  }
  CopyRun run(cli);
  for (const std::string& path : paths) {
    if (!run.Step(path, [&] { cli.Files().SetPermissions(path, *letters); })) {
      break;
    }
  }
  return run.status;
}

int RunDf(Cli& cli, bool json) {
  CopyRun run(cli);
  run.Step("memory", [&] {
    const MemoryInfo memory = cli.Phone().Memory();
    const uint64_t used = memory.total > memory.free ? memory.total - memory.free : 0;
    if (json) {
      std::fprintf(cli.out, "{\"size\": %llu, \"used\": %llu, \"free\": %llu}\n",
                   static_cast<unsigned long long>(memory.total),
                   static_cast<unsigned long long>(used),
                   static_cast<unsigned long long>(memory.free));
      return;
    }
    std::fprintf(cli.out, "%-12s %12s %12s %12s %5s\n", "", "Size", "Used", "Free", "Use%");
    std::fprintf(cli.out, "%-12s %12s %12s %12s %4llu%%\n", "phone",
                 HumanSize(memory.total).c_str(), HumanSize(used).c_str(),
                 HumanSize(memory.free).c_str(),
                 static_cast<unsigned long long>(memory.total ? used * 100 / memory.total : 0));
  });
  return run.status;
}

}  // namespace quorvalen::tool
