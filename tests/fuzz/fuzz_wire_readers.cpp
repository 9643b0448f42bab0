// Arbitrary bytes into the BFB and OBEX readers. What they read must be
// what the bytes hold: a block read whole builds back to the same bytes,
// headers and parameters walked encode back to the bytes they came from,
// and frames split from a stream do not depend on where the stream was cut.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quorvalen/bfb.h"
#include "quorvalen/obex_wire.h"

namespace {

using namespace quorvalen;

void Check(bool holds) {
  if (!holds) std::abort();
}

void Frames(std::string_view bytes, size_t cut) {
  const BfbFrameSplit whole = SplitBfbFrames(bytes);
  size_t framed = 0;
  for (const BfbFrame& frame : whole.frames) {
    Check(frame.whole.size() == 3 + frame.payload.size() && !frame.payload.empty());
    Check(static_cast<uint8_t>(frame.whole[2]) == (frame.type ^ frame.payload.size()));
    framed += frame.whole.size();
  }
  Check(whole.used <= bytes.size() && whole.junk + framed == whole.used);
  // Split in two reads, as a receiver gets it.
  std::string buffer(bytes.substr(0, cut));
  const BfbFrameSplit first = SplitBfbFrames(buffer);
  size_t count = first.frames.size();
  buffer.erase(0, first.used);
  buffer.append(bytes.substr(cut));
  const BfbFrameSplit second = SplitBfbFrames(buffer);
  count += second.frames.size();
  Check(count == whole.frames.size() && first.junk + second.junk == whole.junk);
}

void Block(std::string_view bytes) {
  const BfbBlock block = ReadBfbBlock(bytes);
  if (block.fault == BfbBlockFault::kNone) {
    Check(BuildBfbBlock(block.data, block.sequence) == bytes);
    Check(BfbBlockFill(bytes) == BfbBlockFault::kNone);
  }
}

void Packets(std::string_view bytes) {
  while (true) {
    const obex::PacketCut cut = obex::CutPacket(bytes);
    if (cut.status != obex::PacketCut::kWhole) return;
    Check(cut.size >= obex::kPacketHead && cut.size <= bytes.size());
    bytes.remove_prefix(cut.size);
  }
}

void Headers(std::string_view bytes) {
  const obex::HeaderWalk walk = obex::ReadHeaders(bytes);
  std::string encoded;
  for (const obex::Header& header : walk.headers) {
    encoded += static_cast<char>(header.id);
    if (header.Counted()) {
      const size_t size = header.value.size() + 3;
      encoded += static_cast<char>(size >> 8);
      encoded += static_cast<char>(size & 0xFF);
    } else {
      Check(header.value.size() == (header.id >> 6 == 2 ? 1u : 4u));
    }
    encoded += header.value;
  }
  Check(bytes.substr(0, encoded.size()) == encoded);
  Check(walk.complete == (encoded.size() == bytes.size()));
}

void Parameters(std::string_view bytes) {
  const obex::ParameterWalk walk = obex::ReadParameters(bytes);
  std::string encoded;
  for (const obex::Parameter& parameter : walk.parameters) {
    encoded += static_cast<char>(parameter.tag);
    encoded += static_cast<char>(parameter.value.size());
    encoded += parameter.value;
  }
  Check(bytes.substr(0, encoded.size()) == encoded);
  Check(walk.complete == (encoded.size() == bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  Frames(bytes, data[0] % (bytes.size() + 1));
  Block(bytes);
  Packets(bytes);
  Headers(bytes);
  Parameters(bytes);
  return 0;
}
