// quorvalen shell: the file subcommands on one held connection, with a
// current remote folder. At a terminal, lines are edited with libedit
// (BSD-licensed, with readline's interface: history, and completion of the
// phone's names from the files layer's listings); otherwise commands are
// read from standard input, one per line, so the shell can be scripted.
#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

// libedit's readline interface
#include <editline/readline.h>

#include "cli.h"
#include "hold.h"

namespace quorvalen::tool {
namespace {

constexpr char kHelp[] =
    "Commands (the phone's paths are taken from the current folder; see quorvalen CMD --help):\n"
    "  cd [FOLDER]                 change the phone's current folder (default /)\n"
    "  pwd                         show it\n"
    "  ls [-l] [-h] [--json] [PATH...]  list folders of the phone\n"
    "  get [-r] [--skip-existing] [-f] REMOTE... [LOCAL]   copy from the phone\n"
    "  put [-r] [--skip-existing] [-f] LOCAL... [REMOTE]   copy to the phone\n"
    "  rm [-r] [-f] PATH...        remove files or folders (-r with all they hold)\n"
    "  mkdir [-p] PATH...          make folders\n"
    "  mv FROM TO                  rename within a folder\n"
    "  chmod LETTERS PATH...       set the phone's permission letters (R, W, D)\n"
    "  df [--json] | info | at LINE...   memory, identity, AT command lines\n"
    "  sms ls|export|rm|send|write the phone's short messages\n"
    "  contacts ls|export|import|rm  its phonebook\n"
    "  lcd [DIR] | lls [DIR]       change or list the local folder (~: the home folder;\n"
    "                              on the phone / is the top, there is no ~)\n"
    "  help | exit                 this text | leave (also Ctrl-D)\n"
    "Several commands on one line are separated by ';'.\n";

// Splits a line into commands (at ';') and words: quotes '...' and "..."
// and backslash escapes as in a shell. A leading ~ stays: only where a word
// names a local file is it the home folder (Local). False for an unclosed
// quote.
bool SplitLine(const std::string& line, std::vector<std::vector<std::string>>& commands) {
  commands.assign(1, {});
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote) {
      if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
        word += line[++i];
      } else {
        word += c;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
      in_word = true;
    } else if (c == '\\' && i + 1 < line.size()) {
      word += line[++i];
      in_word = true;
    } else if (c == ' ' || c == '\t' || c == ';') {
      if (in_word) commands.back().push_back(std::move(word));
      word.clear();
      in_word = false;
      if (c == ';') commands.emplace_back();
    } else if (c == '#' && !in_word) {
      break;  // a comment to the end of the line
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) commands.back().push_back(std::move(word));
  return quote == 0;
}

// "~" or "~/...": the home folder at the start of a word.
bool Tilde(const std::string& word) { return word == "~" || word.rfind("~/", 0) == 0; }

class Shell {
 public:
  explicit Shell(Cli& cli) : cli_(cli) {}

  // One command's words; returns its exit code, or nothing for exit.
  std::optional<int> Run(std::vector<std::string> words) {
    if (words.empty()) return status_;
    const std::string& name = words[0];
    if (name == "exit" || name == "quit") return std::nullopt;
    if (name == "help" || name == "?") {
      std::fputs(kHelp, cli_.out);
      return status_ = kExitDone;
    }
    if (name == "pwd") {
      std::fprintf(cli_.out, "%s\n", cwd_.c_str());
      return status_ = kExitDone;
    }
    if (name == "cd") return status_ = ChangeFolder(words.size() > 1 ? words[1] : "/");
    if (name == "lcd") return status_ = ChangeLocalFolder(words);
    if (name == "lls") return status_ = ListLocal(words);
    return status_ = RunFileCommand(words);
  }

  // A local word: ~ at its start is the home folder.
  static std::string Local(const std::string& word) {
    const char* home = std::getenv("HOME");
    return Tilde(word) && home ? std::string(home).append(word, 1) : word;
  }

