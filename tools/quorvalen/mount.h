// quorvalen mount: the phone as a folder (FUSE), on one held session.
#pragma once

#include <cstddef>
#include <string>

namespace quorvalen::tool {

class Cli;
struct GlobalOptions;

struct MountOptions {
  std::string mountpoint;
  bool foreground = false;
  double cache_ttl = 10;                // seconds a folder's listing is kept
  size_t memory_bound = 32u << 20;      // a file's bytes beyond this go to a temporary file
};

int RunMount(Cli& cli, const GlobalOptions& global, const MountOptions& options);

}  // namespace quorvalen::tool
