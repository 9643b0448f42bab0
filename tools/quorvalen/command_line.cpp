// The command line's options and subcommands. The global options may stand
// before or after the subcommand; the operations of one invocation share
// one connection.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "cli.h"
#include "connection.h"
#include "console.h"
#include "hold.h"
#include "mount.h"
#include "quorvalen/version.h"

namespace quorvalen::tool {
int Tour(bool console);

// A number from min to max, with a plain answer when it is not one (and no
// infinity or NaN that would overflow a duration later).
CLI::Validator NumberIn(int64_t min, int64_t max, const std::string& unit) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(value) ||
            value < static_cast<double>(min) || value > static_cast<double>(max)) {
          return "\"" + text + "\" is not a number of " + unit + " from " + std::to_string(min) +
                 " to " + std::to_string(max);
        }
        return {};
      },
      unit);
}

// A parse error in one line, with the subcommand it concerns: "get: files
// is required (quorvalen get --help)". A word that is no subcommand is
// named as typed (the parser's own message lists the extras reversed).
std::string UsageError(const CLI::App& app, const CLI::ParseError& e,
                       const std::vector<std::string>& args) {
  // The deepest subcommand given, and the first word left over from the
  // top down, with the command it was left at.
  std::vector<const CLI::App*> chain = {&app};
  while (!chain.back()->get_subcommands().empty()) {
    chain.push_back(chain.back()->get_subcommands().back());
  }
  auto command_of = [&](size_t depth) {
    std::string command;
    for (size_t i = 1; i <= depth; ++i) command += (i > 1 ? " " : "") + chain[i]->get_name();
    return command;
  };
  auto said = [&](size_t depth, const std::string& what) {
    const std::string command = command_of(depth);
    const std::string help =
        command.empty() ? "(quorvalen --help)" : "(quorvalen " + command + " --help)";
    return (command.empty() ? "" : command + ": ") + what + " " + help;
  };
  // Words the subcommands do not take fall through to the top: a word
  // before the first subcommand is no command; one after it belongs to the
  // deepest subcommand.
  auto position = [&](const std::string& word) {
    return std::find(args.begin(), args.end(), word) - args.begin();
  };
  for (size_t depth = 0; depth < chain.size(); ++depth) {
    const std::vector<std::string> left = chain[depth]->remaining();
    if (left.empty()) continue;
    const std::string& word = left.front();
    size_t owner = chain.size() - 1;
    if (chain.size() == 1 || position(word) < position(chain[1]->get_name())) owner = 0;
    if (!chain[owner]->get_subcommands([](const CLI::App*) { return true; }).empty()) {
      return said(owner, "no such command: " + word);
    }
    if (dynamic_cast<const CLI::ExtrasError*>(&e))
      return said(owner, "unexpected argument: " + word);
  }
  // An option's own error ("--hold: ...") is said by the command that has
  // the option: a global one by quorvalen itself.
  const std::string what = e.what();
  const std::string option = what.substr(0, what.find(':'));
  size_t depth = chain.size() - 1;
  while (depth > 0 && option.rfind('-', 0) == 0 && !chain[depth]->get_option_no_throw(option)) {
    --depth;
  }
  return said(option.rfind('-', 0) == 0 && chain[depth]->get_option_no_throw(option)
                  ? depth
                  : chain.size() - 1,
              what);
}

CLI::App* Example(CLI::App* sub, const std::string& text) {
  sub->footer("Example:\n  " + text);
  return sub;
}

