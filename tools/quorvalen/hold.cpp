// The held connection: the socket folder, the messages between a command
// and a holder, the holder's listener, and the hand-off at the end of a
// command that opened its own session.
#include "hold.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "connection.h"
#include "quorvalen/quorvalen.h"

namespace quorvalen::tool {

using nlohmann::json;

namespace {

// The names of the environment a command reads; a held command runs with
// the client's values of these.
constexpr const char* kEnvironment[] = {
    "HOME",    "XDG_CONFIG_HOME", "QUORVALEN_PORT", "QUORVALEN_PIN", "TERM",
    "COLUMNS", "TMPDIR",          "LANG",           "LC_ALL"};

// A message is its length (4 bytes, most significant first) and a JSON
// text; the first message of a command carries its descriptors.
constexpr uint32_t kMaxMessage = 1 << 20;

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool Send(int fd, const json& message, const std::vector<int>& fds = {}) {
  const std::string text = message.dump();
  std::string frame(4, '\0');
  const auto size = static_cast<uint32_t>(text.size());
  for (int i = 0; i < 4; ++i)
    frame[static_cast<size_t>(i)] = static_cast<char>(size >> (24 - 8 * i));
  frame += text;
  if (fds.empty()) return WriteAll(fd, frame.data(), frame.size());
  // The descriptors ride on the first byte.
  iovec io{frame.data(), 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
  msghdr header{};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
  cmsghdr* c = CMSG_FIRSTHDR(&header);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
  std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  ssize_t n;
  do {
    n = ::sendmsg(fd, &header, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n != 1) return false;
  return WriteAll(fd, frame.data() + 1, frame.size() - 1);
}

bool ReadAll(int fd, char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A message, and the descriptors that came with it (at most 4; closed if
// not wanted). None when the peer is gone or sent what does not read.
std::optional<json> Receive(int fd, std::vector<int>* fds = nullptr) {
  char head[4];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
  iovec io{head, sizeof head};
  msghdr header{};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(fd, &header, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  std::vector<int> got;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int received;
      std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      got.push_back(received);
    }
  }
  auto fail = [&]() -> std::optional<json> {
    for (int received : got) ::close(received);
    return std::nullopt;
  };
  if (n <= 0) return fail();
  if (n < 4 && !ReadAll(fd, head + n, 4 - static_cast<size_t>(n))) return fail();
  uint32_t size = 0;
  for (char c : head) size = size << 8 | static_cast<uint8_t>(c);
  if (size > kMaxMessage) return fail();
  std::string text(size, '\0');
  if (!ReadAll(fd, text.data(), size)) return fail();
  json message = json::parse(text, nullptr, false);
  if (message.is_discarded() || !message.is_object()) return fail();
  if (fds) {
    *fds = std::move(got);
  } else {
    for (int received : got) ::close(received);
  }
  return message;
}

// The process at the other end: its user and process ids.
std::optional<ucred> Peer(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return std::nullopt;
  return credentials;
}

std::optional<uid_t> PeerUser(int fd) {
  const std::optional<ucred> peer = Peer(fd);
  return peer ? std::optional<uid_t>(peer->uid) : std::nullopt;
}

bool SocketAddress(const std::string& path, sockaddr_un* address) {
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

enum class Reached { kYes, kNone, kStale };

// Connects to a holder's socket; a socket nobody listens on is removed.
Reached Connect(const std::string& path, int* fd) {
  sockaddr_un address;
  if (!SocketAddress(path, &address)) return Reached::kNone;
  *fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (*fd < 0) return Reached::kNone;
  if (::connect(*fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    return Reached::kYes;
  }
  const int error = errno;
  ::close(*fd);
  *fd = -1;
  struct stat status {};
  if (error == ECONNREFUSED && ::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
      status.st_uid == ::getuid()) {
    // A holder that died (killed, or the machine's power) left its socket.
    ::unlink(path.c_str());
    return Reached::kStale;
  }
  return Reached::kNone;
}

// The process's own signal for a client waiting on its holder.
int g_client_wake = -1;

void OnClientSignal(int) {
  const char c = 1;
  (void)!::write(g_client_wake, &c, 1);
}

std::string Hex(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::atomic<bool> g_terminate{false};
std::atomic<int> g_server_wake{-1};

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string HoldFolder(std::string* why, bool* others) {
  if (others) *others = false;
  std::string folder;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') {
    folder = std::string(runtime) + "/quorvalen";
  } else {
    const char* temporary = std::getenv("TMPDIR");
    folder = std::string(temporary && temporary[0] == '/' ? temporary : "/tmp") + "/quorvalen-" +
             std::to_string(::getuid());
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = "cannot make " + folder + ": " + std::strerror(errno);
    return {};
  }
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0) {
    *why = "cannot read " + folder + ": " + std::strerror(errno);
    return {};
  }
  if (!S_ISDIR(status.st_mode)) {
    *why = folder + " is not a folder";
  } else if (status.st_uid != ::getuid()) {
    *why = folder + " belongs to another user (uid " + std::to_string(status.st_uid) + ")";
    if (others) {
      *others = true;
      return folder;
    }
  } else if ((status.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    *why = folder + " may be entered by other users (mode " + mode + ")";
  } else {
    return folder;
  }
  return {};
}

std::string PortKey(const GlobalOptions& global, const SessionOptions& options) {
  if (global.sim) return {};
  auto real = [](const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
  };
  if (options.com_type == kComInfrared) {
    if (global.irda_comm.empty() || global.irda_obex.empty()) return {};
    return "irda:" + real(global.irda_comm) + "+" + real(global.irda_obex);
  }
  if (options.port.empty()) return {};
  return real(options.port);
}

std::string HoldSocket(const std::string& folder, const std::string& key) {
  // FNV-1a: a short name for any path, within a socket address's length.
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : key) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return folder + "/hold-" + Hex(hash) + ".sock";
}

std::string Fingerprint(const std::string& key, const SessionOptions& options) {
  json settings = json::array();
  for (const auto& [name, value] : options.settings) settings.push_back({name, value});
  return json{{"port", key},
              {"comm_port", options.comm_port},
              {"mobile_type", options.mobile_type ? *options.mobile_type : -1},
              {"com_type", options.com_type},
              {"settings", settings},
              {"trace", options.trace_path},
              {"verify", options.verify},
              {"retries", options.retries}}
      .dump();
}

HeldPort HeldPortOf(const GlobalOptions& global, const SessionOptions& options, std::string* why) {
  HeldPort held;
  held.key = PortKey(global, options);
  if (held.key.empty()) return held;
  bool others = false;
  const std::string folder = HoldFolder(why, &others);
  if (folder.empty()) return held;
  held.mine = !others;
  held.socket = HoldSocket(folder, held.key);
  held.fingerprint = Fingerprint(held.key, options);
  return held;
}

// ---- the client's side ----

namespace {

// The note a holder leaves when its phone went away.
std::string LostNote(const std::string& socket) { return socket + ".lost"; }

void SayLost(const std::string& socket, bool quiet) {
  std::ifstream in(LostNote(socket));
  std::string note;
  if (!in || !std::getline(in, note)) return;
  in.close();
  ::unlink(LostNote(socket).c_str());
  if (!quiet) std::fprintf(stderr, "quorvalen: %s\n", note.c_str());
}

}  // namespace

HeldOutcome RunOnHolder(const std::string& socket, const std::vector<std::string>& args,
                        const std::string& fingerprint, bool quiet, HeldRun run, int* exit_code) {
  const bool shell = run == HeldRun::kShell;
  int fd = -1;
  if (Connect(socket, &fd) != Reached::kYes) {
    SayLost(socket, quiet);
    return HeldOutcome::kNone;
  }
  auto refuse = [&](const std::string& why) {
    std::fprintf(stderr, "quorvalen: %s\n", why.c_str());
    ::close(fd);
    *exit_code = kExitLink;
    return HeldOutcome::kRan;
  };
  // A socket in this user's folder that another user's process answers is
  // not trusted with the command's files.
  const std::optional<uid_t> holder = PeerUser(fd);
  if (!holder || *holder != ::getuid()) {
    return refuse("the phone's connection is held by another user (uid " +
                  (holder ? std::to_string(*holder) : std::string("unknown")) +
                  "); it serves only them");
  }
  json environment = json::array();
  for (const char* name : kEnvironment) {
    if (const char* value = std::getenv(name)) environment.push_back({name, value});
  }
  const int cwd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (cwd < 0) {
    ::close(fd);
    return HeldOutcome::kNone;  // a folder that cannot be opened: run here
  }
  const json request = {{"op", "run"},
                        {"args", args},
                        {"environment", environment},
                        {"fingerprint", fingerprint},
                        {"shell", shell},
                        {"holds", run != HeldRun::kCommand}};
  const bool sent = Send(fd, request, {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, cwd});
  ::close(cwd);
  if (!sent) {
    ::close(fd);
    return HeldOutcome::kNone;
  }

  // While the holder works, Ctrl-C is passed on to it.
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(fd);
    return HeldOutcome::kNone;
  }
  g_client_wake = wake[1];
  struct sigaction action {};
  struct sigaction old_int {};
  struct sigaction old_term {};
  action.sa_handler = OnClientSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &old_int);
  ::sigaction(SIGTERM, &action, &old_term);
  // A shell on this terminal runs in the holder: this process is not
  // stopped (the shell would go on reading the terminal), and the
  // terminal's settings are put back however the shell ends.
  constexpr int kStops[3] = {SIGTSTP, SIGTTIN, SIGTTOU};
  struct sigaction ignore {};
  struct sigaction old_stop[3]{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  termios terminal{};
  const bool saved_terminal = shell && ::tcgetattr(STDIN_FILENO, &terminal) == 0;
  if (shell) {
    for (int i = 0; i < 3; ++i) ::sigaction(kStops[i], &ignore, &old_stop[i]);
  }
  auto finish = [&](HeldOutcome outcome) {
    ::sigaction(SIGINT, &old_int, nullptr);
    ::sigaction(SIGTERM, &old_term, nullptr);
    if (saved_terminal) ::tcsetattr(STDIN_FILENO, TCSANOW, &terminal);
    if (shell) {
      for (int i = 0; i < 3; ++i) ::sigaction(kStops[i], &old_stop[i], nullptr);
    }
    g_client_wake = -1;
    ::close(wake[0]);
    ::close(wake[1]);
    ::close(fd);
    return outcome;
  };
  bool running = false;
  bool stopping = false;
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      char drained[16];
      while (::read(wake[0], drained, sizeof drained) > 0) {
      }
      // Before its turn, or a second time: quit at once, as a command of
      // its own would; the holder stops what it did for this one. A
      // shell's Ctrl-C is always the shell's.
      if (!shell && (!running || stopping)) {
        std::fflush(stderr);
        ::_exit(kExitInterrupted);
      }
      Send(fd, {{"op", "interrupt"}});
      continue;
    }
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const std::optional<json> reply = Receive(fd);
    if (!reply) break;
    if (reply->contains("exit")) {
      *exit_code = reply->value("exit", static_cast<int>(kExitLink));
      if (reply->contains("refused")) {
        std::fprintf(stderr, "quorvalen: %s\n", reply->value("refused", "").c_str());
      }
      return finish(HeldOutcome::kRan);
    }
    if (reply->value("released", false)) {
      SayLost(socket, quiet);
      return finish(HeldOutcome::kReleased);
    }
    if (reply->value("running", false)) running = true;
    if (reply->value("stopping", false)) {
      stopping = true;
      static const char kNote[] = "\nquorvalen: stopping (Ctrl-C again to quit at once)\n";
      (void)!::write(STDERR_FILENO, kNote, sizeof kNote - 1);
    }
    if (reply->value("quit", false)) {
      std::fflush(stderr);
      ::_exit(kExitInterrupted);
    }
  }
  // The holder went away before the command's turn came (killed, or it
  // let go meanwhile): nothing was run, so the command runs here. Gone
  // during the command, what it did is unknown: it is not run twice.
  if (!running) return finish(HeldOutcome::kNone);
  std::fprintf(stderr, "quorvalen: the holder of the connection ended during the command\n");
  *exit_code = kExitLink;
  return finish(HeldOutcome::kRan);
}

namespace {

std::optional<json> Ask(const std::string& socket, const json& request) {
  int fd = -1;
  if (Connect(socket, &fd) != Reached::kYes) return std::nullopt;
  const std::optional<uid_t> holder = PeerUser(fd);
  std::optional<json> reply;
  if (holder && *holder == ::getuid() && Send(fd, request)) reply = Receive(fd);
  ::close(fd);
  return reply;
}

HolderState StateOf(const json& j) {
  HolderState state;
  state.port = j.value("port", "");
  state.kind = j.value("kind", "");
  state.pid = j.value("pid", 0);
  state.where = j.value("where", "");
  state.idle_left = j.value("idle_left", -1.0);
  state.serving = j.value("serving", "");
  state.serving_pid = j.value("serving_pid", 0);
  state.closing = j.value("closing", false);
  return state;
}

}  // namespace

std::vector<HolderState> HolderStates(const std::string& folder) {
  std::vector<HolderState> states;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("hold-", 0) != 0 || name.size() < 5 ||
        name.compare(name.size() - 5, 5, ".sock") != 0) {
      continue;
    }
    if (auto reply = Ask(entry.path().string(), {{"op", "status"}})) {
      states.push_back(StateOf(*reply));
    }
  }
  std::sort(states.begin(), states.end(),
            [](const HolderState& a, const HolderState& b) { return a.port < b.port; });
  return states;
}

bool ReleaseHolder(const std::string& socket, std::string* why) {
  const std::optional<json> reply = Ask(socket, {{"op", "release"}});
  if (!reply) {
    *why = "nothing is held";
    return false;
  }
  if (reply->value("released", false)) return true;
  *why = reply->value("refused", "the holder did not let go");
  return false;
}

// ---- the holder's side ----

std::unique_ptr<HoldServer> HoldServer::Listen(const std::string& socket, HolderState state,
                                               std::string* why) {
  sockaddr_un address;
  if (!SocketAddress(socket, &address)) {
    *why = socket + ": too long for a socket's name";
    return nullptr;
  }
  std::unique_ptr<HoldServer> server(new HoldServer());
  server->socket_ = socket;
  server->state_ = std::move(state);
  server->listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (server->listen_ < 0) {
    *why = std::string("cannot make a socket: ") + std::strerror(errno);
    return nullptr;
  }
  // The folder is this user's alone; the socket is too.
  const mode_t old_mask = ::umask(0177);
  int bound = ::bind(server->listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (bound != 0 && errno == EADDRINUSE) {
    int other = -1;
    if (Connect(socket, &other) == Reached::kYes) {
      ::close(other);
      ::umask(old_mask);
      *why = "another holder answers on " + socket;
      return nullptr;
    }
    ::unlink(socket.c_str());
    bound = ::bind(server->listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ::umask(old_mask);
  if (bound != 0 || ::listen(server->listen_, 16) != 0) {
    *why = "cannot listen on " + socket + ": " + std::strerror(errno);
    return nullptr;
  }
  if (::pipe2(server->wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *why = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  return server;
}

HoldServer::~HoldServer() {
  if (thread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    Wake();
    thread_.join();
  }
  g_server_wake = -1;
  for (int fd : {listen_, wake_[0], wake_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

bool HoldServer::Terminated() { return g_terminate; }

void HoldServer::Terminate() {
  g_terminate = true;
  const int fd = g_server_wake.load();
  if (fd >= 0) {
    const char c = 1;
    (void)!::write(fd, &c, 1);
  }
}

void HoldServer::Wake() {
  const char c = 1;
  (void)!::write(wake_[1], &c, 1);
}

void HoldServer::Start() {
  g_server_wake = wake_[1];
  state_.pid = ::getpid();
  thread_ = std::thread([this] { Listener(); });
}

void HoldServer::OnInterrupt(Interrupt on_interrupt) {
  std::lock_guard lock(mutex_);
  on_interrupt_ = std::move(on_interrupt);
}

namespace {

void CloseRequest(HeldRequest& request) {
  for (int& fd : request.fds) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  if (request.socket >= 0) ::close(request.socket);
  request.socket = -1;
}

// "get -r /Pictures backup" from the arguments, for status.
std::string CommandText(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += (text.empty() ? "" : " ") + arg;
  return text.size() > 80 ? text.substr(0, 77) + "..." : text;
}

}  // namespace

void HoldServer::Accept() {
  const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  // A peer that connects and says nothing does not stop the listener.
  timeval patience{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  const std::optional<uid_t> user = PeerUser(fd);
  if (!user || *user != ::getuid()) {
    Send(fd, {{"refused", "the phone's connection is held by another user (uid " +
                              std::to_string(::getuid()) + "); it serves only them"},
              {"exit", static_cast<int>(kExitLink)}});
    ::close(fd);
    return;
  }
  std::vector<int> fds;
  std::optional<json> message = Receive(fd, &fds);
  if (!message) {
    ::close(fd);
    return;
  }
  const std::string op = message->value("op", "");
  std::unique_lock lock(mutex_);
  if (op == "status") {
    json state = {{"port", state_.port},
                  {"kind", state_.kind},
                  {"pid", state_.pid},
                  {"where", state_.where},
                  {"idle_left", -1.0}};
    if (state_.closing) {
      state["closing"] = true;
    } else if (!running_.empty() && !running_.back().release) {
      state["serving"] = running_.back().command;
      state["serving_pid"] = running_.back().pid;
    } else if (state_.idle_left >= 0) {
      state["idle_left"] = std::max(0.0, state_.idle_left - Now());
    }
    lock.unlock();
    for (int received : fds) ::close(received);
    Send(fd, state);
    ::close(fd);
    return;
  }
  HeldRequest request;
  request.socket = fd;
  request.id = next_id_++;
  const std::optional<ucred> peer = Peer(fd);
  request.pid = peer ? peer->pid : 0;
  timeval forever{0, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &forever, sizeof forever);
  if (op == "release") {
    for (int received : fds) ::close(received);
    request.release = true;
    request.command = "release";
  } else if (op == "run" && fds.size() == 4) {
    std::copy(fds.begin(), fds.end(), request.fds);
    for (const auto& arg : message->value("args", json::array())) {
      if (arg.is_string()) request.args.push_back(arg.get<std::string>());
    }
    for (const auto& pair : message->value("environment", json::array())) {
      if (pair.is_array() && pair.size() == 2 && pair[0].is_string() && pair[1].is_string()) {
        request.environment.emplace_back(pair[0].get<std::string>(), pair[1].get<std::string>());
      }
    }
    request.fingerprint = message->value("fingerprint", "");
    request.shell = message->value("shell", false);
    request.holds = request.shell || message->value("holds", false);
    request.command = CommandText(request.args);
    if (request.fingerprint != state_.fingerprint) {
      // Other settings: an idle holder lets go, and the command opens
      // afresh with its own.
      for (int& received : request.fds) {
        ::close(received);
        received = -1;
      }
      request.release = true;
      request.settings_differ = true;
    }
  } else {
    for (int received : fds) ::close(received);
    ::close(fd);
    return;
  }
  // A shell or a mount holds the connection for as long as it runs: it
  // shares it with commands, not with a mount or a shell, and it lets go
  // only when it ends.
  if ((request.holds || request.release) && HoldingLocked().kind != "hold") {
    RefuseLocked(request);
    return;
  }
  if (state_.closing) {
    // The phone is on its way back to AT mode: the command opens afresh
    // once the port is free (Stop tells it).
    for (int& received : request.fds) {
      if (received >= 0) ::close(received);
      received = -1;
    }
    request.release = true;
  }
  queue_.push_back(std::move(request));
  changed_.notify_all();
}

void HoldServer::Listener() {
  for (;;) {
    std::vector<pollfd> fds = {{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      for (const HeldRequest& running : running_) {
        if (running.socket >= 0) fds.push_back({running.socket, POLLIN, 0});
      }
      for (const HeldRequest& waiting : queue_) fds.push_back({waiting.socket, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
    if (fds[1].revents & POLLIN) {
      char drained[64];
      while (::read(wake_[0], drained, sizeof drained) > 0) {
      }
      if (g_terminate) {
        // Told to end: whatever runs stops, a shell as if its client went.
        Interrupt interrupt;
        std::vector<HeldRequest> running;
        {
          std::lock_guard lock(mutex_);
          interrupt = on_interrupt_;
          running = running_;
          changed_.notify_all();
        }
        for (auto it = running.rbegin(); interrupt && it != running.rend(); ++it) {
          interrupt(*it, true);
        }
      }
    }
    if (fds[0].revents & POLLIN) Accept();
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      std::unique_lock lock(mutex_);
      const int fd = fds[i].fd;
      const auto at_work = std::find_if(running_.begin(), running_.end(),
                                        [&](const HeldRequest& r) { return r.socket == fd; });
      if (at_work != running_.end()) {
        // The client of a command at work asks to stop, or is gone.
        std::optional<json> message = Receive(fd);
        Interrupt interrupt = on_interrupt_;
        const bool gone = !message;
        if (gone) {
          // Nothing more is read from it; its answer goes nowhere.
          ::shutdown(fd, SHUT_RD);
          at_work->socket = -1;
        }
        const HeldRequest request = *at_work;
        lock.unlock();
        const std::string reply = interrupt ? interrupt(request, gone) : std::string("quit");
        if (!gone && !reply.empty()) Send(fd, json{{reply, true}});
        continue;
      }
      // A client that waits its turn and went away: its command is not run.
      for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->socket != fd) continue;
        char probe;
        if (::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
          CloseRequest(*it);
          queue_.erase(it);
        }
        break;
      }
    }
  }
}

void HoldServer::Closing() {
  std::lock_guard lock(mutex_);
  state_.closing = true;
  state_.idle_left = -1;
}

std::optional<HeldRequest> HoldServer::Next(double idle_seconds,
                                            const std::function<bool()>& still_there) {
  std::unique_lock lock(mutex_);
  if (state_.closing || stopping_ || shut_) return std::nullopt;
  state_.idle_left = idle_seconds < 0 ? -1 : Now() + idle_seconds;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(idle_seconds < 0 ? 1e9 : idle_seconds));
  HeldRequest request;
  for (;;) {
    while (queue_.empty() && !g_terminate && !stopping_ && !shut_) {
      const auto look = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
      if (changed_.wait_until(lock, std::min(look, deadline)) == std::cv_status::timeout &&
          queue_.empty()) {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        lock.unlock();
        const bool there = !still_there || still_there();
        lock.lock();
        if (!there) return std::nullopt;
      }
    }
    if (g_terminate || stopping_ || shut_) return std::nullopt;
    request = std::move(queue_.front());
    queue_.pop_front();
    // Come before a shell or mount began (which serves others now): what
    // would take the connection from it is refused.
    if ((request.holds || request.release) && HoldingLocked().kind != "hold") {
      RefuseLocked(request);
      continue;
    }
    break;
  }
  state_.idle_left = -1;
  running_.push_back(request);
  if (!request.release) Send(request.socket, {{"running", true}});
  Wake();  // the listener watches the new request's socket
  return request;
}

void HoldServer::Done(HeldRequest& request, int exit_code) {
  int socket = request.socket;
  {
    std::lock_guard lock(mutex_);
    const auto at_work = std::find_if(running_.begin(), running_.end(),
                                      [&](const HeldRequest& r) { return r.id == request.id; });
    if (at_work != running_.end()) {
      if (at_work->socket < 0) socket = -1;  // the client went away
      running_.erase(at_work);
    }
  }
  Wake();
  if (socket >= 0) Send(socket, {{"exit", exit_code}});
  CloseRequest(request);
}

bool HoldServer::Waiting() {
  std::lock_guard lock(mutex_);
  return !queue_.empty();
}

void HoldServer::Shutdown() {
  std::lock_guard lock(mutex_);
  shut_ = true;
  changed_.notify_all();
}

HolderState HoldServer::HoldingLocked() const {
  HolderState holding = state_;
  for (const HeldRequest& running : running_) {
    if (!running.holds) continue;
    holding.kind = running.shell ? "shell" : "mount";
    if (running.shell) {
      holding.pid = running.pid;
      holding.where.clear();
    }
  }
  return holding;
}

void HoldServer::RefuseLocked(HeldRequest& request) {
  const HolderState holding = HoldingLocked();
  const std::string who = "quorvalen " + holding.kind +
                          (holding.where.empty() ? "" : " on " + holding.where) + " (pid " +
                          std::to_string(holding.pid) + ")";
  json refusal;
  if (request.holds) {
    refusal = {{"refused", "the phone's connection is held by " + who +
                               ", which shares it with commands only: end that first"},
               {"exit", static_cast<int>(kExitLink)}};
  } else if (request.settings_differ) {
    refusal = {{"refused", "the phone is held by " + who +
                               " with other settings; run the command with the same options and "
                               "settings, or end the " +
                               holding.kind + " first"},
               {"exit", static_cast<int>(kExitLink)}};
  } else {
    refusal = {{"refused", "the connection is held by " + who + ": it lets go when it ends"}};
  }
  Send(request.socket, refusal);
  CloseRequest(request);
}

void HoldServer::Become(const std::string& kind, const std::string& where) {
  std::lock_guard lock(mutex_);
  state_.kind = kind;
  state_.where = where;
  shut_ = false;
}

void HoldServer::Stop() {
  std::deque<HeldRequest> waiting;
  std::vector<HeldRequest> running;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    waiting.swap(queue_);
    running.swap(running_);
  }
  Wake();
  if (thread_.joinable()) thread_.join();
  // The socket goes first: a command arriving now opens afresh.
  ::unlink(socket_.c_str());
  if (listen_ >= 0) ::close(listen_);
  listen_ = -1;
  for (HeldRequest& request : running) waiting.push_front(std::move(request));
  for (HeldRequest& request : waiting) {
    if (request.socket >= 0) Send(request.socket, {{"released", true}});
    CloseRequest(request);
  }
}

// ---- the hand-off ----

int ServeHeld(HeldRequest& request, Session& session, double* hold_seconds, HoldServer* server) {
  std::vector<std::pair<std::string, std::optional<std::string>>> environment;
  for (const char* name : kEnvironment) {
    const char* value = std::getenv(name);
    environment.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    ::unsetenv(name);
  }
  for (const auto& [name, value] : request.environment) ::setenv(name.c_str(), value.c_str(), 1);
  std::fflush(nullptr);
  int saved[3];
  for (int i = 0; i < 3; ++i) {
    saved[i] = ::fcntl(i, F_DUPFD_CLOEXEC, 3);
    ::dup2(request.fds[i], i);
  }
  const int folder = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  (void)!::fchdir(request.fds[3]);
  std::cin.clear();
  ::clearerr(stdin);
  ::clearerr(stdout);
  ClearInterrupted();

  Served served;
  served.session = &session;
  served.server = server;
  if (server) served.done = [&request, server](int code) { server->Done(request, code); };
  const int status = RunCommandLine(request.args, &served);
  if (served.hold_seconds) *hold_seconds = *served.hold_seconds;

  std::fflush(stdout);
  std::fflush(stderr);
  ::__fpurge(stdin);
  std::cin.clear();
  for (int i = 0; i < 3; ++i) {
    if (saved[i] >= 0) {
      ::dup2(saved[i], i);
      ::close(saved[i]);
    }
  }
  if (folder >= 0) {
    (void)!::fchdir(folder);
    ::close(folder);
  } else {
    (void)!::chdir("/");
  }
  for (const auto& [name, value] : environment) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  ClearInterrupted();
  return status;
}

std::string StopHeldCommand(const HeldRequest& request, bool client_gone) {
  if (request.shell) {
    // Ctrl-C at the shell's terminal: the command at work stops, or the
    // line starts afresh. A shell whose client is gone ends.
    if (client_gone) ShellClientGone();
    StopFromOutside();
    return client_gone ? "" : "passed";
  }
  const bool stopping = !client_gone && TransferInFlight();
  if (!stopping) {
    const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ::dup2(nothing, STDOUT_FILENO);
    ::dup2(nothing, STDERR_FILENO);
    ::close(nothing);
  }
  StopFromOutside();
  return stopping ? "stopping" : "quit";
}

namespace {

void OnHolderSignal(int) { HoldServer::Terminate(); }

}  // namespace

bool LeaveHolder(const HandOff& hand_off, std::shared_ptr<Session> session, int status) {
  if (hand_off.hold_seconds <= 0 || !session || !session->IsOpen() || hand_off.socket.empty()) {
    return false;
  }
  HolderState state;
  state.port = hand_off.key;
  state.kind = "hold";
  state.fingerprint = hand_off.fingerprint;
  std::string why;
  std::unique_ptr<HoldServer> server = HoldServer::Listen(hand_off.socket, state, &why);
  if (!server) return false;
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    ::unlink(hand_off.socket.c_str());
    return false;
  }
  if (child > 0) {
    // The child holds the port and the phone's mode now: nothing of the
    // session is closed here.
    ::_exit(status);
  }

  // The holder: a session of its own (no terminal's signals), the standard
  // descriptors on /dev/null between commands, the root as its folder (no
  // file system kept busy).
  ::setsid();
  const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int i = 0; i < 3; ++i) ::dup2(nothing, i);
  ::close(nothing);
  (void)!::chdir("/");
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_IGN;
  for (int s : {SIGINT, SIGHUP, SIGPIPE, SIGQUIT}) ::sigaction(s, &action, nullptr);
  action.sa_handler = OnHolderSignal;
  ::sigaction(SIGTERM, &action, nullptr);

  server->OnInterrupt(StopHeldCommand);
  server->Start();
  double idle = hand_off.hold_seconds;
  // A phone that went away while held is said to the next command, which
  // opens afresh.
  auto lost = [&] {
    if (!session->LineLost()) return false;
    std::ofstream(LostNote(hand_off.socket))
        << hand_off.key << ": the phone went away while its connection was held; opening afresh\n";
    return true;
  };
  while (std::optional<HeldRequest> request = server->Next(idle, [&] { return !lost(); })) {
    if (request->release || lost()) break;
    const int code = ServeHeld(*request, *session, &idle, server.get());
    // A command the link failed (the phone stopped answering, a cable
    // pulled where nothing tells) is not followed on the same connection:
    // the next command opens afresh and finds out whether a phone is there.
    if (!session->IsOpen() || code == kExitLink) {
      server->Done(*request, code);
      break;
    }
    // Without a hold time the phone is back in AT mode before the command
    // is said done, as with a connection of its own.
    if (idle <= 0) session->Close();
    server->Done(*request, code);
    if (idle <= 0) break;
  }
  server->Closing();
  session->Close();
  server->Stop();
  server.reset();
  std::fflush(nullptr);
  ::_exit(0);
}

}  // namespace quorvalen::tool
