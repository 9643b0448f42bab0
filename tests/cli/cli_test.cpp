// The command line's subcommands in-process, against the simulated phone in
// virtual time: cp's argument rules, recursive copies that resume, what
// each command prints and exits with, and a phone that lies in its
// listings.
#include "cli.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/virtual_cli.h"
#include "connection.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen::tool {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CliTest : public VirtualCli {
 protected:
  CliTest() : VirtualCli({}, std::make_unique<sim::SampleStore>()), store_(files_) {
    local_ = root_ / "local";
    fs::create_directory(local_);
  }
  std::string Stored(const sim::FolderPath& folder, const std::string& name) {
    std::string data;
    EXPECT_EQ(store_->Read(folder, name, data), sim::StoreStatus::kOk) << name;
    return data;
  }
  std::string L(const std::string& name) { return (local_ / name).string(); }

  sim::FileStore* store_;
  fs::path local_;
};

TEST_F(CliTest, GetAndPutReadTheirArgumentsAsCpDoes) {
  // Several files into an existing folder; one file under a new name.
  EXPECT_EQ(RunGet(cli_, {"/readme.txt", "Pictures/logo.png", L("")}, {}), kExitDone);
  EXPECT_EQ(Read(L("readme.txt")), Stored({}, "readme.txt"));
  EXPECT_EQ(Read(L("logo.png")), Stored({"Pictures"}, "logo.png"));
  EXPECT_EQ(RunGet(cli_, {"/Documents/Caf\xC3\xA9.txt", L("cafe.txt")}, {}), kExitDone);
  EXPECT_EQ(Read(L("cafe.txt")), Stored({"Documents"}, "Caf\xC3\xA9.txt"));
  // On a terminal, progress: name, percent, bytes done and total, rate.
  cli_.show_progress = true;
  EXPECT_EQ(RunGet(cli_, {"/Pictures/Holiday/beach.jpg", L("")}, {}), kExitDone);
  const std::string progress = err_.Take();
  EXPECT_NE(progress.find("\rbeach.jpg  100%  37.0 KiB / 37.0 KiB  "), std::string::npos)
      << progress;
  EXPECT_EQ(progress.back(), '\n');
  cli_.show_progress = false;
  // Standard output; several files into something that is not a folder.
  EXPECT_EQ(RunGet(cli_, {"/readme.txt", "-"}, {}), kExitDone);
  EXPECT_EQ(out_.Take(), Stored({}, "readme.txt"));
  EXPECT_EQ(RunGet(cli_, {"/readme.txt", "/empty.txt", L("none")}, {}), kExitUsage);
  EXPECT_NE(err_.Take().find("is not a folder"), std::string::npos);
  // An existing file stays unless forced.
  std::ofstream(L("mine.txt")) << "my own";
  EXPECT_EQ(RunGet(cli_, {"/readme.txt", L("mine.txt")}, {}), kExitLocal);
  EXPECT_EQ(Read(L("mine.txt")), "my own");
  EXPECT_EQ(RunGet(cli_, {"/readme.txt", L("mine.txt")}, {.force = true}), kExitDone);
  EXPECT_EQ(Read(L("mine.txt")), Stored({}, "readme.txt"));
  // A folder needs -r; a missing file is the phone's "no".
  EXPECT_EQ(RunGet(cli_, {"/Pictures", L("p")}, {}), kExitUsage);
  EXPECT_EQ(RunGet(cli_, {"/missing.txt", L("m")}, {}), kExitRefused);
  EXPECT_FALSE(fs::exists(L("m")));
  err_.Take();

  // put: one argument goes to the root, a folder keeps the name, a path
  // names the file.
  std::ofstream(L("a.txt")) << "alpha";
  std::ofstream(L("b.txt")) << "beta";
  EXPECT_EQ(RunPut(cli_, {L("a.txt")}, {}), kExitDone);
  EXPECT_EQ(Stored({}, "a.txt"), "alpha");
  EXPECT_EQ(RunPut(cli_, {L("a.txt"), L("b.txt"), "/Documents"}, {}), kExitDone);
  EXPECT_EQ(Stored({"Documents"}, "b.txt"), "beta");
  EXPECT_EQ(RunPut(cli_, {L("b.txt"), "/Music/beta.txt"}, {}), kExitDone);
  EXPECT_EQ(Stored({"Music"}, "beta.txt"), "beta");
  EXPECT_EQ(RunPut(cli_, {L("a.txt"), L("b.txt"), "/Music/c.txt"}, {}), kExitUsage);
  EXPECT_EQ(RunPut(cli_, {L("nothing.txt"), "/x.txt"}, {}), kExitLocal);
  EXPECT_EQ(RunPut(cli_, {L("a.txt"), "/\xE6\x97\xA5.txt"}, {}), kExitUsage);
  EXPECT_NE(err_.Take().find("outside Latin-1"), std::string::npos);
  // No temporary file is left anywhere.
  for (const auto& e : fs::recursive_directory_iterator(local_)) {
    EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
  }
}

