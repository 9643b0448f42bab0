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

// Why a folder cannot take the mount, or nothing: it must be a folder,
// empty (the mount would hide what it holds) and not a mount point already
// (mounts would stack). Said before any phone is opened.
std::string MountpointProblem(const std::string& path);

int RunMount(Cli& cli, const GlobalOptions& global, const MountOptions& options);

}  // namespace quorvalen::tool
