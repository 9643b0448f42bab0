// Who holds a pseudo-terminal's slave open.
#include "sim/pty_clients.h"

#include <poll.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/inotify.h>
#endif

namespace quorvalen::sim {

PtyClients::PtyClients(int master, const std::string& path) : master_(master) {
#ifdef __linux__
  notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notify_ >= 0 &&
      inotify_add_watch(notify_, path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    ::close(notify_);
    notify_ = -1;
  }
#endif
}

PtyClients::~PtyClients() {
  if (notify_ >= 0) ::close(notify_);
}

// The master reports a hang-up while no client holds the slave, unless
// bytes a client wrote before it left are still waiting.
bool PtyClients::Flag() const {
  pollfd look{master_, POLLIN, 0};
  if (::poll(&look, 1, 0) < 0) return present_;
  return !(look.revents & POLLHUP) || (look.revents & POLLIN);
}

std::vector<PtyClients::Event> PtyClients::Look() {
  const bool now = Flag();
  if (now == present_) return {};
  present_ = now;
  holders_ = now ? 1 : 0;
  return {now ? Event::kCame : Event::kLeft};
}

std::vector<PtyClients::Event> PtyClients::Take() {
  if (notify_ < 0) return Look();
  std::vector<Event> events;
#ifdef __linux__
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(notify_, buffer, sizeof buffer);
    if (n <= 0) break;  // nothing more for now
    for (const char* at = buffer; at < buffer + n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(at);
      at += sizeof(inotify_event) + e->len;
      if (e->mask & IN_Q_OVERFLOW) {
        // Too much news to keep: count again from the flag.
        for (Event event : Look()) events.push_back(event);
        continue;
      }
      if ((e->mask & IN_OPEN) && ++holders_ == 1) {
        present_ = true;
        events.push_back(Event::kCame);
      }
      if ((e->mask & IN_CLOSE) && holders_ > 0 && --holders_ == 0) {
        present_ = false;
        events.push_back(Event::kLeft);
      }
    }
  }
#endif
  // Whatever the count says, a master that reports the hang-up has no
  // client (waiting on it would wake at once, every time); its close, if
  // it comes later, finds nobody to count off.
  if (events.empty() && present_ && !Flag()) {
    present_ = false;
    holders_ = 0;
    events.push_back(Event::kLeft);
  }
  return events;
}

}  // namespace quorvalen::sim
