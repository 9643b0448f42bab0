// The OBEX wire codec: code names, packets cut by their declared length
// from a stream however it is chunked, the header walk on whole and
// truncated headers, and application parameters.
#include "quorvalen/obex_wire.h"

#include <gtest/gtest.h>

#include "quorvalen/byte_text.h"
#include "quorvalen/obex_requests.h"

namespace quorvalen::obex {
namespace {

TEST(ObexWire, CodesHaveTheirNames) {
  EXPECT_EQ(ResponseName(kContinue), "continue");
  EXPECT_EQ(ResponseName(kSuccess), "success");
  EXPECT_EQ(ResponseName(kNotFound), "not found");
  EXPECT_EQ(ResponseName(kDatabaseFull), "the phone's memory is full");
  // Only what OBEX defines is a response code: not its request opcodes,
  // not a code without the final bit, not the gaps between the classes.
  for (uint8_t byte : {0x00, 0x10, 0x20, 0x80, 0x83, 0xA7, 0xB6, 0xD6, 0xE2, 0xFF}) {
    EXPECT_FALSE(IsResponseCode(byte)) << int{byte};
  }
  int codes = 0;
  for (int byte = 0; byte < 256; ++byte) codes += IsResponseCode(static_cast<uint8_t>(byte));
  EXPECT_EQ(codes, 38);

  EXPECT_EQ(RequestName(kOpConnect), "connect");
  EXPECT_EQ(RequestName(kOpGet), "get");
  EXPECT_EQ(RequestName(kOpGet | kFinalBit), "get");
  EXPECT_EQ(RequestName(kOpPut | kFinalBit), "put");
  EXPECT_EQ(RequestName(kOpSetPath), "set path");
  EXPECT_EQ(RequestName(kOpAbort), "abort");
  EXPECT_EQ(RequestName(0x04), "");
  EXPECT_EQ(HeaderName(kHeaderEndOfBody), "End of body");
  EXPECT_EQ(HeaderName(0x30), "");
}

// Cuts every whole packet off the front of a buffer, as a receiver does.
std::vector<std::string> Cut(std::string& buffer, bool* impossible = nullptr) {
  std::vector<std::string> packets;
  while (true) {
    const PacketCut cut = CutPacket(buffer);
    if (cut.status == PacketCut::kImpossible && impossible) *impossible = true;
    if (cut.status != PacketCut::kWhole) return packets;
    packets.push_back(buffer.substr(0, cut.size));
    buffer.erase(0, cut.size);
  }
}

TEST(ObexWire, PacketsAreCutByTheirDeclaredLengthHoweverTheyCome) {
  const std::string get = *GetRequest("a.txt");
  const std::string answer =
      HexToText("A0000F") + HexToText("C300000004") + HexToText("49000761626364");
  const std::string stream = get + answer + HexToText("A00003");
  EXPECT_EQ(DeclaredLength(answer), answer.size());
  for (size_t chunk : {1, 2, 3, 5, 7, 64}) {
    std::string buffer;
    std::vector<std::string> packets;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      buffer += stream.substr(at, chunk);
      for (std::string& packet : Cut(buffer)) packets.push_back(std::move(packet));
    }
    EXPECT_EQ(packets, (std::vector<std::string>{get, answer, HexToText("A00003")}))
        << "chunks of " << chunk;
    EXPECT_TRUE(buffer.empty());
  }
  // Before its length field is whole nothing is known; after, how much.
  EXPECT_EQ(CutPacket(HexToText("A000")).status, PacketCut::kPartial);
  EXPECT_EQ(CutPacket(HexToText("A000")).size, 0u);
  const PacketCut partial = CutPacket(answer.substr(0, 5));
  EXPECT_EQ(partial.status, PacketCut::kPartial);
  EXPECT_EQ(partial.size, answer.size());
  // A length shorter than the packet's own head: no packet begins there.
  for (const char* head : {"A00000", "A00001", "A00002"}) {
    bool impossible = false;
    std::string buffer = HexToText(head) + "more";
    EXPECT_TRUE(Cut(buffer, &impossible).empty()) << head;
    EXPECT_TRUE(impossible) << head;
  }
}

TEST(ObexWire, HeadersAreWalkedAsFarAsTheyRead) {
  // Name "ab", Length 3, a one-byte header, Body "xyz", an unknown bytes
  // header.
  const std::string headers = HexToText("010009006100620000") + HexToText("C300000003") +
                              HexToText("9707") + HexToText("480006") + "xyz" + HexToText("7F0003");
  HeaderWalk walk = ReadHeaders(headers);
  ASSERT_TRUE(walk.complete);
  ASSERT_EQ(walk.headers.size(), 5u);
  EXPECT_EQ(walk.headers[0].id, kHeaderName);
  EXPECT_TRUE(walk.headers[0].Text());
  EXPECT_EQ(TextToHex(walk.headers[0].value), "006100620000");
  EXPECT_EQ(walk.headers[1].Number(), 3u);
  EXPECT_FALSE(walk.headers[1].Counted());
  EXPECT_EQ(walk.headers[2].Number(), 7u);
  EXPECT_EQ(walk.headers[3].value, "xyz");
  EXPECT_TRUE(walk.headers[3].Counted());
  EXPECT_FALSE(walk.headers[3].Text());
  EXPECT_EQ(walk.headers[4].value, "");
  EXPECT_TRUE(ReadHeaders("").complete);

  // Cut anywhere inside, the walk keeps the headers before the cut and
  // says it stopped.
  const size_t ends[] = {9, 14, 16, 22, 25};
  for (size_t cut = 1; cut < headers.size(); ++cut) {
    walk = ReadHeaders(std::string_view(headers).substr(0, cut));
    size_t whole = 0;
    while (whole < 5 && ends[whole] <= cut) ++whole;
    EXPECT_EQ(walk.headers.size(), whole) << "cut at " << cut;
    EXPECT_EQ(walk.complete, whole > 0 && ends[whole - 1] == cut) << "cut at " << cut;
  }
  // A counted header that declares less than its own id and length.
  for (const char* bad : {"480000", "480002", "010001"}) {
    const std::string bytes = HexToText("C300000001") + HexToText(bad) + "abc";
    walk = ReadHeaders(bytes);
    EXPECT_FALSE(walk.complete) << bad;
    EXPECT_EQ(walk.headers.size(), 1u) << bad;
  }
}

TEST(ObexWire, ApplicationParametersAreReadInOrder) {
  // Memory 4 bytes, an empty one, and a repeated tag: all kept, in order.
  // (What is read points into the bytes, so they are kept while it is used.)
  const std::string three = HexToText("320400010203") + HexToText("3800") + HexToText("3201FF");
  ParameterWalk walk = ReadParameters(three);
  ASSERT_TRUE(walk.complete);
  ASSERT_EQ(walk.parameters.size(), 3u);
  EXPECT_EQ(walk.parameters[0].tag, kTagMemory);
  EXPECT_EQ(TextToHex(walk.parameters[0].value), "00010203");
  EXPECT_EQ(walk.parameters[1].tag, kTagAttributes);
  EXPECT_EQ(walk.parameters[1].value, "");
  EXPECT_EQ(TextToHex(walk.parameters[2].value), "FF");
  // A value that runs past the end, or a lone tag: the ones before are kept.
  const std::string cut_short = HexToText("3201AA3405") + "mov";
  walk = ReadParameters(cut_short);
  EXPECT_FALSE(walk.complete);
  ASSERT_EQ(walk.parameters.size(), 1u);
  EXPECT_EQ(TextToHex(walk.parameters[0].value), "AA");
  const std::string lone_tag = HexToText("32");
  walk = ReadParameters(lone_tag);
  EXPECT_FALSE(walk.complete);
  EXPECT_TRUE(walk.parameters.empty());
  EXPECT_TRUE(ReadParameters("").complete);
}

}  // namespace
}  // namespace quorvalen::obex
