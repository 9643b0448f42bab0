// One held connection per port. The first command that opens a port leaves
// behind a holder: a process of its own (forked when the command is done,
// so it keeps the command's session and the phone in the mode it was
// left in) that waits for the next command on a Unix-domain socket for an
// idle time, then brings the phone back to AT mode and ends. A later
// command on the same port, with the same settings, hands the holder its
// arguments, its environment's few names, its working folder and its
// standard input, output and error, and the holder runs it on the held
// session as the command would have run itself: the same output, progress,
// errors and exit code, without the waits of an opening and a closing.
//
// Only the user who started a holder may use it: its socket lives in a
// folder that only that user may enter, the holder checks the peer's user
// id on every connection, and a client checks the holder's.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quorvalen/session.h"

namespace quorvalen::tool {

struct GlobalOptions;

// The idle time of a held connection unless told: long enough for a person
// at a terminal to read one answer and type the next command; short enough
// that the phone and its port are given back soon after the person stops
// (a phone in OBEX mode takes no calls on some models, and the port is
// busy for every other program meanwhile).
constexpr int kDefaultHoldSeconds = 60;

// The folder of this user's holders' sockets: $XDG_RUNTIME_DIR/quorvalen,
// or quorvalen-UID under the temporary folder; made when missing. Empty,
// and why in *why, when it is not a folder only this user may enter; but
// a folder of another user's (a $XDG_RUNTIME_DIR kept across su) is given
// with *others set: a command may find there that the port is held, to
// say so, and never holds a connection there itself.
std::string HoldFolder(std::string* why, bool* others = nullptr);

// What a holder is known by: the device's real path (symbolic links
// followed), or the two devices of an infrared link. Empty for the built-in
// simulated phone, which is never held: it is a fresh phone on every run.
std::string PortKey(const GlobalOptions& global, const SessionOptions& options);

// The socket of a port's holder in the folder.
std::string HoldSocket(const std::string& folder, const std::string& key);

// What must match for a command to run on a held session: the port and
// everything its opening was given (family, link, the control's settings,
// trace, verification, tries again).
std::string Fingerprint(const std::string& key, const SessionOptions& options);

// The holder of the port the options name: its socket, or empty (the
// simulated phone, no port, no private folder; why in *why for the last).
struct HeldPort {
  std::string key;
  std::string socket;
  std::string fingerprint;
  bool mine = false;  // the folder is this user's: a holder may be left there
};
HeldPort HeldPortOf(const GlobalOptions& global, const SessionOptions& options, std::string* why);

// A holder as it describes itself.
struct HolderState {
  std::string port;  // the key
  std::string kind;  // "hold", "mount" or "shell"
  pid_t pid = 0;
  std::string where;      // the mount point of a mount
  double idle_left = -1;  // seconds until it lets go (-1: while it runs)
  std::string serving;    // the command at work, if any
  pid_t serving_pid = 0;
  bool closing = false;     // letting go: the phone on its way back to AT mode
  std::string fingerprint;  // the holder's own, never sent
};

// ---- the client's side ----

enum class HeldOutcome {
  kRan,       // the holder ran the command: exit code in *exit_code
  kNone,      // no holder (or a stale socket, now removed)
  kReleased,  // the holder had other settings and let go: open afresh
};

// Runs the command line on the port's holder, if there is one. args are
// the command line as given. Errors that the user must see (a holder of
// another user, a mount holding the port with other settings) are said on
// stderr and given as kRan with their exit code.
// A holder that saw its phone go away leaves a note that the next command
// on the port says (unless quiet) before it opens afresh.
// kShell: an interactive shell, which the holder runs on the client's
// terminal; Ctrl-C is passed to it and never quits the client. kMount: a
// mount, which the holder serves from then on (the client returns once
// the phone is mounted). Both hold the connection for their life: a
// holder that runs either already refuses them.
enum class HeldRun { kCommand, kShell, kMount };
HeldOutcome RunOnHolder(const std::string& socket, const std::vector<std::string>& args,
                        const std::string& fingerprint, bool quiet, HeldRun run, int* exit_code);

// What each holder of this user says of itself (stale sockets removed).
std::vector<HolderState> HolderStates(const std::string& folder);

// Asks the holder on the socket to let go; true when it did (the phone is
// back in AT mode). A mount or shell does not let go: *why says so.
bool ReleaseHolder(const std::string& socket, std::string* why);

// ---- the holder's side ----

// One command handed over by a client.
struct HeldRequest {
  int socket = -1;
  pid_t pid = 0;
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> environment;
  std::string fingerprint;
  int fds[4] = {-1, -1, -1, -1};  // standard input, output, error; the working folder
  bool release = false;           // a release, not a command
  bool shell = false;             // an interactive shell: the client's Ctrl-C is the shell's
  bool holds = false;             // a shell or mount: it holds the connection for its life
  bool settings_differ = false;   // a command with other settings (a release of an idle holder)
  uint64_t id = 0;
  std::string command;  // as status shows it
};

// The socket and its listener thread: connections are checked, answered
// when they ask the state, and queued when they bring work, to be taken in
// arrival order by the one that holds the session.
class HoldServer {
 public:
  // Listens on the socket; a stale socket there is replaced. Nothing, and
  // why, when another holder answers there or the socket cannot be made.
  static std::unique_ptr<HoldServer> Listen(const std::string& socket, HolderState state,
                                            std::string* why);
  ~HoldServer();

