// quorvalen's file command line as a person runs it, against quorvalen-phone
// on a pseudo-terminal: what each subcommand prints and exits with, a GET
// cut off by the phone hanging up, and the probe.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "e2e/tool_e2e.h"

namespace quorvalen {
namespace {

namespace fs = std::filesystem;

class CliEndToEnd : public ToolEndToEnd {
 protected:
  CliEndToEnd() : ToolEndToEnd("cli-e2e") {
    fs::create_directories(dir_ / "phone");
    fs::create_directories(dir_ / "local");
  }
};

TEST_F(CliEndToEnd, FileSubcommands) {
  std::string song;
  for (int i = 0; i < 3000; ++i) song += static_cast<char>(i * 7);
  std::ofstream(dir_ / "phone" / "song.bin", std::ios::binary) << song;
  fs::create_directories(dir_ / "phone" / "Pictures");
  std::ofstream(dir_ / "phone" / "Pictures" / "a.txt") << "first";
  std::ofstream(dir_ / "local" / "note.txt") << "from the host\n";
  PhoneProcess phone({"--root", (dir_ / "phone").string()});
  ASSERT_FALSE(phone.Device().empty());
  const std::string port = "--port " + phone.Device() + " ";

  Result r = Run(port + "ls -l");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Pictures/\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("       3000  "), std::string::npos) << r.out;
  // Global options after the subcommand too; data only on stdout, and no
  // progress when stderr is not a terminal.
  r = Run("get /song.bin - " + port);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, song);
  EXPECT_EQ(r.err, "");
  r = Run(port + "put " + (dir_ / "local" / "note.txt").string() + " /Pictures/");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Read(dir_ / "phone" / "Pictures" / "note.txt"), "from the host\n");
  // (mkdir, mv and the other subcommands' words run in-process, as the
  // documents' examples.)
  r = Run(port + "rm /Pictures/a.txt /Pictures/missing.txt");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "quorvalen: /Pictures/missing.txt: not found\n");
  EXPECT_FALSE(fs::exists(dir_ / "phone" / "Pictures" / "a.txt"));
}

TEST_F(CliEndToEnd, PhoneSubcommandsSettingsAndUsage) {
  PhoneProcess phone({"--sample"});
  ASSERT_FALSE(phone.Device().empty());
  // The port from the settings file; the trace where --trace says.
  Result r = Run("config set Port " + phone.Device());
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Run("config get Port").out, phone.Device() + "\n");
  const std::string trace = (dir_ / "t.log").string();
  r = Run("info --trace " + trace);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Model          QV-100\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("MobileType 1, found"), std::string::npos) << r.out;
  r = Run("trace " + trace);
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("-> phone AT+CGMM"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("<- OBEX  success (A0)"), std::string::npos) << r.out;
  r = Run("probe /nonexistent/tty /dev/null " + phone.Device());
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("/nonexistent/tty: cannot open"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("/dev/null: cannot open"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(phone.Device() + ": Quorvalen Labs QV-100"), std::string::npos) << r.out;
  // Over infrared, with the built-in phone's two services.
  r = Run("--sim --irda ls /Pictures");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Holiday/\nlogo.png\n");
  // Usage, a name that cannot be sent, no phone.
  EXPECT_EQ(Run("get").code, 2);
  EXPECT_EQ(Run("config set MobileType many").code, 2);
  r = Run("put /dev/null /\xE2\x82\xAC.txt");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("outside Latin-1"), std::string::npos) << r.err;
  r = Run("--sim --sim-root /nonexistent/folder ls");
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("cannot start the simulated phone: cannot open folder /nonexistent/folder"),
            std::string::npos)
      << r.err;
  r = Run("--port /nonexistent/tty ls");
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.err, "quorvalen: cannot open /nonexistent/tty: no such device\n");
}

