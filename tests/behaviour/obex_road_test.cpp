// The OBEX road on the cable of a BFB phone (ComType 0, MobileType 1), with
// a scripted phone: the switch into OBEX mode, the connect, a folder listing
// in several packets, multi-packet PUT and GET with their progress reports,
// the automatic block length, and the way back to AT mode.
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
  const size_t length = 6 + data.size();
  std::string packet;
  packet += static_cast<char>(code);
  packet += static_cast<char>(length >> 8);
  packet += static_cast<char>(length & 0xFF);
  packet += static_cast<char>(header);
  packet += static_cast<char>((length - 3) >> 8);
  packet += static_cast<char>((length - 3) & 0xFF);
  return packet + data;
}

const std::string kConnectRequest =
    Bytes("80001A100040064600136B01CB31410611D49A770050DA3F471F");
const std::string kConnectResponse =
    Bytes("A0001F10004000CB000000014A00136B01CB31410611D49A770050DA3F471F");
const std::string kListingRequest = Bytes("83001C420019") + "x-obex/folder-listing" + '\0';

class ObexRoad : public AtRoadTest {
 protected:
  static std::string AckFrame() { return std::string(kBfbAckFrame); }
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
    phone.Expect(FromControl(request)).Reply(AckFrame() + FromPhone(response), 20);
    phone.Expect(AckFrame());
  }
  // The phone's side of the switch into BFB mode.
  void ScriptSwitch() {
    phone.ExpectLine("AT^SIFS").Reply("AT^SIFS\r\r\nOK\r\n", 10);
    phone.ExpectLine("AT^SBFB=1").Reply("AT^SBFB=1\r\r\nOK\r\n", 10);
    phone.Expect(Bytes("02010314"));
  }
  // Opens the port and brings the link into OBEX mode with a session:
  // "REC:0" queues nothing of its own, only the switch and the connect.
  void Connect() {
    Open();
    control.MobileType(1);
    ScriptSwitch();
    Exchange(kConnectRequest, kConnectResponse);
    control.Command("OBEX>REC:0");
    ASSERT_TRUE(RunUntilIdle(10000));
    ASSERT_EQ(internals.LinkMode(), 3);
    acks.clear();
  }
  // The trace texts without their time stamps.
  std::vector<std::string> Traces() {
    std::vector<std::string> texts;
    for (const std::string& l : TraceLines("t.log")) texts.push_back(l.substr(9));
    return texts;
  }
  // True when wanted appear in order among the trace texts.
  bool TracesInOrder(const std::vector<std::string>& wanted) {
    size_t next = 0;
    for (const std::string& text : Traces()) {
      if (next < wanted.size() && text == wanted[next]) ++next;
    }
    return next == wanted.size();
  }

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
  EXPECT_EQ(internals.LinkMode(), 1);
  ASSERT_TRUE(RunUntilIdle(20000));
  phone.ExpectFinished();
  EXPECT_EQ(acks, (AckList{{"STACK+", "1"},
                           {"STACK+", "2"},
                           {"STACK+", "3"},
                           {"STACK+", "4"},
                           {"STACK+", "5"},
                           {"STACK+", "6"},
                           {"STACK+", "7"},
                           {"STACK+", "8"},
                           {"AT^SIFS", "OK"},
                           {"STACK-", "7"},
                           {"AT^SBFB=1", "OK"},
                           {"STACK-", "6"},
                           {"STACK-", "5"},
                           {"SPEC>SET_56000", "OK"},
                           {"STACK-", "4"},
                           {"STACK-", "3"},
                           {"STACK-", "2"},
                           {"OBEX>CON:6B01CB31410611D49A770050DA3F471F",
                            TextToHex(kConnectResponse)},
                           {"STACK-", "1"},
                           {"OBEX>DIR:", TextToHex(last)},
                           {"STACK-", "0"}}));
  EXPECT_EQ(control.OBEX_DataRead(), listing);
  EXPECT_EQ(internals.LinkMode(), 3);
  EXPECT_EQ(line.HostSettings().baud, 56000);
  // The first block the control ever sent has type 02 and sequence 0.
  const std::string& wire = line.HostWritten();
  const size_t con = wire.find(Bytes("16203602FD00001A80001A"));
  EXPECT_NE(con, std::string::npos);
  EXPECT_TRUE(TracesInOrder({" OBEX>   :CON:6B01CB31410611D49A770050DA3F471F", " BFB>    :DATA",
                             " >BFB    :ACK", " >BFB    :DATA", " BFB>    :ACK",
                             " >OBEX   :" + TextToHex(kConnectResponse), " OBEX>   :DIR:",
                             " BFB>    :DATA", " >BFB    :ACK", " >BFB    :DATA", " BFB>    :ACK",
                             " >OBEX   :" + TextToHex(Response(0x90, 0x48, part1)),
                             " BFB>    :DATA", " OBEX>   :830003", " >BFB    :DATA",
                             " BFB>    :ACK", " BFB>    :DATA", " OBEX>   :830003",
                             " >OBEX   :" + TextToHex(last)}));

  // An AT command leaves OBEX mode first: disconnect, the framed AT lines
  // that switch the phone back, the line back to AT settings.
  acks.clear();
  Exchange(Bytes("810003"), Bytes("A00003"));
  phone.Expect(Bytes("060A0C61745E737177653D320D"));
  phone.Expect(Bytes("060A0C61745E736266623D300D"));
  phone.ExpectLine("AT+CGMM").Reply("AT+CGMM\r\r\nQV-100\r\n\r\nOK\r\n", 20);
  control.Command("AT+CGMM");
  EXPECT_EQ(internals.LinkMode(), 2);
  ASSERT_TRUE(RunUntilIdle(20000));
  phone.ExpectFinished();
  EXPECT_EQ(internals.LinkMode(), 0);
  EXPECT_EQ(line.HostSettings().Text(), "19200,n,8,1");
  EXPECT_EQ(AckList(acks.begin() + 6, acks.end()),
            (AckList{{"OBEX>DCO:", "A00003"},
                     {"STACK-", "5"},
                     {"STACK-", "4"},
                     {"STACK-", "3"},
                     {"SPEC>SET_AT", "OK"},
                     {"STACK-", "2"},
                     {"STACK-", "1"},
                     {"AT+CGMM", "QV-100"},
                     {"AT+CGMM", "OK"},
                     {"STACK-", "0"}}));
  EXPECT_EQ(control.AT_DataRead(), "QV-100\r\n");
}