void FileCommands::Add(CLI::App& app) {
  auto example = Example;
  ls = example(app.add_subcommand("ls", "list a folder of the phone (default /)"),
               "quorvalen --port /dev/ttyUSB0 ls -l /Pictures");
  ls->add_option("path", paths, "folders or files on the phone");
  ls->add_flag("-l", ls_options.long_form, "permissions, size, date and name");
  ls->add_flag("--json", ls_options.json, "a JSON array of the entries, each with its path");
  // ls's -h and -a, as coreutils has them (help is --help alone).
  ls->set_help_flag("--help", "print this help message and exit");
  ls->add_flag("-h,--human-readable", ls_options.human, "with -l, sizes as 1.4 MiB");
  ls->add_flag("-a,--all")->description("every entry (the phone hides none: the same as without)");

  get = example(
      app.add_subcommand("get", "copy files from the phone: get REMOTE... [LOCAL|-]"),
      "quorvalen get /Pictures/Holiday/beach.jpg /Pictures/logo.png ~/Photos/   (several into a "
      "folder)\n"
      "  quorvalen get -r /Pictures backup   (backup holds what /Pictures holds; backup/ would "
      "hold Pictures)\n"
      "  quorvalen get -r --skip-existing /Pictures backup   (the same again resumes an "
      "interrupted copy)");
  get->add_option("files", files, "remote files, then the local destination")->required();
  get->add_flag("-r,--recursive", copy.recursive, "copy folders whole");
  get->add_flag("--skip-existing", copy.skip_existing, "leave files of the same size alone");
  get->add_flag("-f,--force", copy.force, "replace existing local files");

  put = example(
      app.add_subcommand("put", "copy files to the phone: put LOCAL... [REMOTE]"),
      "quorvalen put notes.txt /Documents/   (cat song.mp3 | quorvalen put - /Music/song.mp3)");
  put->add_option("files", files, "local files, then the destination on the phone")->required();
  put->add_flag("-r,--recursive", copy.recursive, "copy folders whole");
  put->add_flag("--skip-existing", copy.skip_existing,
                "leave files the phone has with the same size alone");
  put->add_flag("-f,--force", copy.force, "replace existing files on the phone");

  rm = example(app.add_subcommand("rm", "remove files or empty folders"),
               "quorvalen rm /Documents/old.txt");
  rm->add_option("path", paths, "files or empty folders on the phone")->required();
  rm->add_flag("-r,-R,--recursive", rm_options.recursive,
               "folders with all they hold (never the top folder)");
  rm->add_flag("-f,--force", rm_options.force, "no error for a path that is not there");

  mkdir =
      example(app.add_subcommand("mkdir", "make folders"), "quorvalen mkdir -p /Music/Albums/2026");
  mkdir->add_option("path", paths, "folders to make")->required();
  mkdir->add_flag("-p,--parents", parents, "make missing parents too; no error if it exists");

  mv = example(app.add_subcommand("mv", "rename a file or folder (within its folder)"),
               "quorvalen mv /Documents/draft.txt final.txt");
  mv->add_option("from", from, "what to rename")->required();
  mv->add_option("to", to, "the new name (or path in the same folder)")->required();

  chmod = example(app.add_subcommand("chmod", "set the phone's permission letters"),
                  "quorvalen chmod R /Documents/keep.txt   (R read, W write, D delete)");
  chmod->add_option("permissions", permissions, "letters such as R, RW, RWD")->required();
  chmod->add_option("path", paths, "files or folders")->required();

  df = example(app.add_subcommand("df", "the phone's memory: size, used, free"), "quorvalen df");
  df->set_help_flag("--help", "print this help message and exit");
  df->add_flag("-h,--human-readable")->description("sizes as 1.4 MiB (always so)");
  df->add_flag("--json", df_json, "size, used and free in bytes, as a JSON object");
  info = example(
      app.add_subcommand("info", "who the phone is: identity, battery, signal, memory, family"),
      "quorvalen --port /dev/ttyACM0 info");

  at = example(app.add_subcommand("at", "send AT command lines, print the answers"),
               "quorvalen at AT+CGMM AT+CBC");
  at->add_option("lines", lines, "AT command lines")->required();

  // A memory as the phone names it ("SM" the SIM, "ME" the phone), or all.
  const CLI::Validator memory_name(
      [](std::string& text) -> std::string {
        const bool letters =
            !text.empty() && text.size() <= 8 && std::all_of(text.begin(), text.end(), [](char c) {
              return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
            });
        if (!letters) return "\"" + text + "\" is not a memory (SM, ME or all)";
        if (text != "all") {
          for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return {};
      },
      "SM|ME|all");

  sms = app.add_subcommand("sms", "the phone's short messages: ls, export, rm, send, write");
  sms->require_subcommand(1);
  SmsOptions& so = sms_options;
  sms_ls = example(sms->add_subcommand("ls", "list the messages (long ones joined)"),
                   "quorvalen sms ls --memory SM");
  sms_ls->add_option("--memory", so.memory, "SM (the SIM), ME (the phone) or all (default)")
      ->check(memory_name);
  sms_ls->add_flag("--json", so.json, "a JSON array with every field of each message");
  sms_export = example(
      sms->add_subcommand("export",
                          "write the messages to a file: XML an Android phone "
                          "restores (SMS Backup & Restore), or JSON lines"),
      "quorvalen sms export messages.xml   (then: quorvalen sms rm --exported messages.xml)");
  sms_export->add_option("file", so.file, "the file to write, or - for standard output")
      ->required();
  sms_export->add_option("--format", so.format, "xml (default) or json")
      ->check(CLI::IsMember({"xml", "json"}));
  sms_export->add_option("--memory", so.memory, "SM, ME or all (default)")->check(memory_name);
  sms_rm =
      example(sms->add_subcommand("rm", "delete messages by index, or those an export file holds"),
              "quorvalen sms rm ME:4,5,6   (quorvalen sms rm --exported messages.xml)");
  sms_rm->add_option("index", so.indexes, "slots: 3, 3,4,5 or ME:3 (memory SM unless given)");
  sms_rm->add_option("--exported", so.exported,
                     "delete exactly the messages this export holds (newer ones are kept)");
  sms_rm->add_option("--memory", so.memory, "the memory of plain indexes (default SM)")
      ->check(memory_name);
  for (bool draft : {false, true}) {
    CLI::App* sub =
        draft ? example(sms->add_subcommand("write", "store a message unsent (a draft)"),
                        "quorvalen sms write +491701234567 'Call me back'")
              : example(sms->add_subcommand("send", "send a message (long texts in parts)"),
                        "quorvalen sms send +491701234567 'Running late, 10 min'   "
                        "(echo hi | quorvalen sms send 0170123456 -)");
    sub->add_option("number", so.number, "the telephone number (+ for international)")->required();
    sub->add_option("text", so.text, "the text, or - (or nothing) for standard input");
    sub->add_flag("--unicode", so.unicode, "send as UCS-2 even when 7-bit would do");
    sub->add_flag("--dry-run", so.dry_run, "show the parts and their coding; send nothing");
    if (draft) {
      sub->add_option("--memory", so.memory, "where to store it (default: the phone's choice)")
          ->check(memory_name);
      sms_write = sub;
    } else {
      sms_send = sub;
    }
  }

  contacts = app.add_subcommand("contacts", "the phone's phonebook: ls, export, import, rm");
  contacts->require_subcommand(1);
  ContactOptions& co = contact_options;
  contacts_ls = example(contacts->add_subcommand("ls", "list the phonebook entries"),
                        "quorvalen contacts ls --memory SM");
  contacts_ls->add_option("--memory", co.memory, "SM, ME or all (default)")->check(memory_name);
  contacts_ls->add_flag("--json", co.json, "a JSON array of the entries");
  contacts_export =
      example(contacts->add_subcommand("export", "write the entries as vCards (3.0, UTF-8)"),
              "quorvalen contacts export contacts.vcf");
  contacts_export->add_option("file", co.file, "the .vcf file, or - for standard output")
      ->required();
  contacts_export->add_option("--memory", co.memory, "SM, ME or all (default)")->check(memory_name);
  contacts_import =
      example(contacts->add_subcommand("import", "write the numbers of vCards into free slots"),
              "quorvalen contacts import --memory SM contacts.vcf");
  contacts_import->add_option("file", co.file, "a .vcf file (2.1, 3.0 or 4.0), or -")->required();
  contacts_import->add_option("--memory", co.memory, "SM or ME (default ME)")->check(memory_name);
  contacts_rm = example(contacts->add_subcommand("rm", "delete phonebook entries"),
                        "quorvalen contacts rm SM:3 ME:7");
  contacts_rm->add_option("index", co.indexes, "slots: 3, 3,4 or ME:3 (memory SM unless given)")
      ->required();
  contacts_rm->add_option("--memory", co.memory, "the memory of plain indexes (default SM)")
      ->check(memory_name);
}

bool FileCommands::Given() const {
  for (const CLI::App* command :
       {ls, get, put, rm, mkdir, mv, chmod, df, info, at, sms, contacts}) {
    if (command && command->parsed()) return true;
  }
  return false;
}

std::optional<int> FileCommands::Run(Cli& cli) {
  if (*ls) return RunLs(cli, paths, ls_options);
  if (*get) return RunGet(cli, files, copy);
  if (*put) return RunPut(cli, files, copy);
  if (*rm) return RunRm(cli, paths, rm_options);
  if (*mkdir) return RunMkdir(cli, paths, parents);
  if (*mv) return RunMv(cli, from, to);
  if (*chmod) return RunChmod(cli, permissions, paths);
  if (*df) return RunDf(cli, df_json);
  if (*info) return RunInfo(cli);
  if (*at) return RunAt(cli, lines);
  if (*sms_ls) return RunSmsLs(cli, sms_options);
  if (*sms_export) return RunSmsExport(cli, sms_options);
  if (*sms_rm) return RunSmsRm(cli, sms_options);
  if (*sms_send) return RunSmsSend(cli, sms_options, false);
  if (*sms_write) return RunSmsSend(cli, sms_options, true);
  if (*contacts_ls) return RunContactsLs(cli, contact_options);
  if (*contacts_export) return RunContactsExport(cli, contact_options);
  if (*contacts_import) return RunContactsImport(cli, contact_options);
  if (*contacts_rm) return RunContactsRm(cli, contact_options);
  return std::nullopt;
}

namespace {

bool g_may_leave_holder = false;

// The invocation at work, told of its session's tries again (a holder's
// session outlives the command that opened it).
Cli* g_current = nullptr;

std::string Seconds(double seconds) {
  return std::to_string(static_cast<long>(std::lround(seconds))) + " s";
}

// A command whose output could not be written (a full disk; a file inside
// the mount that serves this very command) fails, and says so; a reader
// that stopped reading (head) is no failure, as for any writer to a pipe.
int OutputWritten(int status) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  const int error = errno;
  std::clearerr(stdout);
  if (error == EPIPE) return status;
  std::fprintf(stderr, "quorvalen: cannot write the output: %s\n", std::strerror(error));
  return status == kExitDone ? kExitLocal : status;
}

// quorvalen status: what this user's holders hold.
int RunStatus(Cli& cli) {
  std::string why;
  const std::string folder = HoldFolder(&why);
  if (folder.empty()) {
    cli.Error(why + ": no connection can be held");
    return kExitLocal;
  }
  const std::vector<HolderState> states = HolderStates(folder);
  if (states.empty()) std::fprintf(cli.out, "nothing is held\n");
  for (const HolderState& state : states) {
    std::string line = state.port + ": held by quorvalen";
    if (state.kind != "hold") line += " " + state.kind;
    if (!state.where.empty()) line += " on " + state.where;
    line += " (pid " + std::to_string(state.pid) + ")";
    if (state.closing) {
      line += ", letting go";
    } else if (!state.serving.empty()) {
      line += ", running \"" + state.serving + "\"";
      if (state.serving_pid) line += " for pid " + std::to_string(state.serving_pid);
    } else if (state.idle_left >= 0) {
      line += ", idle, lets go in " + Seconds(state.idle_left);
    }
    std::fprintf(cli.out, "%s\n", line.c_str());
  }
  return kExitDone;
}

// quorvalen release: the port's holder lets go (every one of this user's
// idle holders when no port is in force).
int RunRelease(Cli& cli, const GlobalOptions& global) {
  std::string why;
  const std::string folder = HoldFolder(&why);
  if (folder.empty()) {
    cli.Error(why + ": no connection can be held");
    return kExitLocal;
  }
  SessionOptions options;
  try {
    options = GatherSessionOptions(global);
  } catch (const SessionError& e) {
    return cli.Fail(e);
  }
  std::vector<std::pair<std::string, std::string>> holders;  // port, socket
  const std::string key = PortKey(global, options);
  if (!key.empty()) {
    holders.emplace_back(key, HoldSocket(folder, key));
  } else {
    for (const HolderState& state : HolderStates(folder)) {
      holders.emplace_back(state.port, HoldSocket(folder, state.port));
    }
  }
  if (holders.empty()) cli.Note("quorvalen: nothing is held");
  int status = kExitDone;
  for (const auto& [port, socket] : holders) {
    if (ReleaseHolder(socket, &why)) {
      cli.Note("quorvalen: " + port + ": released (the phone is back in AT mode)");
    } else if (why == "nothing is held") {
      cli.Note("quorvalen: " + port + ": nothing is held");
    } else {
      cli.Error(port + ": " + why);
      status = kExitRefused;
    }
  }
  return status;
}

}  // namespace

