// The BFB codec: CRC-16 and the building of frames and blocks.
#include "quorvalen/bfb.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quorvalen
