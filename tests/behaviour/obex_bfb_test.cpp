// BFB framing on the link: the receiver's checks, acknowledgements and
// reassembly, whether the phone's bytes come in one chunk or one at a time.
#include <gtest/gtest.h>

#include "quorvalen/bfb.h"
#include "quorvalen/byte_text.h"
#include "support/at_road_fixture.h"

namespace quorvalen {
namespace {

std::string Bytes(const std::string& hex) { return HexToText(hex); }

const std::string kListingRequest = Bytes("83001C420019") + "x-obex/folder-listing" + '\0';
const std::string kAckFrame(kBfbAckFrame);

class BfbLink : public AtRoadTest {
 protected:
  void SetUp() override {
    Open();
    control.MobileType(1);
    internals.LinkMode() = ControlCore::kObexMode;
    TraceTo("t.log");
  }
  // The trace texts about BFB frames.
  std::vector<std::string> BfbTraces() {
    std::vector<std::string> texts;
    for (const std::string& l : TraceLines("t.log")) {
      const std::string text = l.substr(9);
      if (text.find("BFB") != std::string::npos || text.rfind(" >OBEX", 0) == 0) {
        texts.push_back(text);
      }
    }
    return texts;
  }
};

TEST_F(BfbLink, TheReceiverChecksFramesAndAcknowledgesBlocks) {
  control.CommandDelay(5);
  phone.Expect(BuildBfbFrames(kListingRequest, 0));
  control.Command("OBEX>DIR:");
  RunFor(300);
  const size_t asked = line.HostWritten().size();
  // The phone's acknowledgement; frames with a wrong type, header check or
  // length; a block of an unknown type; a block that declares too much data;
  // a block that carries more than it declares.
  phone.Send(kAckFrame, 0);
  phone.Send(Bytes("17011600"), 10);
  phone.Send(Bytes("16051100"), 20);
  phone.Send(Bytes("16001600"), 30);
  phone.Send(Bytes("160214" "05FA"), 40);
  phone.Send(Bytes("160513" "02FD008000"), 50);
  phone.Send(Bytes("160A1C" "02FD000001" "AA" "0000" "BBBB"), 60);
  RunFor(100);
  EXPECT_EQ(line.HostWritten().size(), asked);
  EXPECT_EQ(BfbTraces(), (std::vector<std::string>{
                             " BFB>    :DATA", " >BFB    :ACK", " >BFB    :TYPE ERROR",
                             " >BFB    :CHK ERROR", " >BFB    :LEN ERROR",
                             " >BFB    :CMD ERROR 05FA", " >BFB    :LEN ERROR",
                             " >BFB    :LEN ERROR"}));

  // A block whose first frame holds less than its header, spread over three
  // frames, with a CRC nobody checks: acknowledged once, when it is whole,
  // and before its data end the request.
  std::string block = BuildBfbBlock(Bytes("A00006490003"), 7);
  block[block.size() - 1] ^= 0x55;
  phone.ExpectFinished();
  phone.Expect(kAckFrame);
  phone.Expect(BuildBfbFrames(kListingRequest, 1));
  control.Command("OBEX>DIR:");
  phone.Send(BuildBfbFrame(0x16, block.substr(0, 3)), 0);
  phone.Send(BuildBfbFrame(0x16, block.substr(3, 4)), 10);
  RunFor(50);
  EXPECT_EQ(line.HostWritten().size(), asked);
  phone.Send(BuildBfbFrame(0x16, block.substr(7)), 0);
  RunFor(100);
  phone.ExpectFinished();
  EXPECT_EQ(TextToHex(line.HostWritten().substr(asked, 5)), "16021401FE");
  EXPECT_EQ(acks[2], (Ack{"OBEX>DIR:", "A00006490003"}));
  const std::vector<std::string> traces = BfbTraces();
  EXPECT_EQ(std::vector<std::string>(traces.end() - 4, traces.end()),
            (std::vector<std::string>{" >BFB    :DATA", " BFB>    :ACK",
                                      " >OBEX   :A00006490003", " BFB>    :DATA"}));
}

// The result of a folder listing whose answers reach the control in one
// chunk each, or one byte at a time.
struct Outcome {
  AckList acks;
  std::string read;
  std::string wire;
  std::vector<std::string> traces;
};

class Chunking : public BfbLink {
 public:
  void TestBody() override {}
  Outcome Listing(bool byte_by_byte) {
    SetUp();
    // Two packets: the first split in the middle of a frame by the chunks,
    // the second with the phone's acknowledgement in front.
    const std::string first = BuildBfbFrames(Bytes("90002E48002B") + std::string(40, 'L'), 3);
    const std::string second = kAckFrame + BuildBfbFrames(Bytes("A0000A490007") + "tail", 4);
    auto answer = [&](ScriptedPeer::Step& step, const std::string& bytes) {
      if (!byte_by_byte) {
        step.Reply(bytes.substr(0, 20), 20).Reply(bytes.substr(20), 25);
        return;
      }
      for (size_t i = 0; i < bytes.size(); ++i) step.Reply(bytes.substr(i, 1), 20 + 2 * i);
    };
    answer(phone.Expect(BuildBfbFrames(kListingRequest, 0)), first);
    phone.Expect(kAckFrame);
    answer(phone.Expect(BuildBfbFrames(Bytes("830003"), 1)), second);
    phone.Expect(kAckFrame);
    control.Command("OBEX>DIR:");
    EXPECT_TRUE(RunUntilIdle(10000));
    phone.ExpectFinished();
    Outcome outcome{acks, control.OBEX_DataRead(), line.HostWritten(), {}};
    for (const std::string& l : TraceLines("t.log")) outcome.traces.push_back(l.substr(9));
    return outcome;
  }
};

TEST(BfbChunks, OneChunkOrOneByteAtATimeGiveTheSameResult) {
  Chunking whole;
  Chunking single;
  const Outcome a = whole.Listing(false);
  const Outcome b = single.Listing(true);
  EXPECT_EQ(a.acks, b.acks);
  EXPECT_EQ(a.read, std::string(40, 'L') + "tail");
  EXPECT_EQ(a.read, b.read);
  EXPECT_EQ(a.wire, b.wire);
  EXPECT_EQ(a.traces, b.traces);
  EXPECT_EQ(a.acks[1], (Ack{"OBEX>DIR:", "A0000A490007" + TextToHex("tail")}));
}

}  // namespace
}  // namespace quorvalen
