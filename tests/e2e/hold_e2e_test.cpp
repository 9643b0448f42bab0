// The held connection as a person meets it: quorvalen commands one after
// another against quorvalen-phone on a pseudo-terminal, the holder that the
// first leaves behind serving the rest, and every way it lets go.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "e2e/tool_e2e.h"

namespace quorvalen {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class HoldEndToEnd : public ToolEndToEnd {
 protected:
  HoldEndToEnd() : ToolEndToEnd("hold-e2e") {
    fs::create_directories(dir_ / "phone");
    fs::create_directories(dir_ / "local");
    std::mt19937 random(7);
    big_.resize(3 << 20);
    for (char& c : big_) c = static_cast<char>(random());
    std::ofstream(dir_ / "phone" / "big.bin", std::ios::binary) << big_;
    std::ofstream(dir_ / "phone" / "small.txt") << "a small file\n";
  }

  // quorvalen in the background, its output in files named after tag, its
  // input the given text.
  pid_t Start(const std::string& args, const std::string& tag, const std::string& input = {}) {
    const std::string in = (dir_ / (tag + ".in")).string();
    std::ofstream(in) << input;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in.c_str(), O_RDONLY, 0);
    const std::string out = (dir_ / (tag + ".out")).string(),
                      err = (dir_ / (tag + ".err")).string();
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> words = {QUORVALEN_CLI};
    std::istringstream split(args);
    for (std::string word; split >> word;) words.push_back(word);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    (void)!::chdir(dir_.c_str());
    if (posix_spawn(&pid, QUORVALEN_CLI, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
  Result Wait(pid_t pid, const std::string& tag) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            Read(dir_ / (tag + ".out")), Read(dir_ / (tag + ".err"))};
  }
  Result Run(const std::string& args, const std::string& input = {}) {
    return Wait(Start(args, "run", input), "run");
  }

  // The holder's pid as status gives it; 0 when nothing is held.
  pid_t Holder() {
    const std::string out = Run("status").out;
    std::smatch m;
    if (!std::regex_search(out, m, std::regex(R"(\(pid (\d+)\))"))) return 0;
    return static_cast<pid_t>(std::stol(m[1]));
  }
  bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(50ms);
    }
    return true;
  }
  // Whether the phone answers a plain "AT" on its device: it is in AT mode
  // and nothing holds the port.
  static bool AnswersAt(const std::string& device) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return false;
    termios raw{};
    ::tcgetattr(fd, &raw);
    ::cfmakeraw(&raw);
    ::cfsetspeed(&raw, B19200);
    ::tcsetattr(fd, TCSANOW, &raw);
    (void)!::write(fd, "AT\r", 3);
    std::string heard;
    for (int i = 0; i < 20 && heard.find("OK") == std::string::npos; ++i) {
      pollfd in{fd, POLLIN, 0};
      if (::poll(&in, 1, 50) > 0) {
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) heard.append(buffer, static_cast<size_t>(n));
      }
    }
    ::close(fd);
    return heard.find("OK") != std::string::npos;
  }
  bool NoPartialFiles() {
    for (const auto& e : fs::directory_iterator(dir_ / "local")) {
      if (e.path().filename().string().find(".part-") != std::string::npos) return false;
    }
    return true;
  }

  std::string big_;
};

