// The tour: a control on the virtual platform, a few commands queued, and
// every Ack it raises printed as it comes.
#include <cstdio>
#include <string>

#include "quorvalen/byte_text.h"
#include "quorvalen/quorvalen.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen::tool {

int Tour(int, char**) {
  VirtualPlatform platform;
  Quorvalen control(platform);
  control.OnAck([&](const std::string& command, const std::string& answer) {
    std::printf("%8lld ms  Ack(\"%s\", \"%s\")\n", static_cast<long long>(platform.Loop().NowMs()),
                command.c_str(), answer.c_str());
  });

  std::printf("Queueing three commands; each push is reported with the new queue length.\n");
  for (const char* command : {"SPEC>OPEN", "AT+CGMM", "SPEC>CLOSE"}) {
    std::printf("  Command = \"%s\"\n", command);
    control.Command(command);
  }
  std::printf("StackCount = %d, head entry \"%s\" (Command reads the slot at StackCount: \"%s\")\n",
              control.StackCount(), "SPEC>OPEN", control.Command().c_str());
  std::printf("The host empties the queue by writing StackCount = 0.\n");
  control.StackCount(0);
  std::printf("StackCount = %d\n", control.StackCount());
  std::printf("Byte text travels as hex text: \"AT\\r\" is %s\n", TextToHex("AT\r").c_str());
  return 0;
}

}  // namespace quorvalen::tool
