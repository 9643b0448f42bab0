// The file command line: what every subcommand shares. A subcommand is a
// function of a Cli (where its output goes, how it reports progress, the
// one session of the invocation and the files layer over it, opened on
// first use) and its own arguments, and returns the exit code.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "phone_files.h"
#include "quorvalen/session.h"

namespace CLI {
class App;
}

namespace quorvalen::tool {

// Exit codes, as the command line documents them.
enum ExitCode : int {
  kExitDone = 0,
  kExitRefused = 1,  // the phone refused (its answer named)
  kExitUsage = 2,    // usage, or a name that cannot be sent
  kExitLink = 3,     // the link failed: no port, no phone, time-out
  kExitLocal = 4,    // a local file could not be read or written
  kExitInterrupted = 130,
};

class Cli {
 public:
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool quiet = false;
  bool verbose = false;
  // Progress lines on err (a terminal, and not quiet).
  bool show_progress = false;
  // The session is a held one: what its opening found was said then.
  bool held = false;
  // Opens the session of this invocation; called once, on first use. A
  // command run by a holder is given the held session instead, which it
  // does not close.
  std::function<std::shared_ptr<Session>()> open;

  Session& Phone();
  // The phone's files. A command keeps what it listed until the next
  // command begins (NextCommand); nothing is kept from one to the next.
  // Names the phone should not have sent are reported on err, once per
  // listing.
  PhoneFiles& Files();
  void CloseSession() {
    files_.reset();
    session_.reset();
  }
  bool HasSession() const { return session_ != nullptr; }
  // The session, if one was opened, handed over to whoever keeps it now
  // (a holder); the files layer over it goes.
  std::shared_ptr<Session> TakeSession() {
    files_.reset();
    return std::move(session_);
  }
  // A session that closed itself (the phone went away) is let go: the next
  // use opens a new one.
  void DropClosedSession() {
    if (session_ && !session_->IsOpen()) CloseSession();
  }
  // The shell's next command sees the phone as it is now.
  void NextCommand() {
    if (files_) files_->BeginCommand();
  }
  // Drops a folder's listing, to see the phone afresh.
  void Forget(const std::string& folder) {
    if (files_) files_->Forget(folder);
  }

  // "quorvalen: what" on err.
  void Error(const std::string& what);
  // A note on err unless quiet.
  void Note(const std::string& what);
  // Reports a session error and returns its exit code.
  int Fail(const SessionError& e, const std::string& context = {});
  // A progress callback for one transfer; it also stops the transfer when
  // the user interrupts.
  Progress ProgressFor(const std::string& name, uint64_t total);
  // Ends a progress line that was drawn.
  void EndProgress();

 private:
  std::shared_ptr<Session> session_;
  std::unique_ptr<PhoneFiles> files_;
  bool progress_drawn_ = false;
};

// The SIM's lock: a PIN or PUK wanted, or the PIN refused.
bool WantsPin(const SessionError& e);

// A run of many steps (a copy of several files, of a folder tree): a
// failure that stops nothing else is reported and kept as the exit code,
// and the steps go on; a failed link or an interrupt ends the run.
class CopyRun {
 public:
  explicit CopyRun(Cli& cli) : cli_(cli) {}
  // False when the run must stop.
  template <typename Work>
  bool Step(const std::string& what, Work work) {
    try {
      work();
      return true;
    } catch (const SessionError& e) {
      const int code = cli_.Fail(e, what);
      Keep(code);
      // A SIM that wants its PIN (or refused it) refuses every step alike;
      // each further try could cost one of its three attempts.
      if (WantsPin(e)) return false;
      return code == kExitRefused || code == kExitUsage;
    } catch (const std::exception& e) {
      return Local(e.what());
    }
  }
  // A local failure: reported, kept, and the run goes on.
  bool Local(const std::string& what) {
    cli_.Error(what);
    Keep(kExitLocal);
    return true;
  }
  void Keep(int code) {
    if (!status) status = code;
  }
  int status = kExitDone;

 protected:
  Cli& cli_;
};

int ExitCodeOf(SessionErrorKind kind);
// cp's reading of arguments: with one, that one and the fallback
// destination; with more, all but the last and the last.
std::pair<std::vector<std::string>, std::string> SourcesAndDestination(
    const std::vector<std::string>& args, const std::string& fallback);
// Where a folder copied with -r goes, decided by how the command is spelt
// and never by what exists already, so the same command run again after an
// interruption lands in the same place: inside the destination under the
// folder's own name when the destination is spelt as a folder ("backup/",
// ".", "..", or several sources), else the destination is the copy itself
// (made when missing, filled when there).
bool FolderGoesInside(size_t sources, const std::string& destination);
// Set by SIGINT: transfers stop at their next progress report.
bool Interrupted();
// A holder's client asked to stop (or went away): as SIGINT, without the
// signal's own exit.
void StopFromOutside();
// A holder's shell whose client went away ends.
void ShellClientGone();
bool IsShellClientGone();
// Whether a GET is writing its local file (a Ctrl-C then stops it at its
// next packet; otherwise a command quits at once).
bool TransferInFlight();
void InstallInterruptHandler();
// For the shell: Ctrl-C stops the command at work and is then forgotten.
void ShellInterrupts();
void ClearInterrupted();
// The temporary file a GET is writing, removed if the process is killed.
void RegisterPartialFile(const std::string& path);

// A folder of the tool's own (the tour's), made from a mkdtemp pattern and
// removed with all it holds when it goes, also when the process is
// interrupted: a signal removes the files named to it beforehand (a
// handler cannot read a folder) and then the folder.
class ScratchFolder {
 public:
  explicit ScratchFolder(std::string pattern);  // throws std::runtime_error
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& Path() const { return path_; }
  // The path of a file to be made in it, removed on an interrupt too.
  std::string File(const std::string& name);

