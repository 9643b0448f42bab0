// The property bag kept in a text file: byte-exact round trips, hand-edited
// files, keys kept for others, atomic saves, and the errors a host sees.
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

  void WriteFile(const std::string& bytes) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string FileBytes() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  std::vector<std::string> DirEntries() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename());
    }
    return names;
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
      {"Bytes", every_byte},
      {"Equals", "a=b==c="},
      {"Lines", "one\ntwo\r\nthree\r"},
      {"Spaces", "  leading and trailing  "},
      {"Empty", ""},
      {"Escapes", "\\x41\\\\ is not an escape"},
      {"Hash", "# not a comment"},
  };
  {
    FilePropertyBag bag(path_);
    for (const auto& [name, text] : texts) bag.WriteProperty(name, text, std::string("default"));
    bag.WriteProperty("On", true, false);
    bag.WriteProperty("Off", false, true);
    bag.WriteProperty("Low", INT32_MIN, int32_t{0});
    bag.WriteProperty("High", INT32_MAX, int32_t{0});
    bag.WriteProperty("Text", std::string("\xC3\xA9\t\\"), std::string());
    bag.Save();
  }

  // One line per key, nothing raw that an editor or a line reader could
  // mangle, and upper-case hex.
  std::string file = FileBytes();
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 12);
  for (char c : file) {
    auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(c == '\n' || (byte >= 0x20 && byte < 0x7F)) << int(byte);
  }
  EXPECT_NE(file.find("\nText=\\xC3\\xA9\\x09\\\\\n"), std::string::npos) << file;
  EXPECT_NE(file.find("\nOn=True\nOff=False\nLow=-2147483648\nHigh=2147483647\n"),
            std::string::npos);

  FilePropertyBag bag(path_);
  bag.Load();
  for (const auto& [name, text] : texts) {
    EXPECT_EQ(bag.ReadProperty(name, std::string("default")), PropertyValue(text)) << name;
  }
  EXPECT_EQ(bag.ReadProperty("On", false), PropertyValue(true));
  EXPECT_EQ(bag.ReadProperty("Off", true), PropertyValue(false));
  EXPECT_EQ(bag.ReadProperty("Low", int32_t{0}), PropertyValue(INT32_MIN));
  EXPECT_EQ(bag.ReadProperty("High", int32_t{0}), PropertyValue(INT32_MAX));
  EXPECT_EQ(bag.ReadProperty("Missing", int32_t{7}), PropertyValue(int32_t{7}));
  // The value takes the type of the default it is read with.
  EXPECT_EQ(bag.ReadProperty("High", std::string()), PropertyValue(std::string("2147483647")));
}

TEST_F(FilePropertyBagTest, ReadsHandEditedFiles) {
  WriteFile(
      "# settings\r\n\r\nPort=3\r\nName=\\x4a\\x4B\\x4C\r\nRaw=caf\xC3\xA9 "
      "\r\nPort=5\nFlag=True\nLast=x=y");
  FilePropertyBag bag(path_);
  bag.Load();
  EXPECT_EQ(bag.ReadProperty("Port", int32_t{1}), PropertyValue(int32_t{5}));  // last one wins
  EXPECT_EQ(bag.ReadProperty("Name", std::string()), PropertyValue(std::string("JKL")));
  EXPECT_EQ(bag.ReadProperty("Raw", std::string()), PropertyValue(std::string("caf\xC3\xA9 ")));
  EXPECT_EQ(bag.ReadProperty("Flag", false), PropertyValue(true));
  EXPECT_EQ(bag.ReadProperty("Last", std::string()), PropertyValue(std::string("x=y")));
  // Written back in the house form: comments and blank lines go, a repeated
  // name keeps its first place.
  bag.Save();
  EXPECT_EQ(FileBytes(), "Port=5\nName=JKL\nRaw=caf\\xC3\\xA9 \nFlag=True\nLast=x=y\n");

  // No file at all is an empty bag, even after something was loaded.
  fs::remove(path_);
  bag.Load();
  EXPECT_EQ(bag.ReadProperty("Port", int32_t{1}), PropertyValue(int32_t{1}));
}