// The phone hangs up in the middle of a recursive copy: what was complete
// stays, nothing partial or temporary is left, and the same command resumes
// into the same folder with only what is missing.
TEST_F(CliEndToEnd, AnInterruptedCopyLeavesNoPartAndResumes) {
  fs::create_directories(dir_ / "phone" / "Photos");
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) {
    std::ofstream(dir_ / "phone" / "Photos" / name, std::ios::binary) << std::string(6000, name[0]);
  }
  const fs::path dest = dir_ / "local";
  {
    PhoneProcess phone({"--root", (dir_ / "phone").string(), "--faults", "hangup-after=60"});
    Result r =
        Run("--port " + phone.Device() + " --set TimeOut=2000 get -r /Photos " + dest.string());
    EXPECT_EQ(r.code, 3) << r.err;
  }
  size_t complete = 0;
  for (const auto& e : fs::recursive_directory_iterator(dest)) {
    EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
    if (e.is_regular_file()) {
      EXPECT_EQ(fs::file_size(e.path()), 6000u) << e.path();
      ++complete;
    }
  }
  EXPECT_LT(complete, 3u);
  PhoneProcess phone({"--root", (dir_ / "phone").string()});
  Result r =
      Run("--port " + phone.Device() + " -v get -r --skip-existing /Photos " + dest.string());
  EXPECT_EQ(r.code, 0) << r.err;
  size_t fetched = 0;
  for (size_t at = 0; (at = r.err.find(" -> ", at)) != std::string::npos; ++at) ++fetched;
  EXPECT_EQ(fetched, 3 - complete) << r.err;
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) {
    EXPECT_EQ(Read(dest / name), std::string(6000, name[0]));
  }
}

// The shell as a script: one connection for every command, the current
// folder, the subcommands' own messages, lcd, and the last command's code.
// The tour, as `make run` shows it: every step runs, in one process (no
// step leaves a holder behind that would end the tour), and exits 0.
TEST_F(CliEndToEnd, TheTourRunsEveryStep) {
  Result r = Run("tour");
  EXPECT_EQ(r.code, 0) << r.err;
  for (const char* step : {" info\n", " ls -l /\n", " get -v ", " put -v ", " rm -v ", " df\n",
                           " sms ls --memory ME\n"}) {
    EXPECT_NE(r.out.find(step), std::string::npos) << step << "\n" << r.out;
  }
  EXPECT_EQ(Run("status").out, "nothing is held\n");
}

TEST_F(CliEndToEnd, TheShellRunsAScriptOnOneConnection) {
  fs::create_directories(dir_ / "phone" / "Pictures");
  std::ofstream(dir_ / "phone" / "Pictures" / "a.txt") << "first";
  PhoneProcess phone({"--root", (dir_ / "phone").string()});
  ASSERT_FALSE(phone.Device().empty());
  const std::string script =
      "cd Pictures\n"
      "pwd; ls\n"
      "lcd " +
      (dir_ / "local").string() +
      "\n"
      "get a.txt 'copy of a.txt'   # into the local folder\n"
      "put 'copy of a.txt' ../b.txt\n"
      "cd /nowhere\n"
      "mkdir Sub; cd Sub; pwd\n"
      "mv /Pictures/a.txt c.txt\n"
      "bogus\n"
      "cd ..; ls\n";
  Result r = Run("--port " + phone.Device() + " shell", script);
  EXPECT_EQ(r.out, "/Pictures\na.txt\n/Pictures/Sub\nSub/\nc.txt\n");
  EXPECT_EQ(r.err,
            "quorvalen: cd: /nowhere: no such folder\n"
            "quorvalen: bogus: no such command (help lists them)\n");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(Read(dir_ / "local" / "copy of a.txt"), "first");
  EXPECT_EQ(Read(dir_ / "phone" / "b.txt"), "first");
  EXPECT_TRUE(fs::exists(dir_ / "phone" / "Pictures" / "c.txt"));
  // The last command's code is the shell's.
  r = Run("--port " + phone.Device() + " shell", "rm /b.txt /none.txt\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "quorvalen: /none.txt: not found\n");
}

}  // namespace
}  // namespace quorvalen
