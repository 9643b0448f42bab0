// Opening the port: the probe's success, its two failures, the wake-up
// sequence, and the replies it must keep to itself.
#include <gtest/gtest.h>

#include "quorvalen/byte_text.h"
#include "support/at_road_fixture.h"

namespace quorvalen {
namespace {

const std::string kWakeUp = HexToText("1101000204168011");

using PortProbe = AtRoadTest;

TEST_F(PortProbe, APhoneThatAnswersAtOnceOpensWithOneAttempt) {
  TraceTo("t.log");
  ScriptProbe();
  control.Command("SPEC>OPEN");
  ASSERT_TRUE(RunUntilIdle(10000));
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"PORT COUNT", "1"}, {"SPEC>OPEN", "OK"}, {"STACK-", "0"}}));
  EXPECT_EQ(control.AT_DataRead(), "OK");
  EXPECT_TRUE(internals.PortOpened());
  EXPECT_EQ(line.HostWritten(), "AT\rAT+CGMM\r");
  phone.ExpectFinished();
  std::vector<std::string> texts;
  for (const std::string& l : TraceLines("t.log")) texts.push_back(l.substr(9));
  texts.erase(texts.begin());  // the opening line
  EXPECT_EQ(texts, (std::vector<std::string>{
                       " Stack[0]:SPEC>OPEN",
                       " COM>    :SPEC>OPEN",
                       " Open Port RTSEnable:True DTREnable:True InBufferSize:4096 "
                       "OutBufferSize:2048 CommPort:1 AT_Settings:19200,n,8,1 "
                       "OBEX_Settings:56000,n,8,1",
                       " Test Port Count:1",
                       " Test Mobile Count:2",
                       " OPEN Port"}));
  // Modem lines and speed as configured.
  EXPECT_TRUE(line.HostRts());
  EXPECT_TRUE(line.HostDtr());
  EXPECT_EQ(line.HostSettings().baud, 19200);
}

TEST_F(PortProbe, ASilentLineFailsWith9000AfterAHundredAttempts) {
  // Record the speed every byte was sent at.
  std::vector<std::pair<std::string, int>> wire;
  line.OnFarReceive([&](std::string_view bytes, const LineSettings& s) {
    if (!wire.empty() && wire.back().second == s.baud) {
      wire.back().first += bytes;
    } else {
      wire.emplace_back(std::string(bytes), s.baud);
    }
  });
  const int64_t start = Now();
  control.Command("SPEC>OPEN");
  ASSERT_TRUE(RunUntilIdle(60000));
  ASSERT_EQ(acks.size(), 1u + 100u + 2u);
  for (int i = 1; i <= 100; ++i) EXPECT_EQ(acks[i], (Ack{"PORT COUNT", std::to_string(i)}));
  EXPECT_EQ(acks[101], (Ack{"SPEC>OPEN", "ERROR 9000"}));
  EXPECT_EQ(control.AT_DataRead(), "ERROR 9000");
  EXPECT_FALSE(internals.Port().PortOpen());
  EXPECT_FALSE(internals.PortOpened());

  std::string expected_19200;
  for (int i = 0; i < 30; ++i) expected_19200 += "AT\r";
  expected_19200 += kWakeUp;
  for (int i = 0; i < 30; ++i) expected_19200 += "AT\r";
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_EQ(wire[0].first, expected_19200);
  EXPECT_EQ(wire[0].second, 19200);
  EXPECT_EQ(wire[1].first, kWakeUp);  // attempt 60 only, at 115200
  EXPECT_EQ(wire[1].second, 115200);
  std::string rest;
  for (int i = 0; i < 40; ++i) rest += "AT\r";
  EXPECT_EQ(wire[2].first, rest);
  EXPECT_EQ(wire[2].second, 19200);
  // 100 attempts of 101 ms, two wake-ups of 2.64 s, one drain skipped (the
  // port is closed): all in virtual time.
  EXPECT_GT(Now() - start, 15000);
}

TEST_F(PortProbe, ThirtySecondsEndTheProbeWhateverTheAttemptCount) {
  // A host whose handler takes a second per event makes the attempts slow.
  phone.Lenient(true);
  control.OnAck([&](const std::string& c, const std::string& a) {
    acks.emplace_back(c, a);
    if (c == "PORT COUNT") platform.Time().WaitUntil(platform.Time().MonotonicMs() + 1000);
  });
  control.Command("SPEC>OPEN");
  ASSERT_TRUE(RunUntilIdle(120000));
  // Attempts take 101 ms plus the host's second: 30 s have passed by the
  // check of attempt 29, whose report already says 100.
  EXPECT_EQ(acks[acks.size() - 3], (Ack{"PORT COUNT", "100"}));
  EXPECT_EQ(acks[acks.size() - 4], (Ack{"PORT COUNT", "28"}));
  EXPECT_EQ(acks[acks.size() - 2], (Ack{"SPEC>OPEN", "ERROR 9000"}));
}

TEST_F(PortProbe, APhoneWithoutAModelAnswerFailsWith9001) {
  TraceTo("t.log");
  phone.ExpectLine("AT").Reply("OK\r\n", 10);
  phone.ExpectLine("AT+CGMM").Reply("AT+CGMM\r\r\n", 10);  // echo only
  control.Command("SPEC>OPEN");
  ASSERT_TRUE(RunUntilIdle(20000));
  EXPECT_EQ(acks[2], (Ack{"SPEC>OPEN", "ERROR 9001"}));
  EXPECT_FALSE(internals.Port().PortOpen());
  auto lines = TraceLines("t.log");
  EXPECT_EQ(lines[lines.size() - 1].substr(9), " Test Mobile Count:50");
}

TEST_F(PortProbe, ALateOkBelongsToTheProbeNotToTheCommandsBehindIt) {
  // The phone wakes up only after the byte sequence of attempt 30, and its
  // "OK" arrives during the probe's pause, before events are let run.
  phone.ExpectLine("AT").Times(30);
  phone.Expect(kWakeUp).Reply("OK\r\n", 100);
  ScriptProbe();
  phone.ExpectLine("AT+CGMI").Reply("AT+CGMI\r\r\nMaker\r\n\r\nOK\r\n", 20);
  control.Command("SPEC>OPEN");
  control.Command("AT+CGMI");
  ASSERT_TRUE(RunUntilIdle(60000));
  AckList tail(acks.end() - 6, acks.end());
  EXPECT_EQ(tail, (AckList{{"PORT COUNT", "31"},
                           {"SPEC>OPEN", "OK"}, {"STACK-", "1"}, {"AT+CGMI", "Maker"},
                           {"AT+CGMI", "OK"}, {"STACK-", "0"}}));
  phone.ExpectFinished();
}

}  // namespace
}  // namespace quorvalen
