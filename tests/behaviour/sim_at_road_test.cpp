// The control against the simulated phone in virtual time: the probe and
// AT commands for each family.
#include <gtest/gtest.h>

#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "support/control_fixture.h"

namespace quorvalen {
namespace {

class SimAtRoad : public ControlTest, public ::testing::WithParamInterface<int> {
 protected:
  sim::PhoneOptions Options() {
    sim::PhoneOptions o;
    o.family = GetParam();
    return o;
  }
  sim::VirtualPhone phone{platform, 1, Options(), std::make_unique<sim::SampleStore>()};

  bool RunUntilIdle(int64_t ms) {
    return platform.Loop().RunUntil(
        [&] { return internals.RawStackCount() == 0 && !internals.ExecutorBusy(); }, ms);
  }
};

TEST_P(SimAtRoad, ProbesAndTalksAt) {
  control.MobileType(GetParam());
  control.Command("SPEC>OPEN");
  control.Command("AT+CGMM");
  control.Command("AT+CGSN");
  control.Command("AT+BOGUS");
  control.Command("SPEC>CLOSE");
  ASSERT_TRUE(RunUntilIdle(30000));
  AckList answers;
  for (const auto& a : acks) {
    if (a.first != "STACK+" && a.first != "STACK-") answers.push_back(a);
  }
  EXPECT_EQ(answers, (AckList{{"PORT COUNT", "1"},
                              {"SPEC>OPEN", "OK"},
                              {"AT+CGMM", "QV-100"},
                              {"AT+CGMM", "OK"},
                              {"AT+CGSN", phone.Phone().Options().serial_number},
                              {"AT+CGSN", "OK"},
                              {"AT+BOGUS", "ERROR"},
                              {"SPEC>CLOSE", "OK"}}));
  EXPECT_EQ(control.AT_DataRead(), "");  // the ERROR line cleared it
  // A whole session, probe drains included, in a few virtual seconds.
  EXPECT_LT(platform.Loop().NowMs(), 5000);
}

INSTANTIATE_TEST_SUITE_P(Families, SimAtRoad, ::testing::Values(0, 1, 2));

TEST(SimAtRoadStuck, APhoneLeftInBfbModeFailsTheProbeUntilReplugged) {
  VirtualPlatform platform;
  sim::PhoneOptions o;
  o.family = 1;
  sim::VirtualPhone phone(platform, 1, o, std::make_unique<sim::SampleStore>());
  phone.Phone().Receive("AT^SBFB=1\r", 19200);  // a host that died in BFB mode
  Quorvalen control(platform);
  AckList acks;
  control.OnAck([&](const std::string& c, const std::string& a) { acks.emplace_back(c, a); });
  control.Command("SPEC>OPEN");
  ASSERT_TRUE(platform.Loop().RunUntil([&] { return !acks.empty() && acks.back() == Ack{"STACK-", "0"}; }, 60000));
  EXPECT_EQ(acks[acks.size() - 2], (Ack{"SPEC>OPEN", "ERROR 9000"}));
  acks.clear();
  phone.Phone().Replug();
  control.Command("SPEC>OPEN");
  ASSERT_TRUE(platform.Loop().RunUntil([&] { return !acks.empty() && acks.back() == Ack{"STACK-", "0"}; }, 60000));
  EXPECT_EQ(acks[acks.size() - 2], (Ack{"SPEC>OPEN", "OK"}));
}

}  // namespace
}  // namespace quorvalen
