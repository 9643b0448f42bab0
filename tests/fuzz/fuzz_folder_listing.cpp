// The folder-listing reader: any bytes in, entries or a clear error out.
// Every entry it returns must be usable as one local path component.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "quorvalen/folder_listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  auto listing = quorvalen::ReadFolderListing(
      std::string_view(reinterpret_cast<const char*>(data), size), &error);
  if (!listing) {
    if (error.empty()) std::abort();
    return 0;
  }
  for (const quorvalen::RemoteEntry& entry : listing->entries) {
    const std::string& name = entry.name;
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos) {
      std::abort();
    }
  }
  return 0;
}