  std::string Prompt() const { return "quorvalen:" + cwd_ + "> "; }
  int Status() const { return status_; }
  const std::string& Folder() const { return cwd_; }

  // The phone's path of a word, from the current folder; a trailing '/'
  // (a folder as destination) is kept. ~ is refused: the phone has no home
  // folder, and reading it as / would make "rm -r ~" empty the phone.
  std::string Remote(const std::string& word) const {
    if (word.empty()) throw SessionError(SessionErrorKind::kBadName, "an empty path");
    if (Tilde(word)) {
      throw SessionError(SessionErrorKind::kBadName,
                         word + ": the phone has no home folder (/ is its top; ./" + word +
                             " names a file called so)");
    }
    const std::string joined = !word.empty() && word[0] == '/' ? word : cwd_ + "/" + word;
    std::string path = JoinRemotePath(SplitRemotePath(joined));
    if (word.size() > 1 && word.back() == '/' && path != "/") path += '/';
    return path;
  }

 private:
  int ChangeFolder(const std::string& word) {
    try {
      const std::string path = Remote(word);
      std::optional<RemoteEntry> entry = cli_.Files().Find(path);
      if (!entry) {
        cli_.Error("cd: " + path + ": no such folder");
        return kExitRefused;
      }
      if (!entry->folder) {
        cli_.Error("cd: " + path + ": not a folder");
        return kExitUsage;
      }
      cwd_ = JoinRemotePath(SplitRemotePath(path));
      return kExitDone;
    } catch (const SessionError& e) {
      return Failed(e, "cd");
    }
  }

  int ChangeLocalFolder(const std::vector<std::string>& words) {
    const char* home = std::getenv("HOME");
    const std::string dir = words.size() > 1 ? Local(words[1]) : home ? home : "/";
    if (::chdir(dir.c_str()) != 0) {
      cli_.Error("lcd: " + dir + ": " + std::strerror(errno));
      return kExitLocal;
    }
    return kExitDone;
  }

  int ListLocal(const std::vector<std::string>& words) {
    const std::string dir = words.size() > 1 ? Local(words[1]) : ".";
    std::error_code error;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
      names.push_back(entry.path().filename().string() + (entry.is_directory() ? "/" : ""));
    }
    if (error) {
      cli_.Error("lls: " + dir + ": " + error.message());
      return kExitLocal;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) std::fprintf(cli_.out, "%s\n", name.c_str());
    return kExitDone;
  }

  // The subcommands, parsed as on the command line; their phone paths are
  // taken from the current folder first.
  int RunFileCommand(const std::vector<std::string>& words) {
    CLI::App app{"", "quorvalen shell"};
    app.require_subcommand(1, 1);
    FileCommands commands;
    commands.Add(app);
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
      app.parse(reversed);
    } catch (const CLI::ParseError& e) {
      if (e.get_exit_code() != 0 && !app.get_subcommands().empty()) {
        cli_.Error(words[0] + ": " + e.what() + " (" + words[0] + " --help)");
        return kExitUsage;
      }
      if (e.get_exit_code() != 0) {
        cli_.Error(words[0] + ": no such command (help lists them)");
        return kExitUsage;
      }
      app.exit(e);  // --help
      return kExitDone;
    }
    try {
      auto remote = [this](std::vector<std::string>& list) {
        for (std::string& word : list) word = Remote(word);
      };
      if (*commands.ls) {
        if (commands.paths.empty()) commands.paths.push_back(cwd_);
        remote(commands.paths);
      } else if (*commands.rm || *commands.mkdir || *commands.chmod) {
        remote(commands.paths);
      } else if (*commands.get) {
        // All but a last local destination are the phone's.
        auto& f = commands.files;
        for (size_t i = 0; i + (f.size() > 1 ? 1 : 0) < f.size(); ++i) f[i] = Remote(f[i]);
        if (f.size() > 1) f.back() = Local(f.back());
      } else if (*commands.put) {
        auto& f = commands.files;
        if (f.size() == 1) {
          f.push_back(cwd_ == "/" ? "/" : cwd_ + "/");
        } else {
          f.back() = Remote(f.back());
        }
        for (size_t i = 0; i + 1 < f.size(); ++i) f[i] = Local(f[i]);
      } else if (*commands.mv) {
        commands.from = Remote(commands.from);
        if (commands.to.find('/') != std::string::npos) commands.to = Remote(commands.to);
      }
    } catch (const SessionError& e) {
      return Failed(e, words[0]);
    }
    for (std::string* file : {&commands.sms_options.file, &commands.sms_options.exported,
                              &commands.contact_options.file}) {
      *file = Local(*file);
    }
    ClearInterrupted();
    // Every command sees the phone as it is now (not as completion or cd
    // listed it); a connection that was lost is opened again by the next.
    cli_.NextCommand();
    const int status = commands.Run(cli_).value_or(kExitUsage);
    cli_.DropClosedSession();
    return status;
  }

  int Failed(const SessionError& e, const std::string& what) {
    const int status = cli_.Fail(e, what);
    cli_.DropClosedSession();
    return status;
  }

  Cli& cli_;
  std::string cwd_ = "/";
  int status_ = kExitDone;
};

