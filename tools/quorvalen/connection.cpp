// Opening the command line's session: options from the command line, the
// environment and the settings file, and the simulated phone for --sim.
#include "connection.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

#include "console.h"
#include "hold.h"
#include "quorvalen/error.h"
#include "quorvalen/properties.h"

namespace quorvalen::tool {

std::string SettingsPath() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg && *xdg) {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home ? home : ".") + "/.config";
  }
  return base + "/quorvalen/settings";
}

namespace {

// The PIN typed at the terminal, without echo; nothing when the command
// does not run at a terminal (a script is never stopped by a question).
std::optional<std::string> AskPinAtTerminal() {
  if (!::isatty(STDIN_FILENO) && !::isatty(STDERR_FILENO)) return std::nullopt;
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY);
  if (tty < 0) return std::nullopt;
  termios saved{};
  const bool is_terminal = ::tcgetattr(tty, &saved) == 0;
  if (!is_terminal) {
    ::close(tty);
    return std::nullopt;
  }
  // No echo, and Ctrl-C read as a character, so that it cancels here with
  // the terminal set back (not a half-typed PIN sent, not a terminal left
  // silent by an exit).
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG);
  quiet.c_cc[VMIN] = 1;
  quiet.c_cc[VTIME] = 0;
  ::tcsetattr(tty, TCSAFLUSH, &quiet);
  const std::string_view prompt = "The SIM wants its PIN: ";
  (void)!::write(tty, prompt.data(), prompt.size());
  std::string pin;
  bool cancelled = false;
  for (char c;;) {
    if (::read(tty, &c, 1) != 1 || c == 0x03 || c == 0x04) {
      cancelled = true;
      break;
    }
    if (c == '\n' || c == '\r') break;
    if ((c == 0x7F || c == '\b') && !pin.empty()) {
      pin.pop_back();
    } else if (pin.size() < 16) {
      pin += c;
    }
  }
  (void)!::write(tty, "\n", 1);
  ::tcsetattr(tty, TCSAFLUSH, &saved);
  ::close(tty);
  if (cancelled || pin.empty()) return std::nullopt;
  return pin;
}

}  // namespace

SessionOptions GatherSessionOptions(const GlobalOptions& global, double* hold) {
  // The built-in phone is reached on a pseudo-terminal of its own.
  if (global.sim && !global.port.empty()) {
    throw SessionError(SessionErrorKind::kBadName,
                       "--sim and --port name two phones: drop --port to use the simulated one, "
                       "or --sim to use " +
                           global.port);
  }
  if (!global.sim && !global.sim_root.empty()) {
    throw SessionError(SessionErrorKind::kBadName,
                       "--sim-root is the simulated phone's folder: add --sim (quorvalen --sim "
                       "--sim-root " +
                           global.sim_root + " ...)");
  }
  if (global.pace && !global.sim) {
    throw SessionError(SessionErrorKind::kBadName,
                       "--pace paces the built-in simulated phone: add --sim (quorvalen --sim "
                       "--pace ...)");
  }
  SessionOptions options;
  std::string port;
  FilePropertyBag bag(SettingsPath());
  try {
    bag.Load();
  } catch (const Error& e) {
    throw SessionError(SessionErrorKind::kBadName, e.description);
  }
  std::vector<std::pair<std::string, std::string>> settings;
  for (const auto& [name, value] : bag.Entries()) {
    // A value edited by hand is checked as one written by config set.
    if (std::string why = SettingProblem(name, value); !why.empty()) {
      throw SessionError(SessionErrorKind::kBadName,
                         bag.Path() + ": " + why + " (quorvalen config set or unset fixes it)");
    }
    if (name == "Port") {
      port = value;
    } else {
      settings.emplace_back(name, value);
    }
  }
  if (const char* env = std::getenv("QUORVALEN_PORT"); env && *env) port = env;
  if (!global.port.empty()) port = global.port;
  for (const std::string& text : global.settings) {
    auto split = SplitSetting(text);
    if (!split) {
      throw SessionError(SessionErrorKind::kBadName,
                         "--set takes Name=Value, not \"" + text + "\"");
    }
    // Run-time properties are the control's to judge; saved ones are
    // checked as the settings file is.
    if (IsSettingName(split->first)) {
      if (std::string why = SettingProblem(split->first, split->second); !why.empty()) {
        throw SessionError(SessionErrorKind::kBadName, "--set " + why);
      }
    }
    settings.push_back(std::move(*split));
  }

  // The selectors have options and fields of their own; the rest go to the
  // control as they stand.
  double hold_seconds = kDefaultHoldSeconds;
  for (auto it = settings.begin(); it != settings.end();) {
    if (it->first == "Hold") {
      hold_seconds = std::strtod(it->second.c_str(), nullptr);  // checked above
      it = settings.erase(it);
    } else if (it->first == "MobileType" || it->first == "ComType" || it->first == "CommPort" ||
               it->first == "Retries") {
      char* end = nullptr;
      const long value = std::strtol(it->second.c_str(), &end, 10);
      if (it->second.empty() || *end != '\0') {
        throw SessionError(SessionErrorKind::kBadName,
                           "setting " + it->first + ": \"" + it->second + "\" is not a number");
      } else if (it->first == "MobileType") {
        options.mobile_type = static_cast<int>(value);
      } else if (it->first == "ComType") {
        options.com_type = static_cast<int>(value);
      } else if (it->first == "Retries") {
        options.retries = static_cast<int>(value);
      } else {
        options.comm_port = static_cast<int>(value);
      }
      it = settings.erase(it);
    } else {
      ++it;
    }
  }
  options.settings = std::move(settings);
  if (global.mobile_type) options.mobile_type = global.mobile_type;
  if (global.usb) options.com_type = kComUsb;
  if (global.irda || !global.irda_comm.empty()) options.com_type = kComInfrared;
  if (!global.trace.empty()) options.trace_path = global.trace;
  options.verify = global.verify;
  if (global.retries) options.retries = *global.retries;
  if (global.hold) hold_seconds = *global.hold;
  if (hold) *hold = hold_seconds;
  options.port = port;
  if (const char* env = std::getenv("QUORVALEN_PIN"); env && *env) options.pin = env;
  if (!global.pin.empty()) options.pin = global.pin;
  if (!options.pin) options.ask_pin = AskPinAtTerminal;
  return options;
}

