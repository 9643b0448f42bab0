// The control's surface: defaults, notifications, block length, CheckInit,
// RaiseAck, size, and persistence through the memory bag.
#include <gtest/gtest.h>

#include "quorvalen/error.h"
#include "support/control_fixture.h"

namespace quorvalen {
namespace {

using ControlSurface = ControlTest;

TEST_F(ControlSurface, NewControlHasItsDefaults) {
  EXPECT_EQ(control.AT_Settings(), "19200,n,8,1");
  EXPECT_EQ(control.OBEX_Settings(), "56000,n,8,1");
  EXPECT_EQ(control.CommPort(), 1);
  EXPECT_EQ(control.TimeOut(), 20000);
  EXPECT_EQ(control.TimeOutLong(), 40000);
  EXPECT_TRUE(control.RTSEnable());
  EXPECT_TRUE(control.DTREnable());
  EXPECT_EQ(control.InBufferSize(), 4096);
  EXPECT_EQ(control.OutBufferSize(), 2048);
  EXPECT_EQ(control.CommandDelay(), 10);
  EXPECT_EQ(control.HexDelay(), 150);
  EXPECT_EQ(control.OBEX_BlockLen(), 255);
  EXPECT_EQ(control.StackCount(), 0);
  EXPECT_EQ(control.DebugPath(), "");
  EXPECT_EQ(control.OBEX_ConnectType(), 0);
  EXPECT_EQ(control.MobileType(), 0);
  EXPECT_EQ(control.ComType(), 0);
  EXPECT_EQ(control.OBEX_DataRead(), "");
  EXPECT_EQ(control.OBEX_DataSend(), "");
  EXPECT_EQ(control.AT_DataRead(), "");
  EXPECT_EQ(control.Command(), "");
  EXPECT_EQ(control.IrDA1(), nullptr);
  EXPECT_FALSE(internals.AutoBlockLen());
  EXPECT_FALSE(internals.DebugOn());
  EXPECT_FALSE(internals.PortOpened());
  EXPECT_FALSE(internals.Timer1().Enabled());
  EXPECT_FALSE(internals.Timer2().Enabled());
  EXPECT_FALSE(internals.Port().PortOpen());
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

TEST_F(ControlSurface, CheckInitNeedsAnInfraredObject) {
  try {
    control.CheckInit();
    FAIL() << "CheckInit returned without an infrared object";
  } catch (const Error& e) {
    EXPECT_EQ(e.number, Quorvalen::kCheckInitError);
    EXPECT_EQ(e.source, "Kavrolinks.CheckInit");
    EXPECT_EQ(e.description, "First function SetCommDevice has to be called");
  }
}

TEST_F(ControlSurface, RaiseAckSkipsEmptyAnswersOnly) {
  internals.RaiseAck("AT", "");
  internals.RaiseAck("", "OK");
  EXPECT_EQ(acks, (AckList{{"", "OK"}}));
}

TEST_F(ControlSurface, ResizeKeepsAFixedSquare) {
  platform.Site().SetSize(5000, 120);
  control.Resize();
  EXPECT_EQ(platform.Site().Width(), 480);
  EXPECT_EQ(platform.Site().Height(), 480);
}

TEST_F(ControlSurface, SavingANewControlWritesNothingAndLoadingEmptyGivesDefaults) {
  MemoryPropertyBag bag;
  control.WriteProperties(bag);
  EXPECT_TRUE(bag.Values().empty());
  EXPECT_EQ(bag.Accessed().size(), 16u);
  EXPECT_EQ(bag.Accessed().front(), "AT_Settings");
  EXPECT_EQ(bag.Accessed().back(), "OBEX_BlockLen");

  VirtualPlatform other_platform;
  Quorvalen other(other_platform);
  other.ReadProperties(bag);
  EXPECT_EQ(other.AT_Settings(), "19200,n,8,1");
  EXPECT_EQ(other.OBEX_BlockLen(), 255);
}

TEST_F(ControlSurface, SavedPropertiesRoundTripAndLoadStoresDirectly) {
  control.AT_Settings("9600,e,7,2");
  control.OBEX_Settings("115200,n,8,1");
  control.CommPort(4);
  control.DebugPath("trace, with = odd\\bytes\x01\xFF");
  control.TimeOut(1);
  control.RTSEnable(false);
  control.InBufferSize(100);
  control.HexDelay(-3);
  control.MobileType(2);
  control.OBEX_BlockLen(512);
  control.OBEX_DataSend("never saved");
  MemoryPropertyBag bag;
  control.WriteProperties(bag);
  EXPECT_EQ(bag.Values().size(), 10u);
  EXPECT_EQ(std::get<bool>(bag.Values().at("RTSEnable")), false);
  EXPECT_EQ(std::get<int32_t>(bag.Values().at("OBEX_BlockLen")), 512);
  EXPECT_FALSE(bag.Values().count("OBEX_DataSend"));

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
  EXPECT_EQ(other.OBEX_Settings(), "115200,n,8,1");
  EXPECT_EQ(other.CommPort(), 4);
  EXPECT_EQ(other.DebugPath(), "trace, with = odd\\bytes\x01\xFF");
  EXPECT_EQ(other.TimeOut(), 1);
  EXPECT_FALSE(other.RTSEnable());
  EXPECT_EQ(other.InBufferSize(), 100);
  EXPECT_EQ(other.HexDelay(), -3);
  EXPECT_EQ(other.MobileType(), 2);
  EXPECT_EQ(other.OBEX_BlockLen(), 0);
  EXPECT_FALSE(ControlInternals(other).AutoBlockLen());
  EXPECT_EQ(other.OBEX_DataSend(), "");
  // Loading wrote no trace line (only the opening line is there).
  EXPECT_EQ(other_platform.Files()["x.log"].find("\r\n") + 2,
            other_platform.Files()["x.log"].size());
}

TEST_F(ControlSurface, ABagFailureStopsTheLoadAtThatKey) {
  MemoryPropertyBag bag;
  bag.Values()["AT_Settings"] = std::string("4800,n,8,1");
  bag.Values()["TimeOut"] = int32_t{7};
  bag.FailOn("CommPort", kErrFileAccess);
  try {
    control.ReadProperties(bag);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number, kErrFileAccess);
  }
  EXPECT_EQ(control.AT_Settings(), "4800,n,8,1");  // before the failing key
  EXPECT_EQ(control.TimeOut(), 20000);             // after it: not processed
  EXPECT_EQ(bag.Accessed().back(), "CommPort");

}

}  // namespace
}  // namespace quorvalen
