// BFB framing, shared by the control and the simulated phone: the CRC-16 of
// the data blocks, and the building of frames and blocks.
//
// A frame is [type][length n][type XOR n][n payload bytes]. Data frames
// (type 0x16) carry the slices of a data block:
//   [block type][0xFF - block type][sequence][length, 2 bytes MSB first]
//   [data][CRC-16 over sequence, length and data, LSB first]
// with block type 0x02 for sequence 0 and 0x03 otherwise; an
// acknowledgement block is just 0x01 0xFE.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvalen {

inline constexpr uint8_t kBfbDataFrame = 0x16;
inline constexpr size_t kBfbMaxSlice = 32;
// The acknowledgement frame: a data frame carrying the block 01 FE.
inline constexpr std::string_view kBfbAckFrame{"\x16\x02\x14\x01\xFE", 5};

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

}  // namespace quorvalen
