// quorvalen ls: a folder's entries, as names, as a long table (-l) or as
// JSON (--json).
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
  if (options.json) return;
  for (const RemoteEntry& e : entries) {
    if (options.long_form) {
      const std::string permissions = (e.folder ? "d" : "-") + e.permissions;
      const std::string size = e.folder ? "-" : std::to_string(e.size);
      std::fprintf(cli.out, "%-5s %10s  %s  %s%s\n", permissions.c_str(), size.c_str(),
                   DateText(e.modified, false).c_str(), e.name.c_str(), e.folder ? "/" : "");
    } else {
      std::fprintf(cli.out, "%s%s\n", e.name.c_str(), e.folder ? "/" : "");
    }
  }
}

nlohmann::ordered_json EntryJson(const RemoteEntry& e) {
  nlohmann::ordered_json j;
  j["name"] = e.name;
  j["type"] = e.folder ? "folder" : "file";
  if (!e.folder) j["size"] = e.size;
  if (e.modified) j["modified"] = DateText(e.modified, true);
  j["permissions"] = e.permissions;
  return j;
}

}  // namespace

int RunLs(Cli& cli, const std::vector<std::string>& paths, const LsOptions& options) {
  const std::vector<std::string> wanted = paths.empty() ? std::vector<std::string>{"/"} : paths;
  nlohmann::ordered_json json = nlohmann::ordered_json::array();
  int status = kExitDone;
  for (size_t i = 0; i < wanted.size(); ++i) {
    const std::string& path = wanted[i];
    try {
      // Most paths are folders: listed at once. One that cannot be entered
      // may be a file, found in its folder's listing.
      std::optional<RemoteEntry> entry;
      std::vector<RemoteEntry> entries;
      try {
        entries = cli.Files().List(path).entries;
        entry.emplace().folder = true;
      } catch (const SessionError& e) {
        if (e.Kind() != SessionErrorKind::kRefused) throw;
        entry = cli.Files().Find(path);
        if (entry) entries = {*entry};
      }
      if (!entry) {
        cli.Error(path + ": not found");
        status = kExitRefused;
        continue;
      }
      if (options.json) {
        for (const RemoteEntry& e : entries) json.push_back(EntryJson(e));
        continue;
      }
      if (wanted.size() > 1 && entry->folder) {
        std::fprintf(cli.out, "%s%s:\n", i ? "\n" : "",
                     JoinRemotePath(SplitRemotePath(path)).c_str());
      }
      PrintEntries(cli, entries, options);
    } catch (const SessionError& e) {
      status = cli.Fail(e, path);
      if (status != kExitRefused) break;
    }
  }
  if (options.json) std::fprintf(cli.out, "%s\n", json.dump(2).c_str());
  return status;
}

}  // namespace quorvalen::tool
