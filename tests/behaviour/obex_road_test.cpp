// The OBEX road on the cable of a BFB phone (ComType 0, MobileType 1), with
// a scripted phone: the switch into OBEX mode and back, requests on the wire,
// multi-packet PUT and GET with their progress, the automatic block length,
// and requests that end badly (time-outs, error codes, impossible lengths, a
// host emptying the queue). None of them may hold up the queue.
#include <gtest/gtest.h>

#include <algorithm>

#include "quorvalen/bfb.h"
#include "quorvalen/byte_text.h"
#include "support/at_road_fixture.h"

namespace quorvalen {
namespace {

std::string Bytes(const std::string& hex) { return HexToText(hex); }

// A response packet whose headers are one Body (0x48) or End of Body (0x49).
std::string Response(uint8_t code, uint8_t header, const std::string& data) {
  const size_t n = 6 + data.size();
  return std::string{static_cast<char>(code), static_cast<char>(n >> 8), static_cast<char>(n),
                     static_cast<char>(header), static_cast<char>((n - 3) >> 8),
                     static_cast<char>(n - 3)} + data;
}

const std::string kConnectRequest =
    Bytes("80001A100040064600136B01CB31410611D49A770050DA3F471F");
const std::string kConnectResponse =
    Bytes("A0001F10004000CB000000014A00136B01CB31410611D49A770050DA3F471F");
const std::string kListingRequest = Bytes("83001C420019") + "x-obex/folder-listing" + '\0';
const std::string kGetA = Bytes("83000A01000700610000");
const std::string kAckFrame(kBfbAckFrame);

class ObexRoad : public AtRoadTest {
 protected:
  // The data blocks of each side, numbered as each side counts them.
  std::string FromControl(const std::string& packet) {
    return BuildBfbFrames(packet, control_seq_++ % 256);
  }
  std::string FromPhone(const std::string& packet) {
    return BuildBfbFrames(packet, phone_seq_++ % 256);
  }
  // The control sends request; the phone acknowledges it and answers
  // response 20 ms later; the control acknowledges the answer.
  void Exchange(const std::string& request, const std::string& response) {
    phone.Expect(FromControl(request)).Reply(kAckFrame + FromPhone(response), 20);
    phone.Expect(kAckFrame);
  }
  // The phone takes the request in and acknowledges it, but never answers.
  void Unanswered(const std::string& request) {
    phone.Expect(FromControl(request)).Reply(kAckFrame, 20);
  }
  void ScriptSwitch() {
    phone.ExpectLine("AT^SIFS").Reply("AT^SIFS\r\r\nOK\r\n", 10);
    phone.ExpectLine("AT^SBFB=1").Reply("AT^SBFB=1\r\r\nOK\r\n", 10);
    phone.Expect(Bytes("02010314"));
  }
  // A BFB phone already in OBEX mode, tracing to t.log.
  void InObex() {
    Open();
    control.MobileType(1);
    internals.LinkMode() = ControlCore::kObexMode;
    TraceTo("t.log");
  }
  std::vector<std::string> Traces() {
    std::vector<std::string> texts;
    for (const std::string& l : TraceLines("t.log")) texts.push_back(l.substr(9));
    return texts;
  }
  // True when wanted appear in order among the trace texts.
  bool TracesInOrder(const std::vector<std::string>& wanted) {
    size_t next = 0;
    for (const std::string& text : Traces())
      if (next < wanted.size() && text == wanted[next]) ++next;
    return next == wanted.size();
  }
  // When the peer last received something from the control.
  int64_t LastSent() { return phone.Chunks().back().first; }

