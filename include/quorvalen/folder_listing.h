// The reader of a phone's folder listing (an x-obex/folder-listing XML
// document): the entries a person sees, and the ones a careful host must
// not use because the phone named them in a way no path may hold.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvalen {

struct RemoteEntry {
  std::string name;  // UTF-8
  bool folder = false;
  uint64_t size = 0;  // files only
  // The phone's own clock, as seconds since 1970 read as if it were UTC.
  std::optional<int64_t> modified;
  std::string permissions;  // the phone's letters ("RWD"), empty when not given
};

struct SkippedEntry {
  std::string name;    // as the phone sent it, NUL shown as "\0"
  std::string reason;  // "names the parent folder", ...
};

struct FolderListing {
  std::vector<RemoteEntry> entries;
  std::vector<SkippedEntry> skipped;
};

// Reads a listing. Entries named "." or "..", empty, or holding '/', '\'
// or NUL go to skipped. Nothing (and the reason in *error) when the text
// is not a whole folder-listing document.
std::optional<FolderListing> ReadFolderListing(std::string_view xml, std::string* error);

}  // namespace quorvalen
