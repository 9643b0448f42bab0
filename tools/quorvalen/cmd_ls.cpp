// quorvalen ls: folders' entries and files, as names, as a long table (-l,
// with -h sizes for a person) or as JSON (--json, each entry with its path).
#include <nlohmann/json.hpp>

#include "cli.h"
#include "quorvalen/obex_time.h"

namespace quorvalen::tool {
namespace {

// The phone's clock as "2026-03-07 14:05", or "2026-03-07T14:05:09".
std::string DateText(const std::optional<int64_t>& seconds, bool iso) {
  if (!seconds) return iso ? "" : "                ";
  const std::string t = WriteObexTime(*seconds);  // 20260307T140509
  const std::string date = t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2);
  if (iso) return date + "T" + t.substr(9, 2) + ":" + t.substr(11, 2) + ":" + t.substr(13, 2);
  return date + " " + t.substr(9, 2) + ":" + t.substr(11, 2);
}

void PrintEntries(Cli& cli, const std::vector<RemoteEntry>& entries, const LsOptions& options) {
  for (const RemoteEntry& e : entries) {
    if (options.long_form) {
      const std::string permissions = (e.folder ? "d" : "-") + e.permissions;
      const std::string size = e.folder        ? "-"
                               : options.human ? HumanSize(e.size)
                                               : std::to_string(e.size);
      std::fprintf(cli.out, "%-5s %10s  %s  %s%s\n", permissions.c_str(), size.c_str(),
                   DateText(e.modified, false).c_str(), e.name.c_str(), e.folder ? "/" : "");
    } else {
      std::fprintf(cli.out, "%s%s\n", e.name.c_str(), e.folder ? "/" : "");
    }
  }
}

nlohmann::ordered_json EntryJson(const RemoteEntry& e, const std::string& path) {
  nlohmann::ordered_json j;
  j["name"] = e.name;
  j["path"] = path;
  j["type"] = e.folder ? "folder" : "file";
  if (!e.folder) j["size"] = e.size;
  if (e.modified) j["modified"] = DateText(e.modified, true);
  j["permissions"] = e.permissions;
  return j;
}

// One operand: a folder with what it holds, or a file.
struct Listed {
  std::string path;  // as the phone names it: "/Pictures"
  bool folder = false;
  std::vector<RemoteEntry> entries;  // a folder's, or the file itself
};

}  // namespace

int RunLs(Cli& cli, const std::vector<std::string>& paths, const LsOptions& options) {
  const std::vector<std::string> wanted = paths.empty() ? std::vector<std::string>{"/"} : paths;
  // As ls does: every operand is looked at first; then the files, together,
  // and each folder under its heading.
  std::vector<Listed> files, folders;
  int status = kExitDone;
  for (const std::string& path : wanted) {
    try {
      // Most paths are folders: listed at once. One that cannot be entered
      // may be a file, found in its folder's listing.
      Listed listed;
      listed.path = JoinRemotePath(SplitRemotePath(path));
      try {
        listed.entries = cli.Files().List(path).entries;
        listed.folder = true;
      } catch (const SessionError& e) {
        if (e.Kind() != SessionErrorKind::kRefused) throw;
        std::optional<RemoteEntry> entry = cli.Files().Find(path);
        if (!entry) {
          cli.Error(path + ": not found");
          status = kExitRefused;
          continue;
        }
        listed.entries = {*entry};
      }
      (listed.folder ? folders : files).push_back(std::move(listed));
    } catch (const SessionError& e) {
      status = cli.Fail(e, path);
      if (status != kExitRefused) break;
    }
  }
  if (options.json) {
    nlohmann::ordered_json json = nlohmann::ordered_json::array();
    for (const auto* group : {&files, &folders}) {
      for (const Listed& listed : *group) {
        for (const RemoteEntry& e : listed.entries) {
          json.push_back(
              EntryJson(e, listed.folder ? RemoteChild(listed.path, e.name) : listed.path));
        }
      }
    }
    std::fprintf(cli.out, "%s\n", json.dump(2).c_str());
    return status;
  }
  std::vector<RemoteEntry> loose;
  for (const Listed& listed : files) loose.push_back(listed.entries.front());
  PrintEntries(cli, loose, options);
  const bool headings = wanted.size() > 1;
  for (size_t i = 0; i < folders.size(); ++i) {
    if (headings) {
      std::fprintf(cli.out, "%s%s:\n", i || !files.empty() ? "\n" : "", folders[i].path.c_str());
    }
    PrintEntries(cli, folders[i].entries, options);
  }
  return status;
}

}  // namespace quorvalen::tool
