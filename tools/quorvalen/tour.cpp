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
  };
  const std::vector<Step> steps = {
      {"Open the port: the control probes for a phone with AT and AT+CGMM.", {"SPEC>OPEN"}},
      {"Who is there: manufacturer, model, revision, serial number.",
       {"AT+CGMI", "AT+CGMM", "AT+CGMR", "AT+CGSN"}},
      {"Battery and signal.", {"AT+CBC", "AT+CSQ"}},
      {"The text of the last answer stays in AT_DataRead.", {"{\"get\": \"AT_DataRead\"}"}},
      {"A command the phone does not know ends with ERROR.", {"AT+NOSUCH"}},
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
  }
  return 0;
}

}  // namespace quorvalen::tool