TEST_F(FilePropertyBagTest, SaveKeepsUnknownKeysAndOrderAndDropsDefaults) {
  WriteFile("Other=kept\\x00\nMine=1\nLater=also kept\n");
  FilePropertyBag bag(path_);
  bag.Load();
  bag.WriteProperty("Mine", int32_t{2}, int32_t{0});
  bag.WriteProperty("New", std::string("n"), std::string());
  bag.Save();
  EXPECT_EQ(FileBytes(), "Other=kept\\x00\nMine=2\nLater=also kept\nNew=n\n");

  bag.WriteProperty("Mine", int32_t{0}, int32_t{0});
  bag.WriteProperty("New", std::string(), std::string());
  bag.WriteProperty("Never", true, true);
  bag.Save();
  EXPECT_EQ(FileBytes(), "Other=kept\\x00\nLater=also kept\n");

  // The save went through a temporary file that is gone again.
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"settings.txt"});

  // A name that could not be read back is refused.
  for (const char* bad : {"", "two words", "a=b", "#x", "tab\there"}) {
    EXPECT_EQ(Raised([&] { bag.WriteProperty(bad, true, false); }).number, kErrInvalidPropertyValue)
        << bad;
  }
}

TEST_F(FilePropertyBagTest, FailedSavesReportTheReasonAndLeaveTheOldFile) {
  WriteFile("Keep=me\n");
  FilePropertyBag bag(path_);
  bag.Load();
  bag.WriteProperty("Big", std::string(64 * 1024, 'x'), std::string());

  // A file size limit makes the write itself fail half-way.
  struct sigaction ignore {};
  struct sigaction saved_action {};
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
  EXPECT_EQ(error.source, "FilePropertyBag");
  EXPECT_NE(error.description.find(path_), std::string::npos) << error.description;
  EXPECT_NE(error.description.find("File too large"), std::string::npos) << error.description;
  EXPECT_EQ(FileBytes(), "Keep=me\n");
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"settings.txt"});

  // A directory cannot be replaced, and a missing directory cannot be written.
  fs::remove(path_);
  fs::create_directory(path_);
  EXPECT_EQ(Raised([&] { bag.Save(); }).number, kErrFileAccess);
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"settings.txt"});
  FilePropertyBag nowhere(dir_ + "/missing/settings.txt");
  error = Raised([&] { nowhere.Save(); });
  EXPECT_EQ(error.number, kErrFileAccess);
  EXPECT_NE(error.description.find("No such file or directory"), std::string::npos);
}

TEST_F(FilePropertyBagTest, MalformedFilesNameTheLineAndLeaveTheBagAsItWas) {
  WriteFile("Port=3\n");
  FilePropertyBag bag(path_);
  bag.Load();

  const std::vector<std::pair<std::string, int>> broken = {
      {"Extra=1\nno separator\n", 2},
      {"=value\n", 1},
      {"# c\n\nbad name=1\n", 3},
      {"Port=1\r\n Port=2\r\n", 2},
      {"Tab\tName=1\n", 1},
      {"Port=\\q\n", 1},
      {"Port=\\x4\n", 1},
      {"Port=\\xG0\n", 1},
      {"Port=1\nPort=trailing\\\n", 2},
  };
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

  fs::remove(path_);
  fs::create_directory(path_);
  Error error = Raised([&] { bag.Load(); });
  EXPECT_EQ(error.number, kErrFileAccess);
  EXPECT_NE(error.description.find("Is a directory"), std::string::npos) << error.description;
  EXPECT_EQ(bag.ReadProperty("Port", int32_t{0}), PropertyValue(int32_t{3}));
}

TEST_F(FilePropertyBagTest, TextsOfTheWrongTypeRaiseTypeMismatchNamingKeyAndLine) {
  WriteFile("Port=3\nFlag=maybe\n# c\nSpeed=19200x\nHuge=2147483648\n");
  FilePropertyBag bag(path_);
  bag.Load();
  const std::vector<std::tuple<std::string, PropertyValue, std::string>> cases = {
      {"Flag", false, " line 2"},
      {"Speed", int32_t{0}, " line 4"},
      {"Huge", int32_t{0}, " line 5"},
      {"Port", true, " line 1"},
  };
  for (const auto& [name, default_value, line] : cases) {
    Error error = Raised([&] { bag.ReadProperty(name, default_value); });
    EXPECT_EQ(error.number, kErrTypeMismatch) << name;
    EXPECT_EQ(error.source, "FilePropertyBag");
    EXPECT_NE(error.description.find(name), std::string::npos) << error.description;
    EXPECT_NE(error.description.find(path_ + line), std::string::npos) << error.description;
  }

  // A key written since the load has no line to name; after a save it does.
  bag.WriteProperty("Flag", std::string("perhaps"), std::string());
  Error error = Raised([&] { bag.ReadProperty("Flag", false); });
  EXPECT_EQ(error.description.find(" line "), std::string::npos) << error.description;
  bag.Save();
  error = Raised([&] { bag.ReadProperty("Flag", false); });
  EXPECT_NE(error.description.find(path_ + " line 2"), std::string::npos) << error.description;
}

}  // namespace
}  // namespace quorvalen
