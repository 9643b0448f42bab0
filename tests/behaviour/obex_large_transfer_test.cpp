// Transfers of several megabytes in small packets: every block and every
// byte goes out and comes in exactly once, and the data still to send reads
// back correctly at any point. A transfer that copied its whole data per
// block would not finish within the test's time limit.
#include <gtest/gtest.h>

#include "quorvalen/byte_text.h"
#include "support/at_road_fixture.h"

namespace quorvalen {
namespace {

constexpr size_t kSize = 16 << 20;  // 16 MB

class LargeTransfer : public AtRoadTest {
 protected:
  void SetUp() override {
    Open();
    phone.Lenient(true);
    // A phone switched by AT^SQWE: packets travel unframed, and the host can
    // hand the control the phone's answers itself.
    internals.LinkMode() = 3;
  }
  static std::string Data() {
    std::string data(kSize, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 31) >> 3);
    return data;
  }
};

TEST_F(LargeTransfer, APutInManyBlocks) {
  const std::string data = Data();
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

TEST_F(LargeTransfer, AGetInManyPackets) {
  const std::string data = Data();
  control.Command("OBEX>GET:big.bin");
  RunFor(150);
  const size_t chunk = 0x7FF0;
  size_t got = 0;
  while (got < data.size()) {
    const size_t n = std::min(chunk, data.size() - got);
    const bool last = got + n == data.size();
    const size_t length = n + 6;
    std::string packet;
    packet += last ? '\xA0' : '\x90';
    packet += static_cast<char>(length >> 8);
    packet += static_cast<char>(length & 0xFF);
    packet += last ? '\x49' : '\x48';
    packet += static_cast<char>((length - 3) >> 8);
    packet += static_cast<char>((length - 3) & 0xFF);
    packet.append(data, got, n);
    control.OBEX_Decoder(packet);
    got += n;
    ASSERT_EQ(acks.back().first, last ? "STACK-" : "GETCOUNT");
  }
  EXPECT_EQ(control.OBEX_DataRead(), data);
  EXPECT_EQ(acks[acks.size() - 3], (Ack{"GETCOUNT", std::to_string(data.size())}));
  // One continuation per packet but the last.
  const std::string continuation("\x83\x00\x03", 3);
  size_t continuations = 0;
  for (size_t at = 0; (at = line.HostWritten().find(continuation, at)) != std::string::npos;
       at += 3) {
    ++continuations;
  }
  EXPECT_EQ(continuations, (data.size() + chunk - 1) / chunk - 1);
}

}  // namespace
}  // namespace quorvalen
