// The control's surface: defaults, notifications, block length, CheckInit,
// RaiseAck, size, and persistence through the memory bag.
#include <gtest/gtest.h>

#include "quorvalen/error.h"
#include "support/control_fixture.h"

namespace quorvalen {
namespace {

using ControlSurface = ControlTest;

TEST_F(ControlSurface, ANewControlSavesNothingAndHasItsDefaults) {
  MemoryPropertyBag bag;
  control.WriteProperties(bag);
  EXPECT_TRUE(bag.Values().empty());  // every saved property is at its default
  EXPECT_EQ(bag.Accessed().size(), 16u);
  EXPECT_EQ(bag.Accessed().front(), "AT_Settings");
  EXPECT_EQ(bag.Accessed().back(), "OBEX_BlockLen");
  const auto text = [](auto v) { return std::to_string(v); };
  EXPECT_EQ(control.AT_Settings() + " " + control.OBEX_Settings() + " " +
                text(control.CommPort()) + " " + text(control.TimeOut()) + " " +
                text(control.TimeOutLong()) + " " + text(control.RTSEnable()) +
                text(control.DTREnable()) + " " + text(control.InBufferSize()) + " " +
                text(control.OutBufferSize()) + " " + text(control.CommandDelay()) + " " +
                text(control.HexDelay()) + " " + text(control.OBEX_BlockLen()) + " " +
                text(control.OBEX_ConnectType()) + text(control.MobileType()) +
                text(control.ComType()) + text(control.StackCount()) + " [" +
                control.DebugPath() + control.Command() + control.OBEX_DataSend() +
                control.OBEX_DataRead() + control.AT_DataRead() + "]",
            "19200,n,8,1 56000,n,8,1 1 20000 40000 11 4096 2048 10 150 255 0000 []");
  EXPECT_EQ(control.IrDA1(), nullptr);
  EXPECT_FALSE(internals.AutoBlockLen() || internals.DebugOn() || internals.PortOpened() ||
               internals.Timer1().Enabled() || internals.Timer2().Enabled());
  EXPECT_TRUE(acks.empty());
}

TEST_F(ControlSurface, EveryGetAndSetNotifiesTheContainerByName) {
  RecordingContainer& site = platform.Site();
  site.ClearNotifications();
  EXPECT_FALSE(platform.Site().Modified());
  control.TimeOut();
  EXPECT_TRUE(site.Modified());  // reading marks the container modified
  control.TimeOut(5);
  control.AT_DataRead();
  control.OBEX_BlockLen(7);
  control.Command("AT");
  control.Command();
  control.StackCount(0);
  control.IrDA1();  // the object reference notifies nothing
  EXPECT_EQ(site.Notifications(),
            (std::vector<std::string>{"TimeOut", "TimeOut", "AT_DataRead", "OBEX_BlockLen",
                                      "Command", "Command", "StackCount"}));
}

TEST_F(ControlSurface, BlockLengthZeroMeansAutomatic) {
  TraceTo("t.log");
  control.OBEX_BlockLen(0);
  EXPECT_EQ(control.OBEX_BlockLen(), 255);
  EXPECT_TRUE(internals.AutoBlockLen());
  control.OBEX_BlockLen(100);
  EXPECT_EQ(control.OBEX_BlockLen(), 100);
  EXPECT_TRUE(internals.AutoBlockLen());  // a non-zero value does not switch it off
  auto lines = TraceLines("t.log");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].substr(9), " Change OBEX Par: OBEX_BlockLen:255 OBEX_AutoBlockLen:True");
  EXPECT_EQ(lines[2].substr(9), " Change OBEX Par: OBEX_BlockLen:100 OBEX_AutoBlockLen:True");
}

TEST_F(ControlSurface, CheckInitRaiseAckAndResize) {
  try {
    control.CheckInit();
    FAIL() << "CheckInit returned without an infrared object";
  } catch (const Error& e) {
    EXPECT_EQ(e.number, Quorvalen::kCheckInitError);
    EXPECT_EQ(e.source, "Kavrolinks.CheckInit");
    EXPECT_EQ(e.description, "First function SetCommDevice has to be called");
  }
  internals.RaiseAck("AT", "");  // empty answers are skipped, empty commands are not
  internals.RaiseAck("", "OK");
  EXPECT_EQ(acks, (AckList{{"", "OK"}}));
  platform.Site().SetSize(5000, 120);
  control.Resize();  // a fixed square
  EXPECT_EQ(platform.Site().Width(), 480);
  EXPECT_EQ(platform.Site().Height(), 480);
}

TEST_F(ControlSurface, SavedPropertiesRoundTripAndLoadStoresDirectly) {
  control.AT_Settings("9600,e,7,2");
  control.DebugPath("trace, with = odd\\bytes\x01\xFF");
  control.RTSEnable(false);
  control.HexDelay(-3);
  control.OBEX_BlockLen(512);
  control.OBEX_DataSend("never saved");
  MemoryPropertyBag bag;
  control.WriteProperties(bag);
  EXPECT_EQ(bag.Values().size(), 5u);
  EXPECT_EQ(std::get<bool>(bag.Values().at("RTSEnable")), false);
  EXPECT_EQ(std::get<int32_t>(bag.Values().at("OBEX_BlockLen")), 512);

  // A saved block length of 0 comes back as 0, with automatic mode off.
  bag.Values()["OBEX_BlockLen"] = int32_t{0};
  VirtualPlatform other_platform;
  Quorvalen other(other_platform);
  other_platform.Site().ClearNotifications();
  other.DebugPath("x.log");
  ControlInternals(other).OpenTrace();
  other.ReadProperties(bag);
  EXPECT_TRUE(other_platform.Site().Notifications().size() == 1);  // only the DebugPath set
  EXPECT_EQ(other.AT_Settings(), "9600,e,7,2");
  EXPECT_EQ(other.DebugPath(), "trace, with = odd\\bytes\x01\xFF");
  EXPECT_FALSE(other.RTSEnable());
  EXPECT_EQ(other.HexDelay(), -3);
  EXPECT_EQ(other.TimeOut(), 20000);
  EXPECT_EQ(other.OBEX_BlockLen(), 0);
  EXPECT_FALSE(ControlInternals(other).AutoBlockLen());
  EXPECT_EQ(other.OBEX_DataSend(), "");
  // Loading wrote no trace line (only the opening line is there).
  EXPECT_EQ(other_platform.Files()["x.log"].find("\r\n") + 2,
            other_platform.Files()["x.log"].size());

  // A bag failure stops the load at that key.
  MemoryPropertyBag failing;
  failing.Values()["AT_Settings"] = std::string("4800,n,8,1");
  failing.Values()["TimeOut"] = int32_t{7};
  failing.FailOn("CommPort", kErrFileAccess);
  try {
    control.ReadProperties(failing);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number, kErrFileAccess);
  }
  EXPECT_EQ(control.AT_Settings(), "4800,n,8,1");  // before the failing key
  EXPECT_EQ(control.TimeOut(), 20000);             // after it: not processed
  EXPECT_EQ(failing.Accessed().back(), "CommPort");
}

}  // namespace
}  // namespace quorvalen
