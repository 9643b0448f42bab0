// Conversions between byte text and hex text.
#include "quorvalen/byte_text.h"

#include <gtest/gtest.h>

#include <random>


namespace quorvalen {
namespace {

TEST(ByteText, EveryByteRoundTripsThroughHex) {
  std::string all;
  for (int b = 0; b < 256; ++b) {
    all += static_cast<char>(b);
    std::string hex = ByteToHex(static_cast<uint8_t>(b));
    ASSERT_EQ(hex.size(), 2u);
    EXPECT_EQ(HexToByte(hex), b) << hex;
    EXPECT_EQ(TextToHex(std::string(1, static_cast<char>(b))), hex);
  }
  std::string hex = TextToHex(all);
  EXPECT_EQ(hex.substr(0, 6), "000102");
  EXPECT_EQ(hex.substr(0x7F * 2, 6), "7F8081");
  EXPECT_EQ(hex.substr(hex.size() - 4), "FEFF");
  EXPECT_EQ(HexToText(hex), all);
  EXPECT_EQ(TextToHex("abc"), "616263");
}

TEST(ByteText, HexToByteIsTolerantInItsOwnWay) {
  EXPECT_EQ(HexToByte("4F"), 0x4F);
  EXPECT_EQ(HexToByte(""), 0x00);
  EXPECT_EQ(HexToByte("7"), 0x77);     // one digit serves as both
  EXPECT_EQ(HexToByte("G0"), 0x00);    // 16 * 16 does not fit a byte
  EXPECT_EQ(HexToByte("4G"), 0x50);    // 4 * 16 + 16
  EXPECT_EQ(HexToByte("F "), 0xF0);    // a blank stops after the high digit
  EXPECT_EQ(HexToByte("ff"), 0x00);    // lower case is not hex here
  EXPECT_EQ(HexToByte("0f"), 0x2F);    // 'f' reads as 47
  EXPECT_EQ(HexToByte(":0"), 0x00);    // unreadable high digit
  EXPECT_EQ(HexToByte("1x2"), 0x12);   // the middle is ignored
  EXPECT_EQ(HexToByte("\xFF" "0"), 0x00);  // high bytes are no digits either
  EXPECT_EQ(HexToByte("F\xC8"), 0xF0);     // 0xC8 - 55 does not fit
}

TEST(ByteText, HexToTextReadsOddAndOddlyWrittenInput) {
  EXPECT_EQ(HexToText("41424"), std::string("\x41\x42\x44", 3));
  // Every malformed pair takes the tolerant reading, in place.
  EXPECT_EQ(HexToText("4142ff0fG04G"), std::string("\x41\x42\x00\x2F\x00\x50", 6));
  EXPECT_EQ(HexToText("7"), "\x77");
}

TEST(ByteText, WidePathsAgreeWithPairByPairReading) {
  // Long inputs take the sixteen-at-a-time paths; odd characters anywhere in
  // them must give exactly what reading pair by pair gives.
  std::mt19937 rng(7);
  const std::string alphabet = "0123456789ABCDEF0123456789ABCDEFabfG :\x80\xFF";
  for (int round = 0; round < 400; ++round) {
    size_t length = rng() % 90;
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
      bool odd = rng() % 10 == 0;
      hex += odd ? alphabet[16 + rng() % (alphabet.size() - 16)] : alphabet[rng() % 16];
    }
    std::string expected;
    for (size_t i = 0; i < hex.size(); i += 2) {
      expected += static_cast<char>(HexToByte(std::string_view(hex).substr(i, 2)));
    }
    ASSERT_EQ(TextToHex(HexToText(hex)), TextToHex(expected)) << hex;
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    std::string slow;
    for (unsigned char c : bytes) slow += ByteToHex(c);
    ASSERT_EQ(TextToHex(bytes), slow);
  }
}

}  // namespace
}  // namespace quorvalen