TEST_F(CliTest, RecursiveCopiesResumeWhereTheyStopped) {
  // A destination spelt as a folder takes the copy under its own name.
  ASSERT_EQ(RunGet(cli_, {"/Pictures", L("")}, {.recursive = true}), kExitDone);
  EXPECT_EQ(Read(L("Pictures/Holiday/beach.jpg")), Stored({"Pictures", "Holiday"}, "beach.jpg"));
  // Any other is the copy itself, the first time and every time after: an
  // interrupted copy run again lands where it began, not one folder deeper.
  ASSERT_EQ(RunGet(cli_, {"/Pictures", L("backup")}, {.recursive = true}), kExitDone);
  EXPECT_EQ(Read(L("backup/logo.png")), Stored({"Pictures"}, "logo.png"));
  fs::remove(L("backup/Holiday/sunset.jpg"));
  cli_.verbose = true;
  ASSERT_EQ(RunGet(cli_, {"/Pictures", L("backup")}, {.recursive = true, .skip_existing = true}),
            kExitDone);
  const std::string notes = err_.Take();
  EXPECT_NE(notes.find("/Pictures/Holiday/sunset.jpg -> "), std::string::npos) << notes;
  EXPECT_EQ(notes.find("beach.jpg -> "), std::string::npos) << notes;
  EXPECT_NE(notes.find("skipped " + L("backup/logo.png")), std::string::npos) << notes;
  EXPECT_EQ(Read(L("backup/Holiday/sunset.jpg")), Stored({"Pictures", "Holiday"}, "sunset.jpg"));
  EXPECT_FALSE(fs::exists(L("backup/Pictures")));

  // put places folders the same way.
  ASSERT_EQ(RunPut(cli_, {L("Pictures"), "/Music/"}, {.recursive = true}), kExitDone);
  EXPECT_EQ(Stored({"Music", "Pictures", "Holiday"}, "beach.jpg"),
            Stored({"Pictures", "Holiday"}, "beach.jpg"));
  ASSERT_EQ(RunPut(cli_, {L("backup"), "/Music/Copy"}, {.recursive = true}), kExitDone);
  EXPECT_EQ(Stored({"Music", "Copy"}, "logo.png"), Stored({"Pictures"}, "logo.png"));
  ASSERT_EQ(RunPut(cli_, {L("backup"), "/Music/Copy"}, {.recursive = true, .skip_existing = true}),
            kExitDone);
  EXPECT_NE(err_.Take().find("skipped /Music/Copy/logo.png"), std::string::npos);
  std::string data;
  EXPECT_EQ(store_->Read({"Music", "Copy", "backup"}, "logo.png", data),
            sim::StoreStatus::kNotFound);
}

