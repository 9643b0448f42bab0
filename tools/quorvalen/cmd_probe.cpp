// quorvalen probe: which serial devices have a phone, what it is, and the
// settings that reach it. A device is first asked "AT" for half a second;
// only one that answers gets the control's full opening, so that empty
// ports cost little.
#include <glob.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <climits>
#include <set>

#include "cli.h"
#include "connection.h"
#include "hold.h"
#include "quorvalen/error.h"

namespace quorvalen::tool {
namespace {

std::vector<std::string> Candidates() {
  std::vector<std::string> paths;
  std::set<std::string> seen;
  for (const char* pattern :
       {"/dev/serial/by-id/*", "/dev/ttyUSB*", "/dev/ttyACM*", "/dev/ttyS*"}) {
    glob_t found{};
    if (::glob(pattern, 0, nullptr, &found) == 0) {
      for (size_t i = 0; i < found.gl_pathc; ++i) {
        char real[PATH_MAX];
        const std::string path = found.gl_pathv[i];
        const std::string key = ::realpath(path.c_str(), real) ? real : path;
        if (seen.insert(key).second) paths.push_back(path);
      }
    }
    ::globfree(&found);
  }
  return paths;
}

// Empty when something answered "OK" to "AT", else why not.
std::string QuickCheck(PosixPlatform& platform, const std::string& path) {
  platform.DevicePath(99, path);
  std::unique_ptr<SerialPort> port = platform.CreateSerialPort();
  try {
    port->CommPort(99);
    port->Settings("19200,n,8,1");
    port->PortOpen(true);
    port->Output("AT\r");
    std::string reply;
    platform.Loop().RunUntil(
        [&] {
          reply += port->Input();
          return reply.find("OK") != std::string::npos;
        },
        500);
    reply += port->Input();
    port->PortOpen(false);
    return reply.find("OK") != std::string::npos ? "" : "no answer";
  } catch (const Error& e) {
    // The port's description names the device, which the line names
    // already: "cannot open: No such file or directory".
    const std::string named = "Cannot open " + path + ": ";
    if (e.description.rfind(named, 0) == 0)
      return "cannot open: " + e.description.substr(named.size());
    return e.description;
  }
}

}  // namespace

int RunProbe(Cli& cli, const GlobalOptions& global, std::vector<std::string> ports) {
  Connection connection(global);
  if (ports.empty() && !global.sim) ports = Candidates();
  if (global.sim) {
    try {
      ports.push_back(connection.SimDevice());
    } catch (const SessionError& e) {
      return cli.Fail(e);
    }
  }
  if (ports.empty()) {
    cli.Error("no serial devices found (give the device: quorvalen probe /dev/ttyXYZ)");
    return kExitLink;
  }
  // A port this user's holder has is not disturbed: it has a phone.
  std::string no_hold;
  const std::string folder = global.sim ? std::string() : HoldFolder(&no_hold);
  std::vector<HolderState> held;
  if (!folder.empty()) held = HolderStates(folder);
  int found = 0;
  for (const std::string& path : ports) {
    char real[PATH_MAX];
    const std::string key = ::realpath(path.c_str(), real) ? std::string(real) : path;
    const auto holder =
        std::find_if(held.begin(), held.end(), [&](const HolderState& h) { return h.port == key; });
    if (holder != held.end()) {
      std::fprintf(
          cli.out,
          "%s: held by quorvalen%s (pid %d): a phone is there (quorvalen release to probe it)\n",
          path.c_str(), holder->kind == "hold" ? "" : (" " + holder->kind).c_str(),
          static_cast<int>(holder->pid));
      ++found;
      continue;
    }
    const std::string why = QuickCheck(connection.Platform(), path);
    if (!why.empty()) {
      std::fprintf(cli.out, "%s: %s\n", path.c_str(), why.c_str());
      continue;
    }
    GlobalOptions options = global;
    options.port = path;
    options.sim = false;
    Connection at_port(options);
    try {
      std::unique_ptr<Session> session = at_port.Open();
      const PhoneIdentity id = session->Identify();
      const int family = session->MobileType();
      std::fprintf(cli.out, "%s: %s %s (revision %s), MobileType %d%s\n", path.c_str(),
                   id.manufacturer.c_str(), id.model.c_str(), id.revision.c_str(), family,
                   session->MobileTypeFound() ? " found from its answers" : "");
      std::fprintf(cli.out,
                   "  to use it: quorvalen config set Port %s && quorvalen config set MobileType "
                   "%d\n",
                   path.c_str(), family);
      ++found;
    } catch (const SessionError& e) {
      std::fprintf(cli.out, "%s: answers AT, but %s\n", path.c_str(), e.what());
    }
  }
  return found ? kExitDone : kExitLink;
}

}  // namespace quorvalen::tool
