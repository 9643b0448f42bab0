// AT lines end to end on the virtual line: answers, echo, time-outs, the
// ",LONG" and ",HEX>" options, and the pacing between commands.
#include <gtest/gtest.h>

#include "support/at_road_fixture.h"

namespace quorvalen {
namespace {

using AtCommands = AtRoadTest;

TEST_F(AtCommands, EchoIsDroppedAndEveryOtherLineReported) {
  Open();
  TraceTo("t.log");
  phone.ExpectLine("AT+CGMI").Reply("AT+CGMI\r\r\nQuorvalen Labs\r\n", 20).Reply("Sim\r\n\r\nOK\r\n", 40);
  control.Command("AT+CGMI");
  ASSERT_TRUE(RunUntilIdle(5000));
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"AT+CGMI", "Quorvalen Labs"}, {"AT+CGMI", "Sim"}, {"AT+CGMI", "OK"},
                           {"STACK-", "0"}}));
  EXPECT_EQ(control.AT_DataRead(), "Quorvalen Labs\r\nSim\r\n");
  std::vector<std::string> texts;
  for (const std::string& l : TraceLines("t.log")) texts.push_back(l.substr(9));
  texts.erase(texts.begin());  // the opening line
  EXPECT_EQ(texts, (std::vector<std::string>{" Stack[0]:AT+CGMI", " COM>    :AT+CGMI",
                                             " >COM    :Quorvalen Labs", " >COM    :Sim",
                                             " >COM    :OK"}));
  phone.ExpectFinished();
}

TEST_F(AtCommands, ErrorEndsTheCommandAndLowerCaseOkDoesNot) {
  Open();
  control.TimeOut(3000);
  phone.ExpectLine("AT+FOO").Reply("AT+FOO\r\r\nERROR\r\n", 10);
  phone.ExpectLine("AT+BAR").Reply("\r\nK\r\n", 10);  // a clipped "OK" still counts
  phone.ExpectLine("AT+BAZ").Reply("\r\nok\r\n", 10);
  control.Command("AT+FOO");
  control.Command("AT+BAR");
  control.Command("AT+BAZ");
  ASSERT_TRUE(RunUntilIdle(60000));
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"STACK+", "2"}, {"STACK+", "3"}, {"AT+FOO", "ERROR"}, {"STACK-", "2"},
                           {"AT+BAR", "OK"}, {"STACK-", "1"}, {"AT+BAZ", "ok"},
                           {"AT+BAZ", "TIMEOUT"}, {"STACK-", "0"}}));
}

TEST_F(AtCommands, TheFirstTimeOutIsThirtySecondsThenTimeOut) {
  Open();
  phone.Lenient(true);
  control.TimeOut(5000);
  control.Command("AT+SILENT");
  const int64_t start = Now();
  ASSERT_TRUE(RunUntilAck("AT+SILENT", "TIMEOUT", 40000));
  // Started on the next tick (at most 100 ms), then 30 s of silence.
  EXPECT_GE(Now() - start, 30000);
  EXPECT_LE(Now() - start, 30100);
  EXPECT_EQ(platform.Bell().Count(), 1);
  acks.clear();
  control.Command("AT+SILENT2");
  const int64_t second = Now();
  ASSERT_TRUE(RunUntilAck("AT+SILENT2", "TIMEOUT", 40000));
  EXPECT_GE(Now() - second, 5000);
  EXPECT_LE(Now() - second, 5100);
  EXPECT_EQ(platform.Bell().Count(), 2);
  EXPECT_EQ(AckList(acks.end() - 2, acks.end()),
            (AckList{{"AT+SILENT2", "TIMEOUT"}, {"STACK-", "0"}}));

  // ",LONG" waits TimeOutLong, and the head loses the option.
  control.TimeOutLong(12000);
  control.Command("AT+SLOW,LONG");
  const int64_t third = Now();
  RunFor(200);
  EXPECT_EQ(internals.Slot(0), "AT+SLOW");
  ASSERT_TRUE(RunUntilAck("AT+SLOW", "TIMEOUT", 40000));
  EXPECT_GE(Now() - third, 12000);
  EXPECT_LE(Now() - third, 12100);
  EXPECT_EQ(line.HostWritten().substr(line.HostWritten().size() - 8), "AT+SLOW\r");
}

