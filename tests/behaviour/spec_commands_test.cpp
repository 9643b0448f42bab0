// Control commands: settings, waits, raw sends, open and close, the trace.
#include <gtest/gtest.h>

#include "support/at_road_fixture.h"

namespace quorvalen {
namespace {

using SpecCommands = AtRoadTest;

TEST_F(SpecCommands, SpeedChangesAnswerOkAndEndOnTheirOwn) {
  Open();
  control.OBEX_Settings("9600,e,7,1");
  const int64_t start = Now();
  control.Command("SPEC>SET_56000");
  ASSERT_TRUE(RunUntilAck("SPEC>SET_56000", "OK", 2000));
  EXPECT_EQ(line.HostSettings().baud, 56000);
  EXPECT_GE(Now() - start, 300);  // the settle pause
  control.Command("SPEC>SET_115200");
  control.Command("SPEC>SET_OBEX");
  ASSERT_TRUE(RunUntilAck("SPEC>SET_115200", "OK", 2000));
  EXPECT_EQ(line.HostSettings().baud, 115200);
  ASSERT_TRUE(RunUntilAck("SPEC>SET_OBEX", "OK", 2000));
  EXPECT_EQ(line.HostSettings().Text(), "9600,e,7,1");
  control.Command("SPEC>SET_AT");
  ASSERT_TRUE(RunUntilIdle(2000));
  EXPECT_EQ(line.HostSettings().Text(), "19200,n,8,1");

  // Settings the port refuses: the number, and the old settings stay.
  acks.clear();
  control.AT_Settings("lots,of,nonsense");
  control.Command("SPEC>SET_AT");
  ASSERT_TRUE(RunUntilIdle(2000));
  EXPECT_EQ(acks[1], (Ack{"SPEC>SET_AT", "ERROR 380"}));
  EXPECT_EQ(line.HostSettings().Text(), "19200,n,8,1");
}

TEST_F(SpecCommands, WaitsEndOnTimer3AndHandOnWhatArrived) {
  Open();
  control.Command("SPEC>WAIT:200");
  const int64_t start = Now();
  ASSERT_TRUE(RunUntilIdle(2000));
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"}, {"STACK-", "0"}}));
  EXPECT_GE(Now() - start, 200);
  EXPECT_LE(Now() - start, 300);
  EXPECT_EQ(control.AT_DataRead(), "");

  // What arrives during a wait is delivered raw, under the command of the
  // last AT answer.
  acks.clear();
  phone.ExpectLine("AT^SQWE=0").Reply("\r\nOK\r\n", 5).Reply("\r\nSURPRISE\r\n", 50);
  control.Command("AT^SQWE=0");
  control.Command("SPEC>WAIT:300");
  ASSERT_TRUE(RunUntilIdle(2000));
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"STACK+", "2"}, {"AT^SQWE=0", "OK"}, {"STACK-", "1"},
                           {"AT^SQWE=0", "\r\nSURPRISE\r\n"}, {"STACK-", "0"}}));
  EXPECT_EQ(control.AT_DataRead(), "\r\nSURPRISE\r\n");
}

TEST_F(SpecCommands, SendWritesRawBytesAndMayWaitAfterwards) {
  Open();
  phone.Expect("+++");
  phone.Expect("ATZ");
  control.Command("SPEC>SEND:+++,WAIT:600");
  RunFor(150);
  EXPECT_EQ(internals.Slot(0), "SPEC>SEND:+++");
  EXPECT_EQ(internals.RawStackCount(), 1);
  const int64_t start = Now();
  ASSERT_TRUE(RunUntilIdle(2000));
  EXPECT_GE(Now() - start, 500);
  control.Command("SPEC>SEND:ATZ");
  ASSERT_TRUE(RunUntilIdle(200));
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"}, {"STACK-", "0"}, {"STACK+", "1"}, {"STACK-", "0"}}));
  RunFor(50);
  phone.ExpectFinished();
}

TEST_F(SpecCommands, OpenAndCloseAnswerWithTheirErrorNumbers) {
  control.Command("SPEC>CLOSE");
  ASSERT_TRUE(RunUntilIdle(1000));
  EXPECT_EQ(acks[1], (Ack{"SPEC>CLOSE", "ERROR 8012"}));
  Open();
  control.Command("SPEC>OPEN");
  ASSERT_TRUE(RunUntilIdle(1000));
  EXPECT_EQ(acks[1], (Ack{"SPEC>OPEN", "ERROR 8000"}));
  EXPECT_EQ(control.AT_DataRead(), "ERROR 8000");
  acks.clear();
  control.Command("SPEC>CLOSE");
  ASSERT_TRUE(RunUntilIdle(1000));
  EXPECT_EQ(acks[1], (Ack{"SPEC>CLOSE", "OK"}));
  EXPECT_FALSE(internals.Port().PortOpen());
  EXPECT_EQ(control.AT_DataRead(), "ERROR 8000");  // CLOSE leaves it alone

  acks.clear();
  control.ComType(3);
  control.Command("SPEC>OPEN");
  control.Command("SPEC>RECONNECT");  // infrared only
  control.Command("SPEC>NONSENSE");
  ASSERT_TRUE(RunUntilIdle(1000));
  EXPECT_EQ(acks[3], (Ack{"SPEC>OPEN", "ERROR 9003"}));
  EXPECT_EQ(acks[5], (Ack{"SPEC>RECONNECT", "ERROR"}));
  EXPECT_EQ(acks[7], (Ack{"SPEC>NONSENSE", "ERROR"}));
}

TEST_F(SpecCommands, TheTraceIsSwitchedByControlCommands) {
  control.Command("SPEC>DEBUG_OFF");
  control.Command("SPEC>DEBUG_ON");  // DebugPath is empty: cannot open
  ASSERT_TRUE(RunUntilIdle(1000));
  EXPECT_EQ(acks[2], (Ack{"SPEC>DEBUG_OFF", "ERROR"}));
  EXPECT_EQ(acks[4], (Ack{"SPEC>DEBUG_ON", "ERROR"}));
  acks.clear();
  control.DebugPath("trace.log");
  control.Command("SPEC>DEBUG_ON");
  control.Command("SPEC>DEBUG_ON");
  control.Command("SPEC>DEBUG_OFF");
  ASSERT_TRUE(RunUntilIdle(1000));
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"STACK+", "2"}, {"STACK+", "3"}, {"SPEC>DEBUG_ON", "OK"},
                           {"STACK-", "2"}, {"SPEC>DEBUG_ON", "ERROR"}, {"STACK-", "1"},
                           {"SPEC>DEBUG_OFF", "OK"}, {"STACK-", "0"}}));
  std::vector<std::string> lines = TraceLines("trace.log");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("Quorvalen Debug File Open 2026-01-01", 0), 0u);
  EXPECT_EQ(lines[1].substr(9), " COM>    :SPEC>DEBUG_ON");  // the second
  EXPECT_EQ(lines[2].substr(9), " COM>    :SPEC>DEBUG_OFF");
  EXPECT_EQ(lines[3].rfind("Quorvalen Debug File Close 2026-01-01", 0), 0u);
}

}  // namespace
}  // namespace quorvalen
