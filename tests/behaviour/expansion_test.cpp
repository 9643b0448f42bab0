// Writing Command: the switch into OBEX mode and back for every transport
// and phone family, the connect targets, folder paths, the PUT sizing, the
// change of target, the infrared reconnect, and a queue that fills up.
#include <gtest/gtest.h>

#include "quorvalen/byte_text.h"
#include "quorvalen/error.h"
#include "support/control_fixture.h"

namespace quorvalen {
namespace {

using Entries = std::vector<std::string>;

class Expansion : public ControlTest {
 protected:
  // The queued entries, head first.
  Entries Queue() {
    Entries entries;
    for (int i = 0; i < internals.RawStackCount(); ++i) entries.push_back(internals.Slot(i));
    return entries;
  }
  // Queues text and returns what it added to the queue.
  Entries Write(const std::string& text) {
    const int before = internals.RawStackCount();
    control.Command(text);
    Entries entries = Queue();
    return Entries(entries.begin() + before, entries.end());
  }
  static std::string Send(const std::string& hex) {
    return "SPEC>SEND:" + HexToText(hex) + ",WAIT:350";
  }

  const std::string kConnect = "OBEX>CON:6B01CB31410611D49A770050DA3F471F";
  const std::string kConnectIrmc = "OBEX>CON:49524D432D53594E43";
  const std::string kIntoBfb = Send("02010314");
  const std::string kLeaveObex = Send("060A0C61745E737177653D320D");
  const std::string kLeaveBfb = Send("060A0C61745E736266623D300D");
};

TEST_F(Expansion, TheWholeRoadIntoObexAndBack) {
  control.MobileType(1);
  EXPECT_EQ(Write("OBEX>CD :/").size(), 8u);  // the switch of every row below
  EXPECT_EQ(internals.LinkMode(), ControlCore::kToObexRequested);
  EXPECT_EQ(acks.size(), 8u);
  EXPECT_EQ(acks.back(), (Ack{"STACK+", "8"}));
  EXPECT_TRUE(internals.Timer1().Enabled());

  // While the switch is only queued, neither direction switches again.
  EXPECT_EQ(Write("OBEX>DIR:"), (Entries{"OBEX>DIR:"}));
  EXPECT_EQ(Write("AT+CGMI"), (Entries{"AT+CGMI"}));

  internals.LinkMode() = ControlCore::kObexMode;
  EXPECT_EQ(Write("AT+CGMM").size(), 6u);
  EXPECT_EQ(internals.LinkMode(), ControlCore::kToAtRequested);
  EXPECT_EQ(Write("OBEX>DIR:"), (Entries{"OBEX>DIR:"}));
  // Both tests ignore case.
  internals.LinkMode() = ControlCore::kObexMode;
  EXPECT_EQ(Write("at")[0], "OBEX>DCO:");
  internals.LinkMode() = ControlCore::kAtMode;
  EXPECT_EQ(Write("obex>DIR:").back(), "obex>DIR:");
  EXPECT_EQ(internals.LinkMode(), ControlCore::kToObexRequested);
}

TEST_F(Expansion, EverySwitchSequence) {
  struct Row {
    int com, mobile;
    Entries into, back;
  };
  const std::vector<Row> rows = {
      {0, 0,
       {"AT^SQWE=0", "SPEC>SET_OBEX", "SPEC>WAIT:200", "AT^SQWE=3", "SPEC>WAIT:300"},
       {"SPEC>WAIT:1200", "SPEC>SEND:+++,WAIT:600", "SPEC>SET_AT"}},
      {0, 1,
       {"AT^SIFS", "AT^SBFB=1", "SPEC>WAIT:250", "SPEC>SET_56000", "SPEC>WAIT:350", kIntoBfb},
       {kLeaveObex, kLeaveBfb, "SPEC>SET_AT", "SPEC>WAIT:250"}},
      {0, 2,
       {"AT^SIFS", "AT^SBFB=1", "SPEC>WAIT:250", "SPEC>SET_56000", "SPEC>WAIT:350", kIntoBfb,
        Send("010A0BC03131353230300DD22B"), "SPEC>SET_115200", "SPEC>WAIT:350"},
       {kLeaveObex, kLeaveBfb, "SPEC>SET_AT", "SPEC>WAIT:250"}},
      {1, 0, {"SPEC>SET_OBEX", "SPEC>WAIT:250"}, {"SPEC>SET_AT", "SPEC>WAIT:250"}},
      {1, 7, {"SPEC>SET_OBEX", "SPEC>WAIT:250"}, {"SPEC>SET_AT", "SPEC>WAIT:250"}},
      {2, 0,
       {"AT^SQWE=0", "SPEC>WAIT:200", "AT^SQWE=3", "SPEC>WAIT:300"},
       {"SPEC>WAIT:1200", "SPEC>SEND:+++,WAIT:1000"}},
      {2, 1, {"AT^SIFS", "AT^SBFB=1", "SPEC>WAIT:250", kIntoBfb},
       {kLeaveObex, kLeaveBfb, "SPEC>WAIT:250"}},
      {2, 2, {"AT^SIFS", "AT^SBFB=1", "SPEC>WAIT:250", kIntoBfb},
       {kLeaveObex, kLeaveBfb, "SPEC>WAIT:250"}},
      // Outside the tables: no sequence, but the mode and the session still
      // change.
      {0, 3, {}, {}},
      {3, 1, {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("ComType " + std::to_string(row.com) + " MobileType " +
                 std::to_string(row.mobile));
    internals.LinkMode() = ControlCore::kAtMode;
    control.StackCount(0);
    control.ComType(row.com);
    control.MobileType(row.mobile);
    Entries into = row.into;
    into.push_back(kConnect);
    into.push_back("OBEX>MKD:x");
    EXPECT_EQ(Write("OBEX>MKD:x"), into);
    EXPECT_EQ(internals.LinkMode(), ControlCore::kToObexRequested);

    internals.LinkMode() = ControlCore::kObexMode;
    control.StackCount(0);
    Entries back = {"OBEX>DCO:"};
    back.insert(back.end(), row.back.begin(), row.back.end());
    back.push_back("ATI");
    EXPECT_EQ(Write("ATI"), back);
    EXPECT_EQ(internals.LinkMode(), ControlCore::kToAtRequested);
  }
}

TEST_F(Expansion, TheConnectFollowsTheTargetAndRecChangesIt) {
  control.OBEX_ConnectType(1);
  EXPECT_EQ(Write("OBEX>DIR:"), (Entries{"AT^SQWE=0", "SPEC>SET_OBEX", "SPEC>WAIT:200",
                                         "AT^SQWE=3", "SPEC>WAIT:300", kConnectIrmc,
                                         "OBEX>DIR:"}));
  internals.LinkMode() = ControlCore::kObexMode;
  control.OBEX_ConnectType(0);
  platform.Site().ClearNotifications();
  EXPECT_EQ(Write("OBEX>REC:1"), (Entries{"OBEX>DCO:", kConnectIrmc}));
  // Changed directly: the only notification is the one of Command.
  EXPECT_EQ(platform.Site().Notifications(), (std::vector<std::string>{"Command"}));
  EXPECT_EQ(control.OBEX_ConnectType(), 1);
  EXPECT_EQ(Write("OBEX>REC:1"), Entries{});
  EXPECT_EQ(Write("OBEX>REC: 0"), (Entries{"OBEX>DCO:", kConnect}));
  EXPECT_EQ(control.OBEX_ConnectType(), 0);
  EXPECT_EQ(Write("OBEX>REC:"), Entries{});  // no number reads as 0
  EXPECT_EQ(Write("OBEX>REC:2"), Entries{});
  EXPECT_TRUE(internals.Timer1().Enabled());
}

TEST_F(Expansion, FoldersAreNormalisedAndSplit) {
  internals.LinkMode() = ControlCore::kObexMode;
  EXPECT_EQ(Write("OBEX>CD:Pictures"), (Entries{"OBEX>CD :Pictures"}));
  EXPECT_EQ(Write("OBEX>CD :\\"), (Entries{"OBEX>CD :/"}));
  EXPECT_EQ(Write("OBEX>CD :.."), (Entries{"OBEX>CD :.."}));
  EXPECT_EQ(Write("OBEX>CD :\\Pictures\\Holiday\\"),
            (Entries{"OBEX>CD :/", "OBEX>CD :Pictures", "OBEX>CD :Holiday"}));
  EXPECT_EQ(Write("OBEX>CD:a\\b"), (Entries{"OBEX>CD :a", "OBEX>CD :b"}));
  EXPECT_EQ(Write("OBEX>CD :a\\b\\,LONG"), (Entries{"OBEX>CD :a", "OBEX>CD :b"}));
  // Lower case: not a change of folder, so neither normalised nor split.
  EXPECT_EQ(Write("obex>CD :a\\b\\"), (Entries{"obex>CD :a\\b\\"}));
  internals.LinkMode() = ControlCore::kAtMode;
  Entries lower = Write("obex>CD :a\\b\\");
  EXPECT_EQ(lower.size(), 7u);  // the switch, the connect, the command
  EXPECT_EQ(lower.back(), "obex>CD :a\\b\\");
}

TEST_F(Expansion, PutsTooBigForOnePacketBecomeMultiPacket) {
  internals.LinkMode() = ControlCore::kObexMode;
  // Name a.txt: overhead 26; 226 bytes fit 255, 256 do not.
  control.OBEX_DataSend(std::string(200, 'd'));
  EXPECT_EQ(Write("OBEX>PUT:a.txt"), (Entries{"OBEX>PUT:a.txt"}));
  EXPECT_EQ(internals.DataSendLength(), 200);
  control.OBEX_DataSend(std::string(230, 'd'));
  EXPECT_EQ(Write("OBEX>PUT:a.txt"), (Entries{"OBEX>PUX:a.txt"}));
  control.OBEX_DataSend(std::string(229, 'd'));
  EXPECT_EQ(Write("OBEX>PUT:a.txt"), (Entries{"OBEX>PUT:a.txt"}));
  // ",EXT>" adds 5 and the text: 229 + 26 + 8 > 255.
  EXPECT_EQ(Write("OBEX>PUT:a.txt,EXT>abc"), (Entries{"OBEX>PUX:a.txt,EXT>abc"}));
  // Every "PUT:" of the text is renamed.
  control.OBEX_BlockLen(10);
  EXPECT_EQ(Write("OBEX>PUT:PUT:x"), (Entries{"OBEX>PUX:PUX:x"}));
  EXPECT_EQ(Write("OBEX>GET:x"), (Entries{"OBEX>GET:x"}));
}

TEST_F(Expansion, EveryThirdHexCommandOnInfraredReconnects) {
  control.ComType(1);
  EXPECT_EQ(Write("AT+CMGS=1,HEX>00"), (Entries{"AT+CMGS=1,HEX>00"}));
  EXPECT_EQ(Write("AT+CMGS=1,HEX>00"), (Entries{"AT+CMGS=1,HEX>00"}));
  EXPECT_EQ(Write("AT+CMGS=1,HEX>00"), (Entries{"AT+CMGS=1,HEX>00", "SPEC>RECONNECT"}));
  EXPECT_EQ(internals.HexCommandCount(), 0);
  // On the cable nothing is counted.
  control.ComType(0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Write("AT,HEX>1").size(), 1u);
  EXPECT_EQ(internals.HexCommandCount(), 0);
}

}  // namespace
}  // namespace quorvalen
