// The system clock's texts and waits, the trace file's bytes on disk, and the
// terminal bell.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "quorvalen/posix_platform.h"

namespace quorvalen {
namespace {

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/quorvalen-posix-XXXXXX";
    EXPECT_NE(mkdtemp(name), nullptr);
    path_ = name;
  }
  ~TempDir() {
    for (const char* file : {"a.log", "b.log"}) unlink((path_ + "/" + file).c_str());
    rmdir(path_.c_str());
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

TEST(PosixClock, TextsHaveTheirShapesAndAgreeWithTheTimeOfDay) {
  PosixClock clock;
  // Retried if the seconds turn over between the readings.
  for (int attempt = 0; attempt < 20; ++attempt) {
    int64_t before = clock.LocalMsSinceMidnight();
    std::string time = clock.TimeText();
    std::string date = clock.DateText();
    int64_t after = clock.LocalMsSinceMidnight();
    if (before / 1000 != after / 1000) continue;

    ASSERT_TRUE(std::regex_match(time, std::regex(R"(\d\d:\d\d:\d\d)"))) << time;
    ASSERT_TRUE(std::regex_match(date, std::regex(R"(\d{4}-\d\d-\d\d)"))) << date;
    int seconds = std::stoi(time.substr(0, 2)) * 3600 + std::stoi(time.substr(3, 2)) * 60 +
                  std::stoi(time.substr(6, 2));
    EXPECT_EQ(seconds, before / 1000);
    EXPECT_GE(before, 0);
    EXPECT_LT(after, 86'400'000);

    time_t now = ::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char expected[16];
    strftime(expected, sizeof expected, "%Y-%m-%d", &local);
    if (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec == seconds) {
      EXPECT_EQ(date, expected);
    }
    return;
  }
  FAIL() << "the clock never held still for a second";
}

TEST(PosixClock, WaitUntilReachesItsTargetOnTheMonotonicClock) {
  PosixClock clock;
  int64_t start = clock.MonotonicMs();
  clock.WaitUntil(start + 25);
  int64_t end = clock.MonotonicMs();
  EXPECT_GE(end, start + 25);
  clock.WaitUntil(start);  // already past: returns at once
  EXPECT_GE(clock.MonotonicMs(), end);
}

TEST(PosixTraceFile, WritesEachLineWithCrLfAndTruncatesOnOpen) {
  TempDir dir;
  std::string path = dir.File("a.log");
  { std::ofstream(path) << "old contents that must go"; }
  PosixTraceFile trace;
  EXPECT_FALSE(trace.IsOpen());
  trace.WriteLine("dropped while closed");
  ASSERT_TRUE(trace.Open(path));
  EXPECT_TRUE(trace.IsOpen());
  trace.WriteLine("first");
  trace.WriteLine("");
  trace.WriteLine(std::string("\0\xFF\n", 3));
  const std::string written("first\r\n\r\n\0\xFF\n\r\n", 14);
  EXPECT_EQ(FileBytes(path), written);

  // Opening another file closes the first, which keeps what it had.
  std::string other = dir.File("b.log");
  ASSERT_TRUE(trace.Open(other));
  trace.WriteLine("second");
  trace.Close();
  EXPECT_FALSE(trace.IsOpen());
  trace.WriteLine("after close");
  EXPECT_EQ(FileBytes(other), "second\r\n");
  EXPECT_EQ(FileBytes(path), written);

  ASSERT_TRUE(trace.Open(path));
  trace.Close();
  EXPECT_EQ(FileBytes(path), "");
}

TEST(PosixTraceFile, PathsThatCannotBeOpenedFailAndLeaveItClosed) {
  TempDir dir;
  PosixTraceFile trace;
  ASSERT_TRUE(trace.Open(dir.File("a.log")));
  EXPECT_FALSE(trace.Open(""));
  EXPECT_FALSE(trace.IsOpen());
  EXPECT_FALSE(trace.Open(dir.File("missing/a.log")));
  EXPECT_FALSE(trace.Open(dir.File("")));  // the directory itself
  EXPECT_FALSE(trace.IsOpen());
}

TEST(TerminalBeeper, RingsByWritingBelOrStaysSilentWithoutATerminal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  TerminalBeeper bell(fds[1]);
  bell.Beep();
  bell.Beep();
  TerminalBeeper silent(-1);
  silent.Beep();
  close(fds[1]);
  char bytes[8];
  ssize_t n = read(fds[0], bytes, sizeof bytes);
  close(fds[0]);
  EXPECT_EQ(std::string(bytes, n > 0 ? n : 0), "\a\a");
}

}  // namespace
}  // namespace quorvalen
