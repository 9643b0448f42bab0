// The trace file's bytes on disk, and the terminal bell.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
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
