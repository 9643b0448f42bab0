// Arbitrary bytes into the simulated phone's OBEX request parsing: cut into
// packets by their length fields and served, connected or not.
#include <cstddef>
#include <cstdint>

#include "quorvalen/byte_text.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/sim/obex_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvalen::sim;
  MemoryStore store;
  ObexServer server(store, ObexServerOptions{static_cast<uint16_t>(size > 0 ? 255 + data[0] : 512)});
  if (size > 1 && data[1] & 1) {
    server.Handle(quorvalen::HexToText("80001A100040064600136B01CB31410611D49A770050DA3F471F"));
  }
  ObexPacketAssembler packets;
  packets.Feed(std::string_view(reinterpret_cast<const char*>(data), size));
  while (auto packet = packets.Next()) {
    std::string response = server.Handle(*packet);
    // Every answer is a whole packet: its length field says its size.
    if (response.size() < 3 ||
        ((static_cast<uint8_t>(response[1]) << 8) | static_cast<uint8_t>(response[2])) !=
            static_cast<int>(response.size())) {
      __builtin_trap();
    }
  }
  return 0;
}
