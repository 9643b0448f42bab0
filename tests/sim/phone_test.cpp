// The simulated phone on its own, driven by hand-built bytes on the
// virtual line: AT answers, the mode switches and their ways back, the BFB
// link, line speeds and faults.
#include <gtest/gtest.h>

#include "quorvalen/byte_text.h"
#include "sim_host.h"

namespace quorvalen::sim {
namespace {

const std::string kConnect =
    HexToText("80001A10004006460013") + HexToText("6B01CB31410611D49A770050DA3F471F");

PhoneOptions Family(int family) {
  PhoneOptions o;
  o.family = family;
  return o;
}

TEST(SimulatedPhone, AnswersAtLinesWithEcho) {
  SimHost host(Family(1));
  EXPECT_EQ(host.Exchange("AT+CGMM\r"), "AT+CGMM\r\r\nQV-100\r\n\r\nOK\r\n");
  EXPECT_EQ(host.Exchange("at+cgmi\r"), "at+cgmi\r\r\nQuorvalen Labs\r\n\r\nOK\r\n");
  // Bytes before "AT" are echoed like any typed bytes, but ignored.
  EXPECT_EQ(host.Exchange(std::string("\x00\x11junk", 6) + "AT\r"),
            std::string("\x00\x11junk", 6) + "AT\r\r\nOK\r\n");
  EXPECT_EQ(host.Exchange("AT+NOPE\r"), "AT+NOPE\r\r\nERROR\r\n");
  EXPECT_EQ(host.Exchange("AT^SIFS\r"), "AT^SIFS\r\r\n^SIFS: WIRE\r\n\r\nOK\r\n");
  EXPECT_EQ(host.Exchange("ATE0\r"), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(host.Exchange("AT\r"), "\r\nOK\r\n");
  EXPECT_EQ(host.Exchange("ATE1\r"), "\r\nOK\r\n");
  // Text entry: the prompt, then a block ended by Ctrl-Z.
  EXPECT_EQ(host.Exchange("AT+CMGS=5\r"), "AT+CMGS=5\r\r\n> ");
  EXPECT_EQ(host.Exchange("0011AA\x1A"), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
}

TEST(SimulatedPhone, RawObexModeAndItsEscape) {
  SimHost host(Family(0));
  EXPECT_EQ(host.Exchange("AT^SQWE=3\r"), "AT^SQWE=3\r\r\nERROR\r\n");  // only from mode 0
  EXPECT_EQ(host.Exchange("AT^SQWE=0\r"), "AT^SQWE=0\r\r\nOK\r\n");
  host.Speed(56000);  // the phone follows the speed of each line
  EXPECT_EQ(host.Exchange("AT^SQWE=3\r"), "AT^SQWE=3\r\r\nOK\r\n");
  EXPECT_EQ(host.Phone().CurrentMode(), SimulatedPhone::Mode::kRawObex);
  EXPECT_EQ(host.Phone().Speed(), 56000);
  std::string answer = host.Exchange(kConnect);
  ASSERT_GE(answer.size(), 7u);
  EXPECT_EQ(static_cast<uint8_t>(answer[0]), 0xA0);
  // "+++" straight after data is data; after a second of silence, and
  // followed by silence, it is the way back.
  host.Listen(1100);
  EXPECT_EQ(host.Exchange("+++", 400), "");
  EXPECT_EQ(host.Listen(200), "\r\nOK\r\n");
  EXPECT_EQ(host.Phone().CurrentMode(), SimulatedPhone::Mode::kAt);
  host.Speed(19200);
  EXPECT_EQ(host.Exchange("AT\r"), "AT\r\r\nOK\r\n");
  // Without the second of silence before it, "+++" stays data.
  host.Exchange("AT^SQWE=0\r");
  host.Speed(56000);
  host.Exchange("AT^SQWE=3\r");
  host.Exchange("+++", 2000);
  EXPECT_EQ(host.Phone().CurrentMode(), SimulatedPhone::Mode::kRawObex);
}

// A general OBEX client: the standard switch, the standard folder-browsing
// target with a larger packet than the control uses, and the Connection Id
// in every later request.
std::string Packet(uint8_t opcode, std::string_view headers) {
  const size_t n = 3 + headers.size();
  return std::string{static_cast<char>(opcode), static_cast<char>(n >> 8), static_cast<char>(n)} +
         std::string(headers);
}
std::string NameHeader(std::string_view name) {
  std::string utf16;
  for (char c : name) utf16 += std::string{'\0', c};
  utf16.append(2, '\0');
  const size_t n = 3 + utf16.size();
  return std::string{'\x01', static_cast<char>(n >> 8), static_cast<char>(n)} + utf16;
}
// A GET to its end; the bodies' bytes.
std::string GetAll(SimHost& host, std::string request, const std::string& id) {
  std::string data;
  for (;;) {
    const std::string answer = host.Exchange(request, 400);
    if (answer.size() < 3) return "(no answer)";
    for (size_t at = 3; at + 3 <= answer.size();) {
      const auto header = static_cast<uint8_t>(answer[at]);
      const size_t n = (static_cast<uint8_t>(answer[at + 1]) << 8) | static_cast<uint8_t>(answer[at + 2]);
      if (header >> 6 >= 2) {
        at += header >> 6 == 2 ? 2 : 5;
        continue;
      }
      if (header == 0x48 || header == 0x49) data += answer.substr(at + 3, n - 3);
      at += n;
    }
    if (static_cast<uint8_t>(answer[0]) != 0x90) return data;
    request = Packet(0x83, id);
  }
}

TEST(SimulatedPhone, TheStandardSwitchServesGeneralObexClients) {
  SimHost host(Family(1));
  EXPECT_EQ(host.Exchange("AT+CPROT=?\r"), "AT+CPROT=?\r\r\n+CPROT: 0\r\n\r\nOK\r\n");
  EXPECT_EQ(host.Exchange("AT+CPROT=0\r"), "AT+CPROT=0\r\r\nCONNECT\r\n");
  EXPECT_EQ(host.Phone().CurrentMode(), SimulatedPhone::Mode::kRawObex);
  const std::string target = HexToText("F9EC7BC4953C11D2984E525400DC9E09");
  std::string answer =
      host.Exchange(Packet(0x80, HexToText("1000FFFF4600") + std::string(1, '\x13') + target));
  ASSERT_GE(answer.size(), 7u);
  EXPECT_EQ(TextToHex(answer.substr(0, 7)), "A0001F10000200");  // packets up to 512
  const size_t id_at = answer.find('\xCB');
  ASSERT_NE(id_at, std::string::npos);
  const std::string id = answer.substr(id_at, 5);  // the Connection Id header, sent back

  answer = host.Exchange(Packet(0x85, HexToText("0200") + id + NameHeader("Pictures")));
  EXPECT_EQ(TextToHex(answer), "A00003");
  const std::string listing = GetAll(
      host, Packet(0x83, id + HexToText("420019") + "x-obex/folder-listing" + '\0'), id);
  EXPECT_NE(listing.find("<file name=\"logo.png\" size=\"300\""), std::string::npos) << listing;
  EXPECT_EQ(GetAll(host, Packet(0x83, id + NameHeader("logo.png")), id), SampleBytes(1, 300));
  const std::string data(300, 'p');  // within the phone's packets of 512
  const std::string put = Packet(0x82, id + NameHeader("new.bin") + HexToText("C30000012C") +
                                           HexToText("49012F") + data);
  EXPECT_EQ(TextToHex(host.Exchange(put)), "A00003");
  std::string stored;
  ASSERT_EQ(host.Attachment().Store().Read({"Pictures"}, "new.bin", stored), StoreStatus::kOk);
  EXPECT_EQ(stored, data);

  host.Listen(1100);
  EXPECT_EQ(host.Exchange("+++", 400), "");
  EXPECT_EQ(host.Listen(200), "\r\nOK\r\n");
  EXPECT_EQ(host.Exchange("AT\r"), "AT\r\r\nOK\r\n");
}

// A host that lets go of the line (closes its port, drops DTR) ends the
// data connection of the standard switch: the next host finds the phone in
// AT mode with a fresh OBEX session. The phone's own modes stay.
TEST(SimulatedPhone, AHostThatLetsGoEndsTheStandardSwitchsConnection) {
  const std::string target = HexToText("F9EC7BC4953C11D2984E525400DC9E09");
  const std::string connect =
      Packet(0x80, HexToText("1000FFFF4600") + std::string(1, '\x13') + target);
  const std::string into_pictures = Packet(0x85, HexToText("0200") + NameHeader("Pictures"));
  for (int family : {0, 1, 2}) {
    SimHost host(Family(family));
    EXPECT_EQ(host.Exchange("AT+CPROT=0\r"), "AT+CPROT=0\r\r\nCONNECT\r\n") << family;
    EXPECT_EQ(host.Exchange(connect).substr(0, 1), "\xA0") << family;
    host.Port().PortOpen(false);
    host.Platform().Loop().RunFor(10);
    EXPECT_EQ(host.Phone().CurrentMode(), SimulatedPhone::Mode::kAt) << family;
    host.Port().PortOpen(true);
    EXPECT_EQ(host.Exchange("AT\r"), "AT\r\r\nOK\r\n") << family;
    // The old connection is gone: a request before a new connect is
    // forbidden.
    EXPECT_EQ(host.Exchange("AT+CPROT=0\r"), "AT+CPROT=0\r\r\nCONNECT\r\n") << family;
    EXPECT_EQ(TextToHex(host.Exchange(into_pictures)), "C30003") << family;

    // DTR dropped on an open port does the same; raising it again is no
    // hang-up.
    host.Port().DTREnable(true);
    host.Listen(10);
    EXPECT_EQ(host.Phone().CurrentMode(), SimulatedPhone::Mode::kRawObex) << family;
    host.Port().DTREnable(false);
    EXPECT_EQ(host.Exchange("AT\r"), "AT\r\r\nOK\r\n") << family;

    // A host that switches and closes at once: the phone hears the switch
    // (a close waits for the bytes written), then the hang-up.
    host.Port().Output("AT+CPROT=0\r");
    host.Port().PortOpen(false);
    host.Platform().Loop().RunFor(100);
    const auto notes = host.Log().Lines();
    EXPECT_NE(notes.back().find("host let go: connection ended"), std::string::npos) << family;
    EXPECT_EQ(host.Phone().CurrentMode(), SimulatedPhone::Mode::kAt) << family;
  }
  // BFB mode and the raw mode of AT^SQWE=3 are the phone's own: a host
  // that dies in them leaves the phone there (the opening's way back
  // brings it out).
  SimHost bfb(Family(1));
  bfb.Exchange("AT^SBFB=1\r");
  bfb.Port().PortOpen(false);
  bfb.Platform().Loop().RunFor(10);
  EXPECT_EQ(bfb.Phone().CurrentMode(), SimulatedPhone::Mode::kBfb);
  SimHost raw(Family(0));
  raw.Exchange("AT^SQWE=0\r");
  raw.Exchange("AT^SQWE=3\r");
  raw.Port().PortOpen(false);
  raw.Platform().Loop().RunFor(10);
  EXPECT_EQ(raw.Phone().CurrentMode(), SimulatedPhone::Mode::kRawObex);
}

// A phone in BFB mode at 57600, the host at 56000.
std::unique_ptr<SimHost> InBfb(int family = 1) {
  auto host = std::make_unique<SimHost>(Family(family));
  host->Exchange("AT^SBFB=1\r");
  host->Speed(56000);
  return host;
}

TEST(SimulatedPhone, BlocksAreAcknowledgedFirstWhereverTheFramesSplit) {
  auto reference = InBfb();
  const std::string request = reference->Block(kConnect);
  const std::string whole = reference->Exchange(request);
  ASSERT_EQ(whole.substr(0, 5), std::string(kBfbAckFrame));
  auto packets = BlocksData(std::string_view(whole).substr(5));
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(static_cast<uint8_t>(packets[0][0]), 0xA0);
  EXPECT_EQ(static_cast<uint8_t>(whole[8]), 0x02);  // the answer's block: sequence 0, type 02
  for (size_t cut = 1; cut < request.size(); ++cut) {
    auto host = InBfb();
    std::string request_again = host->Block(kConnect);
    ASSERT_EQ(request_again, request);
    std::string got = host->Exchange(request.substr(0, cut), 20);
    got += host->Exchange(request.substr(cut));
    EXPECT_EQ(got, whole) << "split after byte " << cut;
  }
}

TEST(SimulatedPhone, CorruptFramesAndBlocksAreCountedNotAcknowledged) {
  auto host = InBfb();
  EXPECT_EQ(host->Exchange(HexToText("160511") + "abcde"), "");  // bad header check
  EXPECT_GE(host->Phone().Count().corrupt_frames, 1u);
  std::string block = host->Block(kConnect);
  block[block.size() - 1] ^= 0x01;  // the CRC's last byte
  EXPECT_EQ(host->Exchange(block), "");
  EXPECT_EQ(host->Phone().Count().corrupt_blocks, 1u);
  // The next good block is served (its sequence follows the lost one).
  std::string answer = host->Exchange(host->Block(kConnect));
  EXPECT_EQ(answer.substr(0, 5), std::string(kBfbAckFrame));
}

TEST(SimulatedPhone, BytesAtTheWrongSpeedAreGarbage) {
  SimHost bfb_phone(Family(1));
  bfb_phone.Speed(9600);
  EXPECT_EQ(bfb_phone.Exchange("AT\r"), "");
  EXPECT_EQ(bfb_phone.Phone().Count().garbage_bytes, 3u);
  bfb_phone.Speed(19400);  // within 3%
  EXPECT_EQ(bfb_phone.Exchange("AT\r"), "AT\r\r\nOK\r\n");

  SimHost autobaud(Family(0));
  autobaud.Speed(9600);
  EXPECT_EQ(autobaud.Exchange("AT\r"), "AT\r\r\nOK\r\n");
}

// Twenty AT commands through a phone with faults; the transcript of what it
// sent, times included.
std::vector<std::string> FaultyRun(const std::string& plan, uint64_t seed) {
  PhoneOptions o = Family(1);
  std::string error;
  o.faults = *ParseFaultPlan(plan, &error);
  o.seed = seed;
  SimHost host(o);
  for (int i = 0; i < 20; ++i) host.Exchange("AT+CGMM\r", 100);
  host.Listen(1000);
  return host.Log().Lines();
}

TEST(SimulatedPhone, FaultsAreReproducibleFromTheirSeed) {
  for (const char* plan : {"drop=0.3", "drop=0.2,corrupt=0.02,garbage=0.2,delay=0.2:80"}) {
    auto first = FaultyRun(plan, 7);
    EXPECT_EQ(first, FaultyRun(plan, 7)) << plan;
    EXPECT_NE(first, FaultyRun(plan, 8)) << plan;
    EXPECT_NE(first, FaultyRun("", 7)) << plan;  // the faults did something
  }
  // Muted after two answers; hung up after one.
  auto muted = FaultyRun("mute-after=2", 1);
  int sent = 0;
  for (const auto& line : muted) sent += line.find("phone>host") != std::string::npos;
  EXPECT_EQ(sent, 2);
  auto hung = FaultyRun("hangup-after=1", 1);
  EXPECT_NE(std::find_if(hung.begin(), hung.end(),
                         [](const std::string& l) { return l.find("hung up") != std::string::npos; }),
            hung.end());
  std::string error;
  EXPECT_FALSE(ParseFaultPlan("drop=2", &error));
  EXPECT_FALSE(ParseFaultPlan("explode=1", &error));
  EXPECT_NE(error.find("explode"), std::string::npos);
}

}  // namespace
}  // namespace quorvalen::sim
