// The documents' examples run as tests: every "$ " line of docs/cli.md and
// docs/mount.md, in order, in one working folder and one home, with the
// output shown beneath it compared to what the command prints (times and
// dates aside). Each --sim run gets a fresh simulated phone with the sample
// contents, as a person's does, here in-process on a virtual clock. Beside
// quorvalen itself an example may use echo (into a file or a pipe),
// "| head -N" and mkdir; anything else cannot run as written and fails.
// The README's quick start is run too, against the simulated phone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "cli.h"
#include "connection.h"
#include "console.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/sim/message_store.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen::tool {
namespace {

namespace fs = std::filesystem;

struct Example {
  std::string where;  // file:line
  std::string command;
  std::vector<std::string> shown;
};

size_t Indent(const std::string& line) {
  const size_t at = line.find_first_not_of(' ');
  return at == std::string::npos ? line.size() : at;
}

// An example is an indented "$ " line and the indented lines under it, up
// to the next "$ " line or the end of the indented block.
std::vector<Example> ExamplesOf(const std::string& name) {
  std::ifstream in(std::string(QUORVALEN_SOURCE_DIR) + "/" + name);
  EXPECT_TRUE(in) << name;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::vector<Example> examples;
  for (size_t i = 0; i < lines.size(); ++i) {
    const size_t indent = Indent(lines[i]);
    if (indent < 4 || lines[i].compare(indent, 2, "$ ") != 0) continue;
    Example example{name + ":" + std::to_string(i + 1), lines[i].substr(indent + 2), {}};
    for (size_t j = i + 1; j < lines.size(); ++j) {
      const std::string& line = lines[j];
      const bool blank = line.find_first_not_of(' ') == std::string::npos;
      if (!blank && (Indent(line) < indent || line.compare(indent, 2, "$ ") == 0)) break;
      example.shown.push_back(blank ? "" : line.substr(indent));
    }
    while (!example.shown.empty() && example.shown.back().empty()) example.shown.pop_back();
    examples.push_back(std::move(example));
  }
  return examples;
}

// Words as a POSIX shell splits them, for what the examples use: quotes,
// and ~ at a word's start. Operators (|, >, &&) stand as words of their own.
std::vector<std::string> Words(const std::string& line, const std::string& home) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\'' || c == '"') {
      const size_t end = line.find(c, i + 1);
      word += line.substr(i + 1, end - i - 1);
      i = end == std::string::npos ? line.size() : end;
      in_word = true;
    } else if (c == ' ') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      if (!in_word && c == '~') {
        word += home;
      } else {
        word += c;
      }
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

std::string Normal(std::string text, const std::string& home) {
  for (size_t at; (at = text.find(home)) != std::string::npos;) text.replace(at, home.size(), "/home/me");
  static const std::regex kDate(R"(\d{4}-\d\d-\d\d)");
  static const std::regex kTime(R"(\d\d:\d\d:\d\d(\.\d+)?)");
  return std::regex_replace(std::regex_replace(text, kDate, "<date>"), kTime, "<time>");
}

// Whether the lines printed match the lines shown, where a shown "..." stands
// for any lines.
bool Matches(const std::vector<std::string>& shown, size_t s, const std::vector<std::string>& got,
             size_t g) {
  if (s == shown.size()) return g == got.size();
  if (shown[s] == "...") {
    for (size_t k = g; k <= got.size(); ++k) {
      if (Matches(shown, s + 1, got, k)) return true;
    }
    return false;
  }
  return g < got.size() && shown[s] == got[g] && Matches(shown, s + 1, got, g + 1);
}

