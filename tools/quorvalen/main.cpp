// quorvalen: the command-line front of the control.
#include <cstdio>
#include <cstring>
#include <string>

namespace quorvalen::tool {
int Tour(int argc, char** argv);
}

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: quorvalen <command> [options]\n"
               "\n"
               "commands:\n"
               "  tour      show the control at work against the built-in simulated phone\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return quorvalen::tool::Tour(argc - 1, argv + 1);
  std::string command = argv[1];
  if (command == "tour") return quorvalen::tool::Tour(argc - 2, argv + 2);
  if (command == "-h" || command == "--help" || command == "help") {
    Usage(stdout);
    return 0;
  }
  std::fprintf(stderr, "quorvalen: unknown command \"%s\"\n", command.c_str());
  Usage(stderr);
  return 2;
}
