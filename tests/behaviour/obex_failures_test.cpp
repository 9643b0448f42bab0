// OBEX requests that do not end well: a lost or half-received response, a
// host that empties the queue meanwhile, response codes that are neither
// "continue" nor "success", impossible packet lengths, and requests the
// control refuses to send. None of them may hold up the queue.
#include <gtest/gtest.h>

#include "quorvalen/bfb.h"
#include "quorvalen/byte_text.h"
#include "support/at_road_fixture.h"

namespace quorvalen {
namespace {

std::string Bytes(const std::string& hex) { return HexToText(hex); }

const std::string kListingRequest = Bytes("83001C420019") + "x-obex/folder-listing" + '\0';
const std::string kGetA = Bytes("83000A01000700610000");

// A BFB phone already in OBEX mode, on a port opened at the AT settings.
class ObexFailures : public AtRoadTest {
 protected:
  void SetUp() override {
    Open();
    control.MobileType(1);
    internals.LinkMode() = 3;
    TraceTo("t.log");
  }
  static std::string AckFrame() { return std::string(kBfbAckFrame); }
  std::string FromControl(const std::string& packet) {
    return BuildBfbFrames(packet, control_seq_++ % 256);
  }
  std::string FromPhone(const std::string& packet) {
    return BuildBfbFrames(packet, phone_seq_++ % 256);
  }
  void Exchange(const std::string& request, const std::string& response) {
    phone.Expect(FromControl(request)).Reply(AckFrame() + FromPhone(response), 20);
    phone.Expect(AckFrame());
  }
  // The phone takes the request in and acknowledges it, but never answers.
  void Unanswered(const std::string& request) {
    phone.Expect(FromControl(request)).Reply(AckFrame(), 20);
  }
  bool Traced(const std::string& text) {
    for (const std::string& l : TraceLines("t.log")) {
      if (l.substr(9) == text) return true;
    }
    return false;
  }
  // When the peer last received something from the control.
  int64_t LastSent() { return phone.Chunks().back().first; }

  int control_seq_ = 0;
  int phone_seq_ = 0;
};

TEST_F(ObexFailures, ALostResponseTimesOutAndTheNextRequestWorks) {
  control.TimeOut(5000);
  Unanswered(Bytes("830010" "01000D" "006C006F00730074" "0000"));
  control.Command("OBEX>GET:lost");
  ASSERT_TRUE(RunUntilAck("OBEX>GET:lost", "TIMEOUT", 10000));
  // Counted from the last byte received: the phone's acknowledgement, 20 ms
  // after the request and 5 bytes long at 19200 bit/s.
  EXPECT_GE(Now() - LastSent(), 5000 + 20 + 2);
  EXPECT_LE(Now() - LastSent(), 5000 + 20 + 4);
  RunFor(1);
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"}, {"OBEX>GET:lost", "TIMEOUT"}, {"STACK-", "0"}}));
  EXPECT_TRUE(Traced(" Timeout :GET:lost "));
  EXPECT_FALSE(internals.ExecutorBusy());
  EXPECT_FALSE(internals.ObexTimer().Enabled());

  acks.clear();
  Exchange(kListingRequest, Bytes("A00003"));
  control.Command("OBEX>DIR:");
  ASSERT_TRUE(RunUntilIdle(5000));
  phone.ExpectFinished();
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"}, {"OBEX>DIR:", "A00003"}, {"STACK-", "0"}}));
}

TEST_F(ObexFailures, AHalfReceivedResponseIsDroppedWithTheRequest) {
  control.TimeOut(3000);
  // Part of a packet in a whole block, then part of a frame; then silence.
  phone.Expect(FromControl(kListingRequest))
      .Reply(AckFrame() + FromPhone(Bytes("900010480000") + "abc") + Bytes("1605"), 20);
  phone.Expect(AckFrame());
  control.Command("OBEX>DIR:");
  ASSERT_TRUE(RunUntilAck("OBEX>DIR:", "TIMEOUT", 10000));
  EXPECT_EQ(internals.ObexReceiveBuffer(), "");
  EXPECT_EQ(internals.BfbFrameBuffer(), "");
  EXPECT_EQ(internals.BfbDataBuffer(), "");
  // What arrived before the time-out stays where the request left it.
  EXPECT_EQ(control.OBEX_DataRead(), "");

  acks.clear();
  Exchange(kGetA, Bytes("A00009490006") + "xyz");
  control.Command("OBEX>GET:a");
  ASSERT_TRUE(RunUntilIdle(5000));
  phone.ExpectFinished();
  EXPECT_EQ(acks[2], (Ack{"OBEX>GET:a", "A00009490006" + TextToHex("xyz")}));
  EXPECT_EQ(control.OBEX_DataRead(), "xyz");
}

TEST_F(ObexFailures, LongRequestsWaitTimeOutLongAndBytesKeepARequestAlive) {
  control.TimeOut(2000);
  control.TimeOutLong(7000);
  Unanswered(kGetA);
  control.Command("OBEX>GET:a,LONG");
  ASSERT_TRUE(RunUntilAck("OBEX>GET:a", "TIMEOUT", 20000));
  EXPECT_GE(Now() - LastSent(), 7000);
  EXPECT_LE(Now() - LastSent(), 7030);
  // The next request is back at TimeOut.
  acks.clear();
  Unanswered(kGetA);
  control.Command("OBEX>GET:a");
  RunFor(150);
  const int64_t sent = LastSent();
  ASSERT_TRUE(RunUntilAck("OBEX>GET:a", "TIMEOUT", 20000));
  EXPECT_LE(Now() - sent, 2030);

  // A response that trickles in, one byte a second, never times out.
  acks.clear();
  phone.Expect(FromControl(kListingRequest));
  phone.Expect(AckFrame());
  control.Command("OBEX>DIR:");
  RunFor(200);
  const int64_t asked = LastSent();
  const std::string frames = FromPhone(Bytes("A00009490006") + "abc");
  for (size_t i = 0; i < frames.size(); ++i) phone.Send(frames.substr(i, 1), 1000 * (i + 1));
  ASSERT_TRUE(RunUntilIdle(60000));
  phone.ExpectFinished();
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"OBEX>DIR:", "A00009490006" + TextToHex("abc")},
                           {"STACK-", "0"}}));
  EXPECT_GT(Now() - asked, 15000);
}

