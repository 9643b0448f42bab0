// BFB framing, shared by the control, the session and the simulated phone:
// the CRC-16 of the data blocks, the building of frames and blocks, and
// their reading.
//
// A frame is [type][length n][type XOR n][n payload bytes]. Data frames
// (type 0x16) carry the slices of a data block:
//   [block type][0xFF - block type][sequence][length, 2 bytes MSB first]
//   [data][CRC-16 over sequence, length and data, LSB first]
// with block type 0x02 for sequence 0 and 0x03 otherwise; an
// acknowledgement block is just 0x01 0xFE.
//
// The readers are pure: they look at the bytes they are given and keep
// nothing, so each caller keeps its own buffers and its own rules about
// what to do with a damaged block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvalen {

// Frame types: data blocks; the line speed and the interface asked for when
// the link starts; an AT line (in BFB mode, and its answer).
inline constexpr uint8_t kBfbDataFrame = 0x16;
inline constexpr uint8_t kBfbSpeedFrame = 0x01;
inline constexpr uint8_t kBfbInterfaceFrame = 0x02;
inline constexpr uint8_t kBfbAtFrame = 0x06;
inline constexpr size_t kBfbMaxSlice = 32;
// The acknowledgement block, and the frame that carries it.
inline constexpr std::string_view kBfbAckBlock{"\x01\xFE", 2};
inline constexpr std::string_view kBfbAckFrame{"\x16\x02\x14\x01\xFE", 5};
// A block's type, complement, sequence and length before its data, and its
// CRC after.
inline constexpr size_t kBfbBlockHead = 5;
inline constexpr size_t kBfbBlockOverhead = kBfbBlockHead + 2;
// Declared data lengths from this one on are outside what a link carries.
inline constexpr size_t kBfbMaxBlockData = 0x8000;

// The CRC-16 of ITU-T X.25 (reflected 0x8408, start 0xFFFF): entry i is the
// register after shifting the byte value i through it.
const std::array<uint16_t, 256>& Crc16Table();
// The register over the bytes, starting at 0xFFFF, without the final XOR.
// An empty input gives 0.
uint16_t Crc16OfText(std::string_view text);
// The same over the first count bytes of an array; a negative count means
// the whole array.
uint16_t Crc16OfBytes(const std::vector<uint8_t>& bytes, int count);

// One frame of any type around a payload of 1 to 255 bytes.
std::string BuildBfbFrame(uint8_t type, std::string_view payload);
// The whole data block for data and sequence (0 to 255), without framing.
std::string BuildBfbBlock(std::string_view data, int sequence);
// The data block cut into data frames of at most 32 payload bytes, ready to
// write.
std::string BuildBfbFrames(std::string_view data, int sequence);

// ---- Reading frames.

// A frame found in a byte stream; both views point into those bytes.
struct BfbFrame {
  uint8_t type = 0;
  std::string_view whole;  // header and payload
  std::string_view payload;
};

// Which frame types a reader takes; nullptr takes every type.
using BfbFrameTypes = bool (*)(uint8_t type);

// The whole frames at the front of a byte stream, in order. Bytes that
// begin no frame header (a length of 0, a check that is not type XOR
// length, a type that `types` refuses) are junk, skipped one at a time.
// What is not used may begin a frame still coming.
struct BfbFrameSplit {
  std::vector<BfbFrame> frames;  // payloads point into the bytes split
  size_t junk = 0;               // bytes skipped
  size_t used = 0;               // bytes of the frames and the junk
};
BfbFrameSplit SplitBfbFrames(std::string_view bytes, BfbFrameTypes types = nullptr);
// The same into split, whose list of frames keeps its room from one call to
// the next (for a reader that splits every chunk of a stream).
void SplitBfbFrames(std::string_view bytes, BfbFrameTypes types, BfbFrameSplit& split);

// ---- Reading data blocks.

// What is wrong with the bytes of a data block.
enum class BfbBlockFault {
  kNone,
  kShort,      // fewer bytes than the block declares (or than its head)
  kTooLong,    // more bytes than it declares, or a length of 0x8000 or more
  kWrongType,  // not 02 FD with sequence 0, nor 03 FC with another
  kBadCrc,
};
// A short name of the fault, for traces and messages ("bad CRC").
std::string_view BfbBlockFaultName(BfbBlockFault fault);

// The data length the block that begins head declares (its bytes 3 and 4);
// head holds at least the five bytes of a block's head.
inline size_t BfbDeclaredLength(std::string_view head) {
  return size_t{static_cast<uint8_t>(head[3])} << 8 | static_cast<uint8_t>(head[4]);
}

// Whether the first bytes of a block (as many as there are, up to its
// sequence number) keep to the type rule. False for the acknowledgement.
bool BeginsBfbDataBlock(std::string_view head);

// How far a block being put together from the payloads of its frames has
// come: kNone when whole, kShort while more is to come, kTooLong when it
// can never be whole. Neither its type nor its CRC is looked at.
BfbBlockFault BfbBlockFill(std::string_view so_far);

// A whole data block read: its type, sequence number and data (pointing
// into the block), or the first thing found wrong with it (fill first,
// then type, then CRC).
struct BfbBlock {
  BfbBlockFault fault = BfbBlockFault::kNone;
  uint8_t type = 0;
  int sequence = 0;
  std::string_view data;
};
BfbBlock ReadBfbBlock(std::string_view block);

}  // namespace quorvalen