 private:
  std::string path_;
};

// "1.4 MiB", "512 B".
std::string HumanSize(uint64_t bytes);

// The subcommands. args are the positional arguments after the subcommand.
struct LsOptions {
  bool long_form = false;
  bool json = false;
  bool human = false;  // -l sizes as "1.4 MiB"
};
int RunLs(Cli& cli, const std::vector<std::string>& paths, const LsOptions& options);

struct CopyOptions {
  bool recursive = false;
  bool skip_existing = false;
  bool force = false;
};
int RunGet(Cli& cli, const std::vector<std::string>& args, const CopyOptions& options);
int RunPut(Cli& cli, const std::vector<std::string>& args, const CopyOptions& options);

struct RmOptions {
  bool recursive = false;  // folders with all they hold (never the top folder)
  bool force = false;      // a path that is not there is no error
};
int RunRm(Cli& cli, const std::vector<std::string>& paths, const RmOptions& options = {});
int RunMkdir(Cli& cli, const std::vector<std::string>& paths, bool parents);
int RunMv(Cli& cli, const std::string& from, const std::string& to);
int RunChmod(Cli& cli, const std::string& permissions, const std::vector<std::string>& paths);
int RunDf(Cli& cli, bool json = false);
int RunInfo(Cli& cli);
int RunAt(Cli& cli, const std::vector<std::string>& lines);
// action: get, set, unset, list or path.
int RunConfig(Cli& cli, const std::string& action, const std::vector<std::string>& args);
// path "-" reads standard input.
int RunTrace(Cli& cli, const std::string& path);

// quorvalen sms and quorvalen contacts.
struct SmsOptions {
  std::string memory = "all";
  bool json = false;
  std::string format = "xml";
  std::string file;
  std::vector<std::string> indexes;
  std::string exported;
  std::string number;
  std::optional<std::string> text;
  bool unicode = false;
  bool dry_run = false;
};
int RunSmsLs(Cli& cli, const SmsOptions& options);
int RunSmsExport(Cli& cli, const SmsOptions& options);
int RunSmsRm(Cli& cli, const SmsOptions& options);
// Sends the text, or with draft stores it unsent.
int RunSmsSend(Cli& cli, const SmsOptions& options, bool draft);

struct ContactOptions {
  std::string memory = "all";
  bool json = false;
  std::string file;
  std::vector<std::string> indexes;
};
int RunContactsLs(Cli& cli, const ContactOptions& options);
int RunContactsExport(Cli& cli, const ContactOptions& options);
int RunContactsImport(Cli& cli, const ContactOptions& options);
int RunContactsRm(Cli& cli, const ContactOptions& options);
// "" for every memory ("all"), else the memory named.
std::string MemoryOf(const std::string& option);
// Text for a terminal: control characters (C0, DEL, C1) as U+FFFD.
std::string Printable(const std::string& text);
// Slots named as "3", "3,4,5" or "ME:3" (memory the default); throws
// SessionError kBadName.
std::vector<std::pair<std::string, int>> SlotArguments(const std::vector<std::string>& args,
                                                       const std::string& memory);

// The subcommands that work on the phone, shared by the command line and
// the shell: Add defines them on an app, Run runs the one that was given
// (nothing when none was).
struct FileCommands {
  void Add(CLI::App& app);
  std::optional<int> Run(Cli& cli);
  // Whether one of them was given.
  bool Given() const;

  CLI::App *ls = nullptr, *get = nullptr, *put = nullptr, *rm = nullptr, *mkdir = nullptr,
           *mv = nullptr, *chmod = nullptr, *df = nullptr, *info = nullptr, *at = nullptr;
  CLI::App *sms = nullptr, *sms_ls = nullptr, *sms_export = nullptr, *sms_rm = nullptr,
           *sms_send = nullptr, *sms_write = nullptr;
  CLI::App *contacts = nullptr, *contacts_ls = nullptr, *contacts_export = nullptr,
           *contacts_import = nullptr, *contacts_rm = nullptr;
  SmsOptions sms_options;
  ContactOptions contact_options;
  LsOptions ls_options;
  RmOptions rm_options;
  bool df_json = false;
  CopyOptions copy;
  std::vector<std::string> paths, files, lines;
  bool parents = false;
  std::string from, to, permissions;
};
class HoldServer;
// quorvalen shell: commands read line by line on the cli's one session.
// At a terminal, commands of other processes on the port (server, if
// given) run on the same session while the shell waits for a line.
int RunShell(Cli& cli, HoldServer* server = nullptr);
// The shell's commands from in, one line each, without a prompt; returns
// the last command's exit code.
int RunShellScript(Cli& cli, std::istream& in);
// A subcommand with its example as footer.
CLI::App* Example(CLI::App* sub, const std::string& text);

class HoldServer;
// Called by main: this process may leave a holder behind when its command
// ends (the process forks, and the parent exits). Commands run in-process
// (by the tour's steps, by tests) never do.
void MayLeaveHolder();
// A command run by a holder on its held session.
struct Served {
  Session* session = nullptr;
  // The holder's socket, which a shell it runs serves while it waits.
  HoldServer* server = nullptr;
  // Out: the hold time the command asks for (--hold, the setting Hold).
  std::optional<double> hold_seconds;
  // Tells the client its exit code before the command ends: a mount's
  // client returns once the phone is mounted. Only on the holder's own
  // turn (with server), never while a shell or mount serves others.
  std::function<void(int exit_code)> done;
};

// The whole command line (args without the program's name); returns the
// exit code. served: the command is a holder's, on the held session.
int RunCommandLine(const std::vector<std::string>& args, Served* served = nullptr);

}  // namespace quorvalen::tool