TEST_F(ObexFailures, AHostThatEmptiesTheQueueIsNotLeftStuck) {
  control.TimeOut(3000);
  Unanswered(kGetA);
  control.Command("OBEX>GET:a");
  RunFor(500);
  control.StackCount(0);
  ASSERT_TRUE(RunUntilAck("OBEX>GET:a", "TIMEOUT", 10000));
  RunFor(1);
  EXPECT_EQ(AckList(acks.end() - 2, acks.end()),
            (AckList{{"OBEX>GET:a", "TIMEOUT"}, {"STACK-", "-1"}}));
  EXPECT_EQ(internals.RawStackCount(), 0);
  EXPECT_FALSE(internals.ExecutorBusy());

  // Emptied and queued anew: the request ends, what was queued runs.
  acks.clear();
  Unanswered(kGetA);
  Exchange(kListingRequest, Bytes("A00003"));
  control.Command("OBEX>GET:a");
  RunFor(500);
  control.StackCount(0);
  control.Command("OBEX>DIR:");
  ASSERT_TRUE(RunUntilIdle(10000));
  phone.ExpectFinished();
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"STACK+", "1"},
                           {"OBEX>GET:a", "TIMEOUT"},
                           {"OBEX>DIR:", "A00003"},
                           {"STACK-", "0"}}));
}

TEST_F(ObexFailures, EveryResponseCodeButContinueEndsTheRequest) {
  Exchange(kGetA, Bytes("D10003"));
  Exchange(kListingRequest, Bytes("800003"));
  Exchange(kListingRequest, Bytes("C40003"));
  Exchange(Bytes("81000300"), Bytes("A10005AB00"));
  control.Command("OBEX>GET:a");
  control.Command("OBEX>DIR:");
  control.Command("OBEX>DIR:");
  control.Command("OBEX>RAW:81000300");
  ASSERT_TRUE(RunUntilIdle(10000));
  phone.ExpectFinished();
  EXPECT_EQ(AckList(acks.begin() + 4, acks.end()),
            (AckList{{"GETCOUNT", "0"},
                     {"OBEX>GET:a", "D10003"},
                     {"STACK-", "3"},
                     {"OBEX>DIR:", "800003"},
                     {"STACK-", "2"},
                     {"OBEX>DIR:", "C40003"},
                     {"STACK-", "1"},
                     {"OBEX>RAW:81000300", "A10005AB00"},
                     {"STACK-", "0"}}));
  // Their data still count as object data.
  EXPECT_EQ(control.OBEX_DataRead(), Bytes("AB00"));
  EXPECT_TRUE(Traced(" >OBEX   :A10005AB00"));
}

