// The simulated phone on a virtual serial line and on a pseudo-terminal.
#include "quorvalen/sim/attachments.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "sim/pty_speed.h"

namespace quorvalen::sim {
namespace {

// The phone's reaction later in the virtual world, unless it is gone by then.
void WorldAfter(VirtualEventLoop& loop, const std::shared_ptr<bool>& alive, double ms,
                std::function<void()> work) {
  loop.After(static_cast<int64_t>(std::llround(ms * 1e6)), VirtualEventLoop::Domain::kWorld,
             [alive = std::weak_ptr<bool>(alive), work = std::move(work)]() {
               if (!alive.expired()) work();
             });
}

}  // namespace

// ---- on a virtual serial line ----

VirtualPhone::VirtualPhone(VirtualPlatform& platform, int comm_port, PhoneOptions options,
                           std::unique_ptr<FileStore> store)
    : VirtualPhone(platform.AddLine(comm_port), platform.Loop(), std::move(options),
                   std::move(store)) {}

VirtualPhone::VirtualPhone(VirtualSerialLine& line, VirtualEventLoop& loop, PhoneOptions options,
                           std::unique_ptr<FileStore> store)
    : line_(line), loop_(loop), store_(std::move(store)) {
  phone_ = std::make_unique<SimulatedPhone>(static_cast<PhoneLine&>(*this), *store_, std::move(options));
  const bool usb = phone_->Options().cable == Cable::kUsb;
  line_.OnFarReceive([this, usb](std::string_view bytes, const LineSettings& sent_with) {
    if (!hung_up_ && listening_) phone_->Receive(bytes, usb ? 0 : sent_with.baud);
  });
  line_.OnHostHangUp([this]() {
    if (!hung_up_) phone_->HostLetGo();
  });
}

VirtualPhone::~VirtualPhone() {
  *alive_ = false;
  line_.OnFarReceive(nullptr);
  line_.OnHostHangUp(nullptr);
}

void VirtualPhone::After(double ms, std::function<void()> work) {
  WorldAfter(loop_, alive_, ms, std::move(work));
}

void VirtualPhone::Send(std::string_view bytes, int baud) {
  if (hung_up_ || !speaking_) return;
  LineSettings settings = line_.HostSettings();
  // On a USB cable the speed means nothing: the bytes go as fast as the
  // host's side runs.
  if (phone_->Options().cable == Cable::kSerial) settings.baud = baud;
  line_.FarSettings(settings);
  line_.FarWrite(bytes);
}

// ---- over infrared, in the virtual world ----

VirtualInfraredPhone::VirtualInfraredPhone(VirtualPlatform& platform, PhoneOptions options,
                                           std::unique_ptr<FileStore> store)
    : link_(platform.AddInfrared()), loop_(platform.Loop()), store_(std::move(store)) {
  options.cable = Cable::kInfrared;
  phone_ = std::make_unique<SimulatedPhone>(static_cast<PhoneLine&>(*this), *store_, std::move(options));
  link_.AttachPeer(this);
}

VirtualInfraredPhone::~VirtualInfraredPhone() {
  *alive_ = false;
  link_.AttachPeer(nullptr);
}

void VirtualInfraredPhone::After(double ms, std::function<void()> work) {
  WorldAfter(loop_, alive_, ms, std::move(work));
}

void VirtualInfraredPhone::Send(std::string_view bytes, int) { link_.PeerSend(bytes); }

void VirtualInfraredPhone::Connected(VirtualInfraredLink::Service service) {
  if (service != VirtualInfraredLink::Service::kNone) {
    phone_->ServiceOpened(service == VirtualInfraredLink::Service::kIrObex);
  }
}

void VirtualInfraredPhone::Received(VirtualInfraredLink::Service service,
                                    std::string_view bytes) {
  if (!listening_) return;
  if (service == VirtualInfraredLink::Service::kIrObex) {
    phone_->ReceiveObexService(bytes);
  } else {
    phone_->Receive(bytes, 0);
  }
}

// ---- on a pseudo-terminal ----

namespace {

// A new pseudo-terminal in raw mode. The phone keeps the master and holds
// the slave open too: that keeps the master readable while no client is
// there (no end-of-file storm between clients).
bool OpenPty(int& master, int& slave, std::string& path, std::string* error) {
  auto fail = [&](const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    return false;
  };
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return fail("cannot open a pseudo-terminal");
  if (grantpt(master) != 0 || unlockpt(master) != 0) return fail("cannot unlock it");
  const char* name = ptsname(master);
  if (!name) return fail("cannot name it");
  path = name;
  slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return fail("cannot open its slave side");
  termios raw{};
  if (tcgetattr(slave, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
  }
  ClearLineSpeed(slave);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return true;
}

}  // namespace

std::unique_ptr<PtyPhone> PtyPhone::Open(PhoneOptions options, std::unique_ptr<FileStore> store,
                                         std::string* error) {
  std::unique_ptr<PtyPhone> p(new PtyPhone());
  if (!OpenPty(p->master_, p->slave_, p->device_path_, error)) return nullptr;
  if (options.cable == Cable::kInfrared &&
      !OpenPty(p->obex_master_, p->obex_slave_, p->obex_device_path_, error)) {
    return nullptr;
  }
  if (pipe2(p->wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (error) *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  p->store_ = std::move(store);
  // A USB cable has no line speed to take time from.
  PhoneLine* line = static_cast<PhoneLine*>(p.get());
  if (options.pace && options.cable != Cable::kUsb) {
    p->paced_ = std::make_unique<PacedLine>(
        *line, options.cable == Cable::kInfrared ? kInfraredBitRate : 0);
    line = p->paced_.get();
  }
  p->phone_ = std::make_unique<SimulatedPhone>(*line, *p->store_, std::move(options));
  return p;
}

PtyPhone::~PtyPhone() {
  phone_.reset();
  for (int fd : {master_, slave_, obex_master_, obex_slave_, wake_[0], wake_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

double PtyPhone::NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const double now = static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
  if (start_ms_ < 0) start_ms_ = now;
  return now - start_ms_;  // the phone's clock starts when it does
}

void PtyPhone::After(double ms, std::function<void()> work) {
  timers_.push(Timed{NowMs() + ms, seq_++, std::move(work)});
}

void PtyPhone::Send(std::string_view bytes, int) {
  if (hung_up_) return;
  // The speed means nothing on a pseudo-terminal; the bytes go as they are,
  // over infrared on the service the host spoke to last.
  const int to = obex_active_ ? obex_master_ : master_;
  size_t at = 0;
  int stalls = 0;
  while (at < bytes.size()) {
    ssize_t n = ::write(to, bytes.data() + at, bytes.size() - at);
    if (n > 0) {
      at += static_cast<size_t>(n);
      stalls = 0;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return;  // the line is gone
    // The client does not read: wait for room, but not for ever.
    pollfd out{to, POLLOUT, 0};
    if (::poll(&out, 1, 100) <= 0 && ++stalls > 50) return;
  }
}

void PtyPhone::Wake() {
  char c = 1;
  ssize_t ignored = ::write(wake_[1], &c, 1);
  (void)ignored;
}

void PtyPhone::Stop() {
  stop_ = true;
  Wake();
}

void PtyPhone::Replug() {
  replug_ = true;
  Wake();
}

void PtyPhone::Hear(int channel, std::string_view bytes) {
  const bool infrared = obex_master_ >= 0;
  // The speed the client set when it wrote (0: none set).
  const int baud = infrared ? 0 : ReadLineSpeed(master_);
  auto act = [this, channel, infrared, baud](std::string_view chunk) {
    if (!infrared) {
      phone_->Receive(chunk, baud);
      return;
    }
    // Over infrared: the first bytes on the other service are its new
    // connection.
    const bool obex = channel == 2;
    if (obex != obex_active_) {
      obex_active_ = obex;
      phone_->ServiceOpened(obex);
    }
    if (obex) {
      phone_->ReceiveObexService(chunk);
    } else {
      phone_->Receive(chunk, 0);
    }
  };
  if (paced_) {
    paced_->Arrive(bytes, baud, phone_->Speed(), act);
  } else {
    act(bytes);
  }
}

void PtyPhone::Run() {
  char buffer[4096];
  while (!stop_) {
    if (replug_.exchange(false)) {
      hung_up_ = false;
      if (paced_) paced_->Drop();
      tcflush(master_, TCIOFLUSH);
      if (obex_master_ >= 0) tcflush(obex_master_, TCIOFLUSH);
      phone_->Replug();
    }
    int timeout = -1;
    if (!timers_.empty()) {
      double wait = timers_.top().due - NowMs();
      timeout = wait <= 0 ? 0 : static_cast<int>(std::ceil(wait));
    }
    pollfd fds[3] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}, {obex_master_, POLLIN, 0}};
    int ready = ::poll(fds, obex_master_ >= 0 ? 3 : 2, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      while (::read(wake_[0], buffer, sizeof buffer) > 0) {
      }
    }
    for (int channel : {0, 2}) {
      if (!(fds[channel].revents & POLLIN)) continue;
      ssize_t n = ::read(fds[channel].fd, buffer, sizeof buffer);
      if (n <= 0) continue;
      Hear(channel, std::string_view(buffer, static_cast<size_t>(n)));
    }
    while (!timers_.empty() && timers_.top().due <= NowMs()) {
      auto work = timers_.top().work;
      timers_.pop();
      work();
    }
  }
}

}  // namespace quorvalen::sim
