// A control on the virtual platform with its Ack events recorded.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "quorvalen/quorvalen.h"
#include "quorvalen/virtual_platform.h"
#include "support/control_internals.h"

namespace quorvalen {

using Ack = std::pair<std::string, std::string>;
using AckList = std::vector<Ack>;

class ControlTest : public ::testing::Test {
 protected:
  ControlTest() {
    control.OnAck([this](const std::string& c, const std::string& a) { acks.emplace_back(c, a); });
  }

  // Turns the trace on at the given path of the platform's in-memory files.
  void TraceTo(const std::string& path) {
    control.DebugPath(path);
    ASSERT_TRUE(internals.OpenTrace());
  }
  // The trace file's lines, without their CR LF.
  std::vector<std::string> TraceLines(const std::string& path) {
    std::vector<std::string> lines;
    const std::string& text = platform.Files()[path];
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }

  VirtualPlatform platform;
  Quorvalen control{platform};
  ControlInternals internals{control};
  AckList acks;
};

}  // namespace quorvalen