  int control_seq_ = 0;
  int phone_seq_ = 0;
};

TEST_F(ObexRoad, TheRoadOfOneRequest) {
  Open();
  TraceTo("t.log");
  control.MobileType(1);
  const std::string listing =
      "<?xml version=\"1.0\"?>\n<folder-listing version=\"1.0\">\n"
      "<folder name=\"Pictures\"/>\n<file name=\"notes.txt\" size=\"12\"/>\n</folder-listing>\n";
  const std::string part1 = listing.substr(0, 40);
  const std::string part2 = listing.substr(40, 50);
  const std::string part3 = listing.substr(90);
  const std::string last = Response(0xA0, 0x49, part3);
  ScriptSwitch();
  Exchange(kConnectRequest, kConnectResponse);
  Exchange(kListingRequest, Response(0x90, 0x48, part1));
  Exchange(Bytes("830003"), Response(0x90, 0x48, part2));
  Exchange(Bytes("830003"), last);

  control.Command("OBEX>DIR:");
  EXPECT_EQ(internals.LinkMode(), ControlCore::kToObexRequested);
  ASSERT_TRUE(RunUntilIdle(20000));
  phone.ExpectFinished();
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"STACK+", "2"}, {"STACK+", "3"}, {"STACK+", "4"}, {"STACK+", "5"},
                           {"STACK+", "6"}, {"STACK+", "7"}, {"STACK+", "8"}, {"AT^SIFS", "OK"},
                           {"STACK-", "7"}, {"AT^SBFB=1", "OK"}, {"STACK-", "6"}, {"STACK-", "5"},
                           {"SPEC>SET_56000", "OK"}, {"STACK-", "4"}, {"STACK-", "3"},
                           {"STACK-", "2"},
                           {"OBEX>CON:6B01CB31410611D49A770050DA3F471F",
                            TextToHex(kConnectResponse)},
                           {"STACK-", "1"}, {"OBEX>DIR:", TextToHex(last)}, {"STACK-", "0"}}));
  EXPECT_EQ(control.OBEX_DataRead(), listing);
  EXPECT_EQ(internals.LinkMode(), ControlCore::kObexMode);
  EXPECT_EQ(line.HostSettings().baud, 56000);
  // An AT command leaves OBEX mode first: disconnect, the framed AT lines
  // that switch the phone back, the line back to AT settings.
  acks.clear();
  Exchange(Bytes("810003"), Bytes("A00003"));
  phone.Expect(Bytes("060A0C61745E737177653D320D"));
  phone.Expect(Bytes("060A0C61745E736266623D300D"));
  phone.ExpectLine("AT+CGMM").Reply("AT+CGMM\r\r\nQV-100\r\n\r\nOK\r\n", 20);
  control.Command("AT+CGMM");
  EXPECT_EQ(internals.LinkMode(), ControlCore::kToAtRequested);
  ASSERT_TRUE(RunUntilIdle(20000));
  phone.ExpectFinished();
  EXPECT_EQ(internals.LinkMode(), ControlCore::kAtMode);
  EXPECT_EQ(line.HostSettings().Text(), "19200,n,8,1");
  EXPECT_EQ(AckList(acks.begin() + 6, acks.end()),
            (AckList{{"OBEX>DCO:", "A00003"},
                     {"STACK-", "5"}, {"STACK-", "4"}, {"STACK-", "3"}, {"SPEC>SET_AT", "OK"},
                     {"STACK-", "2"}, {"STACK-", "1"}, {"AT+CGMM", "QV-100"}, {"AT+CGMM", "OK"},
                     {"STACK-", "0"}}));
  EXPECT_EQ(control.AT_DataRead(), "QV-100\r\n");
}

TEST_F(ObexRoad, AMultiPacketPutCountsDown) {
  InObex();
  std::string data;
  for (int i = 0; i < 829; ++i) data += static_cast<char>(i * 7);
  control.OBEX_DataSend(data);
  // 829 bytes: 229 in the first packet, then 249, 249 and the last 102.
  Exchange(Bytes("0200FF01000F0061002E007400780074" "0000" "C30000033E" "4800E8") +
               data.substr(0, 229),
           Bytes("900003"));
  Exchange(Bytes("0200FF4800FC") + data.substr(229, 249), Bytes("900003"));
  // "Success" while data remain still means "go on".
  Exchange(Bytes("0200FF4800FC") + data.substr(478, 249), Bytes("A00003"));
  Exchange(Bytes("82006C490069") + data.substr(727), Bytes("A00003"));
  std::vector<size_t> left_at_progress;
  control.OnAck([&](const std::string& c, const std::string& a) {
    acks.emplace_back(c, a);
    if (c == "PUTCOUNT") left_at_progress.push_back(control.OBEX_DataSend().size());
  });
  control.Command("OBEX>PUT:a.txt");
  RunFor(200);
  EXPECT_EQ(internals.Slot(0), "PUX:a.txt");
  ASSERT_TRUE(RunUntilIdle(20000));
  phone.ExpectFinished();
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"PUTCOUNT", "829"}, {"PUTCOUNT", "600"}, {"PUTCOUNT", "351"},
                           {"PUTCOUNT", "102"}, {"OBEX>PUT:a.txt", "A00003"}, {"STACK-", "0"}}));
  EXPECT_EQ(left_at_progress, (std::vector<size_t>{600, 351, 102, 0}));
  EXPECT_EQ(control.OBEX_DataSend(), "");
}