// Completion at the terminal: commands first, then the phone's names (the
// local ones after lcd and lls).
// The line editor calls back into C++ through plain functions: what they
// work on is this one global, set while the shell reads from a terminal.
struct Completion {
  Shell* shell = nullptr;
  Cli* cli = nullptr;
  std::vector<std::string> matches;
};
Completion g_completion;

char* NextMatch(const char*, int state) {
  static size_t next;
  if (state == 0) next = 0;
  if (next >= g_completion.matches.size()) return nullptr;
  return ::strdup(g_completion.matches[next++].c_str());
}

// The matches for the word at start; false when the line editor's own
// completion of local names is the one wanted.
bool CollectMatches(const char* text, int start) {
  std::vector<std::string>& matches = g_completion.matches;
  const std::string typed(text);
  const std::string before(rl_line_buffer, static_cast<size_t>(start));
  const size_t command_start =
      before.find_last_of(';') == std::string::npos ? 0 : before.find_last_of(';') + 1;
  std::vector<std::vector<std::string>> words;
  SplitLine(before.substr(command_start), words);
  if (words.empty() || words[0].empty()) {
    for (const char* name : {"cd", "pwd", "ls", "get", "put", "rm", "mkdir", "mv", "chmod", "df",
                             "info", "at", "sms", "contacts", "lcd", "lls", "help", "exit"}) {
      if (std::string(name).rfind(typed, 0) == 0) matches.push_back(name);
    }
  } else if (words[0][0] == "lcd" || words[0][0] == "lls") {
    return false;
  } else {
    const size_t slash = typed.rfind('/');
    const std::string folder_part = slash == std::string::npos ? "" : typed.substr(0, slash + 1);
    const std::string prefix = slash == std::string::npos ? typed : typed.substr(slash + 1);
    try {
      const std::string folder =
          g_completion.shell->Remote(folder_part.empty() ? "." : folder_part);
      for (const RemoteEntry& entry : g_completion.cli->Files().List(folder).entries) {
        if (entry.name.rfind(prefix, 0) == 0) {
          // Completed into the line as the shell reads it back.
          std::string escaped;
          for (char c : entry.name) {
            if (c == ' ' || c == '\'' || c == '"' || c == '\\' || c == ';' || c == '#')
              escaped += '\\';
            escaped += c;
          }
          matches.push_back(folder_part + escaped + (entry.folder ? "/" : ""));
        }
      }
    } catch (const SessionError&) {
      g_completion.cli->DropClosedSession();
    }
  }
  return true;
}

// While the shell waits for a character of the next line, commands that
// other processes sent to the port's socket run on the shell's session,
// one at a time; the line being typed waits in the editor meanwhile.
HoldServer* g_serving = nullptr;
// The shell is a holder's, on a client's terminal: the client's Ctrl-C
// reaches it as the interrupt flag, not as a signal.
bool g_held_shell = false;

