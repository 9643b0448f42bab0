// The tour: the console at work against the built-in simulated phone on a
// pseudo-terminal. Each request is shown as it is written, followed by the
// JSON lines the console prints for it.
#include <cstdio>
#include <string>
#include <vector>

#include "console.h"
#include "quorvalen/posix_platform.h"

namespace quorvalen::tool {

int Tour(int, char**) {
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
  std::printf("The simulated phone listens on %s. Every request below is what a script\n"
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
      {"An AT command in OBEX mode: the control disconnects and switches back first.",
       {"AT+CGMM"}},
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

}  // namespace quorvalen::tool
