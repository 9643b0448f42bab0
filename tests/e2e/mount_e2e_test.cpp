// quorvalen mount for real, through FUSE, against quorvalen-phone on a
// pseudo-terminal: the phone's files read, written, renamed and removed by
// the tools people use on folders, and a phone that goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "e2e/tool_e2e.h"

namespace quorvalen {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Mounted(const fs::path& path) {
  std::ifstream in("/proc/self/mountinfo");
  // Appended, not summed from a literal: GCC 12 warns falsely on that.
  std::string field(1, ' ');
  field += path.string();
  field += ' ';
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(field) != std::string::npos) return true;
  }
  return false;
}

class MountEndToEnd : public ToolEndToEnd {
 protected:
  MountEndToEnd() : ToolEndToEnd("mount-e2e") {
    fs::create_directories(dir_ / "phone" / "Pictures");
    fs::create_directories(dir_ / "mnt");
  }
  void SetUp() override {
    if (::access("/dev/fuse", R_OK | W_OK) != 0 ||
        Shell("command -v fusermount3 >/dev/null") != 0) {
      GTEST_SKIP() << "no FUSE here";
    }
  }
  // (Unmounted before the scratch folder goes.)
  void TearDown() override {
    if (Mounted(dir_ / "mnt")) Shell("fusermount3 -u " + (dir_ / "mnt").string());
  }
  // Mounts in the background (detached); the call returns once it is ready.
  int Mount(const std::string& device, const std::string& options = {}) {
    return Shell(std::string(QUORVALEN_CLI) + " --port " + device + " mount " + options + " " +
                 (dir_ / "mnt").string() + " 2>" + (dir_ / "mount.err").string());
  }
  // Unmounts and waits for the mount's process to go (it takes the phone
  // back to AT mode and closes the port first).
  bool Unmount() {
    if (Shell("fusermount3 -u " + (dir_ / "mnt").string()) != 0) return false;
    for (int i = 0; i < 100; ++i) {
      // ("[m]" keeps the pattern from matching the shell that runs pgrep.)
      if (Shell("pgrep -f '[m]ount .*" + (dir_ / "mnt").string() + "$' >/dev/null") != 0) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
};

TEST_F(MountEndToEnd, ThePhonesFilesAsAFolder) {
  std::string photo;
  for (int i = 0; i < 300 * 1024; ++i) photo += static_cast<char>((i * 31) ^ (i >> 8));
  std::ofstream(dir_ / "phone" / "Pictures" / "photo.jpg", std::ios::binary) << photo;
  std::ofstream(dir_ / "phone" / "notes.txt") << "old notes";
  PhoneProcess phone({"--root", (dir_ / "phone").string()});
  ASSERT_FALSE(phone.Device().empty());
  // 100 KB in memory: the photo is cached in a temporary file, the song in memory.
  // 100 KB in memory: the photo is cached in a temporary file, the song in memory.
  ASSERT_EQ(Mount(phone.Device(), "--cache-memory 0.1"), 0) << Read(dir_ / "mount.err");
  ASSERT_TRUE(Mounted(dir_ / "mnt"));
  const fs::path mnt = dir_ / "mnt";

  // Reading: the listing, the sizes, the bytes, a range.
  EXPECT_TRUE(fs::is_directory(mnt / "Pictures"));
  EXPECT_EQ(fs::file_size(mnt / "Pictures" / "photo.jpg"), photo.size());
  EXPECT_EQ(Read(mnt / "Pictures" / "photo.jpg"), photo);
  EXPECT_EQ(Shell("cmp " + (mnt / "Pictures" / "photo.jpg").string() + " " +
                  (dir_ / "phone" / "Pictures" / "photo.jpg").string()),
            0);
  {
    std::ifstream in(mnt / "Pictures" / "photo.jpg", std::ios::binary);
    in.seekg(200000);
    std::string range(100, '\0');
    in.read(range.data(), 100);
    EXPECT_EQ(range, photo.substr(200000, 100));
  }

  // Read again within the cache's time: served from what was fetched (the
  // phone no longer has it, and nothing asks it).
  fs::remove(dir_ / "phone" / "Pictures" / "photo.jpg");
  EXPECT_EQ(Read(mnt / "Pictures" / "photo.jpg"), photo);

  // Writing: cp in, a file replaced, appended to, made empty by touch.
  std::ofstream(dir_ / "song.mp3", std::ios::binary) << photo.substr(1000, 50000);
  EXPECT_EQ(Shell("cp " + (dir_ / "song.mp3").string() + " " + mnt.string() + "/"), 0);
  EXPECT_EQ(Read(dir_ / "phone" / "song.mp3"), photo.substr(1000, 50000));
  { std::ofstream(mnt / "notes.txt") << "new notes"; }
  EXPECT_EQ(Read(dir_ / "phone" / "notes.txt"), "new notes");
  EXPECT_EQ(Shell("echo more >> " + (mnt / "notes.txt").string()), 0);
  EXPECT_EQ(Read(dir_ / "phone" / "notes.txt"), "new notesmore\n");
  EXPECT_EQ(Read(mnt / "notes.txt"), "new notesmore\n");
  EXPECT_EQ(Shell("touch " + (mnt / "empty.txt").string()), 0);
  EXPECT_TRUE(fs::exists(dir_ / "phone" / "empty.txt"));

  // Folders, renames (across folders mv copies), removal.
  fs::create_directory(mnt / "Music");
  EXPECT_TRUE(fs::is_directory(dir_ / "phone" / "Music"));
  EXPECT_EQ(Shell("mv " + (mnt / "song.mp3").string() + " " + (mnt / "tune.mp3").string()), 0);
  EXPECT_TRUE(fs::exists(dir_ / "phone" / "tune.mp3"));
  EXPECT_EQ(Shell("mv " + (mnt / "tune.mp3").string() + " " + (mnt / "Music").string() + "/"), 0);
  EXPECT_EQ(Read(dir_ / "phone" / "Music" / "tune.mp3"), photo.substr(1000, 50000));
  EXPECT_FALSE(fs::exists(dir_ / "phone" / "tune.mp3"));
  EXPECT_NE(Shell("rmdir " + (mnt / "Music").string() + " 2>/dev/null"), 0);  // not empty
  EXPECT_EQ(Shell("rm -r " + (mnt / "Music").string()), 0);
  EXPECT_FALSE(fs::exists(dir_ / "phone" / "Music"));

  // A name Latin-1 cannot carry is refused, and nothing reaches the phone.
  std::error_code error;
  { std::ofstream(mnt / "\xE6\x97\xA5.txt") << "x"; }
  EXPECT_FALSE(fs::exists(mnt / "\xE6\x97\xA5.txt", error));
  EXPECT_FALSE(fs::exists(dir_ / "phone" / "\xE6\x97\xA5.txt"));
  { std::ofstream(mnt / "caf\xC3\xA9.txt") << "ok"; }
  EXPECT_EQ(Read(dir_ / "phone" / "caf\xC3\xA9.txt"), "ok");

  // A command of another process runs on the mount's connection (the
  // port is the mount's), and the mount lists afresh what it changed.
  const std::string cli = std::string(QUORVALEN_CLI) + " --port " + phone.Device() + " ";
  const std::string said = " >" + (dir_ / "cli.out").string() + " 2>" + (dir_ / "cli.err").string();
  EXPECT_EQ(Shell(std::string(QUORVALEN_CLI) + " status" + said), 0);
  EXPECT_EQ(
      Read(dir_ / "cli.out")
          .rfind(phone.Device() + ": held by quorvalen mount on " + mnt.string() + " (pid ", 0),
      0u)
      << Read(dir_ / "cli.out");
  EXPECT_EQ(Shell(cli + "ls /" + said), 0);
  EXPECT_NE(Read(dir_ / "cli.out").find("notes.txt\n"), std::string::npos);
  EXPECT_EQ(Read(dir_ / "cli.err"), "");
  std::ofstream(dir_ / "other.txt") << "from elsewhere";
  EXPECT_EQ(Shell(cli + "put " + (dir_ / "other.txt").string() + " /Pictures/" + said), 0);
  EXPECT_EQ(Read(mnt / "Pictures" / "other.txt"), "from elsewhere");

  struct statvfs st {};
  ASSERT_EQ(statvfs(mnt.c_str(), &st), 0);
  EXPECT_GT(st.f_blocks, 0u);

  EXPECT_TRUE(Unmount());
  EXPECT_FALSE(Mounted(mnt));
  // The phone was left in AT mode: the next opening needs no way back.
  EXPECT_EQ(Shell(std::string(QUORVALEN_CLI) + " --port " + phone.Device() +
                  " at AT >/dev/null 2>" + (dir_ / "after.err").string()),
            0);
  EXPECT_EQ(Read(dir_ / "after.err"), "");
}

// A mount started while a command's connection is held runs in that
// holder, on its session: ready at once, serving other commands, refusing
// what would take the connection from it, and holding the phone again,
// idle, once unmounted. SIGTERM ends the mount and the hold together.
TEST_F(MountEndToEnd, AMountOnAHeldConnectionIsTheHolders) {
  std::ofstream(dir_ / "phone" / "a.txt") << "on the phone";
  PhoneProcess phone({"--root", (dir_ / "phone").string()});
  ASSERT_FALSE(phone.Device().empty());
  const fs::path mnt = dir_ / "mnt";
  const std::string cli = std::string(QUORVALEN_CLI) + " --port " + phone.Device() + " ";
  const std::string said = " >" + (dir_ / "cli.out").string() + " 2>" + (dir_ / "cli.err").string();
  auto status = [&] {
    Shell(std::string(QUORVALEN_CLI) + " status" + said);
    return Read(dir_ / "cli.out");
  };
  ASSERT_EQ(Shell(cli + "ls /" + said), 0) << Read(dir_ / "cli.err");
  const std::string held = status();
  const std::string pid = held.substr(held.find("(pid "), held.find(')') - held.find("(pid ") + 1);
  ASSERT_NE(held.find(", idle, lets go in"), std::string::npos) << held;

  const auto start = steady_clock::now();
  ASSERT_EQ(Mount(phone.Device()), 0) << Read(dir_ / "mount.err");
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(2));  // no opening of its own
  EXPECT_EQ(Read(dir_ / "mount.err"),
            "mounted on " + mnt.string() + "; fusermount3 -u " + mnt.string() + " unmounts\n");
  EXPECT_EQ(status(),
            phone.Device() + ": held by quorvalen mount on " + mnt.string() + " " + pid + "\n");
  EXPECT_EQ(Read(mnt / "a.txt"), "on the phone");
  { std::ofstream(mnt / "b.txt") << "through the mount"; }
  EXPECT_EQ(Shell(cli + "get /b.txt -" + said), 0) << Read(dir_ / "cli.err");
  EXPECT_EQ(Read(dir_ / "cli.out"), "through the mount");
  // Neither a second mount nor a release takes the connection from it.
  fs::create_directories(dir_ / "mnt2");
  EXPECT_EQ(Shell(cli + "mount " + (dir_ / "mnt2").string() + said), 3);
  EXPECT_NE(Read(dir_ / "cli.err").find("held by quorvalen mount on " + mnt.string()),
            std::string::npos)
      << Read(dir_ / "cli.err");
  EXPECT_FALSE(Mounted(dir_ / "mnt2"));
  EXPECT_EQ(Shell(cli + "release" + said), 1);
  // A served command's own files inside the mount would wait for the turn
  // it holds: they are refused, and the command fails instead of hanging.
  EXPECT_EQ(Shell(cli + "get /a.txt " + mnt.string() + "/copy.txt" + said), 4);
  EXPECT_NE(Read(dir_ / "cli.err").find("Resource deadlock avoided"), std::string::npos)
      << Read(dir_ / "cli.err");
  EXPECT_EQ(Shell(cli + "ls / >" + (mnt / "listing.txt").string()), 4);
  EXPECT_EQ(Shell(cli + "get /a.txt -" + said), 0);  // and the mount serves on
  EXPECT_EQ(Read(dir_ / "cli.out"), "on the phone");

  ASSERT_EQ(Shell("fusermount3 -u " + mnt.string()), 0);
  std::string after;
  for (int i = 0; i < 50 && (after = status()).find(", idle") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(after.rfind(phone.Device() + ": held by quorvalen " + pid + ", idle, lets go in", 0),
            0u)
      << after;
  EXPECT_EQ(Shell(cli + "get /b.txt -" + said), 0);

  ASSERT_EQ(Mount(phone.Device()), 0) << Read(dir_ / "mount.err");
  ASSERT_EQ(Shell("kill -TERM " + pid.substr(5, pid.size() - 6)), 0);
  for (int i = 0; i < 100 && (Mounted(mnt) || status() != "nothing is held\n"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_FALSE(Mounted(mnt));
  EXPECT_EQ(status(), "nothing is held\n");
  // The phone was left in AT mode: the next opening needs no way back.
  EXPECT_EQ(Shell(cli + "--hold 0 at AT" + said), 0);
  EXPECT_EQ(Read(dir_ / "cli.err"), "");
}

// Open files are named by their handles: one removed or replaced while open
// reads on, one written in a folder renamed meanwhile arrives under the new
// name, and a folder renamed onto an empty one replaces it.
TEST_F(MountEndToEnd, OpenFilesFollowRenamesAndRemovals) {
  std::ofstream(dir_ / "phone" / "f.txt") << "first";
  std::ofstream(dir_ / "phone" / "g.txt") << "second";
  fs::create_directories(dir_ / "phone" / "D");
  fs::create_directories(dir_ / "phone" / "Empty");
  PhoneProcess phone({"--root", (dir_ / "phone").string()});
  ASSERT_FALSE(phone.Device().empty());
  ASSERT_EQ(Mount(phone.Device()), 0) << Read(dir_ / "mount.err");
  const fs::path mnt = dir_ / "mnt";

  std::ifstream removed(mnt / "f.txt");
  std::ifstream replaced(mnt / "g.txt");
  ASSERT_TRUE(removed && replaced);
  fs::remove(mnt / "f.txt");
  { std::ofstream(mnt / "h.txt") << "third"; }
  fs::rename(mnt / "h.txt", mnt / "g.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(removed), {}), "first");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(replaced), {}), "second");
  removed.close();
  replaced.close();
  EXPECT_FALSE(fs::exists(dir_ / "phone" / "f.txt"));
  EXPECT_EQ(Read(dir_ / "phone" / "g.txt"), "third");

  const int fd = ::open((mnt / "D" / "new.txt").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  fs::rename(mnt / "D", mnt / "E");
  EXPECT_EQ(::write(fd, "late", 4), 4);
  EXPECT_EQ(::close(fd), 0);
  EXPECT_EQ(Read(dir_ / "phone" / "E" / "new.txt"), "late");
  fs::rename(mnt / "E", mnt / "Empty");
  EXPECT_EQ(Read(dir_ / "phone" / "Empty" / "new.txt"), "late");
  EXPECT_FALSE(fs::exists(dir_ / "phone" / "E"));
  EXPECT_TRUE(Unmount());
}

// The phone goes away: a file being written fails its close (EIO) and the
// log says why, the operation at work fails within its time-outs, every
// later one at once, and the mount can still be unmounted.
TEST_F(MountEndToEnd, APhoneThatGoesAwayFailsOperationsNeverHangs) {
  std::ofstream(dir_ / "phone" / "a.txt") << "a";
  auto phone =
      std::make_unique<PhoneProcess>(std::vector<std::string>{"--root", (dir_ / "phone").string()});
  ASSERT_FALSE(phone->Device().empty());
  const fs::path mnt = dir_ / "mnt";
  // In the foreground (in the background of this test), its log on stderr.
  Shell(std::string(QUORVALEN_CLI) + " --port " + phone->Device() +
        " --set TimeOut=2000 mount -f --cache-ttl 0 " + mnt.string() + " 2>" +
        (dir_ / "mount.log").string() + " &");
  for (int i = 0; i < 300 && !Mounted(mnt); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(Mounted(mnt)) << Read(dir_ / "mount.log");
  EXPECT_EQ(Read(mnt / "a.txt"), "a");
  const int fd = ::open((mnt / "new.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::write(fd, "new", 3), 3);
  phone.reset();  // killed

  const auto start = steady_clock::now();
  EXPECT_EQ(::close(fd), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(40));
  const auto again = steady_clock::now();
  EXPECT_NE(Shell("cat " + (mnt / "a.txt").string() + " >/dev/null 2>&1"), 0);
  EXPECT_NE(Shell("ls " + mnt.string() + " >/dev/null 2>&1"), 0);
  EXPECT_LT(steady_clock::now() - again, std::chrono::seconds(2));
  EXPECT_TRUE(Unmount());
  EXPECT_FALSE(fs::exists(dir_ / "phone" / "new.txt"));
  EXPECT_NE(Read(dir_ / "mount.log").find("put /new.txt failed ("), std::string::npos)
      << Read(dir_ / "mount.log");
}

}  // namespace
}  // namespace quorvalen
