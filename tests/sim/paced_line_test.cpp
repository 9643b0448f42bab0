// The paced line on the virtual clock: bytes leave no faster than the line
// speed, requests are acted on once their bytes have arrived, order is kept
// both ways, and the phone's faults still apply on top.
#include "quorvalen/sim/paced_line.h"

#include <gtest/gtest.h>

#include <cmath>

#include "quorvalen/byte_text.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen::sim {
namespace {

// A line that takes no time of its own: it records what reaches it, when.
class RecordingLine : public PhoneLine {
 public:
  struct Write {
    double ms;
    std::string bytes;
    int baud;
  };
  double NowMs() override { return static_cast<double>(loop.NowNs()) / 1e6; }
  void After(double ms, std::function<void()> work) override {
    loop.After(static_cast<int64_t>(std::llround(ms * 1e6)), VirtualEventLoop::Domain::kWorld,
               std::move(work));
  }
  void Send(std::string_view bytes, int baud) override {
    writes.push_back(Write{NowMs(), std::string(bytes), baud});
  }
  void HangUp() override { hung_up_at = NowMs(); }

  std::string All() const {
    std::string all;
    for (const Write& w : writes) all += w.bytes;
    return all;
  }

  VirtualEventLoop loop;
  std::vector<Write> writes;
  double hung_up_at = -1;
};

// Virtual time is kept in whole nanoseconds.
constexpr double kNs = 1e-6;

TEST(PacedLine, BytesLeaveNoFasterThanTheLineSpeedInOrder) {
  RecordingLine line;
  PacedLine paced(line);
  const std::string answer = SampleBytes(3, 1000);
  paced.Send(answer, 115200);
  paced.Send("tail", 19200);  // queued behind, at its own speed
  EXPECT_TRUE(line.writes.empty());
  line.loop.Run();

  EXPECT_EQ(line.All(), answer + "tail");
  // Each chunk reaches the host when its last byte has left: 1000 bytes at
  // 115200 bit/s take 1000 * 10 / 115200 s.
  size_t sent = 0;
  for (size_t i = 0; i + 1 < line.writes.size(); ++i) {
    const auto& w = line.writes[i];
    sent += w.bytes.size();
    EXPECT_LE(w.bytes.size(), PacedLine::kChunk);
    EXPECT_EQ(w.baud, 115200);
    EXPECT_NEAR(w.ms, sent * 10 * 1000.0 / 115200, kNs) << "chunk " << i;
  }
  EXPECT_EQ(sent, answer.size());
  EXPECT_NEAR(line.writes[line.writes.size() - 2].ms, 86.8056, 1e-4);
  EXPECT_NEAR(line.writes.back().ms, 1000 * 10 * 1000.0 / 115200 + 4 * 10 * 1000.0 / 19200, kNs);
  EXPECT_EQ(line.writes.back().baud, 19200);

  // After a pause the line is free again: no debt carried over.
  line.loop.RunFor(1000);
  line.writes.clear();
  const double now = line.NowMs();
  paced.Send("AT\r", 19200);
  line.loop.Run();
  ASSERT_EQ(line.writes.size(), 1u);
  EXPECT_NEAR(line.writes[0].ms - now, 3 * 10 * 1000.0 / 19200, kNs);
}

TEST(PacedLine, AFixedRateOverridesTheSpeedNamedAndNoSpeedTakesNoTime) {
  RecordingLine line;
  PacedLine infrared(line, 115200);
  infrared.Send(std::string(100, 'x'), 19200);
  line.loop.Run();
  EXPECT_NEAR(line.writes.back().ms, 100 * 10 * 1000.0 / 115200, kNs);

  // Speed 0 (none known) takes no time, but waits for what is ahead of it.
  RecordingLine plain;
  PacedLine paced(plain);
  paced.Send("now", 0);
  ASSERT_EQ(plain.writes.size(), 1u);
  EXPECT_EQ(plain.writes[0].ms, 0);
  paced.Send("paced", 9600);
  paced.Send("behind", 0);
  plain.loop.Run();
  ASSERT_EQ(plain.All(), "nowpacedbehind");
  EXPECT_NEAR(plain.writes.back().ms, 5 * 10 * 1000.0 / 9600, kNs);
}

TEST(PacedLine, ArrivalsAreActedOnAfterTheirLineTimeInOrder) {
  RecordingLine line;
  PacedLine paced(line);
  std::vector<std::pair<double, std::string>> acted;
  const PacedLine::Receiver receiver = [&](std::string_view bytes) {
    acted.emplace_back(line.NowMs(), std::string(bytes));
  };
  paced.Arrive("AT+CGMM\r", 19200, 0, receiver);
  paced.Arrive("AT\r", 0, 57600, receiver);  // no speed set: the phone's counts
  paced.Arrive([&]() { acted.emplace_back(line.NowMs(), "(let go)"); });
  EXPECT_TRUE(acted.empty());
  line.loop.Run();
  ASSERT_EQ(acted.size(), 3u);
  const double first = 8 * 10 * 1000.0 / 19200;
  const double second = first + 3 * 10 * 1000.0 / 57600;
  EXPECT_EQ(acted[0].second, "AT+CGMM\r");
  EXPECT_NEAR(acted[0].first, first, kNs);
  EXPECT_EQ(acted[1].second, "AT\r");
  EXPECT_NEAR(acted[1].first, second, kNs);
  EXPECT_EQ(acted[2].second, "(let go)");
  EXPECT_NEAR(acted[2].first, second, kNs);

  // A long request is handed on chunk by chunk, each when it has arrived.
  acted.clear();
  const double start = line.NowMs();
  paced.Arrive(std::string(40, 'r'), 115200, 0, receiver);
  line.loop.Run();
  ASSERT_EQ(acted.size(), 3u);
  EXPECT_NEAR(acted[0].first - start, 16 * 10 * 1000.0 / 115200, kNs);
  EXPECT_NEAR(acted[2].first - start, 40 * 10 * 1000.0 / 115200, kNs);
  EXPECT_EQ(acted[2].second.size(), 8u);

  // A replug forgets what was on its way, both ways.
  acted.clear();
  line.writes.clear();
  paced.Arrive("lost", 19200, 0, receiver);
  paced.Send("lost too", 19200);
  paced.Drop();
  line.loop.Run();
  EXPECT_TRUE(acted.empty());
  EXPECT_TRUE(line.writes.empty());
}

// The phone on a paced line: it hears a line once its bytes are in, and
// its answer takes the line time of its bytes.
class PacedPhone {
 public:
  explicit PacedPhone(PhoneOptions options)
      : paced(line), phone(paced, store, std::move(options)) {}
  void Host(std::string_view bytes, int baud) {
    paced.Arrive(bytes, baud, phone.Speed(),
                 [this, baud](std::string_view chunk) { phone.Receive(chunk, baud); });
  }
  RecordingLine line;
  PacedLine paced;
  SampleStore store;
  SimulatedPhone phone;
};

TEST(PacedLine, ThePhoneHearsALineOnceItHasArrivedAndAnswersAtItsSpeed) {
  PhoneOptions o;
  o.family = 0;  // takes the speed of each line
  PacedPhone p(o);
  p.Host("AT\r", 19200);
  p.Host("AT+CGMM\r", 19200);
  p.line.loop.Run();
  EXPECT_EQ(p.line.All(), "AT\r\r\nOK\r\nAT+CGMM\r\r\nQV-100\r\n\r\nOK\r\n");
  // Nothing is echoed before "AT\r" is in, and the echo takes its own
  // line time; the answers follow back to back.
  const double byte = 10 * 1000.0 / 19200;
  EXPECT_NEAR(p.line.writes.front().ms, 3 * byte + 3 * byte, kNs);
  EXPECT_NEAR(p.line.writes.back().ms, 3 * byte + p.line.All().size() * byte, kNs);

  // The standard switch at 115200; a connect answered in raw OBEX: its N
  // bytes take N * 10 / 115200 s to leave.
  p.Host("AT+CPROT=0\r", 115200);
  p.line.loop.Run();
  ASSERT_EQ(p.phone.CurrentMode(), SimulatedPhone::Mode::kRawObex);
  p.line.writes.clear();
  const std::string connect =
      HexToText("80001A10004006460013") + HexToText("F9EC7BC4953C11D2984E525400DC9E09");
  const double sent_at = p.line.NowMs();
  p.Host(connect, 115200);
  p.line.loop.Run();
  const std::string answer = p.line.All();
  ASSERT_GE(answer.size(), 7u);
  EXPECT_EQ(static_cast<uint8_t>(answer[0]), 0xA0);
  const double arrived = sent_at + connect.size() * 10 * 1000.0 / 115200;
  EXPECT_NEAR(p.line.writes.back().ms - arrived, answer.size() * 10 * 1000.0 / 115200, kNs);
}

TEST(PacedLine, TheFaultsStillApply) {
  PhoneOptions o;
  std::string error;
  o.faults = *ParseFaultPlan("delay=1:100,hangup-after=2", &error);
  PacedPhone p(o);
  p.Host("AT\r", 19200);
  p.Host("AT\r", 19200);
  p.line.loop.Run();
  // The echo and the answer each held back 100 ms, then paced; the third
  // answer is the hang-up, which drops the line once the first two have
  // left whole.
  const double byte = 10 * 1000.0 / 19200;
  EXPECT_EQ(p.line.All(), "AT\r\r\nOK\r\n");
  EXPECT_NEAR(p.line.writes.front().ms, 3 * byte + 100 + 3 * byte, kNs);
  EXPECT_NEAR(p.line.writes.back().ms, 3 * byte + 100 + 9 * byte, kNs);
  EXPECT_NEAR(p.line.hung_up_at, p.line.writes.back().ms, kNs);
}

}  // namespace
}  // namespace quorvalen::sim