TEST_F(AtCommands, AnAnswerTricklingInNeverTimesOut) {
  Open();
  control.TimeOut(2000);
  phone.ExpectLine("AT+TRICKLE");
  control.Command("AT+TRICKLE");
  RunFor(200);
  std::string answer = "\r\nA slow phone writes one character a second\r\n\r\nOK\r\n";
  for (size_t i = 0; i < answer.size(); ++i) phone.Send(answer.substr(i, 1), 1000 * (i + 1));
  ASSERT_TRUE(RunUntilIdle(120000));
  EXPECT_EQ(acks[1], (std::pair<std::string, std::string>{
                         "AT+TRICKLE", "A slow phone writes one character a second"}));
  EXPECT_EQ(acks[2], (Ack{"AT+TRICKLE", "OK"}));
  EXPECT_GT(Now(), 50000);
}

TEST_F(AtCommands, HexDataGoesAfterThePromptOrTenSecondsWithoutIt) {
  Open();
  TraceTo("t.log");
  phone.Expect("\r");
  phone.ExpectLine("AT+CMGS=5").Reply("AT+CMGS=5\r\r\n>", 30);
  phone.Expect("0011AA\x1A").Reply("\r\n+CMGS: 7\r\n\r\nOK\r\n", 200);
  control.Command("AT+CMGS=5,HEX>0011AA");
  ASSERT_TRUE(RunUntilIdle(20000));
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"AT+CMGS=5", "+CMGS: 7"}, {"AT+CMGS=5", "OK"}, {"STACK-", "0"}}));
  std::vector<std::string> texts;
  for (const std::string& l : TraceLines("t.log")) texts.push_back(l.substr(9));
  EXPECT_EQ(texts[2], " COM>    :AT+CMGS=5");
  EXPECT_EQ(texts[3], " Wait");
  EXPECT_EQ(texts[4], " WaitOK");
  // Each read of the port replaces the last: the trace shows the read
  // that held the prompt.
  EXPECT_EQ(texts[5].substr(0, 10), " >COM    :");
  EXPECT_EQ(texts[5].back(), '>');
  EXPECT_EQ(texts[6], " COM>    :0011AA");

  // A missing prompt: the data go after ten seconds.
  acks.clear();
  phone.Expect("\r");
  phone.ExpectLine("AT+CMGS=2");
  phone.Expect("AB\x1A").Reply("\r\nOK\r\n", 10);
  control.Command("AT+CMGS=2,HEX>AB");
  const int64_t start = Now();
  ASSERT_TRUE(RunUntilIdle(30000));
  const auto& data = phone.Chunks().back();
  EXPECT_EQ(data.second, "AB\x1A");
  // HexDelay, the line, 10 s without a prompt, HexDelay again.
  EXPECT_GE(data.first - start, 10000 + 2 * 150);
  EXPECT_LE(data.first - start, 10000 + 2 * 150 + 110);
  EXPECT_EQ(acks[1], (Ack{"AT+CMGS=2", "OK"}));
  phone.ExpectFinished();
}

TEST_F(AtCommands, TheNextCommandStartsCommandDelayAfterTheAnswer) {
  Open();
  control.CommandDelay(25);
  phone.ExpectLine("ATI").Reply("\r\nOK\r\n", 10);
  phone.ExpectLine("AT+CSQ").Reply("\r\nOK\r\n", 10);
  const size_t first = phone.Chunks().size();
  control.Command("ATI");
  control.Command("AT+CSQ");
  ASSERT_TRUE(RunUntilIdle(5000));
  ASSERT_EQ(phone.Chunks().size(), first + 2);
  // The OK ends ATI when its last byte arrives (10 ms after the line, plus
  // 6 bytes at 19200 bit/s); AT+CSQ leaves CommandDelay (and the one that
  // ends the busy wait) later, not on the next tick; the peer sees it when
  // its 7 bytes have crossed the line (3.6 ms).
  int64_t ok_arrival = phone.Chunks()[first].first + 10 + 3;
  int64_t second = phone.Chunks()[first + 1].first;
  EXPECT_GE(second - ok_arrival, 25);
  EXPECT_LE(second - ok_arrival, 31);
}

}  // namespace
}  // namespace quorvalen
