// The posix infrared device over a real pseudo-terminal: the test holds the
// master end as the phone's side of the air.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <string>

#include "platform/pty_pair.h"
#include "quorvalen/error.h"
#include "quorvalen/posix_platform.h"

namespace quorvalen {
namespace {

TEST(PosixInfraredDevice, AWriteTheFarSideDoesNotReadIsKeptAndSentOnByTheNextPoll) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  PosixInfraredDevice device(pty.SlavePath(), "/nonexistent/obex");
  device.Settings("SERVICE=IrComm");
  device.PortOpen(true);

  // Far more than the pseudo-terminal holds: the call returns with the rest
  // kept, however long the far side stays silent.
  std::string big(1 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
  device.Output(big);
  device.Output("TAIL");
  int waiting = 0;
  ASSERT_EQ(ioctl(pty.Master(), FIONREAD, &waiting), 0);
  EXPECT_LT(waiting, static_cast<int>(big.size()));

  // Each poll sends on what the far side has made room for, in order.
  std::string got;
  for (int polls = 0; polls < 100000 && got.size() < big.size() + 4; ++polls) {
    pty.ReadAvailable(&got);
    EXPECT_EQ(device.InBufferCount(), 0);
  }
  EXPECT_TRUE(got == big + "TAIL")
      << got.size() << " bytes, first difference at "
      << std::mismatch(got.begin(), got.end(), big.begin(), big.end()).first - got.begin();
}

TEST(PosixInfraredDevice, KeptBytesGoWhenTheLinkIsClearedOrClosedAndALostLinkIsAnError) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  PosixInfraredDevice device(pty.SlavePath(), "/nonexistent/obex");
  device.Settings("SERVICE=IrComm");
  device.PortOpen(true);
  device.Output(std::string(1 << 20, 'x'));
  device.OutBufferCount(0);
  std::string got;
  pty.ReadAvailable(&got);
  device.Output("after");
  pty.ReadAvailable(&got);
  // Whatever the line had taken before the clearing, nothing kept follows.
  EXPECT_EQ(got.substr(got.size() - 5), "after");
  EXPECT_LT(got.size(), size_t{1} << 20);

  // Closing drops what was kept: the far side gets what the line had taken
  // (the pseudo-terminal's own buffer), however often the device is polled.
  device.Output(std::string(1 << 20, 'y'));
  device.PortOpen(false);
  device.PortOpen(true);
  got.clear();
  for (int polls = 0; polls < 1000; ++polls) {
    pty.ReadAvailable(&got);
    EXPECT_EQ(device.InBufferCount(), 0);
  }
  EXPECT_LT(got.size(), size_t{1} << 19);

  // The far side hangs up with bytes still kept: the next poll says so.
  device.Output(std::string(1 << 20, 'z'));
  pty.CloseMaster();
  try {
    device.InBufferCount();
    ADD_FAILURE() << "no error from a hung-up link";
  } catch (const Error& e) {
    EXPECT_EQ(e.number, kErrLinkLost);
  }
}

}  // namespace
}  // namespace quorvalen
