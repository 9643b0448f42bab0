// quorvalen-phone as a child process of a test.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace quorvalen {

// What a run of a tool said and how it ended.
struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

// A file's whole contents (empty when it cannot be read).
inline std::string Read(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// quorvalen-phone as a child process; its first line of output is the
// device path.
class PhoneProcess {
 public:
  explicit PhoneProcess(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    args.insert(args.begin(), QUORVALEN_PHONE);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, QUORVALEN_PHONE, &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    // The device paths it prints: one, or two over infrared.
    const bool infrared = std::find(args.begin(), args.end(), "--infrared") != args.end();
    FILE* f = fdopen(out[0], "r");
    char line[256] = {};
    for (std::string* path : {&device_, &obex_device_}) {
      if (path == &obex_device_ && !infrared) break;
      if (f && fgets(line, sizeof line, f)) *path = line;
      if (!path->empty() && path->back() == '\n') path->pop_back();
    }
    if (f) fclose(f);
  }
  ~PhoneProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& Device() const { return device_; }
  // Over infrared: the OBEX service's device (Device() is the serial one).
  const std::string& ObexDevice() const { return obex_device_; }
  void Signal(int s) { kill(pid_, s); }
  // Exit status after SIGTERM.
  int Stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::string device_;
  std::string obex_device_;
};

#ifdef QUORVALEN_CLI
// The command line's held connections of a test live in a folder of its
// own (as $XDG_RUNTIME_DIR)...
inline void HoldConnectionsIn(const std::filesystem::path& dir) {
  const std::filesystem::path run = dir / "run";
  std::filesystem::create_directories(run);
  std::filesystem::permissions(run, std::filesystem::perms::owner_all);
  ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
}
// ...and are let go when it ends.
inline void ReleaseHeldConnections() {
  if (std::system(QUORVALEN_CLI " release >/dev/null 2>&1") != 0) {
    // nothing was held
  }
}
#endif

}  // namespace quorvalen