TEST_F(ObexRoad, AGetReportsItsProgressAndTheBlockLengthFollowsThePhone) {
  InObex();
  control.OBEX_BlockLen(0);
  EXPECT_EQ(control.OBEX_BlockLen(), 255);
  std::string file;
  for (int i = 0; i < 1800; ++i) file += static_cast<char>(i % 251);
  // The first answer announces the size, then a body of 1000 bytes.
  std::string first = Bytes("9003F3C300000708" "4803EB") + file.substr(0, 1000);
  ASSERT_EQ(first.size(), 0x3F3u);
  Exchange(Bytes("83001A010017" "00700068006F0074006F002E006A00700067" "0000"), first);
  Exchange(Bytes("830003"), Response(0x90, 0x48, file.substr(1000, 300)));
  const std::string last = Response(0xA0, 0x49, file.substr(1300));
  Exchange(Bytes("830003"), last);
  control.Command("OBEX>GET:photo.jpg");
  ASSERT_TRUE(RunUntilIdle(20000));
  phone.ExpectFinished();
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"GETCOUNT", "1000"}, {"GETCOUNT", "1300"}, {"GETCOUNT", "1800"},
                           {"OBEX>GET:photo.jpg", TextToHex(last)}, {"STACK-", "0"}}));
  EXPECT_EQ(control.OBEX_DataRead(), file);
  // Only the largest body counts.
  EXPECT_EQ(control.OBEX_BlockLen(), 1000);
  std::vector<std::string> changes;
  for (const std::string& t : Traces()) {
    if (t.rfind(" Change OBEX Par:", 0) == 0) changes.push_back(t);
  }
  EXPECT_EQ(changes, (std::vector<std::string>{
                         " Change OBEX Par: OBEX_BlockLen:255 OBEX_AutoBlockLen:True",
                         " Change OBEX Par: OBEX_BlockLen:1000 OBEX_AutoBlockLen:True"}));

  // The listing is no GET: no progress, and the block length stays.
  acks.clear();
  Exchange(kListingRequest, Response(0xA0, 0x49, std::string(1200, 'x')));
  control.Command("OBEX>DIR:");
  ASSERT_TRUE(RunUntilIdle(20000));
  EXPECT_EQ(acks.size(), 3u);
  EXPECT_EQ(control.OBEX_BlockLen(), 1000);

  // The comparison takes the block length as it stands, even below zero:
  // an empty body is more than -5 bytes.
  control.OBEX_BlockLen(-5);
  Exchange(kGetA, Bytes("A00003"));
  control.Command("OBEX>GET:a");
  ASSERT_TRUE(RunUntilIdle(20000));
  EXPECT_EQ(control.OBEX_BlockLen(), 0);
  EXPECT_EQ(Traces().back(), " Change OBEX Par: OBEX_BlockLen:0 OBEX_AutoBlockLen:True");
}

