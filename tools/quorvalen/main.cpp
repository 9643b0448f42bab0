// quorvalen: the command-line front of the control.
#include <CLI/CLI.hpp>

#include "console.h"

namespace quorvalen::tool {
int Tour(int argc, char** argv);
}

int main(int argc, char** argv) {
  using namespace quorvalen::tool;
  CLI::App app{"quorvalen: talk to a mobile phone over a serial cable"};
  app.require_subcommand(0, 1);

  CLI::App* tour = app.add_subcommand("tour", "show the control at work (the default)");

  ConsoleOptions console_options;
  CLI::App* console =
      app.add_subcommand("console", "requests on standard input, every Ack as a JSON line");
  console->add_option("--port", console_options.port, "device path of the phone's port");
  console->add_option("--set", console_options.settings, "set a property first: Name=Value");
  console->add_option("--drain-ms", console_options.drain_ms,
                      "at the end of input, wait at most this long for the queue to drain")
      ->check(CLI::NonNegativeNumber);

  CLI11_PARSE(app, argc, argv);
  if (*console) return RunConsole(console_options);
  (void)tour;
  return Tour(0, nullptr);
}
