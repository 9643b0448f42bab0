// A control on the virtual platform with an open port and a queue of
// commands, for feeding received bytes straight into its decoders.
#pragma once

#include <memory>
#include <string>

#include "quorvalen/quorvalen.h"
#include "quorvalen/virtual_platform.h"
#include "support/control_internals.h"

namespace quorvalen {

struct ControlHarness {
  explicit ControlHarness(int link_mode, int mobile_type) {
    platform.AddLine(1);
    internals.Port().PortOpen(true);
    control.MobileType(mobile_type);
    control.TimeOut(1000);
    internals.LinkMode() = link_mode;
    control.OBEX_DataSend(std::string(3000, 'd'));
  }
  // Bytes from the phone, one at a time, as the receive path hands them on.
  void Feed(const uint8_t* data, size_t size, bool through_bfb) {
    for (size_t i = 0; i < size; ++i) {
      if (through_bfb) {
        internals.DecodeBfbFrame(static_cast<char>(data[i]));
      } else {
        control.OBEX_Decoder(std::string(1, static_cast<char>(data[i])));
      }
      // Timers get their turn now and then, as on a real loop.
      if (i % 64 == 63) platform.Loop().RunFor(5);
    }
    platform.Loop().RunFor(2000);
  }

  VirtualPlatform platform;
  Quorvalen control{platform};
  ControlInternals internals{control};
};

}  // namespace quorvalen
