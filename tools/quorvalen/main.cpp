// quorvalen: a phone's files and AT commands from the command line.
#include "cli.h"

int main(int argc, char** argv) {
  quorvalen::tool::MayLeaveHolder();
  return quorvalen::tool::RunCommandLine(std::vector<std::string>(argv + 1, argv + argc));
}
