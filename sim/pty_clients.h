// Who holds a pseudo-terminal's slave open. The phone keeps only the
// master, so the last client's close of the slave is the line hanging up.
//
// On Linux the kernel's file notifications (inotify) report every open
// and close of the slave, in order: a close is seen even when a new client
// opens the slave at once. Elsewhere the master's hang-up flag is looked
// at every kLookMs while no client is there (waiting on it would wake at
// once, every time), and a close followed within that by a new opening
// goes unseen.
#pragma once

#include <string>
#include <vector>

namespace quorvalen::sim {

class PtyClients {
 public:
  enum class Event {
    kCame,  // a client opened the slave, where none held it
    kLeft,  // the last client closed it
  };
  static constexpr int kLookMs = 20;

  // A pseudo-terminal whose slave (at path) nobody has opened yet;
  // master: kept open by the caller for as long as this.
  PtyClients(int master, const std::string& path);
  ~PtyClients();
  PtyClients(const PtyClients&) = delete;
  PtyClients& operator=(const PtyClients&) = delete;

  // A descriptor that becomes readable when there is news (-1: none), and
  // how long to wait for news at most (-1: no limit).
  int Fd() const { return notify_; }
  int WaitMs() const { return notify_ < 0 && !present_ ? kLookMs : -1; }
  bool Present() const { return present_; }
  // What happened since the last call, in order.
  std::vector<Event> Take();
 private:
  std::vector<Event> Look();
  // Present or not, from the master's hang-up flag.
  bool Flag() const;

  const int master_;
  int notify_ = -1;  // inotify
  bool present_ = false;
  int holders_ = 0;
};

}  // namespace quorvalen::sim
