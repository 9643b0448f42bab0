// The infrared link in virtual time: the opening probe against a scripted
// peer (answers, silence, half answers, a stream that holds the drains), the
// reconnect after every third command with a data block, and the link going
// away in the middle of a transfer. The whole OBEX road over infrared runs
// with the cable's in sim_obex_road_test.
#include <gtest/gtest.h>

#include "quorvalen/error.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "support/at_road_fixture.h"

namespace quorvalen {
namespace {

using Service = VirtualInfraredLink::Service;

// A far end that answers by a rule and remembers what it saw.
class ScriptedInfraredPeer : public VirtualInfraredLink::Peer {
 public:
  explicit ScriptedInfraredPeer(VirtualInfraredLink& link) : link_(link) { link_.AttachPeer(this); }
  ~ScriptedInfraredPeer() override { link_.AttachPeer(nullptr); }
  // Answers a whole received line (without its CR); empty: no answer.
  std::function<std::string(const std::string& line)> reply;
  std::vector<Service> connections;
  std::string received;

 private:
  void Connected(Service service) override { connections.push_back(service); }
  void Received(Service, std::string_view bytes) override {
    received.append(bytes);
    line_.append(bytes);
    for (size_t cr; (cr = line_.find('\r')) != std::string::npos;) {
      const std::string line = line_.substr(0, cr);
      line_.erase(0, cr + 1);
      if (reply) {
        const std::string answer = reply(line);
        if (!answer.empty()) link_.PeerSend(answer);
      }
    }
  }
  VirtualInfraredLink& link_;
  std::string line_;
};

class InfraredTest : public AtRoadTest {
 protected:
  InfraredTest() { control.ComType(1); }
  int Count(const std::string& command) {
    return static_cast<int>(
        std::count_if(acks.begin(), acks.end(), [&](const Ack& a) { return a.first == command; }));
  }
  std::string OpenAnswer() {
    acks.clear();
    control.Command("SPEC>OPEN");
    EXPECT_TRUE(RunUntilIdle(60000));
    for (const Ack& a : acks) {
      if (a.first == "SPEC>OPEN") return a.second;
    }
    return "(none)";
  }
  bool Traced(const std::string& text) {
    for (const std::string& line : TraceLines("t.log")) {
      if (line.substr(9) == text) return true;
    }
    return false;
  }
  VirtualInfraredLink& link = platform.AddInfrared();
};

TEST_F(InfraredTest, TheOpeningProbesTheLinkAndThePhone) {
  ScriptedInfraredPeer peer(link);
  TraceTo("t.log");
  // A phone that answers at once.
  peer.reply = [](const std::string& line) {
    return line == "AT" || line == "AT+CGMM" ? line + "\r\r\nOK\r\n" : "";
  };
  EXPECT_EQ(OpenAnswer(), "OK");
  EXPECT_EQ(Count("PORT COUNT"), 1);
  EXPECT_TRUE(Traced(" Open Port IrDA"));
  EXPECT_TRUE(Traced(" Test IrDA Count:1"));
  EXPECT_TRUE(internals.Timer4().Enabled());
  ASSERT_TRUE(control.IrDA1());
  EXPECT_NE(control.IrDA1()->Settings().find("SERVICE=IrComm"), std::string::npos);
  EXPECT_EQ(peer.connections, std::vector<Service>{Service::kIrComm});
  const auto first_device = control.IrDA1();
  control.Command("SPEC>CLOSE");
  ASSERT_TRUE(RunUntilIdle(1000));

  // "AT" answered, "AT+CGMM" not: 9001 after 50 polls.
  peer.reply = [](const std::string& line) { return line == "AT" ? "OK\r\n" : ""; };
  EXPECT_EQ(OpenAnswer(), "ERROR 9001");
  EXPECT_TRUE(Traced(" Test Mobile Count:50"));
  EXPECT_FALSE(control.IrDA1()->PortOpen());
  EXPECT_NE(control.IrDA1(), first_device);  // every opening makes a device anew

  // "ok" is no "OK"; silence is none either: 100 attempts, no AT+CGMM.
  for (const char* answer : {"ok\r\n", ""}) {
    peer.reply = [answer](const std::string&) { return std::string(answer); };
    peer.received.clear();
    EXPECT_EQ(OpenAnswer(), "ERROR 9000");
    EXPECT_EQ(Count("PORT COUNT"), 100);
    EXPECT_TRUE(Traced(" Test IrDA Count:100"));
    EXPECT_EQ(peer.received.find("AT+CGMM"), std::string::npos);
    EXPECT_FALSE(control.IrDA1()->PortOpen());
    EXPECT_FALSE(internals.Timer4().Enabled());
  }
}

TEST_F(InfraredTest, AStreamHoldsEachDrainUntilAQuietGap) {
  ScriptedInfraredPeer peer(link);
  peer.reply = [](const std::string& line) {
    return line == "AT" || line == "AT+CGMM" ? "OK\r\n" : "";
  };
  const int64_t quiet = [&] {
    const int64_t start = Now();
    EXPECT_EQ(OpenAnswer(), "OK");
    return Now() - start;
  }();
  control.Command("SPEC>CLOSE");
  ASSERT_TRUE(RunUntilIdle(1000));
  // Now a byte every 600 ms for 6 s from the first "AT" on.
  bool streaming = false;
  peer.reply = [&](const std::string& line) {
    if (line == "AT" && !std::exchange(streaming, true)) {
      for (int i = 1; i <= 10; ++i) {
        platform.Loop().After(i * 600'000'000LL, VirtualEventLoop::Domain::kWorld,
                              [&] { link.PeerSend("x"); });
      }
    }
    return line == "AT" || line == "AT+CGMM" ? std::string("OK\r\n") : std::string();
  };
  const int64_t start = Now();
  EXPECT_EQ(OpenAnswer(), "OK");
  EXPECT_GE(Now() - start, quiet + 6000 - 2000);
}

TEST_F(InfraredTest, EveryThirdCommandWithADataBlockReconnects) {
  sim::VirtualInfraredPhone phone(platform, sim::PhoneOptions{},
                                  std::make_unique<sim::SampleStore>());
  TraceTo("t.log");
  ASSERT_EQ(OpenAnswer(), "OK");
  acks.clear();
  for (int i = 0; i < 6; ++i) control.Command("AT+CMGS=3,HEX>414243");
  ASSERT_TRUE(RunUntilIdle(120000));
  std::vector<std::string> answers;
  for (const Ack& a : acks) {
    if (a.first == "AT+CMGS=3" && a.second.rfind("+CMGS", 0) == 0) answers.push_back(a.second);
  }
  EXPECT_EQ(answers, (std::vector<std::string>{"+CMGS: 1", "+CMGS: 2", "+CMGS: 3", "+CMGS: 4",
                                               "+CMGS: 5", "+CMGS: 6"}));
  EXPECT_EQ(Count("PORT COUNT"), 0);  // the reconnect's probe reports nothing
  EXPECT_EQ(Count("STACK+"), 8);      // six commands and two reconnects
  int reconnects = 0;
  for (const std::string& line : TraceLines("t.log")) reconnects += line.substr(9) == " IrDA Open";
  EXPECT_EQ(reconnects, 2);
}

TEST_F(InfraredTest, TheLinkLostInATransferEndsItWithoutHanging) {
  sim::VirtualInfraredPhone phone(platform, sim::PhoneOptions{},
                                  std::make_unique<sim::SampleStore>());
  control.TimeOut(3000);
  ASSERT_EQ(OpenAnswer(), "OK");
  acks.clear();
  control.Command("OBEX>CD :Videos");
  control.Command("OBEX>GET:clip.3gp");
  // The link goes once a part of the file has come.
  ASSERT_TRUE(platform.Loop().RunUntil(
      [&] {
        return !acks.empty() && acks.back().first == "GETCOUNT" &&
               std::stoi(acks.back().second) > 5000;
      },
      60000));
  link.Lose();
  ASSERT_TRUE(RunUntilIdle(60000));
  EXPECT_EQ(Count("IrDA"), 1);
  EXPECT_NE(std::find(acks.begin(), acks.end(), Ack{"IrDA", "ERROR 8020"}), acks.end());
  EXPECT_FALSE(internals.PortOpened());
  EXPECT_EQ(acks.back(), (Ack{"STACK-", "0"}));
  EXPECT_NE(std::find(acks.begin(), acks.end(), Ack{"OBEX>GET:clip.3gp", "TIMEOUT"}), acks.end());
}

// The virtual device, whose writes fail from a chosen moment on while it
// still reads: a write that the response handling makes inside the poll.
class WriteFailingDevice : public VirtualInfraredDevice {
 public:
  using VirtualInfraredDevice::VirtualInfraredDevice;
  void Output(std::string_view bytes) override {
    if (fail) throw Error(kErrLinkLost, "IrDaComm.IrDaDevice", "write failed");
    VirtualInfraredDevice::Output(bytes);
  }
  bool fail = false;
};

// A write of the next PUT block or of a GET's continuation fails inside the
// poll: the polling ends through its own error path, once, and the request
// is left to its time-out; nothing answers the request with the error.
class FailingWriteTest : public InfraredTest {
 protected:
  FailingWriteTest() {
    platform.Factory().Register("IrDaComm.IrDaDevice", [this] {
      device = std::make_shared<WriteFailingDevice>(link);
      return device;
    });
    control.TimeOut(3000);
    TraceTo("t.log");
  }
  // Runs the command until its first progress report, then fails writes.
  void FailAfterProgress(const std::string& command, const std::string& progress) {
    ASSERT_EQ(OpenAnswer(), "OK");
    acks.clear();
    control.Command("OBEX>CD :Videos");
    control.Command(command);
    ASSERT_TRUE(platform.Loop().RunUntil(
        [&] {
          return std::any_of(acks.begin(), acks.end(),
                             [&](const Ack& a) { return a.first == progress; });
        },
        60000));
    device->fail = true;
    ASSERT_TRUE(RunUntilIdle(60000));
    EXPECT_EQ(Count("IrDA"), 1);
    EXPECT_NE(std::find(acks.begin(), acks.end(), Ack{"IrDA", "ERROR 8020"}), acks.end());
    EXPECT_TRUE(Traced(" IrDA Error:8020"));
    EXPECT_FALSE(internals.PortOpened());
    EXPECT_FALSE(internals.Timer4().Enabled());
    EXPECT_EQ(std::find(acks.begin(), acks.end(), Ack{command, "ERROR 8020"}), acks.end());
    EXPECT_NE(std::find(acks.begin(), acks.end(), Ack{command, "TIMEOUT"}), acks.end());
  }
  std::shared_ptr<WriteFailingDevice> device;
  sim::VirtualInfraredPhone phone{platform, sim::PhoneOptions{},
                                  std::make_unique<sim::SampleStore>()};
};

TEST_F(FailingWriteTest, TheContinuationOfAGet) {
  FailAfterProgress("OBEX>GET:clip.3gp", "GETCOUNT");
}

TEST_F(FailingWriteTest, TheNextBlockOfAPut) {
  control.OBEX_BlockLen(1000);
  control.OBEX_DataSend(std::string(20000, 'p'));
  FailAfterProgress("OBEX>PUT:new.bin", "PUTCOUNT");
}

// The reconnect's probe lets the host's events run between its attempts. A
// host whose own handler takes a while gives a slow phone's "OK" time to
// arrive there; the poll must leave it to the probe, so the reconnect ends
// alone and the command queued after it runs and is answered.
TEST_F(InfraredTest, TheReconnectsProbeKeepsItsAnswerFromThePoll) {
  ScriptedInfraredPeer peer(link);
  peer.reply = [](const std::string& line) {
    return line == "AT" || line == "AT+CGMM" ? "OK\r\n" : "";
  };
  ASSERT_EQ(OpenAnswer(), "OK");
  peer.reply = [&](const std::string& line) {
    const std::string answer = line == "AT"        ? "OK\r\n"
                               : line == "AT+CGMI" ? "Quorvalen Labs\r\n\r\nOK\r\n"
                                                   : "";
    if (!answer.empty()) {
      platform.Loop().After(150'000'000LL, VirtualEventLoop::Domain::kWorld,
                            [this, answer] { link.PeerSend(answer); });
    }
    return std::string();
  };
  // The host's own work: 60 ms of every 100.
  std::function<void()> busy = [&] {
    platform.Time().WaitUntil(platform.Time().MonotonicMs() + 60);
    platform.Loop().After(100'000'000LL, VirtualEventLoop::Domain::kHost, busy);
  };
  platform.Loop().After(0, VirtualEventLoop::Domain::kHost, busy);
  acks.clear();
  control.Command("SPEC>RECONNECT");
  control.Command("AT+CGMI");
  ASSERT_TRUE(RunUntilIdle(60000));
  EXPECT_NE(std::find(acks.begin(), acks.end(), Ack{"AT+CGMI", "Quorvalen Labs"}), acks.end());
  EXPECT_NE(std::find(acks.begin(), acks.end(), Ack{"AT+CGMI", "OK"}), acks.end());
  EXPECT_EQ(Count("SPEC>RECONNECT"), 0);
  EXPECT_EQ(Count("STACK-"), 2);
}

}  // namespace
}  // namespace quorvalen