TEST_F(ObexRoad, LostResponsesTimeOutLongOnesLaterAndTricklingBytesNever) {
  InObex();
  control.TimeOut(5000);
  control.TimeOutLong(7000);
  Unanswered(Bytes("830010" "01000D" "006C006F00730074" "0000"));
  control.Command("OBEX>GET:lost");
  ASSERT_TRUE(RunUntilAck("OBEX>GET:lost", "TIMEOUT", 10000));
  // Counted from the last byte received: the phone's acknowledgement, 20 ms
  // after the request and 5 bytes long at 19200 bit/s.
  EXPECT_GE(Now() - LastSent(), 5000 + 20 + 2);
  EXPECT_LE(Now() - LastSent(), 5000 + 20 + 4);
  RunFor(1);
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"}, {"OBEX>GET:lost", "TIMEOUT"}, {"STACK-", "0"}}));
  EXPECT_TRUE(TracesInOrder({" Timeout :GET:lost "}));
  EXPECT_FALSE(internals.ExecutorBusy());
  EXPECT_FALSE(internals.ObexTimer().Enabled());

  Unanswered(kGetA);
  control.Command("OBEX>GET:a,LONG");
  ASSERT_TRUE(RunUntilAck("OBEX>GET:a", "TIMEOUT", 20000));
  EXPECT_GE(Now() - LastSent(), 7000);
  EXPECT_LE(Now() - LastSent(), 7030);
  // A response that trickles in, one byte a second, never times out, and
  // the next request works.
  acks.clear();
  phone.Expect(FromControl(kListingRequest));
  phone.Expect(kAckFrame);
  control.Command("OBEX>DIR:");
  RunFor(200);
  const int64_t asked = LastSent();
  const std::string frames = FromPhone(Bytes("A00009490006") + "abc");
  for (size_t i = 0; i < frames.size(); ++i) phone.Send(frames.substr(i, 1), 1000 * (i + 1));
  ASSERT_TRUE(RunUntilIdle(60000));
  phone.ExpectFinished();
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"OBEX>DIR:", "A00009490006" + TextToHex("abc")}, {"STACK-", "0"}}));
  EXPECT_GT(Now() - asked, 15000);
}

TEST_F(ObexRoad, AHostThatEmptiesTheQueueIsNotLeftStuck) {
  InObex();
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
                           {"STACK+", "1"}, {"OBEX>GET:a", "TIMEOUT"}, {"OBEX>DIR:", "A00003"},
                           {"STACK-", "0"}}));
}

// Every response code but Continue ends the request, and its data still
// count as object data; an impossible packet length ends it with ERROR. A
// raw packet goes out as given, an empty one as an empty data block.
TEST_F(ObexRoad, ResponsesThatEndTheRequest) {
  InObex();
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"OBEX>GET:a", "D10003"}, {"OBEX>DIR:", "800003"}, {"OBEX>DIR:", "C40003"},
      {"OBEX>GET:a", "A00001"}, {"OBEX>DIR:", "908000"}, {"OBEX>DIR:", "A00003"},
      {"OBEX>RAW:", "C00003"},  {"OBEX>RAW:81000300", "A10005AB00"}};
  AckList wanted = {{"GETCOUNT", "0"}};
  for (const auto& [command, response] : rows) {
    const std::string request = command == "OBEX>GET:a"  ? kGetA
                                : command == "OBEX>DIR:" ? kListingRequest
                                                         : Bytes(command.substr(9));
    Exchange(request, Bytes(response));
    control.Command(command);
    const bool bad = response == "A00001" || response == "908000";
    wanted.emplace_back(command, bad ? "ERROR" : response);
    wanted.emplace_back("STACK-", std::to_string(rows.size() - wanted.size() / 2));
  }
  ASSERT_TRUE(RunUntilIdle(20000));
  phone.ExpectFinished();
  EXPECT_EQ(AckList(acks.begin() + rows.size(), acks.end()), wanted);
  EXPECT_EQ(control.OBEX_DataRead(), Bytes("AB00"));
  EXPECT_TRUE(TracesInOrder({" >OBEX   :LEN ERROR A00001", " >OBEX   :LEN ERROR 908000",
                             " OBEX>   :RAW:", " BFB>    :DATA", " >OBEX   :A10005AB00"}));
  // The empty block is the ten-byte frame of its sequence number.
  EXPECT_EQ(BuildBfbFrames("", 6).size(), 10u);
}

