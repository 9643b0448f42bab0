// The tours, against the built-in simulated phone on a pseudo-terminal: the
// command line at work, each command shown before its output, as a person
// would type it (its local files in a folder of its own, removed at the
// end); and (--console) the console's requests and JSON answers.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli.h"
#include "connection.h"
#include "console.h"
#include "quorvalen/posix_platform.h"

namespace quorvalen::tool {

namespace {

int ConsoleTour() {
  PosixPlatform platform;
  Quorvalen control(platform);
  control.MobileType(1);  // a phone that speaks BFB on the cable
  ConsoleOptions options;
  options.sim = true;
  std::string device, error;
  auto phone = StartSimulatedPhone(control, options, &device, &error);
  if (!phone) {
    std::fprintf(stderr, "quorvalen tour: cannot start the simulated phone: %s\n", error.c_str());
    return 1;
  }
  platform.DevicePath(control.CommPort(), device);
  std::printf(
      "The simulated phone listens on %s. Every request below is what a script\n"
      "would write to `quorvalen console --port %s`; the JSON lines are the\n"
      "console's answers, one per Ack.\n",
      device.c_str(), device.c_str());

  struct Step {
    const char* about;
    std::vector<std::string> lines;
    const char* show = nullptr;  // a property to show as text afterwards
  };
  const std::vector<Step> steps = {
      {"Open the port: the control probes for a phone with AT and AT+CGMM.", {"SPEC>OPEN"}},
      {"Who is there: manufacturer, model, revision, serial number.",
       {"AT+CGMI", "AT+CGMM", "AT+CGMR", "AT+CGSN"}},
      {"Battery and signal; the text of the last answer stays in AT_DataRead.",
       {"AT+CBC", "AT+CSQ", "{\"get\": \"AT_DataRead\"}"}},
      {"A command the phone does not know ends with ERROR.", {"AT+NOSUCH"}},
      {"List the root folder. The first OBEX command switches phone and line into "
       "OBEX mode (BFB frames, 57600 bit/s) and connects; the listing arrives in "
       "several packets and ends up in OBEX_DataRead.",
       {"OBEX>DIR:"},
       "OBEX_DataRead"},
      {"Get a file: its bytes end up in OBEX_DataRead.", {"OBEX>GET:readme.txt"}, "OBEX_DataRead"},
      {"Put a file from OBEX_DataSend, then look for it.",
       {"{\"set\": \"OBEX_DataSend\", \"value\": \"Written by the tour.\\r\\n\"}",
        "OBEX>PUT:tour.txt", "OBEX>GET:tour.txt"},
       "OBEX_DataRead"},
      {"Delete it; deleting it again finds nothing (C4: not found).",
       {"OBEX>DEL:tour.txt", "OBEX>DEL:tour.txt"}},
      {"An AT command in OBEX mode: the control disconnects and switches back first.", {"AT+CGMM"}},
      {"Close the port.", {"SPEC>CLOSE"}},
  };
  ConsoleSession session(control, platform.Loop(), stdout);
  for (const Step& step : steps) {
    std::printf("\n# %s\n", step.about);
    for (const std::string& line : step.lines) {
      std::printf("> %s\n", line.c_str());
      std::fflush(stdout);
      session.HandleLine(line);
    }
    if (!session.Drain(60000)) {
      std::fprintf(stderr, "quorvalen tour: the phone did not answer in time\n");
      return 1;
    }
    if (step.show) {
      std::printf("%s:\n%s\n", step.show, control.OBEX_DataRead().c_str());
    }
  }
  return 0;
}

}  // namespace

int Tour(bool console) {
  if (console) return ConsoleTour();
  GlobalOptions global;
  global.sim = true;
  Connection phone(global);
  std::string device;
  try {
    device = phone.SimDevice();
  } catch (const SessionError& e) {
    std::fprintf(stderr, "quorvalen tour: %s\n", e.what());
    return 1;
  }
  // Its local files go when it ends, however it ends.
  std::unique_ptr<ScratchFolder> folder;
  try {
    folder = std::make_unique<ScratchFolder>("/tmp/quorvalen-tour-XXXXXX");
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "quorvalen tour: %s\n", e.what());
    return 1;
  }
  InstallInterruptHandler();
  const std::string local = folder->Path();
  std::ofstream(folder->File("tour.txt")) << "Written by the tour.\n";
  const std::string fetched_path = folder->File("beach.jpg");
  std::printf(
      "The simulated phone listens on %s, as a phone on a USB cable would on\n"
      "/dev/ttyUSB0. Each command below is a separate run of quorvalen. The first\n"
      "command on a port opens it and finds the phone (the probe's waits: seconds);\n"
      "the connection is then held for the next commands, which start at once\n"
      "(quorvalen status shows it, quorvalen release lets go; here the tour holds\n"
      "it). Local files are in %s (removed when the tour ends).\n",
      device.c_str(), local.c_str());
  std::fflush(stdout);
  // The tour's own held connection: its steps run on it as a holder's do.
  std::unique_ptr<Session> session;
  try {
    session = phone.Open();
  } catch (const SessionError& e) {
    std::fprintf(stderr, "quorvalen tour: %s\n", e.what());
    return 1;
  }
  Served served;
  served.session = session.get();
  const std::vector<std::vector<std::string>> steps = {
      {"info"},
      {"ls", "-l", "/"},
      {"ls", "-l", "/Pictures/Holiday"},
      {"get", "-v", "/Pictures/Holiday/beach.jpg", local + "/"},
      {"put", "-v", local + "/tour.txt", "/Documents/"},
      {"ls", "-l", "/Documents"},
      {"rm", "-v", "/Documents/tour.txt"},
      {"df"},
      {"sms", "ls", "--memory", "ME"},
  };
  int failures = 0;
  for (const auto& step : steps) {
    std::vector<std::string> args = {"--port", device};
    args.insert(args.end(), step.begin(), step.end());
    std::string shown = "quorvalen";
    for (const std::string& a : args) shown += " " + a;
    std::printf("\n$ %s\n", shown.c_str());
    std::fflush(stdout);
    const int code = RunCommandLine(args, &served);
    std::fflush(stdout);
    if (code == kExitInterrupted || Interrupted()) return kExitInterrupted;
    // A step the link failed leaves the session closed: the next opens afresh.
    if (!session->IsOpen()) {
      try {
        session = phone.Open();
        served.session = session.get();
      } catch (const SessionError& e) {
        std::fprintf(stderr, "quorvalen tour: %s\n", e.what());
        return 1;
      }
    }
    if (code != 0) {
      std::printf("(exit code %d)\n", code);
      ++failures;
    }
  }
  // Back to AT mode, as a holder lets go.
  session->Close();
  std::ifstream fetched(fetched_path, std::ios::binary | std::ios::ate);
  std::printf("\n%s/beach.jpg holds %lld bytes.\n", local.c_str(),
              static_cast<long long>(fetched ? static_cast<long long>(fetched.tellg()) : -1));
  std::printf(
      "\nThe phone of --sim is a fresh one on every run, so its connection is not held:\n"
      "for many commands on one, quorvalen --sim shell (cd, ls, get, put, ...),\n"
      "or the phone as a folder: mkdir /tmp/phone && quorvalen --sim mount /tmp/phone\n"
      "(fusermount3 -u /tmp/phone unmounts). With a real phone: --port /dev/ttyUSB0.\n");
  return failures ? 1 : 0;
}

}  // namespace quorvalen::tool