  // The listener thread (after a fork, in the process that serves).
  void Start();
  // What the one that holds the session does next: a request, or none
  // when the idle time passed, the holder is told to end (SIGTERM), or
  // still_there, asked a few times a second while idle, says the phone
  // went away. idle_seconds < 0: no idle limit.
  std::optional<HeldRequest> Next(double idle_seconds, const std::function<bool()>& still_there);
  // The request is done; the client is told its exit code.
  void Done(HeldRequest& request, int exit_code);
  // Called on the listener thread when the client of a running request
  // asks to stop or goes away (the request given): the work at hand should
  // stop. Returns what the client is told: "stopping" (it waits for the
  // transfer to stop), "quit" (it may quit at once) or "passed" (a shell's
  // Ctrl-C, taken by the shell).
  using Interrupt = std::function<std::string(const HeldRequest& request, bool client_gone)>;
  void OnInterrupt(Interrupt on_interrupt);
  // Letting go: status says so, and commands that come meanwhile are told
  // to open afresh once the port is free.
  void Closing();
  // No more requests are taken: Next returns none (a serving thread ends)
  // until the holder Becomes something again.
  void Shutdown();
  // What the holder is from now on, as status shows it and requests find
  // it: a "mount" on where while its mount runs, a "hold" again after.
  void Become(const std::string& kind, const std::string& where);
  // Whether the holder was told to end (SIGTERM).
  static bool Terminated();
  // Whether a request waits its turn.
  bool Waiting();
  // Ends the listener, removes the socket, tells every waiting client that
  // the holder is gone (the port is free for it to open).
  void Stop();
  // Asked by a signal handler: Next returns none at once.
  static void Terminate();
  const std::string& Socket() const { return socket_; }

 private:
  HoldServer() = default;
  void Listener();
  void Accept();
  void Wake();
  // What holds the connection: the holder as it is, or a shell or mount
  // at work in it.
  HolderState HoldingLocked() const;
  // Answers a request that would take the connection from what holds it.
  void RefuseLocked(HeldRequest& request);

  int listen_ = -1;
  int wake_[2] = {-1, -1};
  std::string socket_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  HolderState state_;
  std::deque<HeldRequest> queue_;
  // The ones at work (their sockets watched): one, or a shell and the
  // command of another process it runs while it waits for a line.
  std::vector<HeldRequest> running_;
  Interrupt on_interrupt_;
  uint64_t next_id_ = 1;
  bool shut_ = false;      // Next takes nothing
  bool stopping_ = false;  // the listener ends
};

// Runs a client's command on the session: its descriptors as this
// process's standard ones, its folder as the working folder, its
// environment's names, for the time of the command (all put back after).
// *hold_seconds is set to the hold time the command asks for.
// server: the holder's, for a shell or mount it runs to serve others
// meanwhile; a mount tells its client it is done (the request) once the
// phone is mounted, and serves on.
int ServeHeld(HeldRequest& request, Session& session, double* hold_seconds,
              HoldServer* server = nullptr);
// What a holder does when a client asks to stop or goes away: a shell takes
// Ctrl-C as its own ("passed") and ends when its client is gone; a
// transfer stops at its next packet ("stopping": the client waits for
// that); else the command's output goes nowhere from now on ("quit").
std::string StopHeldCommand(const HeldRequest& request, bool client_gone);

// The end of a command that opened its own session on a port: with a hold
// time, the process forks; the parent exits with the status (the caller
// never returns), the child becomes the holder and serves until it lets
// go. Nothing happens (false) without a hold time, without a session, or
// when a holder cannot be made (why said on err unless quiet).
struct HandOff {
  std::string socket;
  std::string key;
  std::string fingerprint;
  double hold_seconds = 0;
};
bool LeaveHolder(const HandOff& hand_off, std::shared_ptr<Session> session, int status);

}  // namespace quorvalen::tool