TEST_F(ObexRoad, AMultiPacketPutCountsDown) {
  Connect();
  TraceTo("t.log");
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
                           {"PUTCOUNT", "829"},
                           {"PUTCOUNT", "600"},
                           {"PUTCOUNT", "351"},
                           {"PUTCOUNT", "102"},
                           {"OBEX>PUT:a.txt", "A00003"},
                           {"STACK-", "0"}}));
  EXPECT_EQ(left_at_progress, (std::vector<size_t>{600, 351, 102, 0}));
  EXPECT_EQ(control.OBEX_DataSend(), "");
  EXPECT_TRUE(TracesInOrder({" OBEX>   :PUX:a.txt", " OBEX>   :PUX:first BYTES:829",
                             " OBEX>   :PUX:midle BYTES:600", " OBEX>   :PUX:midle BYTES:351",
                             " OBEX>   :PUX:last  BYTES:102"}));

  // A PUT that fits goes in one packet, and leaves nothing to send.
  acks.clear();
  control.OBEX_DataSend("Hi");
  Exchange(Bytes("82001C01000F0061002E007400780074" "0000" "C300000002" "490005" "4869"),
           Bytes("A00003"));
  control.Command("OBEX>PUT:a.txt");
  ASSERT_TRUE(RunUntilIdle(20000));
  phone.ExpectFinished();
  EXPECT_EQ(acks[1], (Ack{"OBEX>PUT:a.txt", "A00003"}));
  EXPECT_EQ(control.OBEX_DataSend(), "");
}

TEST_F(ObexRoad, AGetReportsItsProgressAndTheBlockLengthFollowsThePhone) {
  Connect();
  TraceTo("t.log");
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
                           {"GETCOUNT", "1000"},
                           {"GETCOUNT", "1300"},
                           {"GETCOUNT", "1800"},
                           {"OBEX>GET:photo.jpg", TextToHex(last)},
                           {"STACK-", "0"}}));
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
}

TEST_F(ObexRoad, OtherRequestsOnTheWire) {
  Connect();
  Exchange(Bytes("85001A0200010015" "00500069006300740075007200650073" "0000"), Bytes("A00003"));
  Exchange(Bytes("8500100000" "01000B004E006500770000"), Bytes("A00003"));
  Exchange(Bytes("8500050300"), Bytes("A00003"));
  Exchange(Bytes("82001001000700610000" "4C000638" "0178"), Bytes("A00003"));
  Exchange(Bytes("8200144C0011" "34046D6F7665" "35020061" "36020062"), Bytes("A00003"));
  Exchange(Bytes("82000A01000700610000"), Bytes("A00003"));
  Exchange(Bytes("8300094C0006320101"), Bytes("A0000A4C000732020100"));
  Exchange(kListingRequest, Bytes("A00003"));
  Exchange(Bytes("810003"), Bytes("A00003"));
  Exchange(Bytes("830008CB00000001"), Bytes("A00003"));
  // The memory answer reaches the host through EXE:, under its own name.
  // Listing and disconnect ignore what follows their names.
  for (const char* command :
       {"OBEX>CD :Pictures", "OBEX>MKD:New", "OBEX>CD :..", "OBEX>CHM:a,EXT>x", "OBEX>REN:a,b",
        "OBEX>DEL:a", "OBEX>MEM:01", "OBEX>EXE:memory", "OBEX>DIR:abc", "OBEX>DCO:x",
        "OBEX>RAW:830008CB00000001", "OBEX>EXE:nothing"}) {
    control.Command(command);
  }
  ASSERT_TRUE(RunUntilIdle(20000));
  phone.ExpectFinished();
  EXPECT_NE(std::find(acks.begin(), acks.end(), Ack{"OBEX>MEM:01", "A0000A4C000732020100"}),
            acks.end());
  EXPECT_NE(std::find(acks.begin(), acks.end(), Ack{"OBEX>CHM:a", "A00003"}), acks.end());
  EXPECT_NE(std::find(acks.begin(), acks.end(), Ack{"memory", Bytes("4C000732020100")}),
            acks.end());
  // An EXE: with nothing read raises nothing but its pop.
  EXPECT_EQ(AckList(acks.end() - 3, acks.end()),
            (AckList{{"OBEX>RAW:830008CB00000001", "A00003"}, {"STACK-", "1"}, {"STACK-", "0"}}));
  EXPECT_EQ(control.OBEX_DataRead(), "");
}

}  // namespace
}  // namespace quorvalen