TEST_F(ObexFailures, ImpossiblePacketLengthsEndTheRequestWithError) {
  Exchange(kGetA, Bytes("A00001"));
  Exchange(kListingRequest, Bytes("908000"));
  Exchange(kListingRequest, Bytes("A00003"));
  control.Command("OBEX>GET:a");
  control.Command("OBEX>DIR:");
  control.Command("OBEX>DIR:");
  ASSERT_TRUE(RunUntilIdle(10000));
  phone.ExpectFinished();
  EXPECT_EQ(AckList(acks.begin() + 3, acks.end()),
            (AckList{{"OBEX>GET:a", "ERROR"},
                     {"STACK-", "2"},
                     {"OBEX>DIR:", "ERROR"},
                     {"STACK-", "1"},
                     {"OBEX>DIR:", "A00003"},
                     {"STACK-", "0"}}));
  EXPECT_TRUE(Traced(" >OBEX   :LEN ERROR A00001"));
  EXPECT_TRUE(Traced(" >OBEX   :LEN ERROR 908000"));
}

TEST_F(ObexFailures, RequestsThatCannotBeBuiltAreRefusedUnsent) {
  const size_t written = line.HostWritten().size();
  const std::string long_name(124, 'g');
  control.OBEX_BlockLen(20);
  control.OBEX_DataSend("xyz");
  for (const std::string& command :
       {"OBEX>GET:" + long_name, std::string("OBEX>GET:"), std::string("OBEX>REN:ab"),
        std::string("OBEX>PUT:a.txt"), "OBEX>DEL:a,EXT>" + std::string(251, 'x'),
        std::string("OBEX>RAW:"), std::string("OBEX>MEM:"), "OBEX>CD :" + long_name,
        "OBEX>CON:" + std::string(492, 'A'), std::string("OBEX>NOP:x")}) {
    control.Command(command);
  }
  ASSERT_TRUE(RunUntilIdle(10000));
  EXPECT_EQ(line.HostWritten().size(), written);
  AckList errors;
  for (const Ack& a : acks) {
    if (a.second == "ERROR") errors.push_back(a);
  }
  EXPECT_EQ(errors, (AckList{{"OBEX>GET:" + long_name, "ERROR"},
                             {"OBEX>GET:", "ERROR"},
                             {"OBEX>REN:ab", "ERROR"},
                             {"OBEX>PUT:a.txt", "ERROR"},  // no room for data
                             {"OBEX>DEL:a", "ERROR"},
                             {"OBEX>RAW:", "ERROR"},
                             {"OBEX>MEM:", "ERROR"},
                             {"OBEX>CD :" + long_name, "ERROR"},
                             {"OBEX>CON:" + std::string(492, 'A'), "ERROR"},
                             {"OBEX>NOP:x", "ERROR"}}));
  EXPECT_FALSE(internals.ObexTimer().Enabled());
  // The data of the refused PUT is still there to send.
  EXPECT_EQ(control.OBEX_DataSend(), "xyz");
}

TEST_F(ObexFailures, AContinuationWithoutRoomForDataEndsThePut) {
  control.OBEX_DataSend(std::string(300, 'p'));
  phone.Expect(FromControl(Bytes("0200FF01000700610000" "C30000012C" "4800F0") +
                           std::string(237, 'p')))
      .Reply(AckFrame() + FromPhone(Bytes("900003")), 20);
  phone.Expect(AckFrame());
  control.OnAck([&](const std::string& c, const std::string& a) {
    acks.emplace_back(c, a);
    if (c == "PUTCOUNT") control.OBEX_BlockLen(6);
  });
  control.Command("OBEX>PUT:a");
  ASSERT_TRUE(RunUntilIdle(10000));
  phone.ExpectFinished();
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"PUTCOUNT", "300"},
                           {"OBEX>PUT:a", "ERROR"},
                           {"STACK-", "0"}}));
}

