// What the subcommands share: the session opened on first use, messages,
// exit codes, the progress line and the interrupt.
#include "cli.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace quorvalen::tool {
namespace {

std::atomic<bool> g_interrupted{false};
// The temporary file being written, for the signal handler (which may only
// call unlink on a path it already has).
char g_partial[4096];

// The scratch folder's paths, removed by a signal in reverse order (files
// first, the folder last).
char g_scratch[8][4096];
std::atomic<int> g_scratch_count{0};

// Paths change only with the signals blocked, so that the handler never
// sees half of one.
template <typename Change>
void Blocked(Change change) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  change();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// In the shell Ctrl-C stops the command at work, never the shell.
std::atomic<bool> g_in_shell{false};

void OnSignal(int signal) {
  if (signal == SIGINT && g_in_shell) {
    g_interrupted = true;
    return;
  }
  if (g_partial[0]) ::unlink(g_partial);
  const bool transfer = g_partial[0] != '\0';
  if (signal == SIGINT && transfer && !g_interrupted.exchange(true)) {
    // A transfer in flight stops at its next report and the phone is taken
    // back to AT mode; a second Ctrl-C quits at once.
    static const char kNote[] = "\nquorvalen: stopping (Ctrl-C again to quit at once)\n";
    (void)!::write(STDERR_FILENO, kNote, sizeof kNote - 1);
    return;
  }
  for (int i = g_scratch_count.load() - 1; i >= 0; --i) {
    if (::unlink(g_scratch[i]) != 0) ::rmdir(g_scratch[i]);
  }
  ::_exit(kExitInterrupted);
}

// False when the path does not fit (it is then not removed by a signal).
bool RemoveOnSignal(const std::string& path) {
  const int n = g_scratch_count.load();
  if (n >= 8 || path.size() >= sizeof g_scratch[0]) return false;
  Blocked([&] {
    std::memcpy(g_scratch[n], path.c_str(), path.size() + 1);
    g_scratch_count = n + 1;
  });
  return true;
}

// Whether a message names what its context names already (the session
// puts the path of a name it refuses, or the AT line, in its message), so
// that it is said once: the context as given or as the phone's path, at
// the start or after a space, and ending the message or before a colon.
bool Names(const std::string& message, const std::string& context) {
  std::vector<std::string> forms = {context};
  try {
    forms.push_back(JoinRemotePath(SplitRemotePath(context)));
  } catch (const SessionError&) {
    // not a path the phone could have
  }
  for (const std::string& form : forms) {
    for (size_t at = message.find(form); at != std::string::npos; at = message.find(form, at + 1)) {
      const size_t end = at + form.size();
      if ((at == 0 || message[at - 1] == ' ') && (end == message.size() || message[end] == ':')) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

bool Interrupted() { return g_interrupted.load(); }
void StopFromOutside() { g_interrupted = true; }
namespace {
std::atomic<bool> g_shell_client_gone{false};
}
void ShellClientGone() { g_shell_client_gone = true; }
bool IsShellClientGone() { return g_shell_client_gone.load(); }
bool TransferInFlight() { return g_partial[0] != '\0'; }
void ClearInterrupted() { g_interrupted = false; }
void ShellInterrupts() { g_in_shell = true; }

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void RegisterPartialFile(const std::string& path) {
  Blocked([&] {
    const size_t n = std::min(path.size(), sizeof g_partial - 1);
    std::memcpy(g_partial, path.data(), n);
    g_partial[path.size() < sizeof g_partial ? n : 0] = '\0';
  });
}

ScratchFolder::ScratchFolder(std::string pattern) {
  if (!::mkdtemp(pattern.data())) {
    throw std::runtime_error("cannot make a folder " + pattern + ": " + std::strerror(errno));
  }
  path_ = pattern;
  RemoveOnSignal(path_);
}

ScratchFolder::~ScratchFolder() {
  Blocked([] { g_scratch_count = 0; });
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchFolder::File(const std::string& name) {
  const std::string path = path_ + "/" + name;
  RemoveOnSignal(path);  // after the folder: removed before it
  return path;
}

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      out += "\xEF\xBF\xBD";
      if (c1) ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool WantsPin(const SessionError& e) {
  if (!e.AtFamily()) return false;
  const int code = e.Code();
  return *e.AtFamily() == AtErrorFamily::kCme
             ? code == 5 || code == 11 || code == 12 || code == 16 || code == 17 || code == 18
             : code == 311 || code == 312 || code == 316 || code == 317 || code == 318;
}

int ExitCodeOf(SessionErrorKind kind) {
  switch (kind) {
    case SessionErrorKind::kRefused:
    case SessionErrorKind::kBadAnswer:
      return kExitRefused;
    case SessionErrorKind::kBadName:
      return kExitUsage;
    case SessionErrorKind::kLocal:
      return kExitLocal;
    case SessionErrorKind::kCancelled:
      return kExitInterrupted;
    case SessionErrorKind::kLink:
    case SessionErrorKind::kTimeout:
    case SessionErrorKind::kNoPhone:
    case SessionErrorKind::kClosed:
      break;
  }
  return kExitLink;
}

std::pair<std::vector<std::string>, std::string> SourcesAndDestination(
    const std::vector<std::string>& args, const std::string& fallback) {
  if (args.size() < 2) return {args, fallback};
  return {std::vector<std::string>(args.begin(), args.end() - 1), args.back()};
}

bool FolderGoesInside(size_t sources, const std::string& destination) {
  if (sources > 1 || destination.empty() || destination.back() == '/') return true;
  const size_t slash = destination.rfind('/');
  const std::string last = destination.substr(slash == std::string::npos ? 0 : slash + 1);
  return last == "." || last == "..";
}

std::string HumanSize(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

Session& Cli::Phone() {
  if (!session_) {
    session_ = open();
    if (!held && !session_->Recovered().empty()) Note(session_->Recovered());
  }
  return *session_;
}

PhoneFiles& Cli::Files() {
  if (!files_) {
    FilesOptions options;
    options.listing_ms = 0;  // an invocation is one command
    options.on_skipped = [this](const std::string& folder, const SkippedEntry& skipped) {
      Error("skipped \"" + skipped.name + "\" in " + folder + ": the name " + skipped.reason);
    };
    files_ = std::make_unique<PhoneFiles>(Phone(), std::move(options));
    files_->BeginCommand();
  }
  return *files_;
}

void Cli::Error(const std::string& what) {
  EndProgress();
  std::fprintf(err, "quorvalen: %s\n", what.c_str());
}

void Cli::Note(const std::string& what) {
  if (quiet) return;
  EndProgress();
  std::fprintf(err, "%s\n", what.c_str());
}

int Cli::Fail(const SessionError& e, const std::string& context) {
  // Without a session the failure is the opening's, whatever was asked.
  std::string what = e.what();
  if (e.AtFamily() == AtErrorFamily::kCme && e.Code() == 11) {
    what += " (give it with --pin PIN or QUORVALEN_PIN)";
  }
  Error(context.empty() || !session_ || Names(what, context) ? what : context + ": " + what);
  return ExitCodeOf(e.Kind());
}

Progress Cli::ProgressFor(const std::string& name, uint64_t total) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto last = start - std::chrono::seconds(1);
  return [this, name, total, start, last](uint64_t done, uint64_t known_total) mutable {
    if (Interrupted()) return false;
    if (!show_progress) return true;
    const auto now = Clock::now();
    const uint64_t all = known_total ? known_total : total;
    if (now - last < std::chrono::milliseconds(100) && done != all) return true;
    last = now;
    const double seconds = std::chrono::duration<double>(now - start).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    std::string line = name;
    if (all) line += "  " + std::to_string(done * 100 / all) + "%";
    line += "  " + HumanSize(done);
    if (all) line += " / " + HumanSize(all);
    if (rate > 0) line += "  " + HumanSize(static_cast<uint64_t>(rate)) + "/s";
    if (all && rate > 0 && done < all) {
      const auto left = static_cast<uint64_t>((all - done) / rate);
      char eta[32];
      std::snprintf(eta, sizeof eta, "  %llu:%02llu", static_cast<unsigned long long>(left / 60),
                    static_cast<unsigned long long>(left % 60));
      line += eta;
    }
    std::fprintf(err, "\r%s\033[K", line.c_str());
    std::fflush(err);
    progress_drawn_ = true;
    return true;
  };
}

void Cli::EndProgress() {
  if (!progress_drawn_) return;
  std::fputc('\n', err);
  progress_drawn_ = false;
}

}  // namespace quorvalen::tool