// The first command opens and leaves a holder; the rest run on it, also
// two at once and one whose client goes away in the middle of a GET; and
// release, the idle time, SIGTERM and SIGKILL each end it.
TEST_F(HoldEndToEnd, TheFirstCommandLeavesAHolderTheNextOnesRunOn) {
  PhoneProcess phone({"--root", (dir_ / "phone").string(), "--family", "2"});
  const std::string port = "--port " + phone.Device() + " ";
  const std::string local = (dir_ / "local").string() + "/";

  Result r = Run(port + "ls /");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "big.bin\nsmall.txt\n");
  const pid_t holder = Holder();
  ASSERT_GT(holder, 0);
  // (The idle time counts down from 60 s: a slow machine may show 59.)
  const std::string state = Run("status").out;
  EXPECT_TRUE(std::regex_match(
      state, std::regex(phone.Device() + ": held by quorvalen \\(pid " + std::to_string(holder) +
                        "\\), idle, lets go in (60|59) s\n")))
      << state;
  r = Run(port + "get /small.txt " + local + "small.txt");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Read(dir_ / "local" / "small.txt"), "a small file\n");
  // Errors and exit codes are the command's own.
  r = Run(port + "get /none.txt " + local);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "quorvalen: /none.txt: not found\n");
  EXPECT_EQ(Holder(), holder);

  // Two at once: served one after the other, in the order they came.
  const pid_t first = Start(port + "get /big.bin " + local + "a.bin", "a");
  ASSERT_TRUE(
      WaitUntil([&] { return Run("status").out.find("running") != std::string::npos; }, 5s));
  const pid_t second = Start(port + "-v get /small.txt " + local + "b.txt", "b");
  std::this_thread::sleep_for(100ms);
  int ended = 0;
  EXPECT_EQ(::waitpid(second, &ended, WNOHANG), 0) << "the second did not wait for the first";
  EXPECT_NE(Run("status").out.find("a.bin\" for pid " + std::to_string(first)), std::string::npos);
  EXPECT_EQ(Wait(first, "a").code, 0);
  EXPECT_EQ(Wait(second, "b").code, 0);
  EXPECT_EQ(Read(dir_ / "local" / "a.bin"), big_);
  EXPECT_EQ(Read(dir_ / "local" / "b.txt"), "a small file\n");

  // A client interrupted in the middle of a GET: Ctrl-C stops the transfer
  // at its next packet as it would without a holder; a client killed
  // outright stops it too. No part is left; the holder goes on.
  for (int signal : {SIGINT, SIGKILL}) {
    const pid_t client = Start(port + "get /big.bin " + local + "c.bin", "c");
    ASSERT_TRUE(
        WaitUntil([&] { return Run("status").out.find("c.bin") != std::string::npos; }, 5s));
    std::this_thread::sleep_for(200ms);
    ::kill(client, signal);
    r = Wait(client, "c");
    if (signal == SIGINT) {
      EXPECT_EQ(r.code, 130);
      EXPECT_EQ(r.err,
                "\nquorvalen: stopping (Ctrl-C again to quit at once)\nquorvalen: /big.bin: "
                "cancelled\n");
    }
    r = Run(port + "ls /");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "local" / "c.bin"));
    EXPECT_TRUE(NoPartialFiles());
  }
  EXPECT_EQ(Holder(), holder);
  // A shell runs in the holder too, on the command's own input and output.
  r = Run(port + "shell", "cd /\nls\nget /nothing.txt\n");
  EXPECT_EQ(r.out, "big.bin\nsmall.txt\n");
  EXPECT_EQ(r.err, "quorvalen: /nothing.txt: not found\n");
  EXPECT_EQ(r.code, 1);

  // release: the phone is back in AT mode and the port free.
  r = Run("release");
  EXPECT_EQ(r.err, "quorvalen: " + phone.Device() + ": released (the phone is back in AT mode)\n");
  EXPECT_EQ(Run("status").out, "nothing is held\n");
  EXPECT_TRUE(AnswersAt(phone.Device()));

  // The idle time, and SIGTERM.
  EXPECT_EQ(Run(port + "--hold 1 ls /").code, 0);
  EXPECT_GT(Holder(), 0);
  EXPECT_TRUE(WaitUntil([&] { return Holder() == 0; }, 6s));
  EXPECT_TRUE(AnswersAt(phone.Device()));
  EXPECT_EQ(Run(port + "ls /").code, 0);
  ::kill(Holder(), SIGTERM);
  EXPECT_TRUE(WaitUntil([&] { return Holder() == 0; }, 6s));
  EXPECT_TRUE(AnswersAt(phone.Device()));

  // A holder killed outright leaves its socket and the phone in BFB mode:
  // the next command replaces the one and brings the other back.
  EXPECT_EQ(Run(port + "ls /").code, 0);
  const pid_t killed = Holder();
  ::kill(killed, SIGKILL);
  r = Run(port + "ls /");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "big.bin\nsmall.txt\n");
  EXPECT_NE(r.err.find("still in BFB mode"), std::string::npos) << r.err;
  EXPECT_NE(Holder(), killed);
  EXPECT_GT(Holder(), 0);
}

// Only the user who started a holder may use it: another user's command
// (here root's, which may enter any folder) is refused, by the command
// itself and by the holder when asked directly.
TEST_F(HoldEndToEnd, AnotherUsersCommandIsRefused) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root and a user nobody";
  PhoneProcess phone({"--root", (dir_ / "phone").string(), "--family", "2"});
  // nobody's own folders; the device open to it.
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
  const fs::path theirs = dir_ / "nobody";
  fs::create_directories(theirs / "run");
  for (const fs::path& p : {theirs, theirs / "run"}) {
    ASSERT_EQ(::chown(p.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  fs::permissions(theirs / "run", fs::perms::owner_all);
  ASSERT_EQ(::chmod(phone.Device().c_str(), 0666), 0);
  auto as_nobody = [&](const std::string& args) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::setenv("XDG_RUNTIME_DIR", (theirs / "run").c_str(), 1);
      ::setenv("XDG_CONFIG_HOME", theirs.c_str(), 1);
      ::setenv("HOME", theirs.c_str(), 1);
      if (::chdir(theirs.c_str()) != 0 || ::setgid(nobody->pw_gid) != 0 ||
          ::setuid(nobody->pw_uid) != 0) {
        ::_exit(99);
      }
      const int quiet = ::open("/dev/null", O_WRONLY);
      ::dup2(quiet, STDOUT_FILENO);
      ::execl("/bin/sh", "sh", "-c", (std::string(QUORVALEN_CLI) + " " + args).c_str(), nullptr);
      ::_exit(98);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  // (A build in a folder others may not enter cannot be run as nobody.)
  if (as_nobody("--version") != 0) GTEST_SKIP() << "nobody cannot run " << QUORVALEN_CLI;
  ASSERT_EQ(as_nobody("--port " + phone.Device() + " ls /"), 0);

  ::setenv("XDG_RUNTIME_DIR", (theirs / "run").c_str(), 1);
  Result r = Run("--port " + phone.Device() + " ls /");
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "quorvalen: the phone's connection is held by another user (uid " +
                       std::to_string(nobody->pw_uid) + "); it serves only them\n");

  // The holder's own check, for a client that does not check first.
  fs::path socket;
  for (const auto& e : fs::directory_iterator(theirs / "run" / "quorvalen")) socket = e.path();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::string answer;
  char buffer[512];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, n);
  ::close(fd);
  EXPECT_NE(answer.find("held by another user"), std::string::npos) << answer;

  EXPECT_EQ(as_nobody("release"), 0);
  HoldConnectionsIn(dir_);
}

}  // namespace
}  // namespace quorvalen
