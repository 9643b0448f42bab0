// The BFB codec: CRC-16, the building of frames and blocks, and their
// reading.
#include <gtest/gtest.h>

#include "quorvalen/bfb.h"
#include "quorvalen/byte_text.h"

namespace quorvalen {
namespace {

TEST(BfbCodec, CrcIsTheX25FrameCheck) {
  EXPECT_EQ(Crc16Table()[0], 0x0000);
  EXPECT_EQ(Crc16Table()[1], 0x1189);
  EXPECT_EQ(Crc16Table()[255], 0x0F78);
  EXPECT_EQ(Crc16OfText("123456789") ^ 0xFFFF, 0x906E);
  EXPECT_EQ(Crc16OfText(""), 0);
  std::vector<uint8_t> digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 'x', 'y'};
  EXPECT_EQ(Crc16OfBytes(digits, 9) ^ 0xFFFF, 0x906E);
  EXPECT_EQ(Crc16OfBytes(digits, -1), Crc16OfText("123456789xy"));
}

TEST(BfbCodec, WorkedExamplesAndFrameSizes) {
  EXPECT_EQ(TextToHex(BuildBfbFrames("abc", 0)), "160A1C02FD000003616263AB8A");
  EXPECT_EQ(TextToHex(BuildBfbFrames("abc", 1)), "160A1C03FC010003616263808E");
  // 25 bytes make a 32-byte block in one 35-byte frame; 26 need two frames.
  EXPECT_EQ(BuildBfbFrames(std::string(25, 'x'), 5).size(), 35u);
  std::string two = BuildBfbFrames(std::string(26, 'x'), 5);
  ASSERT_EQ(two.size(), 35u + 4u);
  EXPECT_EQ(TextToHex(two.substr(35, 3)), "160117");
  // An empty packet is a 7-byte block in one 10-byte frame.
  std::string empty = BuildBfbFrames("", 0);
  EXPECT_EQ(TextToHex(empty.substr(0, 8)), "16071102FD000000");
  EXPECT_EQ(empty.size(), 10u);
  EXPECT_EQ(TextToHex(BuildBfbFrame(0x02, "\x14")), "02010314");
  EXPECT_EQ(TextToHex(std::string(kBfbAckFrame)), "16021401FE");
}

// The type and payloads of the frames split from bytes, as "16:hex" each.
std::vector<std::string> Frames(const BfbFrameSplit& split) {
  std::vector<std::string> out;
  for (const BfbFrame& frame : split.frames) {
    out.push_back(ByteToHex(frame.type) + ":" + TextToHex(frame.payload));
    EXPECT_EQ(frame.whole.substr(3), frame.payload);
  }
  return out;
}

TEST(BfbCodec, FramesAreSplitFromJunkAndKeptWhenCutShort) {
  const std::string request = BuildBfbFrames("abc", 0);
  const std::string ack(kBfbAckFrame);
  // Junk before, between and after: a line's noise, an AT echo, a frame
  // header whose check is wrong, a frame of length 0.
  const std::string junk_a = "AT\r";
  const std::string junk_b = HexToText("160511") + HexToText("0600");
  const std::string stream = junk_a + request + junk_b + ack + "x";
  BfbFrameSplit split = SplitBfbFrames(stream);
  EXPECT_EQ(Frames(split),
            (std::vector<std::string>{"16:" + TextToHex(request.substr(3)), "16:01FE"}));
  // "x" alone may yet begin a frame: everything before it is used.
  EXPECT_EQ(split.used, stream.size() - 1);
  // Junk skipped a byte at a time: the bytes of no frame, but not "x".
  EXPECT_EQ(split.junk, junk_a.size() + junk_b.size());

  // Cut anywhere, the frames come out the same once the rest arrives.
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    std::string buffer = stream.substr(0, cut);
    BfbFrameSplit first = SplitBfbFrames(buffer);
    std::vector<std::string> got = Frames(first);
    buffer.erase(0, first.used);
    buffer += stream.substr(cut);
    BfbFrameSplit second = SplitBfbFrames(buffer);
    for (std::string& frame : Frames(second)) got.push_back(frame);
    EXPECT_EQ(got, Frames(split)) << "cut after " << cut;
    EXPECT_EQ(first.junk + second.junk, split.junk) << "cut after " << cut;
  }

