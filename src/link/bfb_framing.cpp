// BFB framing on the link: OBEX packets go out as data blocks cut into BFB
// frames while framing is in force, and received frames are checked,
// reassembled into blocks, acknowledged and handed to the decoder entry one
// byte at a time. The receiver checks neither the CRC nor the sequence
// number, and drops a rejected buffer whole.
#include "quorvalen/bfb.h"
#include "quorvalen/byte_text.h"
#include "control/control_core.h"

namespace quorvalen {
namespace {

uint8_t ByteAt(const std::string& text, size_t i) { return static_cast<uint8_t>(text[i]); }

}  // namespace

void ControlCore::SendBfbFrame(std::string_view packet) {
  if (!BfbFramingInForce()) {
    WriteToPort(packet);
    return;
  }
  const std::string frames = BuildBfbFrames(packet, BfbSequence);
  BfbSequence = (BfbSequence + 1) % 256;
  DebugTrace(" BFB>    :DATA");
  WriteToPort(frames);
}

void ControlCore::DecodeBfbFrame(char ch) {
  RestartObexTimer();
  BfbFrameBuffer += ch;
  if (BfbFrameBuffer.size() <= 3) return;
  if (ByteAt(BfbFrameBuffer, 0) != kBfbDataFrame) {
    BfbFrameBuffer.clear();
    DebugTrace(" >BFB    :TYPE ERROR");
    return;
  }
  const uint8_t n = ByteAt(BfbFrameBuffer, 1);
  if ((n ^ kBfbDataFrame) != ByteAt(BfbFrameBuffer, 2)) {
    BfbFrameBuffer.clear();
    DebugTrace(" >BFB    :CHK ERROR");
    return;
  }
  if (BfbFrameBuffer.size() > size_t{n} + 3) {
    // Only a frame that declares no payload can get here.
    BfbFrameBuffer.clear();
    DebugTrace(" >BFB    :LEN ERROR");
    return;
  }
  if (BfbFrameBuffer.size() != size_t{n} + 3) return;

  BfbDataBuffer.append(BfbFrameBuffer, 3);
  BfbFrameBuffer.clear();
  const uint8_t type = ByteAt(BfbDataBuffer, 0);
  if (type == 0x01) {
    BfbDataBuffer.clear();
    DebugTrace(" >BFB    :ACK");
    return;
  }
  if (type != 0x02 && type != 0x03) {
    DebugTrace(" >BFB    :CMD ERROR ", TraceHex{BfbDataBuffer});
    BfbDataBuffer.clear();
    return;
  }
  // Its declared length alone decides when the block is whole (or can
  // never be); its type complement and CRC are not looked at.
  const BfbBlockFault fill = BfbBlockFill(BfbDataBuffer);
  if (fill == BfbBlockFault::kTooLong) {
    BfbDataBuffer.clear();
    DebugTrace(" >BFB    :LEN ERROR");
    return;
  }
  if (fill != BfbBlockFault::kNone) return;
  const size_t length = BfbDeclaredLength(BfbDataBuffer);

  // A whole block: acknowledge it, then pass its data on.
  const std::string block = std::move(BfbDataBuffer);
  BfbDataBuffer.clear();
  DebugTrace(" >BFB    :DATA");
  WriteToPort(kBfbAckFrame);
  DebugTrace(" BFB>    :ACK");
  for (size_t i = kBfbBlockHead; i < kBfbBlockHead + length; ++i)
    OBEX_Decoder(std::string(1, block[i]));
}

}  // namespace quorvalen