TEST_F(CliTest, ListingsAndFileCommandsSayWhatHappened) {
  // The top folder is named, also before any connection is made.
  EXPECT_EQ(RunMkdir(cli_, {"/"}, false), kExitRefused);
  EXPECT_EQ(err_.Take(), "quorvalen: /: exists\n");
  ASSERT_EQ(RunLs(cli_, {}, {}), kExitDone);
  EXPECT_EQ(out_.Take(), "Documents/\nMusic/\nPictures/\nVideos/\nempty.txt\nreadme.txt\n");
  ASSERT_EQ(RunLs(cli_, {"/Pictures/Holiday/beach.jpg"}, {.long_form = true}), kExitDone);
  EXPECT_EQ(out_.Take(), "-RW        37888  2026-01-01 09:30  beach.jpg\n");
  ASSERT_EQ(RunLs(cli_, {"/Pictures"}, {.json = true}), kExitDone);
  const auto json = nlohmann::json::parse(out_.Take());
  ASSERT_EQ(json.size(), 2u);
  EXPECT_EQ(json[0]["name"], "Holiday");
  EXPECT_EQ(json[0]["type"], "folder");
  EXPECT_EQ(json[1]["size"], 300);
  EXPECT_EQ(json[1]["modified"], "2026-01-01T09:30:00");
  EXPECT_EQ(RunLs(cli_, {"/Nowhere"}, {}), kExitRefused);
  EXPECT_EQ(err_.Take(), "quorvalen: /Nowhere: not found\n");

  EXPECT_EQ(RunMkdir(cli_, {"/Music/a/b"}, false), kExitRefused);
  EXPECT_EQ(RunMkdir(cli_, {"/Music/a/b"}, true), kExitDone);
  EXPECT_EQ(RunMkdir(cli_, {"/Music/a/b"}, true), kExitDone);
  EXPECT_EQ(RunMkdir(cli_, {"/Music/a"}, false), kExitRefused);
  EXPECT_NE(err_.Take().find("/Music/a: exists"), std::string::npos);
  EXPECT_EQ(RunRm(cli_, {"/Music/a"}), kExitRefused);
  EXPECT_NE(err_.Take().find("/Music/a: the folder is not empty"), std::string::npos);
  EXPECT_EQ(RunRm(cli_, {"/Music/a/b", "/Music/a"}), kExitDone);
  EXPECT_EQ(RunMv(cli_, "/readme.txt", "read-me.txt"), kExitDone);
  EXPECT_EQ(Stored({}, "read-me.txt").empty(), false);
  EXPECT_EQ(RunMv(cli_, "/read-me.txt", "/Documents"), kExitUsage);  // across folders
  EXPECT_NE(err_.Take().find("renames only within a folder"), std::string::npos);
  EXPECT_EQ(RunChmod(cli_, "R", {"/read-me.txt"}), kExitDone);
  ASSERT_EQ(RunLs(cli_, {"/read-me.txt"}, {.long_form = true}), kExitDone);
  EXPECT_EQ(out_.Take().substr(0, 3), "-R ");
  EXPECT_EQ(RunDf(cli_), kExitDone);
  EXPECT_NE(out_.Take().find("64.0 MiB"), std::string::npos);
  EXPECT_EQ(RunAt(cli_, {"AT+CGMM", "AT+NOSUCH"}), kExitRefused);
  EXPECT_EQ(out_.Take(), "QV-100\nOK\nERROR\n");
}

// A phone file is as precious as a local one, and standard input has no
// name to keep in a folder.
TEST_F(CliTest, PutReplacesAPhoneFileOnlyWhenAskedAndNeedsANameForStdin) {
  std::ofstream(L("readme.txt")) << "mine";
  const std::string theirs = Stored({}, "readme.txt");
  EXPECT_EQ(RunPut(cli_, {L("readme.txt"), "/"}, {}), kExitRefused);
  EXPECT_EQ(err_.Take(), "quorvalen: /readme.txt: exists on the phone (-f replaces it)\n");
  EXPECT_EQ(Stored({}, "readme.txt"), theirs);
  // Recursively the same, file by file; --skip-existing still skips.
  fs::create_directory(L("tree"));
  std::ofstream(L("tree/readme.txt")) << "mine";
  EXPECT_EQ(RunPut(cli_, {L("tree/readme.txt"), "/Documents/readme.txt"}, {}), kExitDone);
  EXPECT_EQ(RunPut(cli_, {L("tree"), "/Documents/"}, {.recursive = true}), kExitDone);
  std::ofstream(L("tree/readme.txt")) << "mine, longer";
  EXPECT_EQ(RunPut(cli_, {L("tree"), "/Documents/"}, {.recursive = true}), kExitRefused);
  EXPECT_NE(err_.Take().find("/Documents/tree/readme.txt: exists on the phone"), std::string::npos);
  EXPECT_EQ(RunPut(cli_, {L("readme.txt"), "/"}, {.skip_existing = true}), kExitRefused);
  EXPECT_EQ(RunPut(cli_, {L("readme.txt"), "/"}, {.force = true}), kExitDone);
  EXPECT_EQ(Stored({}, "readme.txt"), "mine");
  err_.Take();

  // "-" into a folder would be a file named "-": refused, with -v or not,
  // before standard input is read.
  for (bool verbose : {false, true}) {
    cli_.verbose = verbose;
    for (const char* folder : {"/Documents/", "/Documents"}) {
      EXPECT_EQ(RunPut(cli_, {"-", folder}, {}), kExitUsage);
      EXPECT_EQ(err_.Take(),
                "quorvalen: put - needs the name to give the file on the phone: put - REMOTE\n");
    }
  }
  cli_.verbose = false;
  std::string none;
  EXPECT_NE(store_->Read({"Documents"}, "-", none), sim::StoreStatus::kOk);
}

