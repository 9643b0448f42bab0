// What the command line refuses before it opens anything: settings outside
// what the control can work with (written by config set, or edited into
// the file by hand), global options that contradict each other, and a
// mount point that would hide files or stack a second mount.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "cli.h"
#include "cli/captured.h"
#include "connection.h"
#include "mount.h"

namespace quorvalen::tool {
namespace {

namespace fs = std::filesystem;

class SettingsCliTest : public ::testing::Test {
 protected:
  SettingsCliTest() {
    char dir[] = "/tmp/quorvalen-settings-test-XXXXXX";
    root_ = ::mkdtemp(dir);
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) saved_ = old;
    ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    cli_.out = out_.File();
    cli_.err = err_.File();
  }
  ~SettingsCliTest() override {
    if (saved_) {
      ::setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
    fs::remove_all(root_);
  }
  int Config(const std::string& action, const std::vector<std::string>& args) {
    return RunConfig(cli_, action, args);
  }
  // The message of the SessionError the options give, or "" for none.
  static std::string Refusal(const GlobalOptions& global) {
    try {
      GatherSessionOptions(global);
    } catch (const SessionError& e) {
      EXPECT_EQ(e.Kind(), SessionErrorKind::kBadName);
      return e.what();
    }
    return {};
  }

  fs::path root_;
  std::optional<std::string> saved_;
  Captured out_, err_;
  Cli cli_;
};

TEST_F(SettingsCliTest, ConfigSetRefusesWhatTheControlCannotWorkWith) {
  // A family unset is found from the phone, not the control's 0.
  EXPECT_EQ(Config("get", {"MobileType"}), kExitDone);
  EXPECT_EQ(out_.Take(), "unset: found from the phone\n");
  for (const auto& [name, value] :
       std::vector<std::pair<std::string, std::string>>{{"MobileType", "7"},
                                                        {"ComType", "9"},
                                                        {"TimeOut", "-5"},
                                                        {"TimeOutLong", "0"},
                                                        {"CommPort", "0"},
                                                        {"OBEX_BlockLen", "10"},
                                                        {"OBEX_ConnectType", "2"},
                                                        {"AT_Settings", "fast"},
                                                        {"RTSEnable", "maybe"},
                                                        {"Retries", "101"},
                                                        {"Hold", "86401"}}) {
    EXPECT_EQ(Config("set", {name, value}), kExitUsage) << name;
    const std::string err = err_.Take();
    EXPECT_EQ(err.rfind("quorvalen: " + name + " takes ", 0), 0u) << err;
    EXPECT_NE(err.find(", not \"" + value + "\"\n"), std::string::npos) << err;
  }
  EXPECT_EQ(err_.Take(), "");
  EXPECT_EQ(Config("list", {}), kExitDone);
  EXPECT_EQ(out_.Take(), "");  // nothing was written
  // Run-time properties are not settings.
  EXPECT_EQ(Config("set", {"Command", "OBEX>DIR:"}), kExitUsage);
  EXPECT_NE(err_.Take().find("unknown setting \"Command\""), std::string::npos);

  // What may be held is kept; a family of 0 too, which is not "unset".
  EXPECT_EQ(Config("set", {"MobileType", "0"}), kExitDone);
  EXPECT_EQ(Config("set", {"OBEX_BlockLen", "0"}), kExitDone);
  EXPECT_EQ(Config("set", {"TimeOut", "5000"}), kExitDone);
  EXPECT_EQ(Config("set", {"AT_Settings", "115200,n,8,1"}), kExitDone);
  EXPECT_EQ(Config("get", {"MobileType"}), kExitDone);
  EXPECT_EQ(out_.Take(), "0\n");
  EXPECT_EQ(GatherSessionOptions({}).mobile_type, 0);
  EXPECT_EQ(Config("unset", {"MobileType"}), kExitDone);
  EXPECT_EQ(GatherSessionOptions({}).mobile_type, std::nullopt);
  // The command line's own: tries again after a failure on the link.
  EXPECT_EQ(Config("get", {"Retries"}), kExitDone);
  EXPECT_EQ(out_.Take(), "3\n");
  EXPECT_EQ(Config("set", {"Retries", "0"}), kExitDone);
  EXPECT_EQ(GatherSessionOptions({}).retries, 0);
  GlobalOptions told;
  told.retries = 5;
  EXPECT_EQ(GatherSessionOptions(told).retries, 5);
  EXPECT_EQ(err_.Take(), "");
}

TEST_F(SettingsCliTest, AFileEditedByHandIsNamedBeforeAnythingOpens) {
  ASSERT_EQ(Config("path", {}), kExitDone);
  std::string path = out_.Take();
  path.pop_back();
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << "Port=/dev/ttyUSB0\nMobileType=7\n";
  EXPECT_EQ(Refusal({}), path +
                             ": MobileType takes 0 (switched by AT^SQWE), 1 (BFB) or 2 (BFB at " +
                             "115200), not \"7\" (quorvalen config set or unset fixes it)");
  // The whole command line stops there, whatever the subcommand, before a
  // port is opened (none of these exists).
  EXPECT_EQ(RunCommandLine({"ls"}), kExitUsage);
  EXPECT_EQ(RunCommandLine({"--sim", "ls"}), kExitUsage);
  // config is how the file is mended.
  EXPECT_EQ(RunCommandLine({"config", "unset", "MobileType"}), kExitDone);
  EXPECT_EQ(Refusal({}), "");

  std::ofstream(path) << "TimeOut=-5\n";
  EXPECT_NE(Refusal({}).find("TimeOut takes milliseconds, more than 0, not \"-5\""),
            std::string::npos);
  std::ofstream(path) << "";
  // --set is checked as the file is.
  GlobalOptions global;
  global.settings = {"ComType=9"};
  EXPECT_EQ(Refusal(global).rfind("--set ComType takes 0 (cable)", 0), 0u);
}

TEST_F(SettingsCliTest, SimOptionsThatContradictEachOtherAreRefused) {
  GlobalOptions global;
  global.sim_root = root_.string();
  EXPECT_EQ(Refusal(global),
            "--sim-root is the simulated phone's folder: add --sim (quorvalen "
            "--sim --sim-root " +
                root_.string() + " ...)");
  global.sim = true;
  EXPECT_EQ(Refusal(global), "");
  global.port = "/dev/ttyS0";
  EXPECT_EQ(Refusal(global),
            "--sim and --port name two phones: drop --port to use the simulated one, or --sim "
            "to use /dev/ttyS0");
  EXPECT_EQ(RunCommandLine({"--sim-root", root_.string(), "ls"}), kExitUsage);
  EXPECT_EQ(RunCommandLine({"--sim", "--port", "/dev/ttyS0", "ls"}), kExitUsage);
  global = {};
  global.pace = true;
  EXPECT_EQ(Refusal(global),
            "--pace paces the built-in simulated phone: add --sim (quorvalen --sim --pace ...)");
}

TEST_F(SettingsCliTest, AMountNeedsAnEmptyFolderThatIsNoMountYet) {
  const fs::path folder = root_ / "phone";
  fs::create_directory(folder);
  EXPECT_EQ(MountpointProblem(folder.string()), "");
  std::ofstream(folder / "mine.txt") << "kept";
  EXPECT_EQ(MountpointProblem(folder.string()),
            folder.string() +
                " is not empty: the mount would hide what it holds (use an empty "
                "folder)");
  EXPECT_EQ(MountpointProblem((folder / "mine.txt").string()),
            (folder / "mine.txt").string() + " is not a folder");
  // /proc is mounted on every Linux system.
  EXPECT_EQ(MountpointProblem("/proc"),
            "/proc is a mount point already (fusermount3 -u unmounts it)");
  GlobalOptions global;
  global.sim = true;
  MountOptions options;
  options.mountpoint = folder.string();
  EXPECT_EQ(RunMount(cli_, global, options), kExitUsage);
  EXPECT_EQ(err_.Take(), "quorvalen: mount: " + MountpointProblem(folder.string()) + "\n");
}

}  // namespace
}  // namespace quorvalen::tool
