// quorvalen: the command-line front of the control.
#include <CLI/CLI.hpp>

#include "console.h"
#include "quorvalen/version.h"

namespace quorvalen::tool {
int Tour(int argc, char** argv);
}

int main(int argc, char** argv) {
  using namespace quorvalen::tool;
  CLI::App app{"quorvalen: talk to a mobile phone over a serial cable"};
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", "quorvalen " QUORVALEN_VERSION);

  CLI::App* tour = app.add_subcommand("tour", "show the control at work (the default)");

  ConsoleOptions console_options;
  CLI::App* console =
      app.add_subcommand("console", "requests on standard input, every Ack as a JSON line");
  console->add_option("--port", console_options.port, "device path of the phone's port");
  console->add_option("--set", console_options.settings, "set a property first: Name=Value");
  console->add_option("--drain-ms", console_options.drain_ms,
                      "at the end of input, wait at most this long for the queue to drain")
      ->check(CLI::NonNegativeNumber);
  auto* sim = console->add_flag("--sim", console_options.sim,
                                "talk to the built-in simulated phone on a pseudo-terminal");
  auto* virtual_world = console->add_flag(
      "--virtual", console_options.virtual_world,
      "run control and simulated phone on the virtual clock (sleep_ms is virtual time)");
  console->add_option("--sim-root", console_options.sim_root,
                      "the simulated phone serves this directory instead of its sample tree");
  console->add_option("--sim-family", console_options.sim_family,
                      "the simulated phone's family (default: the MobileType in force)")
      ->check(CLI::Range(0, 2));
  sim->excludes(virtual_world);
  console->get_option("--port")->excludes(sim)->excludes(virtual_world);

  CLI11_PARSE(app, argc, argv);
  if (*console) return RunConsole(console_options);
  (void)tour;
  return Tour(0, nullptr);
}
