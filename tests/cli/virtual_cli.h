// The command line run in-process against a simulated phone in virtual
// time: its output and errors captured, a scratch folder of its own.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "cli.h"
#include "cli/captured.h"
#include "quorvalen/session.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen::tool {

class VirtualCli : public ::testing::Test {
 protected:
  // A family 1 phone with these options, serving these files.
  VirtualCli(const sim::PhoneOptions& phone_options, std::unique_ptr<sim::FileStore> files)
      : files_(files.get()) {
    phone_ = std::make_unique<sim::VirtualPhone>(platform_, 1, phone_options, std::move(files));
    cli_.out = out_.File();
    cli_.err = err_.File();
    cli_.open = [this] {
      SessionOptions options;
      options.mobile_type = 1;
      return Session::Open(platform_, options);
    };
    char dir[] = "/tmp/quorvalen-cli-test-XXXXXX";
    root_ = ::mkdtemp(dir);
  }
  ~VirtualCli() override {
    cli_.CloseSession();
    std::filesystem::remove_all(root_);
  }

  VirtualPlatform platform_;
  sim::FileStore* files_;
  std::unique_ptr<sim::VirtualPhone> phone_;
  Captured out_, err_;
  Cli cli_;
  std::filesystem::path root_;
};

}  // namespace quorvalen::tool