int ServingGetc(FILE* in) {
  const int fd = ::fileno(in);
  for (;;) {
    if (IsShellClientGone()) return EOF;
    if (g_held_shell && Interrupted()) return EOF;  // a fresh line, as Ctrl-C at the prompt
    if (g_serving && g_serving->Waiting()) {
      if (std::optional<HeldRequest> request = g_serving->Next(0, {})) {
        int code = kExitLink;
        try {
          double ignored = 0;
          code = ServeHeld(*request, g_completion.cli->Phone(), &ignored);
        } catch (const SessionError& e) {
          dprintf(request->fds[2], "quorvalen: %s\n", e.what());
          g_completion.cli->DropClosedSession();
        }
        // What the command changed is listed afresh.
        g_completion.cli->NextCommand();
        g_serving->Done(*request, code);
      }
      continue;
    }
    pollfd typed{fd, POLLIN, 0};
    const int ready = ::poll(&typed, 1, g_serving ? 100 : -1);
    if (ready < 0 && errno != EINTR) return EOF;
    if (ready < 0) return EOF;  // a signal: Ctrl-C at the prompt
    if (ready == 0) continue;
    unsigned char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) return EOF;
    return EOF;
  }
}

// Called by the line editor (C): nothing may cross back into it.
char** Complete(const char* text, int start, int) {
  std::vector<std::string>& matches = g_completion.matches;
  matches.clear();
  try {
    if (!CollectMatches(text, start)) return nullptr;
  } catch (...) {
    matches.clear();  // no completion rather than a crash at the prompt
  }
  rl_attempted_completion_over = 1;
  rl_completion_append_character = matches.size() == 1 && matches[0].back() == '/' ? '\0' : ' ';
  return matches.empty() ? nullptr : rl_completion_matches(text, NextMatch);
}

// One line of commands; false when one of them was exit.
bool RunLine(Cli& cli, Shell& shell, const std::string& line) {
  std::vector<std::vector<std::string>> commands;
  if (!SplitLine(line, commands)) {
    cli.Error("a quote is not closed: " + line);
    return true;
  }
  for (auto& words : commands) {
    if (!shell.Run(words)) return false;
  }
  std::fflush(cli.out);
  return true;
}

}  // namespace

int RunShellScript(Cli& cli, std::istream& in) {
  Shell shell(cli);
  for (std::string line; std::getline(in, line);) {
    if (!RunLine(cli, shell, line)) break;
  }
  return shell.Status();
}

int RunShell(Cli& cli, HoldServer* server) {
  // A holder's shell takes its Ctrl-C from its client; the holder keeps
  // its own signals.
  if (!cli.held) {
    ShellInterrupts();
    InstallInterruptHandler();
  }
  if (!::isatty(STDIN_FILENO)) return RunShellScript(cli, std::cin);
  g_held_shell = cli.held;
  ClearInterrupted();
  Shell shell(cli);
  g_completion.shell = &shell;
  g_completion.cli = &cli;
  g_serving = server;
  rl_getc_function = ServingGetc;
  rl_attempted_completion_function = Complete;
  std::fprintf(cli.err, "quorvalen shell: help lists the commands, exit (or Ctrl-D) leaves\n");
  while (true) {
    char* read = readline(shell.Prompt().c_str());
    if (!read && IsShellClientGone()) break;
    if (!read && Interrupted()) {  // Ctrl-C at the prompt: a fresh line
      ClearInterrupted();
      std::fputc('\n', cli.out);
      continue;
    }
    if (!read) {
      std::fputc('\n', cli.out);
      break;
    }
    const std::string line = read;
    std::free(read);
    if (!line.empty()) add_history(line.c_str());
    if (!RunLine(cli, shell, line)) break;
  }
  return shell.Status();
}

}  // namespace quorvalen::tool
