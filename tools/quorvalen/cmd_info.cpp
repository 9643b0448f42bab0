// quorvalen info and at: what the phone says about itself, and raw AT lines.
#include "cli.h"
#include "quorvalen/quorvalen.h"

namespace quorvalen::tool {
namespace {

// The number after "+CBC: x," or "+CSQ: ", or -1.
int FieldAfter(const std::vector<std::string>& lines, const std::string& prefix, int index) {
  for (const std::string& line : lines) {
    if (line.rfind(prefix, 0) != 0) continue;
    size_t at = prefix.size();
    for (int i = 0; i < index; ++i) {
      at = line.find(',', at);
      if (at == std::string::npos) return -1;
      ++at;
    }
    return std::atoi(line.c_str() + at);
  }
  return -1;
}

void Row(Cli& cli, const char* name, const std::string& value) {
  std::fprintf(cli.out, "%-14s %s\n", name, value.empty() ? "(not given)" : value.c_str());
}

}  // namespace

int RunInfo(Cli& cli) {
  CopyRun run(cli);
  run.Step("info", [&] {
    Session& phone = cli.Phone();
    const PhoneIdentity id = phone.Identify();
    Row(cli, "Manufacturer", id.manufacturer);
    Row(cli, "Model", id.model);
    Row(cli, "Revision", id.revision);
    Row(cli, "Serial number", id.serial_number);
    const int battery = FieldAfter(phone.At("AT+CBC").lines, "+CBC: ", 1);
    Row(cli, "Battery", battery >= 0 ? std::to_string(battery) + "%" : "");
    // +CSQ: 0 to 31 is -113 dBm up in steps of 2 dBm; 99 is unknown.
    const int signal = FieldAfter(phone.At("AT+CSQ").lines, "+CSQ: ", 0);
    Row(cli, "Signal",
        signal >= 0 && signal <= 31
            ? std::to_string(-113 + 2 * signal) + " dBm (" + std::to_string(signal) + " of 31)"
            : "");
    const int family = phone.MobileType();
    std::string how = "MobileType " + std::to_string(family);
    if (phone.Control().ComType() == kComInfrared) {
      how = "over infrared, through the phone's OBEX service (MobileType does not matter)";
    } else if (phone.MobileTypeFound()) {
      how += ", found from the phone's answers (`quorvalen config set MobileType " +
             std::to_string(family) + "` makes it permanent)";
    } else {
      how += ", as configured";
    }
    Row(cli, "Family", how);
    const MemoryInfo memory = phone.Memory();
    Row(cli, "Memory", HumanSize(memory.free) + " free of " + HumanSize(memory.total));
  });
  return run.status;
}

int RunAt(Cli& cli, const std::vector<std::string>& lines) {
  CopyRun run(cli);
  for (const std::string& line : lines) {
    bool go_on = run.Step(line, [&] {
      const AtAnswer answer = cli.Phone().At(line);
      for (const std::string& text : answer.lines) std::fprintf(cli.out, "%s\n", text.c_str());
      std::fprintf(cli.out, "%s\n", answer.final.c_str());
      if (answer.final != "OK") run.Keep(kExitRefused);
    });
    if (!go_on) break;
  }
  return run.status;
}

}  // namespace quorvalen::tool
