// The folder listing the OBEX server sends for a GET of type
// x-obex/folder-listing: UTF-8 XML with a parent-folder element below the
// root, then the folders and the files, each group sorted by name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quorvalen/sim/file_store.h"

namespace quorvalen::sim {

inline constexpr std::string_view kFolderListingType = "x-obex/folder-listing";

// Entries without attributes show user-perm="RW".
std::string FolderListingXml(std::vector<Entry> entries, bool has_parent);

}  // namespace quorvalen::sim