TEST_F(CliTest, ChmodTakesOnlyTheLettersThePhoneKeeps) {
  for (const std::string bad : {"644", "rwx", "u+w", "RR", "", "R,W"}) {
    EXPECT_EQ(RunChmod(cli_, bad, {"/readme.txt"}), kExitUsage) << bad;
    EXPECT_EQ(err_.Take(),
              "quorvalen: chmod takes the phone's letters R (read), W (write) and D (delete), "
              "such as R, RW or RWD; not \"" +
                  bad + "\"\n");
  }
  ASSERT_EQ(RunLs(cli_, {"/readme.txt"}, {.long_form = true}), kExitDone);
  EXPECT_EQ(out_.Take().substr(0, 4), "-RW ");  // untouched
  EXPECT_EQ(RunChmod(cli_, "dr", {"/readme.txt"}), kExitDone);
  ASSERT_EQ(RunLs(cli_, {"/readme.txt"}, {.long_form = true}), kExitDone);
  EXPECT_EQ(out_.Take().substr(0, 4), "-RD ");
}

// The longest names differ by request: what a GET can name (123), a
// folder change (122), and a PUT's first packet within the block length.
TEST_F(CliTest, EachOperationTakesTheNamesItsRequestHasRoomFor) {
  std::ofstream(L("x.txt")) << "x";
  const std::string put_most(119, 'p'), get_most(123, 'g');
  EXPECT_EQ(RunPut(cli_, {L("x.txt"), "/Documents/" + put_most}, {}), kExitDone);
  EXPECT_EQ(Stored({"Documents"}, put_most), "x");
  EXPECT_EQ(RunPut(cli_, {L("x.txt"), "/Documents/" + put_most + "p"}, {}), kExitUsage);
  EXPECT_EQ(err_.Take(), "quorvalen: /Documents/" + put_most + "p: \"" + put_most +
                             "p\" is longer than 119 characters (a PUT's first packet holds the "
                             "name, two bytes a character, and 16 bytes more within "
                             "OBEX_BlockLen 255)\n");
  store_->Write({"Documents"}, get_most, "long");
  cli_.Forget("/Documents");
  EXPECT_EQ(RunGet(cli_, {"/Documents/" + get_most, "-"}, {}), kExitDone);
  EXPECT_EQ(out_.Take(), "long");
  EXPECT_EQ(RunChmod(cli_, "R", {"/Documents/" + get_most}), kExitDone);
  EXPECT_EQ(RunRm(cli_, {"/Documents/" + get_most}), kExitDone);
  EXPECT_EQ(RunMkdir(cli_, {"/Music/" + std::string(122, 'f')}, false), kExitDone);
  EXPECT_EQ(RunMkdir(cli_, {"/Music/" + std::string(123, 'f')}, false), kExitUsage);
  EXPECT_NE(err_.Take().find("is longer than 122 characters"), std::string::npos);
}

