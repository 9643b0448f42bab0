// The simulated phone on a virtual serial line and on a pseudo-terminal.
#include "quorvalen/sim/attachments.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#include "sim/pty_clients.h"
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

// A new pseudo-terminal, a raw line at a speed nobody set. The phone
// keeps only the master: a client's close of the slave is the line
// hanging up.
bool OpenPty(int& master, std::string& path, std::string* error) {
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
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return fail("cannot open its slave side");
  termios raw{};
  if (tcgetattr(slave, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
  }
  ClearLineSpeed(slave);
  ::close(slave);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return true;
}

}  // namespace

PtyPhone::PtyPhone() = default;

std::unique_ptr<PtyPhone> PtyPhone::Open(PhoneOptions options, std::unique_ptr<FileStore> store,
                                         std::string* error) {
  std::unique_ptr<PtyPhone> p(new PtyPhone());
  for (Channel channel : {kSerial, kObex}) {
    if (channel == kObex && options.cable != Cable::kInfrared) break;
    Pty& pty = p->ptys_[channel];
    if (!OpenPty(pty.master, pty.path, error)) return nullptr;
    pty.clients = std::make_unique<PtyClients>(pty.master, pty.path);
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
  for (Pty& pty : ptys_) {
    pty.clients.reset();
    if (pty.master >= 0) ::close(pty.master);
  }
  for (int fd : wake_) {
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
  // The speed means nothing on a pseudo-terminal; the bytes go as they are,
  // over infrared on the service the host spoke to last. With no client
  // there they are lost, as on a line nobody holds.
  const Pty& pty = ptys_[obex_active_ ? kObex : kSerial];
  if (hung_up_ || !pty.client) return;
  const int to = pty.master;
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

// Bytes and news of clients, in order. Bytes read before a look at the
// news were written by the last client to come before that look (or, with
// no coming in it, by the one there already): a client's last words are
// heard before its leaving, a newcomer's first after. When a client left
// and another came between two looks, bytes waiting might be either's;
// they go to the newcomer.
void PtyPhone::Follow(Channel channel) {
  Pty& pty = ptys_[channel];
  if (!pty.clients) return;
  const std::string bytes = ReadWaiting(channel);
  std::vector<PtyClients::Event> events = pty.clients->Take();
  auto came = std::find(events.rbegin(), events.rend(), PtyClients::Event::kCame);
  if (!bytes.empty() && !pty.client && came == events.rend()) {
    // Without notifications a client may come, write and go between two
    // looks at the hang-up flag.
    events.insert(events.begin(), PtyClients::Event::kCame);
    if (!pty.clients->Present()) events.push_back(PtyClients::Event::kLeft);
    came = std::find(events.rbegin(), events.rend(), PtyClients::Event::kCame);
  }
  // Where the bytes belong: first, or right after the last coming.
  const auto heard_after = static_cast<size_t>(came == events.rend() ? 0 : events.rend() - came);
  for (size_t i = 0; i <= events.size(); ++i) {
    if (i == heard_after) Hear(channel, bytes);
    if (i == events.size()) break;
    switch (events[i]) {
      case PtyClients::Event::kCame:
        pty.client = true;
        pty.speed = ReadLineSpeed(pty.master);
        break;
      case PtyClients::Event::kLeft:
        pty.client = false;
        // What the phone sent that has not reached the slave goes nowhere.
        ::tcflush(pty.master, TCOFLUSH);
        LetGo(channel);
        break;
    }
  }
  if (!pty.client) return;
  const int speed = ReadLineSpeed(pty.master);
  if (speed == 0 && pty.speed != 0) LetGo(channel);  // B0: hung up, still holding the line
  pty.speed = speed;
}

// At most kReadLimit at a time, so that a client that never stops writing
// cannot hold up the phone's timers; Pty::more says there may be more.
std::string PtyPhone::ReadWaiting(Channel channel) {
  Pty& pty = ptys_[channel];
  std::string waiting;
  char buffer[4096];
  pty.more = false;
  while (waiting.size() < kReadLimit) {
    const ssize_t n = ::read(pty.master, buffer, sizeof buffer);
    if (n <= 0) return waiting;  // nothing more (or, once the last client left, EIO)
    waiting.append(buffer, static_cast<size_t>(n));
  }
  pty.more = true;
  return waiting;
}

void PtyPhone::Hear(Channel channel, std::string_view bytes) {
  if (bytes.empty()) return;
  const bool infrared = ptys_[kObex].master >= 0;
  // The speed the client set when it wrote (0: none set).
  const int baud = infrared ? 0 : ReadLineSpeed(ptys_[kSerial].master);
  auto act = [this, channel, infrared, baud](std::string_view chunk) {
    if (!infrared) {
      phone_->Receive(chunk, baud);
      return;
    }
    // Over infrared: the first bytes on the other service are its new
    // connection.
    const bool obex = channel == kObex;
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

void PtyPhone::LetGo(Channel channel) {
  ptys_[channel].speed = 0;
  // Over infrared a connection to either service starts afresh anyway.
  if (channel != kSerial || ptys_[kObex].master >= 0) return;
  // After what the client wrote before it let go.
  if (paced_) {
    paced_->Arrive([this]() { phone_->HostLetGo(); });
  } else {
    phone_->HostLetGo();
  }
}

void PtyPhone::Run() {
  for (Channel channel : {kSerial, kObex}) Follow(channel);
  while (!stop_) {
    // A master is waited on only while a client holds its slave: without
    // one it reports the hang-up at once, every time. News of clients
    // comes on the watches' own descriptors (or from looking again soon).
    pollfd fds[5] = {{wake_[0], POLLIN, 0}};
    int timeout = -1;
    auto at_most = [&timeout](int ms) {
      if (ms >= 0 && (timeout < 0 || ms < timeout)) timeout = ms;
    };
    for (Channel channel : {kSerial, kObex}) {
      const Pty& pty = ptys_[channel];
      fds[1 + channel] = {pty.client ? pty.master : -1, POLLIN, 0};
      fds[3 + channel] = {pty.clients ? pty.clients->Fd() : -1, POLLIN, 0};
      if (!pty.clients) continue;
      at_most(pty.clients->WaitMs());
      if (pty.client) at_most(kSpeedLookMs);
    }
    if (!timers_.empty()) {
      const double wait = timers_.top().due - NowMs();
      at_most(wait <= 0 ? 0 : static_cast<int>(std::ceil(wait)));
    }
    if (ptys_[kSerial].more || ptys_[kObex].more) at_most(0);
    const int ready = ::poll(fds, 5, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      char buffer[64];
      while (::read(wake_[0], buffer, sizeof buffer) > 0) {
      }
    }
    if (replug_.exchange(false)) {
      hung_up_ = false;
      if (paced_) paced_->Drop();
      for (const Pty& pty : ptys_) {
        if (pty.master >= 0) tcflush(pty.master, TCIOFLUSH);
      }
      phone_->Replug();
    }
    for (Channel channel : {kSerial, kObex}) Follow(channel);
    while (!timers_.empty() && timers_.top().due <= NowMs()) {
      auto work = timers_.top().work;
      timers_.pop();
      work();
    }
  }
}

}  // namespace quorvalen::sim
