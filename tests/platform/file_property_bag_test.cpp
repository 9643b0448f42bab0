// The property bag kept in a text file: byte-exact round trips, keys kept for
// others, atomic saves, and the errors a host sees.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "quorvalen/error.h"
#include "quorvalen/posix_platform.h"

namespace quorvalen {
namespace {

namespace fs = std::filesystem;

class FilePropertyBagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/quorvalen-bag-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    path_ = dir_ + "/settings.txt";
  }
  void TearDown() override { fs::remove_all(dir_); }

  void WriteFile(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
  std::string FileBytes() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  size_t DirEntries() {
    return std::distance(fs::directory_iterator(dir_), fs::directory_iterator());
  }
  // Runs `action`, which must throw Error, and returns it.
  template <typename F>
  Error Raised(F action) {
    try {
      action();
    } catch (const Error& error) {
      return error;
    }
    ADD_FAILURE() << "no Error raised";
    return Error(0, "", "");
  }

  std::string dir_;
  std::string path_;
};

TEST_F(FilePropertyBagTest, AwkwardValuesRoundTripByteExact) {
  std::string every_byte;
  for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"Bytes", every_byte}, {"Equals", "a=b==c="}, {"Lines", "one\ntwo\r\nthree\r"},
      {"Spaces", "  lead and trail  "}, {"Empty", ""}, {"Hash", "# not a comment"}};
  {
    FilePropertyBag bag(path_);
    for (const auto& [name, text] : texts) bag.WriteProperty(name, text, std::string("default"));
    bag.WriteProperty("On", true, false);
    bag.WriteProperty("Low", INT32_MIN, int32_t{0});
    bag.WriteProperty("Text", std::string("\xC3\xA9\t\\"), std::string());
    bag.Save();
  }
  // One line per key, nothing raw an editor could mangle, upper-case hex.
  std::string file = FileBytes();
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 9);
  for (char c : file) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << int(c);
  EXPECT_NE(file.find("\nOn=True\nLow=-2147483648\nText=\\xC3\\xA9\\x09\\\\\n"),
            std::string::npos) << file;

  FilePropertyBag bag(path_);
  bag.Load();
  for (const auto& [name, text] : texts)
    EXPECT_EQ(bag.ReadProperty(name, std::string("default")), PropertyValue(text)) << name;
  EXPECT_EQ(bag.ReadProperty("On", false), PropertyValue(true));
  EXPECT_EQ(bag.ReadProperty("Low", int32_t{0}), PropertyValue(INT32_MIN));
  EXPECT_EQ(bag.ReadProperty("Missing", int32_t{7}), PropertyValue(int32_t{7}));
}

TEST_F(FilePropertyBagTest, SaveKeepsUnknownKeysAndReplacesTheFileAtomically) {
  WriteFile("# comment\nOther=kept\\x00\nMine=1\nLater=also kept\n");
  FilePropertyBag bag(path_);
  bag.Load();
  bag.WriteProperty("Mine", int32_t{2}, int32_t{0});
  bag.WriteProperty("New", std::string("n"), std::string());
  bag.Save();
  EXPECT_EQ(FileBytes(), "Other=kept\\x00\nMine=2\nLater=also kept\nNew=n\n");
  bag.WriteProperty("Mine", int32_t{0}, int32_t{0});  // defaults are not written
  bag.Save();
  EXPECT_EQ(FileBytes(), "Other=kept\\x00\nLater=also kept\nNew=n\n");
  EXPECT_EQ(DirEntries(), 1u);  // the temporary file is gone again

  // A write that fails half-way (file size limit) leaves the old file whole.
  bag.WriteProperty("Big", std::string(64 * 1024, 'x'), std::string());
  struct sigaction ignore {}, saved_action {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &saved_action);
  rlimit saved_limit{};
  getrlimit(RLIMIT_FSIZE, &saved_limit);
  rlimit small = saved_limit;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Error error = Raised([&] { bag.Save(); });
  setrlimit(RLIMIT_FSIZE, &saved_limit);
  sigaction(SIGXFSZ, &saved_action, nullptr);
  EXPECT_EQ(error.number, kErrFileAccess);
  EXPECT_NE(error.description.find(path_), std::string::npos) << error.description;
  EXPECT_NE(error.description.find("File too large"), std::string::npos) << error.description;
  EXPECT_EQ(FileBytes(), "Other=kept\\x00\nLater=also kept\nNew=n\n");
  EXPECT_EQ(DirEntries(), 1u);
}

TEST_F(FilePropertyBagTest, MalformedFilesNameTheLineAndLeaveTheBagAsItWas) {
  WriteFile("Port=3\n");
  FilePropertyBag bag(path_);
  bag.Load();
  const std::vector<std::pair<std::string, int>> broken = {
      {"Extra=1\nno separator\n", 2}, {"=value\n", 1},           {"# c\n\nbad name=1\n", 3},
      {"Port=\\q\n", 1},              {"Port=\\xG0\n", 1},       {"Port=1\nPort=end\\\n", 2}};
  for (const auto& [content, line] : broken) {
    WriteFile(content);
    Error error = Raised([&] { bag.Load(); });
    EXPECT_EQ(error.number, kErrBadFileFormat) << content;
    EXPECT_EQ(error.source, "FilePropertyBag");
    EXPECT_EQ(error.description.rfind(path_ + " line " + std::to_string(line) + ": ", 0), 0u)
        << error.description;
    EXPECT_EQ(bag.ReadProperty("Port", int32_t{0}), PropertyValue(int32_t{3})) << content;
    EXPECT_EQ(bag.ReadProperty("Extra", int32_t{0}), PropertyValue(int32_t{0}));
  }
  // A text of the wrong type names key and line.
  WriteFile("Port=3\nFlag=maybe\n");
  bag.Load();
  Error error = Raised([&] { bag.ReadProperty("Flag", false); });
  EXPECT_EQ(error.number, kErrTypeMismatch);
  EXPECT_NE(error.description.find(path_ + " line 2"), std::string::npos) << error.description;
}

}  // namespace
}  // namespace quorvalen