TEST_F(ObexFailures, GarbageNeverLeavesTheQueueStuck) {
  // Random bytes, frames with random payloads, and blocks carrying packets
  // that are right, wrong in their length, or of any response code.
  phone.Lenient(true);
  control.TimeOut(1000);
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t below) {
    seed = seed * 1103515245 + 12345;
    return (seed >> 8) % below;
  };
  auto random_bytes = [&](size_t n) {
    std::string bytes;
    for (size_t i = 0; i < n; ++i) bytes += static_cast<char>(next(256));
    return bytes;
  };
  std::string garbage;
  while (garbage.size() < 60000) {
    switch (next(4)) {
      case 0:
        garbage += random_bytes(1 + next(8));
        break;
      case 1:
        garbage += BuildBfbFrame(0x16, random_bytes(1 + next(32)));
        break;
      default: {
        const uint8_t codes[] = {0x90, 0xA0, 0xC4, 0xD1, 0x80, static_cast<uint8_t>(next(256))};
        std::string packet = random_bytes(3 + next(60));
        packet[0] = static_cast<char>(codes[next(6)]);
        if (next(4) != 0) {
          packet[1] = static_cast<char>(packet.size() >> 8);
          packet[2] = static_cast<char>(packet.size() & 0xFF);
        }
        garbage += BuildBfbFrames(packet, static_cast<int>(next(256)));
      }
    }
  }
  for (int i = 0; i < 40; ++i) control.Command("OBEX>GET:x");
  for (size_t at = 0; at < garbage.size(); at += 50) phone.Send(garbage.substr(at, 50), at / 10);
  ASSERT_TRUE(RunUntilIdle(200000));
  // Each request ended once: by a response, an error or its time-out. (A
  // final response that comes before the next request has started ends that
  // one unstarted, reported under its queued text "OBEX>GET:x".)
  int ended = 0;
  for (const Ack& a : acks) ended += a.first == "OBEX>GET:x" || a.first == "OBEX>OBEX>GET:x";
  EXPECT_EQ(ended, 40);

  // Whatever the garbage left half received goes with the next time-out;
  // after it the link is as good as new.
  phone.Lenient(false);
  phone.ExpectFinished();
  control_seq_ = internals.BfbSequence();
  Unanswered(kGetA);
  Exchange(kGetA, Bytes("A00003"));
  control.Command("OBEX>GET:a");
  control.Command("OBEX>GET:a");
  acks.clear();
  ASSERT_TRUE(RunUntilIdle(5000));
  phone.ExpectFinished();
  EXPECT_EQ(acks, (AckList{{"OBEX>GET:a", "TIMEOUT"},
                           {"STACK-", "1"},
                           {"GETCOUNT", "0"},
                           {"OBEX>GET:a", "A00003"},
                           {"STACK-", "0"}}));
}

TEST_F(ObexFailures, AnUnframedPhoneTakesThePacketsAsTheyAre) {
  control.MobileType(0);
  internals.LinkMode() = 0;
  phone.ExpectLine("AT^SQWE=0").Reply("\r\nOK\r\n", 10);
  phone.ExpectLine("AT^SQWE=3").Reply("\r\nOK\r\n", 10);
  phone.Expect(Bytes("80001A100040064600136B01CB31410611D49A770050DA3F471F"))
      .Reply(Bytes("A0000710004000"), 20);
  phone.Expect(kListingRequest).Reply(Bytes("90000A480007") + "<fol", 20);
  phone.Expect(Bytes("830003")).Reply(Bytes("A0000A490007") + "der>", 20);
  control.Command("OBEX>DIR:");
  ASSERT_TRUE(RunUntilIdle(20000));
  phone.ExpectFinished();
  EXPECT_EQ(line.HostSettings().baud, 56000);
  EXPECT_EQ(acks[acks.size() - 2], (Ack{"OBEX>DIR:", "A0000A490007" + TextToHex("der>")}));
  EXPECT_EQ(control.OBEX_DataRead(), "<folder>");
  EXPECT_FALSE(Traced(" BFB>    :DATA"));

  // Back to AT mode: the escape after a pause, then the AT settings.
  acks.clear();
  phone.Expect(Bytes("810003")).Reply(Bytes("A00003"), 20);
  phone.Expect("+++");
  phone.ExpectLine("ATI").Reply("\r\nOK\r\n", 10);
  control.Command("ATI");
  ASSERT_TRUE(RunUntilIdle(20000));
  phone.ExpectFinished();
  EXPECT_EQ(acks.back(), (Ack{"STACK-", "0"}));
  EXPECT_EQ(line.HostSettings().baud, 19200);
}

}  // namespace
}  // namespace quorvalen
