// The fixture of the command line's end-to-end tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/phone_process.h"

namespace quorvalen {

// quorvalen run as a person runs it, in a scratch folder of the test's
// own (dir_) that holds its settings (config/) and its held connections
// (run/); no port or PIN comes from the environment, and what it left
// held is let go at the end.
class ToolEndToEnd : public ::testing::Test {
 protected:
  // name: the scratch folder's, /tmp/quorvalen-NAME-XXXXXX.
  explicit ToolEndToEnd(const std::string& name) {
    std::string dir = "/tmp/quorvalen-" + name + "-XXXXXX";
    dir_ = ::mkdtemp(dir.data());
    std::filesystem::create_directories(dir_ / "config");
    ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    HoldConnectionsIn(dir_);
    ::unsetenv("QUORVALEN_PORT");
    ::unsetenv("QUORVALEN_PIN");
  }
  ~ToolEndToEnd() override {
    ReleaseHeldConnections();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // One run of quorvalen with stdin from /dev/null (or the given input);
  // stderr is not a terminal.
  Result Run(const std::string& args, const std::string& input = {}) {
    const std::string out = (dir_ / "out").string(), err = (dir_ / "err").string();
    std::string in = "/dev/null";
    if (!input.empty()) {
      in = (dir_ / "in").string();
      std::ofstream(in) << input;
    }
    const std::string command =
        std::string(QUORVALEN_CLI) + " " + args + " < " + in + " > " + out + " 2> " + err;
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(out), Read(err)};
  }

  std::filesystem::path dir_;
};

}  // namespace quorvalen
