// quorvalen mount: the phone as a folder (FUSE), on one held session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "phone_files.h"

namespace quorvalen::tool {

class Cli;
struct Served;
struct GlobalOptions;

struct MountOptions {
  std::string mountpoint;
  bool foreground = false;
  double cache_ttl = 10;            // seconds a folder's listing is kept
  size_t memory_bound = 32u << 20;  // a file's bytes beyond this go to a temporary file
};

// Why a folder cannot take the mount, or nothing: it must be a folder,
// empty (the mount would hide what it holds) and not a mount point already
// (mounts would stack). Said before any phone is opened.
std::string MountpointProblem(const std::string& path);

// How long the mount waits for the phone's answer to anything but a file's
// contents (a listing, a folder change, the way back to AT mode): a phone
// unplugged is noticed after three such waits and the way back, in 8 s.
inline constexpr int kMountAnswerMs = 2000;
// The least time between two tries to reach a phone that went away.
inline constexpr int64_t kMountReopenMs = 5000;

// The mount's session: answers within kMountAnswerMs but for files'
// contents; opened again (again), it gives up at once when nothing answers.
void MountSessionOptions(SessionOptions& options, bool again);
// The files layer of the mount; reopen opens the mount's session again.
FilesOptions MountFilesOptions(const MountOptions& options,
                               std::function<std::unique_ptr<Session>()> reopen);

int RunMount(Cli& cli, const GlobalOptions& global, const MountOptions& options);

// The mount of a holder, on its held session: the client is told it is
// done once the phone is mounted; the holder serves the mount (and the
// port's socket) until it is unmounted, then holds the connection again.
int RunHeldMount(Cli& cli, const GlobalOptions& global, const MountOptions& options,
                 Served& served);

}  // namespace quorvalen::tool
