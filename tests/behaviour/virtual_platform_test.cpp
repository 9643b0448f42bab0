// The virtual world: timers, the two event domains, and the serial line.
#include <gtest/gtest.h>

#include "quorvalen/error.h"
#include "support/control_fixture.h"
#include "support/scripted_peer.h"

namespace quorvalen {
namespace {

TEST(VirtualLoop, ReenablingOrChangingTheIntervalStartsAFreshInterval) {
  VirtualEventLoop loop;
  std::vector<int64_t> ticks;
  auto t = loop.CreateTimer([&] { ticks.push_back(loop.NowMs()); });
  t->Interval(100);
  t->Enabled(true);
  loop.RunFor(50);
  t->Enabled(false);
  loop.RunFor(20);
  t->Enabled(true);  // at 70: next tick at 170, not 100
  t->Enabled(true);  // enabling an enabled timer changes nothing
  loop.RunFor(110);
  EXPECT_EQ(ticks, (std::vector<int64_t>{170}));
  t->Interval(40);  // at 180: restarts, 220, 260
  loop.RunFor(90);
  EXPECT_EQ(ticks, (std::vector<int64_t>{170, 220, 260}));
  t->Interval(0);  // never ticks
  loop.RunFor(1000);
  EXPECT_EQ(ticks.size(), 3u);
}

TEST(VirtualLoop, ALateTickIsOneTickAndKeepsThePhase) {
  VirtualEventLoop loop;
  std::vector<int64_t> ticks;
  auto t = loop.CreateTimer([&] {
    ticks.push_back(loop.NowMs());
    if (ticks.size() == 1) loop.AdvanceTo(loop.NowNs() + 350'000'000);  // a busy handler
  });
  t->Interval(100);
  t->Enabled(true);
  loop.RunFor(700);
  EXPECT_EQ(ticks, (std::vector<int64_t>{100, 450, 500, 600, 700}));
}

class VirtualLine : public ControlTest {
 protected:
  VirtualSerialLine& line = platform.AddLine(1);
  ScriptedPeer peer{line, platform.Loop()};
};

TEST_F(VirtualLine, APeerAnswersDuringABusyWaitWhileTheNotificationWaitsForTheLoop) {
  SerialPort& port = internals.Port();
  int notifications = 0;
  port.OnComm([&] { ++notifications; });
  port.PortOpen(true);
  peer.ExpectLine("AT").Reply("OK\r\n", 20);
  port.Output("AT\r");
  internals.WaitMilliseconds(100);
  EXPECT_EQ(platform.Loop().NowMs(), 101);  // the wait ends past start + 100
  EXPECT_EQ(port.InBufferCount(), 4);
  EXPECT_EQ(notifications, 0);
  platform.Loop().ProcessPendingEvents();
  EXPECT_EQ(notifications, 1);
  EXPECT_EQ(port.CommEvent(), SerialPort::kEventReceive);
  EXPECT_EQ(port.Input(), "OK\r\n");
  EXPECT_EQ(port.Input(), "");
  peer.ExpectFinished();
}

TEST_F(VirtualLine, BytesArriveAtTheTimeTheirLineSpeedGives) {
  SerialPort& port = internals.Port();
  port.PortOpen(true);
  VirtualEventLoop& loop = platform.Loop();
  const int64_t byte_ns = 520'833;  // 19200 bit/s, 10 bits a byte
  line.FarWrite("0123456789");
  line.FarWrite("ab");  // queued behind the first write on the wire
  loop.AdvanceTo(5 * byte_ns - 1);
  EXPECT_EQ(port.InBufferCount(), 4);
  loop.AdvanceTo(5 * byte_ns);
  EXPECT_EQ(port.Input(), "01234");
  loop.AdvanceTo(11 * byte_ns);
  EXPECT_EQ(port.Input(), "56789a");
  loop.AdvanceTo(12 * byte_ns);
  EXPECT_EQ(port.Input(), "b");

  // The host's bytes reach the far end at the speed the host set.
  port.Settings("115200,n,8,1");
  peer.Expect("xyz");
  int64_t start = loop.NowNs();
  port.Output("xyz");
  loop.AdvanceTo(start + 3 * 86'805 - 1);
  EXPECT_EQ(peer.Received(), "");
  loop.AdvanceTo(start + 3 * 86'806);
  EXPECT_EQ(peer.Received(), "xyz");
  EXPECT_EQ(line.HostSettings().baud, 115200);
  peer.ExpectFinished();
}

}  // namespace
}  // namespace quorvalen
