// How the command line reaches the phone: the global options, the settings
// file, and the opening of the one session of an invocation (on a port, or
// on the built-in simulated phone on a pseudo-terminal).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quorvalen/posix_platform.h"
#include "quorvalen/session.h"

namespace quorvalen::tool {

struct GlobalOptions {
  std::string port;
  bool sim = false;
  std::string sim_root;
  bool pace = false;  // the simulated phone takes a cable's time
  std::optional<int> mobile_type;
  bool usb = false;
  // Infrared (ComType 1): with --sim, or the devices of the two services.
  bool irda = false;
  std::string irda_comm;
  std::string irda_obex;
  std::vector<std::string> settings;  // "Name=Value"
  std::string trace;
  bool verify = false;
  std::string pin;
  std::optional<int> retries;  // --retries N
  std::optional<double> hold;  // --hold SECONDS
  bool quiet = false;
  bool verbose = false;
};

// Tries again of an operation that failed on the link, unless told.
constexpr int kDefaultRetries = 3;

// $XDG_CONFIG_HOME/quorvalen/settings, or ~/.config/quorvalen/settings.
std::string SettingsPath();
// The settings file's keys: the properties the control saves and "Port".
bool IsSettingName(const std::string& name);
// Empty when the setting may hold the value (as text, as the file holds
// it); else what is wrong, naming what it takes.
std::string SettingProblem(const std::string& name, const std::string& value);

// Everything an opening needs, gathered from the command line, the
// environment (QUORVALEN_PORT) and the settings file, in that order of
// precedence. Throws SessionError kBadName for a setting that does not
// read or lies outside its range (one in the file named with the file).
// *hold, if given, is set to the hold time (--hold, else the setting
// Hold, else the default).
SessionOptions GatherSessionOptions(const GlobalOptions& global, double* hold = nullptr);

// Opens a session on a simulated phone of the caller's instead of the
// built-in one on a pseudo-terminal, for every --sim opening from now on
// (an empty function gives the built-in one back). Tests run the command
// line in-process this way, on a virtual clock.
using SimulatedOpener = std::function<std::unique_ptr<Session>(SessionOptions)>;
void UseSimulatedOpener(SimulatedOpener opener);

// Owns the platform, the simulated phone if any, and opens sessions on them.
class Connection {
 public:
  explicit Connection(GlobalOptions global);
  ~Connection();
  // adjust, if given, changes the options gathered before the opening.
  std::unique_ptr<Session> Open(const std::function<void(SessionOptions&)>& adjust = {});
  // Starts the simulated phone of --sim (once) and returns its device.
  std::string SimDevice();
  PosixPlatform& Platform() { return platform_; }

 private:
  struct SimPhone;
  GlobalOptions global_;
  PosixPlatform platform_;
  std::unique_ptr<SimPhone> sim_;
};

class Cli;
// quorvalen probe: the given ports, or every serial device, or with --sim
// the simulated phone's.
int RunProbe(Cli& cli, const GlobalOptions& global, std::vector<std::string> ports);

}  // namespace quorvalen::tool