class Documents : public ::testing::Test {
 protected:
  Documents() {
    char dir[] = "/tmp/quorvalen-documents-XXXXXX";
    root_ = ::mkdtemp(dir);
    home_ = (root_ / "me").string();
    fs::create_directories(root_ / "me" / "work");
    saved_cwd_ = fs::current_path();
    fs::current_path(root_ / "me" / "work");
    ::setenv("HOME", home_.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("QUORVALEN_PORT");
    ::unsetenv("QUORVALEN_PIN");
    // Each --sim opening: a fresh phone with the sample tree, messages and
    // contacts, of the family the settings ask for.
    UseSimulatedOpener([this](SessionOptions options) {
      worlds_.push_back(std::make_unique<World>());
      World& world = *worlds_.back();
      sim::PhoneOptions phone = PhoneAgreeingWith(options.mobile_type.value_or(1), options.com_type);
      phone.messages = std::make_shared<sim::MessageStore>(sim::MessageStore::Sample());
      world.phone = std::make_unique<sim::VirtualPhone>(world.platform, options.comm_port, phone,
                                                        std::make_unique<sim::SampleStore>());
      options.port.clear();
      return Session::Open(world.platform, options);
    });
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  }
  ~Documents() override {
    UseSimulatedOpener(nullptr);
    fs::current_path(saved_cwd_);
    fs::remove_all(root_);
  }

  // quorvalen with these arguments, standard input and output and error
  // (together, in order) going through files.
  std::string Quorvalen(const std::vector<std::string>& args, const std::string& input, int* code) {
    const fs::path in_path = root_ / "stdin", out_path = root_ / "stdout";
    std::ofstream(in_path, std::ios::binary) << input;
    const int in = ::open(in_path.c_str(), O_RDONLY);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved[3] = {::dup(0), ::dup(1), ::dup(2)};
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    std::clearerr(stdin);
    std::cin.clear();
    *code = RunCommandLine(args);
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    for (int fd = 0; fd < 3; ++fd) {
      ::dup2(saved[fd], fd);
      ::close(saved[fd]);
    }
    ::close(in);
    ::close(out);
    std::clearerr(stdin);
    std::cin.clear();
    // The control's trace, kept by the virtual platform, where it was asked for.
    for (const auto& world : worlds_) {
      for (const auto& [path, text] : world->platform.Files()) {
        std::ofstream(path, std::ios::binary) << text;
      }
    }
    worlds_.clear();
    std::ifstream printed(out_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(printed), std::istreambuf_iterator<char>());
  }

  // Runs one example's command line; false (with the reason) when it uses
  // something this runner does not do.
  bool Run(const std::string& line, std::string* printed, int* code, std::string* why) {
    std::vector<std::string> words = Words(line, home_);
    *code = 0;
    printed->clear();
    if (words.empty()) return *why = "nothing to run", false;
    if (words[0] == "mkdir") {
      for (size_t i = 1; i < words.size(); ++i) {
        if (words[i] != "-p") fs::create_directories(words[i]);
      }
      return true;
    }
    std::string input;
    if (words[0] == "echo") {
      const auto op = std::find_if(words.begin(), words.end(),
                                   [](const std::string& w) { return w == ">" || w == "|"; });
      std::string text;
      for (auto it = words.begin() + 1; it != op; ++it) text += (text.empty() ? "" : " ") + *it;
      text += "\n";
      if (op == words.end() || op + 1 == words.end()) return *why = "echo to where?", false;
      if (*op == ">") {
        if (op + 2 != words.end()) return *why = "echo > FILE takes one file", false;
        std::ofstream(*(op + 1), std::ios::binary) << text;
        return true;
      }
      input = text;
      words.erase(words.begin(), op + 1);
    }
    if (words[0] != "quorvalen") return *why = "runs " + words[0] + ", not quorvalen", false;
    long head = -1;
    if (words.size() > 3 && words[words.size() - 3] == "|") {
      if (words[words.size() - 2] != "head" || words.back().rfind("-", 0) != 0) {
        return *why = "a pipe into something other than head -N", false;
      }
      head = std::strtol(words.back().c_str() + 1, nullptr, 10);
      words.resize(words.size() - 3);
    }
    for (const std::string& w : words) {
      if (w == "|" || w == ">" || w == "&&" || w == ";") return *why = "a shell operator " + w, false;
    }
    *printed = Quorvalen({words.begin() + 1, words.end()}, input, code);
    if (head >= 0) {
      size_t at = 0;
      for (long n = 0; n < head && at != std::string::npos; ++n) {
        at = printed->find('\n', at);
        if (at != std::string::npos) ++at;
      }
      if (at != std::string::npos) printed->resize(at);
    }
    return true;
  }

  void RunExamples(const std::vector<Example>& examples) {
    for (const Example& example : examples) {
      SCOPED_TRACE(example.where + ": $ " + example.command);
      std::string printed, why;
      int code = 0;
      ASSERT_TRUE(Run(example.command, &printed, &code, &why)) << "cannot run as written: " << why;
      std::vector<std::string> got, shown;
      std::istringstream lines(Normal(printed, home_));
      for (std::string line; std::getline(lines, line);) got.push_back(line);
      while (!got.empty() && got.back().empty()) got.pop_back();
      for (const std::string& line : example.shown) shown.push_back(Normal(line, home_));
      EXPECT_TRUE(Matches(shown, 0, got, 0)) << "exit code " << code << ", printed:\n" << printed;
      ++ran_;
    }
  }

  struct World {
    VirtualPlatform platform;
    std::unique_ptr<sim::VirtualPhone> phone;
  };
  fs::path root_;
  std::string home_;
  fs::path saved_cwd_;
  std::vector<std::unique_ptr<World>> worlds_;
  int ran_ = 0;
};

TEST_F(Documents, EveryExampleRunsAsWritten) {
  std::vector<Example> examples = ExamplesOf("docs/cli.md");
  const std::vector<Example> mount = ExamplesOf("docs/mount.md");
  examples.insert(examples.end(), mount.begin(), mount.end());
  ASSERT_GE(examples.size(), 40u);
  RunExamples(examples);
  std::printf("ran %d examples of docs/cli.md and docs/mount.md\n", ran_);
}

// The quick start's commands for a phone on a port, run with the simulated
// phone in its place: each does its work and says nothing amiss. (probe
// searches the machine's ports; the mount and the shell are a person's.)
TEST_F(Documents, TheQuickStartRunsOnTheSimulatedPhone) {
  std::ifstream in(std::string(QUORVALEN_SOURCE_DIR) + "/README.md");
  int ran = 0;
  for (std::string line; std::getline(in, line);) {
    const std::string port = "quorvalen --port /dev/ttyUSB0 ";
    const size_t at = line.find(port);
    if (at == std::string::npos || Indent(line) != 4 || at != 4) continue;
    std::string command = line.substr(at + port.size());
    command = command.substr(0, command.find('#'));
    if (command.rfind("shell", 0) == 0 || command.rfind("mount", 0) == 0) continue;
    SCOPED_TRACE(line);
    std::string printed, why;
    int code = 0;
    ASSERT_TRUE(Run("quorvalen --sim " + command, &printed, &code, &why)) << why;
    EXPECT_EQ(code, 0) << printed;
    EXPECT_EQ(printed.find("quorvalen:"), std::string::npos) << printed;
    ++ran;
  }
  EXPECT_GE(ran, 5);
  EXPECT_TRUE(fs::exists(fs::path(home_) / "phone-pictures" / "Holiday" / "beach.jpg"));
  EXPECT_GT(fs::file_size("messages.xml"), 1000u);
  EXPECT_GT(fs::file_size("contacts.vcf"), 100u);
}

}  // namespace
}  // namespace quorvalen::tool
