// The session's guard on a line with a data block: a phone that refuses
// the line instead of prompting gets no data block (it would take it for
// command text), and the control hears the refusal and ends the line.
#include <gtest/gtest.h>

#include <algorithm>

#include "quorvalen/quorvalen.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/sim/message_store.h"
#include "quorvalen/virtual_platform.h"
#include "session/checked_line.h"

namespace quorvalen {
namespace {

TEST(PromptGuard, ARefusalInsteadOfThePromptKeepsTheBlockFromThePhone) {
  VirtualPlatform platform;
  sim::PhoneOptions options;
  options.messages = std::make_shared<sim::MessageStore>(sim::MessageStore::Sample());
  options.pin = "1234";  // the SIM is locked: AT+CMGS is refused before its prompt
  sim::VirtualPhone phone(platform, 1, options, std::make_unique<sim::SampleStore>());
  CheckedPlatform checked(platform);
  Quorvalen control(checked);
  std::vector<std::pair<std::string, std::string>> acks;
  control.OnAck([&](const std::string& c, const std::string& a) { acks.emplace_back(c, a); });
  auto run = [&](const std::string& command) {
    acks.clear();
    control.Command(command);
    platform.Loop().RunUntil([&] { return !acks.empty() && acks.back().first == "STACK-"; }, 60000);
  };
  run("SPEC>OPEN");
  run("AT+CMEE=1");
  const std::string block = "0011000B811067214365F70000A704C8329BFD06";
  checked.AwaitPrompt(true);
  const int64_t start = platform.Time().MonotonicMs();
  run("AT+CMGS=19,HEX>" + block);
  checked.AwaitPrompt(false);

  // The refusal reached the control as a line of the command, after the
  // block it was not followed by: the block never reached the phone. (The
  // control ends the line by its time-out; the session gives it the ERROR
  // the refusal stands for.)
  bool refused = false;
  for (const auto& [command, answer] : acks) refused |= answer == "+CMS ERROR: 311";
  EXPECT_TRUE(refused);
  EXPECT_EQ(phone.Line().HostWritten().find(block), std::string::npos);
  EXPECT_TRUE(options.messages->sent.empty());
  EXPECT_LT(platform.Time().MonotonicMs() - start, 60000);

  // The phone is in command state and answers the next line.
  run("AT");
  EXPECT_NE(std::find(acks.begin(), acks.end(), std::pair<std::string, std::string>{"AT", "OK"}),
            acks.end());
}

}  // namespace
}  // namespace quorvalen