namespace {
SimulatedOpener& Opener() {
  static SimulatedOpener opener;
  return opener;
}
}  // namespace

void UseSimulatedOpener(SimulatedOpener opener) { Opener() = std::move(opener); }

struct Connection::SimPhone {
  std::unique_ptr<SimulatedPhoneHandle> handle;
  std::string device;
  std::string obex_device;  // over infrared
};

Connection::Connection(GlobalOptions global) : global_(std::move(global)) {}

Connection::~Connection() = default;

std::string Connection::SimDevice() {
  if (!sim_) {
    const SessionOptions options = GatherSessionOptions(global_);
    sim::PhoneOptions phone = PhoneAgreeingWith(options.mobile_type.value_or(1), options.com_type);
    phone.pace = global_.pace;
    std::string error;
    auto sim = std::make_unique<SimPhone>();
    sim->handle =
        StartSimulatedPhone(phone, global_.sim_root, &sim->device, &error, &sim->obex_device);
    if (!sim->handle) {
      throw SessionError(SessionErrorKind::kLink, "cannot start the simulated phone: " + error);
    }
    sim_ = std::move(sim);
  }
  return sim_->device;
}

std::unique_ptr<Session> Connection::Open(const std::function<void(SessionOptions&)>& adjust) {
  SessionOptions options = GatherSessionOptions(global_);
  if (adjust) adjust(options);
  if (global_.sim && Opener()) return Opener()(std::move(options));
  if (options.com_type == kComInfrared) {
    // The infrared device component reaches the two services' devices.
    if (global_.sim) {
      SimDevice();
      platform_.Infrared(sim_->device, sim_->obex_device);
    } else if (!global_.irda_comm.empty() && !global_.irda_obex.empty()) {
      platform_.Infrared(global_.irda_comm, global_.irda_obex);
    } else {
      throw SessionError(SessionErrorKind::kBadName,
                         "infrared needs --sim, or the devices of both services: "
                         "--irda-comm PATH --irda-obex PATH");
    }
    options.port.clear();
  } else if (global_.sim) {
    options.port = SimDevice();
  } else if (options.port.empty()) {
    throw SessionError(SessionErrorKind::kLink,
                       "no port given: use --port PATH (or QUORVALEN_PORT, or `quorvalen config "
                       "set Port PATH`), --sim for the built-in simulated phone, or `quorvalen "
                       "probe` to find the phone");
  }
  return Session::Open(platform_, options);
}

}  // namespace quorvalen::tool