// An impossible length that arrives while a control command settles is
// dropped: the command is answered once, and the one behind it still runs.
TEST_F(ObexRoad, AnImpossibleLengthEndsOnlyAnObexRequest) {
  InObex();
  control.Command("SPEC>SET_OBEX");
  control.Command("SPEC>SEND:zz");
  // Arrives inside the settle's busy wait, is read when it lets events run.
  phone.Send(FromPhone(Bytes("A00001")), 150);
  phone.Expect(kAckFrame);
  phone.Expect("zz");
  ASSERT_TRUE(RunUntilIdle(5000));
  RunFor(10);  // "zz" on its way
  phone.ExpectFinished();
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"}, {"STACK+", "2"}, {"SPEC>SET_OBEX", "OK"},
                           {"STACK-", "1"}, {"STACK-", "0"}}));
  EXPECT_TRUE(TracesInOrder({" >BFB    :DATA", " >OBEX   :LEN ERROR A00001"}));
}

TEST_F(ObexRoad, RequestsThatCannotBeBuiltAreRefusedUnsent) {
  InObex();
  acks.clear();
  const size_t written = line.HostWritten().size();
  const std::string long_name(124, 'g');
  control.OBEX_BlockLen(20);
  control.OBEX_DataSend("xyz");
  for (const std::string& command : {"OBEX>GET:" + long_name, std::string("OBEX>REN:ab"),
                                     std::string("OBEX>PUT:a.txt"), std::string("OBEX>NOP:x")})
    control.Command(command);
  ASSERT_TRUE(RunUntilIdle(10000));
  EXPECT_EQ(line.HostWritten().size(), written);
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"}, {"STACK+", "2"}, {"STACK+", "3"}, {"STACK+", "4"},
                           {"OBEX>GET:" + long_name, "ERROR"}, {"STACK-", "3"},
                           {"OBEX>REN:ab", "ERROR"}, {"STACK-", "2"},
                           {"OBEX>PUT:a.txt", "ERROR"}, {"STACK-", "1"},  // no room for data
                           {"OBEX>NOP:x", "ERROR"}, {"STACK-", "0"}}));
  EXPECT_FALSE(internals.ObexTimer().Enabled());
  // The data of the refused PUT is still there to send.
  EXPECT_EQ(control.OBEX_DataSend(), "xyz");
}

// A 16 MB PUT in small packets: every byte goes out once, and the data still
// to send reads back correctly. A copy of the whole data per block would not
// finish within the test's time limit.
TEST_F(ObexRoad, AHugePutCostsLinearTime) {
  Open();
  phone.Lenient(true);
  // A phone switched by AT^SQWE: packets travel unframed, and the test hands
  // the control the phone's answers itself.
  internals.LinkMode() = ControlCore::kObexMode;
  std::string data(16 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 31) >> 3);
  control.OBEX_DataSend(data);
  control.Command("OBEX>PUT:big.bin");
  RunFor(150);
  ASSERT_EQ(internals.Slot(0), "PUX:big.bin");
  const size_t first_block = 255 - 2 * 7 - 16;
  EXPECT_EQ(control.OBEX_DataSend().size(), data.size() - first_block);
  size_t written = line.HostWritten().size();
  size_t sent = first_block;
  size_t blocks = 0;
  while (internals.RawStackCount() > 0) {
    control.OBEX_Decoder(std::string("\x90\x00\x03", 3));
    const std::string_view wire = std::string_view(line.HostWritten()).substr(written);
    const size_t block = wire.size() - 6;
    ASSERT_TRUE(block == 249 || (sent + block == data.size() && wire[0] == '\x82'))
        << "block " << blocks << " of " << block << " bytes";
    ASSERT_EQ(wire.substr(6), std::string_view(data).substr(sent, block));
    sent += block;
    written = line.HostWritten().size();
    ++blocks;
    if (blocks == 1000) {
      EXPECT_EQ(control.OBEX_DataSend(), data.substr(sent));
    }
    if (sent == data.size()) control.OBEX_Decoder(std::string("\xA0\x00\x03", 3));
  }
  EXPECT_EQ(sent, data.size());
  EXPECT_EQ(blocks, (data.size() - first_block + 248) / 249);
  EXPECT_EQ(acks.back(), (Ack{"STACK-", "0"}));
  EXPECT_EQ(acks[acks.size() - 2], (Ack{"OBEX>PUT:big.bin", "A00003"}));
  EXPECT_EQ(control.OBEX_DataSend(), "");
}

}  // namespace
}  // namespace quorvalen
