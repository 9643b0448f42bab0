// The termios serial port over a real pseudo-terminal: the test holds the
// master end as the far end of the cable. The slave's line settings are read
// back through termios2 on the master (termios requests on a pty master act
// on its slave), which is why this file stays clear of <termios.h>.
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/pty_pair.h"
#include "quorvalen/error.h"
#include "quorvalen/posix_platform.h"

namespace quorvalen {
namespace {

int OpenDescriptorCount() {
  int count = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// Runs the loop in short slices until done() holds (10 s at most), so
// conditions that no loop event signals are still seen promptly.
bool Eventually(PosixEventLoop& loop, const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    loop.RunFor(5);
  }
  return true;
}

// The error a call throws; number -1 when it throws none.
Error ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& e) {
    return e;
  }
  return Error(-1, "", "no error");
}

int64_t ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty_.Ok()); }

  termios2 SlaveTermios() {
    termios2 tio{};
    EXPECT_EQ(ioctl(pty_.Master(), TCGETS2, &tio), 0);
    return tio;
  }

  PosixEventLoop loop_;
  PtyPair pty_;
  PosixSerialPort port_{loop_, [this](int) { return pty_.SlavePath(); }};
};

TEST_F(SerialPortTest, OpensClosesAndReportsEachMisuseWithItsNumber) {
  const int descriptors = OpenDescriptorCount();
  EXPECT_FALSE(port_.PortOpen());
  EXPECT_EQ(port_.DevicePath(), "");
  for (auto call : std::vector<std::function<void()>>{
           [&] { port_.Output("x"); }, [&] { port_.Input(); }, [&] { port_.InBufferCount(); }}) {
    Error e = ErrorOf(call);
    EXPECT_EQ(e.number, kErrPortNotOpen);
    EXPECT_EQ(e.source, "PosixSerialPort");
  }
  EXPECT_EQ(ErrorOf([&] { port_.CommPort(0); }).number, kErrInvalidPortNumber);
  // A device that is not there, and a file that is not a terminal.
  PosixSerialPort missing(loop_, [](int) { return std::string("/dev/quorvalen-no-such-tty"); });
  Error e = ErrorOf([&] { missing.PortOpen(true); });
  EXPECT_EQ(e.number, kErrInvalidPortNumber);
  EXPECT_EQ(e.description, "Cannot open /dev/quorvalen-no-such-tty: No such file or directory");
  EXPECT_FALSE(missing.PortOpen());
  EXPECT_EQ(OpenDescriptorCount(), descriptors);

  port_.PortOpen(true);
  EXPECT_TRUE(port_.PortOpen());
  EXPECT_EQ(port_.DevicePath(), pty_.SlavePath());
  EXPECT_EQ(ErrorOf([&] { port_.PortOpen(true); }).number, kErrPortAlreadyOpen);
  EXPECT_EQ(ErrorOf([&] { port_.CommPort(2); }).number, kErrPortInvalidWhileOpen);

  port_.PortOpen(false);
  port_.PortOpen(false);
  EXPECT_FALSE(port_.PortOpen());
  EXPECT_EQ(port_.DevicePath(), "");
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST_F(SerialPortTest, ACustomRateReachesTheDeviceAndRefusedSettingsChangeNothing) {
  port_.PortOpen(true);
  termios2 tio = SlaveTermios();
  EXPECT_EQ(tio.c_cflag & CBAUD, static_cast<tcflag_t>(B19200));
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  // A rate with no Bxxx constant, set while open.
  port_.Settings("56000,n,8,1");
  tio = SlaveTermios();
  EXPECT_EQ(tio.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
  EXPECT_EQ(tio.c_ospeed, 56000u);
  EXPECT_EQ(tio.c_ispeed, 56000u);
  for (const char* bad : {"9600,x,8,1", "fast", "0,n,8,1"})
    EXPECT_EQ(ErrorOf([&] { port_.Settings(bad); }).number, kErrInvalidPropertyValue) << bad;
  EXPECT_EQ(ErrorOf([&] { port_.Settings("9600,n,4,1"); }).number, kErrCannotSetLineSettings);
  EXPECT_EQ(port_.Settings(), "56000,n,8,1");
  EXPECT_EQ(SlaveTermios().c_cflag, tio.c_cflag);
}

TEST_F(SerialPortTest, ReceiveNotificationFollowsTheThreshold) {
  std::string got;
  std::vector<int> events;
  port_.OnComm([&] {
    events.push_back(port_.CommEvent());
    got += port_.Input();
  });
  port_.PortOpen(true);
  ASSERT_EQ(port_.RThreshold(), 1);

  ASSERT_TRUE(pty_.WriteAll("hello"));
  ASSERT_TRUE(loop_.RunUntil([&] { return got == "hello"; }, 10000)) << got;
  EXPECT_EQ(events, std::vector<int>(events.size(), SerialPort::kEventReceive));
  size_t calls = events.size();

  // Threshold 0: the loop leaves the device alone; raising it again
  // announces what came meanwhile.
  port_.RThreshold(0);
  ASSERT_TRUE(pty_.WriteAll("xyz"));
  loop_.RunFor(300);
  EXPECT_EQ(events.size(), calls);
  port_.RThreshold(1);
  ASSERT_TRUE(loop_.RunUntil([&] { return got == "helloxyz"; }, 10000)) << got;
  calls = events.size();

  // Bytes a host call pulled into the port's buffer are announced too.
  port_.RThreshold(0);
  ASSERT_TRUE(pty_.WriteAll("pq"));
  ASSERT_TRUE(Eventually(loop_, [&] { return port_.InBufferCount() == 2; }));
  loop_.RunFor(100);
  EXPECT_EQ(events.size(), calls);
  port_.RThreshold(1);
  ASSERT_TRUE(loop_.RunUntil([&] { return got == "helloxyzpq"; }, 10000)) << got;
  EXPECT_EQ(events.size(), calls + 1);
}

TEST_F(SerialPortTest, LargeOutputArrivesWholeAndInOrderWithoutBlocking) {
  std::string big(1 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
  port_.RThreshold(0);
  port_.PortOpen(true);

  // Output returns long before the far end has read the lot.
  port_.Output(big);
  port_.Output("TAIL");
  int waiting = 0;
  ASSERT_EQ(ioctl(pty_.Master(), FIONREAD, &waiting), 0);
  EXPECT_LT(waiting, static_cast<int>(big.size()));

  // The loop keeps the queue moving while the far end reads.
  std::string got;
  auto watch = loop_.Watch(pty_.Master(), POLLIN, [&](short) { pty_.ReadAvailable(&got); });
  EXPECT_TRUE(loop_.RunUntil([&] { return got.size() >= big.size() + 4; }, 30000)) << got.size();
  loop_.Unwatch(watch);
  EXPECT_TRUE(got == big + "TAIL")
      << "first difference at "
      << std::mismatch(got.begin(), got.end(), big.begin(), big.end()).first - got.begin();
}

TEST_F(SerialPortTest, HangUpIsAnnouncedOnceWithoutSpinning) {
  std::vector<int> events;
  std::string got;
  port_.OnComm([&] {
    events.push_back(port_.CommEvent());
    if (port_.CommEvent() == SerialPort::kEventReceive) got += port_.Input();
  });
  port_.PortOpen(true);
  ASSERT_TRUE(pty_.WriteAll("bye"));
  ASSERT_TRUE(loop_.RunUntil([&] { return got == "bye"; }, 10000));
  // Output the far end will never read, so the port is also waiting to write.
  port_.Output(std::string(256 * 1024, 'q'));

  pty_.CloseMaster();
  auto lost = [&] {
    return std::count(events.begin(), events.end(), PosixSerialPort::kEventCarrierLost) > 0;
  };
  ASSERT_TRUE(loop_.RunUntil(lost, 10000));
  EXPECT_EQ(port_.CommEvent(), PosixSerialPort::kEventCarrierLost);

  // Idle afterwards: the dead descriptor is no longer polled.
  int64_t cpu_before = ProcessCpuMs();
  loop_.RunFor(500);
  EXPECT_LT(ProcessCpuMs() - cpu_before, 100);
  EXPECT_EQ(std::count(events.begin(), events.end(), PosixSerialPort::kEventCarrierLost), 1);

  // The port stays open for the host to close; it reads and writes nothing.
  EXPECT_TRUE(port_.PortOpen());
  EXPECT_EQ(port_.Input(), "");
  port_.PortOpen(false);
  EXPECT_FALSE(port_.PortOpen());
}

}  // namespace
}  // namespace quorvalen
