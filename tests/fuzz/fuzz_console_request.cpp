// Arbitrary lines into the console's request reader, with a control and the
// simulated phone on the virtual clock behind it: every line is carried out
// or answered with an error line, and nothing hangs.
#include <cstdint>
#include <cstdio>
#include <string>

#include "console.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvalen;
  static std::FILE* sink = std::fopen("/dev/null", "w");
  VirtualPlatform platform;
  sim::VirtualPhone phone(platform, 1, sim::PhoneOptions{}, std::make_unique<sim::SampleStore>());
  Quorvalen control(platform);
  control.TimeOut(500);
  tool::ConsoleSession console(control, platform.Loop(), sink);
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  int lines = 0;
  while (!rest.empty() && lines++ < 64) {
    const size_t end = rest.find('\n');
    console.HandleLine(std::string(rest.substr(0, end)));
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  // Whatever was queued ends within its time-outs.
  console.Drain(600000);
  return 0;
}