// A phone whose root listing names the parent, a path, a name with NUL and
// a name with a slash: none of them is used, each is named, and nothing is
// written outside the destination.
TEST_F(CliTest, APhoneThatLiesCannotWriteOutsideTheDestination) {
  store_->Write({}, "ok.txt", "fine");
  phone_->Phone().Server().listing_filter = [](const sim::FolderPath& folder, std::string xml) {
    if (!folder.empty()) return xml;
    const std::string lies =
        "<folder name=\"..\"/><file name=\"../outside.txt\" size=\"4\"/>"
        "<file name=\"a/b\" size=\"4\"/><file name=\"nul" +
        std::string(1, '\0') + "name\" size=\"4\"/><file name=\".\" size=\"1\"/>";
    return xml.insert(xml.find("</folder-listing>"), lies);
  };
  const fs::path dest = local_ / "backup";
  fs::create_directory(dest);
  EXPECT_EQ(RunGet(cli_, {"/", dest.string()}, {.recursive = true}), kExitDone);
  const std::string err = err_.Take();
  for (const char* named : {"\"..\"", "\"../outside.txt\"", "\"a/b\"", "\"nul\\0name\""}) {
    EXPECT_NE(err.find(std::string("skipped ") + named), std::string::npos) << named << err;
  }
  EXPECT_EQ(Read(dest / "ok.txt"), "fine");
  EXPECT_EQ(Read(dest / "Documents" / "Meeting notes.txt"),
            Stored({"Documents"}, "Meeting notes.txt"));
  for (const auto& e : fs::recursive_directory_iterator(root_)) {
    const std::string path = e.path().string();
    EXPECT_EQ(path.rfind(dest.string(), 0) == 0 || e.path() == dest || path == local_.string(),
              true)
        << path;
  }

  // A listing that is not XML, and one cut short.
  for (const std::string& bad : {std::string("this is no listing"),
                                 std::string("<?xml version=\"1.0\"?><folder-listing><file na")}) {
    phone_->Phone().Server().listing_filter = [&](const sim::FolderPath&, std::string) {
      return bad;
    };
    cli_.Forget("/");
    EXPECT_EQ(RunLs(cli_, {"/"}, {}), kExitRefused);
    EXPECT_NE(err_.Take().find("the folder listing is not XML"), std::string::npos);
  }
}

}  // namespace
}  // namespace quorvalen::tool