  // A reader that takes some types only skips the others as junk.
  const std::string interface = BuildBfbFrame(0x02, "\x14");
  const std::string mixed = interface + ack;  // the frames point into it
  split = SplitBfbFrames(mixed, [](uint8_t type) { return type == kBfbDataFrame; });
  EXPECT_EQ(Frames(split), std::vector<std::string>{"16:01FE"});
  EXPECT_EQ(split.junk, interface.size());
}

TEST(BfbCodec, BlocksReadBackOrSayWhatIsWrong) {
  const std::string data = "some OBEX packet";
  for (int sequence : {0, 1, 255}) {
    const std::string block = BuildBfbBlock(data, sequence);
    const BfbBlock read = ReadBfbBlock(block);
    EXPECT_EQ(read.fault, BfbBlockFault::kNone);
    EXPECT_EQ(read.type, sequence == 0 ? 0x02 : 0x03);
    EXPECT_EQ(read.sequence, sequence);
    EXPECT_EQ(read.data, data);
    EXPECT_TRUE(BeginsBfbDataBlock(block.substr(0, 3)));
  }
  EXPECT_EQ(ReadBfbBlock(BuildBfbBlock("", 7)).data, "");

  const std::string good = BuildBfbBlock(data, 1);
  auto fault = [](const std::string& block) { return ReadBfbBlock(block).fault; };
  EXPECT_EQ(fault(good.substr(0, good.size() - 1)), BfbBlockFault::kShort);
  EXPECT_EQ(fault(good.substr(0, 4)), BfbBlockFault::kShort);
  EXPECT_EQ(fault(""), BfbBlockFault::kShort);
  EXPECT_EQ(fault(good + "z"), BfbBlockFault::kTooLong);
  std::string huge = good;
  huge[3] = '\x80';  // declares 0x8000 + data bytes
  EXPECT_EQ(fault(huge), BfbBlockFault::kTooLong);
  std::string bad_crc = good;
  bad_crc[7] ^= 0x20;  // a data byte
  EXPECT_EQ(fault(bad_crc), BfbBlockFault::kBadCrc);
  EXPECT_EQ(BfbBlockFaultName(BfbBlockFault::kBadCrc), "bad CRC");
  // The type rule: 02 FD goes with sequence 0 only, 03 FC with the others.
  std::string wrong = good;
  wrong[0] = '\x02';
  wrong[1] = '\xFD';
  EXPECT_EQ(fault(wrong), BfbBlockFault::kWrongType);
  EXPECT_FALSE(BeginsBfbDataBlock(wrong.substr(0, 3)));
  wrong = good;
  wrong[1] = '\xFD';  // a complement that is not 0xFF - type
  EXPECT_EQ(fault(wrong), BfbBlockFault::kWrongType);
  EXPECT_FALSE(BeginsBfbDataBlock(wrong.substr(0, 2)));
  // The type alone decides while the sequence has not come.
  EXPECT_TRUE(BeginsBfbDataBlock("\x03"));
  EXPECT_FALSE(BeginsBfbDataBlock(kBfbAckBlock));
  EXPECT_FALSE(BeginsBfbDataBlock(""));

  // Put together slice by slice: short until whole, too long past it.
  std::string so_far;
  for (size_t at = 0; at < good.size(); at += 3) {
    EXPECT_EQ(BfbBlockFill(so_far), BfbBlockFault::kShort);
    so_far += good.substr(at, 3);
  }
  EXPECT_EQ(BfbBlockFill(so_far), BfbBlockFault::kNone);
  EXPECT_EQ(BfbDeclaredLength(so_far), data.size());
  EXPECT_EQ(BfbBlockFill(so_far + "z"), BfbBlockFault::kTooLong);
}

}  // namespace
}  // namespace quorvalen