void MayLeaveHolder() { g_may_leave_holder = true; }

int RunCommandLine(const std::vector<std::string>& args, Served* served) {
  // The first invocation of main takes the leave; the tour's steps, run
  // in it, find none.
  const bool may_leave_holder = std::exchange(g_may_leave_holder, false);
  CLI::App app{"quorvalen: a phone's files and AT commands over a serial cable", "quorvalen"};
  app.fallthrough();
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", "quorvalen " QUORVALEN_VERSION);
  app.footer(
      "The port comes from --port, QUORVALEN_PORT or the settings file (quorvalen config).\n"
      "Exit codes: 0 done, 1 the phone refused, 2 usage or a name that cannot be sent,\n"
      "3 the link failed (no port, no phone, time-out), 4 a local file error.");

  GlobalOptions global;
  int mobile_type = -1;
  app.add_option("--port", global.port, "the phone's serial device (or QUORVALEN_PORT)");
  app.add_flag("--sim", global.sim, "use the built-in simulated phone");
  app.add_option("--sim-root", global.sim_root,
                 "the simulated phone serves this folder (not its sample tree)");
  app.add_flag("--pace", global.pace, "the simulated phone takes a cable's time (its line speed)");
  app.add_option("--mobile-type", mobile_type,
                 "the phone's family: 0 switched by AT^SQWE, 1 BFB, 2 BFB at 115200 "
                 "(found from the phone when not given)")
      ->check(CLI::Range(0, 2));
  app.add_flag("--usb", global.usb, "the phone is on a USB cable");
  app.add_flag("--irda", global.irda,
               "the phone is reached over infrared (with --sim, or with "
               "--irda-comm and --irda-obex)");
  app.add_option("--irda-comm", global.irda_comm,
                 "over infrared: the device of the serial-emulation service");
  app.add_option("--irda-obex", global.irda_obex, "over infrared: the device of the OBEX service");
  app.add_option("--set", global.settings, "set a property of the control: Name=Value");
  app.add_option("--trace", global.trace, "write the control's trace to this file");
  app.add_flag("--verify", global.verify,
               "read every transfer a second time and compare (for raw OBEX phones, whose "
               "link has no check of its own)");
  app.add_option("--retries", global.retries,
                 "how often an operation that failed on the link is tried again (default 3; "
                 "setting Retries)")
      ->check(CLI::Range(0, 100));
  app.add_option("--pin", global.pin,
                 "the SIM's PIN, given if the phone asks (or QUORVALEN_PIN; asked for at a "
                 "terminal)")
      ->check(CLI::Validator(
          [](std::string& pin) -> std::string {
            const bool digits = pin.size() >= 4 && pin.size() <= 8 &&
                                pin.find_first_not_of("0123456789") == std::string::npos;
            return digits ? std::string() : "a PIN is 4 to 8 digits";
          },
          "PIN"));
  app.add_option("--hold", global.hold,
                 "seconds the connection is held for the next command (default 60; setting "
                 "Hold; 0 lets go at once)")
      ->check(NumberIn(0, 86400, "seconds"));
  app.add_flag("-q,--quiet", global.quiet, "no progress, no notes");
  app.add_flag("-v,--verbose", global.verbose, "say what is done, file by file");

  auto example = Example;

  FileCommands commands;
  commands.Add(app);

  std::vector<std::string> ports;
  CLI::App* probe =
      example(app.add_subcommand("probe", "find the phone: try serial devices, say what answers"),
              "quorvalen probe   (or: quorvalen probe /dev/ttyUSB0 /dev/ttyUSB1)");
  probe->add_option("ports", ports, "devices to try (default: every serial device)");

  std::string trace_file;
  CLI::App* trace = example(app.add_subcommand("trace", "show a trace file for a person"),
                            "quorvalen --trace t.log ls && quorvalen trace t.log");
  trace->add_option("file", trace_file, "the trace file, or - for standard input")->required();

  std::string action;
  std::vector<std::string> config_args;
  CLI::App* config =
      example(app.add_subcommand("config",
                                 "the settings file: get NAME, set NAME VALUE, unset NAME, "
                                 "list, path"),
              "quorvalen config set Port /dev/ttyUSB0");
  config->add_option("action", action, "get, set, unset, list or path")
      ->required()
      ->check(CLI::IsMember({"get", "set", "unset", "list", "path"}));
  config->add_option("args", config_args, "NAME [VALUE]");

  MountOptions mount_options;
  double cache_memory_mb = 32;
  CLI::App* mount =
      example(app.add_subcommand("mount", "the phone as a folder (FUSE), on one held connection"),
              "quorvalen --port /dev/ttyUSB0 mount ~/phone   (fusermount3 -u ~/phone unmounts)");
  mount->add_option("mountpoint", mount_options.mountpoint, "an empty folder")->required();
  mount->add_flag("-f,--foreground", mount_options.foreground,
                  "stay in the foreground (Ctrl-C unmounts)");
  mount
      ->add_option("--cache-ttl", mount_options.cache_ttl,
                   "seconds a folder's listing is kept (default 10)")
      ->check(NumberIn(0, 86400, "seconds"));
  mount
      ->add_option("--cache-memory", cache_memory_mb,
                   "megabytes of a file kept in memory; the rest in a temporary file (default 32)")
      ->check(NumberIn(0, 1 << 20, "megabytes"));

  CLI::App* shell =
      example(app.add_subcommand("shell",
                                 "an interactive shell on one held connection (commands "
                                 "from standard input when it is not a terminal)"),
              "quorvalen --sim shell   (echo 'cd /Pictures; ls -l' | quorvalen --sim shell)");

  CLI::App* status_command = example(
      app.add_subcommand("status", "the connections held for the next command, and by whom"),
      "quorvalen status");
  CLI::App* release =
      example(app.add_subcommand("release",
                                 "let go of the held connection now (the phone back in AT mode)"),
              "quorvalen release --port /dev/ttyUSB0   (without a port: every one held)");

  bool tour_console = false;
  CLI::App* tour = app.add_subcommand("tour",
                                      "show the command line at work on the simulated "
                                      "phone (the default)");
  tour->add_flag("--console", tour_console, "show the console's requests and answers instead");

  ConsoleOptions console_options;
  CLI::App* console =
      app.add_subcommand("console", "requests on standard input, every Ack as a JSON line");
  console->fallthrough(false);
  console->add_option("--port", console_options.port, "device path of the phone's port");
  console->add_option("--set", console_options.settings, "set a property first: Name=Value");
  console
      ->add_option("--drain-ms", console_options.drain_ms,
                   "at the end of input, wait at most this long for the queue to drain")
      ->check(NumberIn(0, 86400000, "milliseconds"));
  auto* sim = console->add_flag("--sim", console_options.sim,
                                "talk to the built-in simulated phone on a pseudo-terminal");
  auto* virtual_world = console->add_flag(
      "--virtual", console_options.virtual_world,
      "run control and simulated phone on the virtual clock (sleep_ms is virtual time)");
  console->add_option("--sim-root", console_options.sim_root,
                      "the simulated phone serves this directory instead of its sample tree");
  console
      ->add_option("--sim-family", console_options.sim_family,
                   "the simulated phone's family (default: the MobileType in force)")
      ->check(CLI::Range(0, 2));
  auto* irda_comm = console->add_option("--irda-comm", console_options.irda_comm,
                                        "the infrared serial-emulation service's device");
  auto* irda_obex = console->add_option("--irda-obex", console_options.irda_obex,
                                        "the infrared OBEX service's device");
  irda_comm->needs(irda_obex);
  irda_obex->needs(irda_comm);
  irda_comm->excludes(sim)->excludes(virtual_world);
  sim->excludes(virtual_world);
  console->get_option("--port")->excludes(sim)->excludes(virtual_world);

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e), kExitDone;  // --help, --version
    std::fprintf(stderr, "quorvalen: %s\n", UsageError(app, e, args).c_str());
    return kExitUsage;
  }
  if (mobile_type >= 0) global.mobile_type = mobile_type;
  if (!served) {
    if (*console) return RunConsole(console_options);
    if (app.get_subcommands().empty() || *tour) return Tour(tour_console);
  }

  Cli cli;
  Cli* const outer = g_current;
  g_current = &cli;
  struct Restore {
    Cli* outer;
    ~Restore() { g_current = outer; }
  } restore{outer};
  cli.quiet = global.quiet;
  cli.verbose = global.verbose;
  cli.show_progress = !global.quiet && ::isatty(STDERR_FILENO);
  if (*trace) return RunTrace(cli, trace_file);
  if (*config) return RunConfig(cli, action, config_args);
  if (*status_command) return RunStatus(cli);
  if (*release) return RunRelease(cli, global);
  // Options that contradict each other and settings that cannot work are
  // said before a port is opened or a phone started.
  SessionOptions gathered;
  double hold = kDefaultHoldSeconds;
  try {
    gathered = GatherSessionOptions(global, &hold);
  } catch (const SessionError& e) {
    return cli.Fail(e);
  }
  // A trace is the whole of one command, from the opening to the closing.
  if (!global.trace.empty()) hold = 0;
  if (served) {
    // The holder's own session: a command it runs never opens another.
    served->hold_seconds = hold;
    Session* session = served->session;
    cli.held = true;
    cli.open = [session] { return std::shared_ptr<Session>(session, [](Session*) {}); };
    if (*shell) return RunShell(cli, served->server);
    if (*mount) {
      mount_options.memory_bound = static_cast<size_t>(cache_memory_mb * (1 << 20));
      return RunHeldMount(cli, global, mount_options, *served);
    }
    return OutputWritten(commands.Run(cli).value_or(kExitDone));
  }
  // A held connection of this port serves the command, the shell (on this
  // terminal) and the mount (the holder serves it from then on); a mount
  // in the foreground takes the port from an idle holder.
  std::string no_hold;
  const HeldPort held = HeldPortOf(global, gathered, &no_hold);
  if (!held.socket.empty()) {
    if (*mount && mount_options.foreground && held.mine) {
      std::string why;
      if (!ReleaseHolder(held.socket, &why) && why != "nothing is held") {
        cli.Error(why);
        return kExitLink;
      }
    } else if (commands.Given() || *shell || *mount) {
      const HeldRun run = *shell ? HeldRun::kShell : *mount ? HeldRun::kMount : HeldRun::kCommand;
      int exit_code = kExitDone;
      if (RunOnHolder(held.socket, args, held.fingerprint, global.quiet, run, &exit_code) ==
          HeldOutcome::kRan) {
        return exit_code;
      }
    }
  }
  if (*probe) return RunProbe(cli, global, ports);
  if (*mount) {
    mount_options.memory_bound = static_cast<size_t>(cache_memory_mb * (1 << 20));
    return RunMount(cli, global, mount_options);
  }

  Connection connection(global);
  cli.open = [&connection]() -> std::shared_ptr<Session> {
    return connection.Open([](SessionOptions& options) {
      // At a terminal each try again is said; the progress starts afresh.
      options.on_retry = [](const RetryNote& note) {
        Cli* cli = g_current;
        if (!cli || !cli->show_progress) return;
        cli->Note("quorvalen: " + note.operation + ": " + note.reason + "; trying again (" +
                  std::to_string(note.attempt) + " of " + std::to_string(note.of) + ")");
      };
    });
  };
  InstallInterruptHandler();
  if (*shell) {
    // At a terminal the shell serves the port's socket while it runs.
    std::unique_ptr<HoldServer> server;
    if (held.mine && !held.socket.empty() && ::isatty(STDIN_FILENO)) {
      HolderState state;
      state.port = held.key;
      state.kind = "shell";
      state.fingerprint = held.fingerprint;
      std::string why;
      server = HoldServer::Listen(held.socket, state, &why);
      if (server) {
        // A client gone mid-answer is no reason for the shell to end.
        std::signal(SIGPIPE, SIG_IGN);
        server->OnInterrupt(StopHeldCommand);
        server->Start();
      }
    }
    const int status = RunShell(cli, server.get());
    if (server) {
      server->Shutdown();
      server->Stop();
    }
    cli.CloseSession();
    return status;
  }
  const int status = OutputWritten(commands.Run(cli).value_or(kExitDone));
  // The connection is held for the next command: this process ends here
  // and a holder of its own keeps the session.
  if (may_leave_holder && !held.socket.empty() && held.mine && hold > 0) {
    LeaveHolder({held.socket, held.key, held.fingerprint, hold}, cli.TakeSession(), status);
  } else if (hold > 0 && !no_hold.empty() && cli.HasSession() && global.verbose) {
    cli.Note("quorvalen: " + no_hold + ": the connection is not held");
  }
  // Back to AT mode and the port closed before the phone (and the
  // simulated one) go.
  cli.CloseSession();
  return status;
}

}  // namespace quorvalen::tool