namespace quorvalen::tool {
namespace {

// Standard error of the whole command line, which writes it before any Cli
// exists.
std::string UsageOf(const std::vector<std::string>& args, int* code) {
  ::testing::internal::CaptureStderr();
  *code = RunCommandLine(args);
  return ::testing::internal::GetCapturedStderr();
}

TEST_F(CliTest, LsShowsFilesApartAndEveryEntryWithItsPath) {
  // Files first, then each folder under its heading, as coreutils ls does.
  ASSERT_EQ(RunLs(cli_, {"/Music", "/readme.txt", "/Pictures"}, {}), kExitDone);
  EXPECT_EQ(out_.Take(), "readme.txt\n\n/Music:\n\n/Pictures:\nHoliday/\nlogo.png\n");
  // -h sizes for a person.
  ASSERT_EQ(RunLs(cli_, {"/Pictures/Holiday/beach.jpg"}, {.long_form = true, .human = true}),
            kExitDone);
  EXPECT_EQ(out_.Take(), "-RW     37.0 KiB  2026-01-01 09:30  beach.jpg\n");
  // JSON: one array, each entry with the path get and rm take.
  ASSERT_EQ(RunLs(cli_, {"/Pictures", "/readme.txt"}, {.json = true}), kExitDone);
  const auto json = nlohmann::json::parse(out_.Take());
  ASSERT_EQ(json.size(), 3u);
  EXPECT_EQ(json[0]["path"], "/readme.txt");
  EXPECT_EQ(json[1]["path"], "/Pictures/Holiday");
  EXPECT_EQ(json[2]["path"], "/Pictures/logo.png");
}

TEST_F(CliTest, EachMessageSaysItsThingOnce) {
  std::ofstream(L("a.txt")) << "alpha";
  EXPECT_EQ(RunPut(cli_, {L("a.txt"), "/Documents/\xE6\x97\xA5.txt"}, {}), kExitUsage);
  EXPECT_EQ(err_.Take(),
            "quorvalen: /Documents/\xE6\x97\xA5.txt: \"\xE6\x97\xA5.txt\" holds a character "
            "outside Latin-1, which the phone's names cannot carry\n");
  EXPECT_EQ(RunAt(cli_, {"CGMM"}), kExitUsage);
  EXPECT_EQ(err_.Take(), "quorvalen: an AT line begins with AT: CGMM\n");
  // A file where a folder was meant is said to be one.
  EXPECT_EQ(RunPut(cli_, {L("a.txt"), "/readme.txt/"}, {}), kExitRefused);
  EXPECT_EQ(err_.Take(), "quorvalen: /readme.txt/a.txt: /readme.txt is not a folder\n");
  // A device that is not there: named once, with the reason.
  GlobalOptions global;
  EXPECT_EQ(RunProbe(cli_, global, {"/nonexistent/tty"}), kExitLink);
  EXPECT_EQ(out_.Take(), "/nonexistent/tty: cannot open: No such file or directory\n");
  err_.Take();

  // Usage errors: the subcommand, what is wrong, where help is; an unknown
  // word named as typed.
  int code = 0;
  EXPECT_EQ(UsageOf({"get"}, &code), "quorvalen: get: files is required (quorvalen get --help)\n");
  EXPECT_EQ(code, kExitUsage);
  EXPECT_EQ(UsageOf({"config"}, &code),
            "quorvalen: config: action is required (quorvalen config --help)\n");
  EXPECT_EQ(UsageOf({"--sim", "list", "sms", "ls"}, &code),
            "quorvalen: no such command: list (quorvalen --help)\n");
  EXPECT_EQ(code, kExitUsage);
  EXPECT_EQ(UsageOf({"sms", "list"}, &code),
            "quorvalen: sms: no such command: list (quorvalen sms --help)\n");
  EXPECT_EQ(UsageOf({"df", "/Music"}, &code),
            "quorvalen: df: unexpected argument: /Music (quorvalen df --help)\n");
  // A bad value is said by the command that has the option: a global one
  // by quorvalen itself, wherever it stands.
  for (const auto& args : {std::vector<std::string>{"--hold", "-1", "ls", "/"},
                           std::vector<std::string>{"ls", "--hold", "-1", "/"}}) {
    EXPECT_EQ(UsageOf(args, &code),
              "quorvalen: --hold: \"-1\" is not a number of seconds from 0 to 86400 "
              "(quorvalen --help)\n");
  }
  EXPECT_EQ(UsageOf({"mount", "--cache-ttl", "-5", "/tmp"}, &code),
            "quorvalen: mount: --cache-ttl: \"-5\" is not a number of seconds from 0 to 86400 "
            "(quorvalen mount --help)\n");
}

TEST_F(CliTest, TraceReadsStandardInputAndRefusesWhatIsNoTrace) {
  std::ofstream(L("notes.txt")) << "just\nsome notes\n";
  EXPECT_EQ(RunTrace(cli_, L("notes.txt")), kExitUsage);
  EXPECT_EQ(out_.Take(), "");
  EXPECT_EQ(err_.Take(), "quorvalen: " + L("notes.txt") +
                             " is not a trace (a trace's lines begin with a time)\n");
  std::istringstream trace(
      "Quorvalen Debug File Open 2026-12-0702:22:09\n"
      "008531597 COM>    :AT^SBFB=?\n");
  std::streambuf* before = std::cin.rdbuf(trace.rdbuf());
  const int code = RunTrace(cli_, "-");
  std::cin.rdbuf(before);
  EXPECT_EQ(code, kExitDone);
  EXPECT_EQ(out_.Take(),
            "Quorvalen Debug File Open 2026-12-0702:22:09\n02:22:11.597  -> phone AT^SBFB=?\n");
}

// A put whose last answer the line lost is sent again from the start of
// its local file, or of what it read from standard input.
TEST_F(CliTest, PutSendsItsFileAgainFromTheStartWhenTheAnswerWasLost) {
  class WatchedStore : public sim::SampleStore {
   public:
    std::function<void()> on_write;
    sim::StoreStatus Write(const sim::FolderPath& folder, std::string_view name,
                           std::string_view data) override {
      const sim::StoreStatus status = SampleStore::Write(folder, name, data);
      if (on_write) on_write();
      return status;
    }
  };
  phone_.reset();
  auto store = std::make_unique<WatchedStore>();
  WatchedStore& watched = *store;
  store_ = store.get();
  phone_ = std::make_unique<sim::VirtualPhone>(*platform_.Line(1), platform_.Loop(),
                                               sim::PhoneOptions{}, std::move(store));
  const std::string data = sim::SampleBytes(7, 30'000);
  std::ofstream(L("data.bin"), std::ios::binary) << data;
  for (const bool from_stdin : {false, true}) {
    SCOPED_TRACE(from_stdin ? "standard input" : "a local file");
    // The phone holds a file of the same size under the name, so its
    // listing cannot tell that the first PUT was done: it goes again.
    const std::string name = from_stdin ? "in.bin" : "data.bin";
    store_->Write({"Music"}, name, std::string(data.size(), 'x'));
    int writes = 0;
    watched.on_write = [&] {
      if (++writes > 1) return;
      // Longer than TimeOut: the PUT's request times out.
      phone_->Speaking(false);
      platform_.Loop().After(25'000'000'000, VirtualEventLoop::Domain::kWorld,
                             [this] { phone_->Speaking(true); });
    };
    int code;
    if (from_stdin) {
      std::istringstream in(data);
      std::streambuf* before = std::cin.rdbuf(in.rdbuf());
      code = RunPut(cli_, {"-", "/Music/" + name}, {.force = true});
      std::cin.rdbuf(before);
    } else {
      code = RunPut(cli_, {L("data.bin"), "/Music/" + name}, {.force = true});
    }
    EXPECT_EQ(code, kExitDone) << err_.Take();
    EXPECT_EQ(writes, 2);
    EXPECT_TRUE(Stored({"Music"}, name) == data);
    watched.on_write = nullptr;
    cli_.CloseSession();
  }
}

// What a person types from coreutils, through the parser the command line
// and the shell share.
TEST_F(CliTest, CoreutilsReflexesAreAnswered) {
  std::istringstream script(
      "df -h\n"
      "df --json\n"
      "ls -la /Pictures/Holiday/beach.jpg\n"
      "rm /Pictures\n"
      "rm -r /\n");
  EXPECT_EQ(RunShellScript(cli_, script), kExitUsage);
  const std::string out = out_.Take();
  EXPECT_NE(out.find("64.0 MiB"), std::string::npos) << out;
  EXPECT_NE(out.find("{\"size\": 67108864, \"used\": "), std::string::npos) << out;
  EXPECT_NE(out.find("-RW        37888  2026-01-01 09:30  beach.jpg\n"), std::string::npos) << out;
  EXPECT_EQ(err_.Take(),
            "quorvalen: /Pictures: the folder is not empty (rm -r removes it whole)\n"
            "quorvalen: rm -r does not remove the top folder (/)\n");
  // A tree goes deepest first; -f passes over what is not there.
  cli_.verbose = true;
  EXPECT_EQ(RunRm(cli_, {"/Pictures", "/gone.txt"}, {.recursive = true, .force = true}), kExitDone);
  EXPECT_EQ(err_.Take(),
            "removed /Pictures/Holiday/beach.jpg\nremoved /Pictures/Holiday/sunset.jpg\n"
            "removed /Pictures/Holiday\nremoved /Pictures/logo.png\nremoved /Pictures\n");
  EXPECT_EQ(RunRm(cli_, {"/gone.txt"}, {.recursive = true}), kExitRefused);
  EXPECT_EQ(err_.Take(), "quorvalen: /gone.txt: not found\n");
}

TEST_F(CliTest, TheShellsTildeIsTheLocalHomeAndNoPlaceOnThePhone) {
  const char* home = std::getenv("HOME");
  const std::string saved = home ? home : "";
  ::setenv("HOME", local_.c_str(), 1);
  std::istringstream script("get /readme.txt ~/\ncd ~\n");
  const int code = RunShellScript(cli_, script);
  ::setenv("HOME", saved.c_str(), 1);
  EXPECT_EQ(code, kExitUsage);
  EXPECT_EQ(Read(L("readme.txt")), Stored({}, "readme.txt"));
  EXPECT_EQ(err_.Take(),
            "quorvalen: cd: ~: the phone has no home folder (/ is its top; ./~ names a file "
            "called so)\n");
}

// The tour's folder goes when the tour ends, and when it is interrupted.
TEST_F(CliTest, AScratchFolderIsRemovedHoweverTheRunEnds) {
  const std::string pattern = (root_ / "scratch-XXXXXX").string();
  {
    ScratchFolder folder(pattern);
    std::ofstream(folder.File("a.txt")) << "a";
    ASSERT_TRUE(fs::exists(folder.Path() + "/a.txt"));
  }
  auto scratch_left = [&] {
    for (const auto& e : fs::directory_iterator(root_)) {
      if (e.path().filename().string().rfind("scratch-", 0) == 0) return true;
    }
    return false;
  };
  EXPECT_FALSE(scratch_left());
  EXPECT_EXIT(
      {
        ScratchFolder folder(pattern);
        std::ofstream(folder.File("a.txt")) << "a";
        InstallInterruptHandler();
        ::raise(SIGINT);
      },
      ::testing::ExitedWithCode(kExitInterrupted), "");
  EXPECT_FALSE(scratch_left());
}

}  // namespace
}  // namespace quorvalen::tool
