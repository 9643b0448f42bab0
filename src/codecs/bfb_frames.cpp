// The CRC-16 of BFB data blocks, and the building and reading of BFB frames
// and blocks.
#include "quorvalen/bfb.h"

namespace quorvalen {

const std::array<uint16_t, 256>& Crc16Table() {
  static const std::array<uint16_t, 256> table = [] {
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
      uint16_t reg = static_cast<uint16_t>(i);
      for (int bit = 0; bit < 8; ++bit) reg = (reg & 1) ? (reg >> 1) ^ 0x8408 : reg >> 1;
      t[i] = reg;
    }
    return t;
  }();
  return table;
}

namespace {

uint16_t Crc16(const uint8_t* data, size_t count) {
  if (count == 0) return 0;
  const auto& table = Crc16Table();
  uint16_t reg = 0xFFFF;
  for (size_t i = 0; i < count; ++i) reg = table[(data[i] ^ reg) & 0xFF] ^ (reg >> 8);
  return reg;
}

}  // namespace

uint16_t Crc16OfText(std::string_view text) {
  return Crc16(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

uint16_t Crc16OfBytes(const std::vector<uint8_t>& bytes, int count) {
  size_t n = count < 0 ? bytes.size() : std::min(bytes.size(), static_cast<size_t>(count));
  return Crc16(bytes.data(), n);
}

std::string BuildBfbFrame(uint8_t type, std::string_view payload) {
  const auto n = static_cast<uint8_t>(payload.size());
  std::string frame;
  frame.reserve(3 + payload.size());
  frame += static_cast<char>(type);
  frame += static_cast<char>(n);
  frame += static_cast<char>(type ^ n);
  frame.append(payload);
  return frame;
}

std::string BuildBfbBlock(std::string_view data, int sequence) {
  const size_t length = data.size();
  std::string block;
  block.reserve(length + 7);
  block += sequence == 0 ? '\x02' : '\x03';
  block += sequence == 0 ? '\xFD' : '\xFC';
  block += static_cast<char>(sequence & 0xFF);
  block += static_cast<char>((length >> 8) & 0xFF);
  block += static_cast<char>(length & 0xFF);
  block.append(data);
  const uint16_t crc = Crc16OfText(std::string_view(block).substr(2)) ^ 0xFFFF;
  block += static_cast<char>(crc & 0xFF);
  block += static_cast<char>(crc >> 8);
  return block;
}

std::string BuildBfbFrames(std::string_view data, int sequence) {
  const std::string block = BuildBfbBlock(data, sequence);
  std::string frames;
  frames.reserve(block.size() + 3 * (block.size() / kBfbMaxSlice + 1));
  for (size_t at = 0; at < block.size(); at += kBfbMaxSlice) {
    frames += BuildBfbFrame(kBfbDataFrame, std::string_view(block).substr(at, kBfbMaxSlice));
  }
  return frames;
}

void SplitBfbFrames(std::string_view bytes, BfbFrameTypes types, BfbFrameSplit& split) {
  split.frames.clear();
  split.junk = 0;
  split.used = 0;
  size_t& at = split.used;
  while (bytes.size() - at >= 3) {
    const auto type = static_cast<uint8_t>(bytes[at]);
    const auto length = static_cast<uint8_t>(bytes[at + 1]);
    const auto check = static_cast<uint8_t>(bytes[at + 2]);
    if (length == 0 || check != (type ^ length) || (types && !types(type))) {
      ++split.junk;
      ++at;
      continue;
    }
    if (bytes.size() - at - 3 < length) break;
    split.frames.push_back(
        BfbFrame{type, bytes.substr(at, 3u + length), bytes.substr(at + 3, length)});
    at += 3u + length;
  }
}

BfbFrameSplit SplitBfbFrames(std::string_view bytes, BfbFrameTypes types) {
  BfbFrameSplit split;
  SplitBfbFrames(bytes, types, split);
  return split;
}

std::string_view BfbBlockFaultName(BfbBlockFault fault) {
  switch (fault) {
    case BfbBlockFault::kNone:
      return "whole";
    case BfbBlockFault::kShort:
      return "short";
    case BfbBlockFault::kTooLong:
      return "too long";
    case BfbBlockFault::kWrongType:
      return "wrong type";
    case BfbBlockFault::kBadCrc:
      return "bad CRC";
  }
  return "unknown";
}

bool BeginsBfbDataBlock(std::string_view head) {
  if (head.empty()) return false;
  const auto type = static_cast<uint8_t>(head[0]);
  if (type != 0x02 && type != 0x03) return false;
  if (head.size() >= 2 && static_cast<uint8_t>(head[1]) != 0xFF - type) return false;
  // Sequence 0 goes with type 02, every other with 03.
  return head.size() < 3 || (head[2] == 0) == (type == 0x02);
}

BfbBlockFault BfbBlockFill(std::string_view so_far) {
  if (so_far.size() < kBfbBlockHead) return BfbBlockFault::kShort;
  const size_t length = BfbDeclaredLength(so_far);
  if (length >= kBfbMaxBlockData || so_far.size() > length + kBfbBlockOverhead) {
    return BfbBlockFault::kTooLong;
  }
  return so_far.size() < length + kBfbBlockOverhead ? BfbBlockFault::kShort : BfbBlockFault::kNone;
}

BfbBlock ReadBfbBlock(std::string_view block) {
  BfbBlock read;
  read.fault = BfbBlockFill(block);
  if (read.fault != BfbBlockFault::kNone) return read;
  if (!BeginsBfbDataBlock(block)) {
    read.fault = BfbBlockFault::kWrongType;
    return read;
  }
  const size_t length = block.size() - kBfbBlockOverhead;
  const uint16_t crc = Crc16OfText(block.substr(2, length + 3)) ^ 0xFFFF;
  if (static_cast<uint8_t>(block[length + 5]) != (crc & 0xFF) ||
      static_cast<uint8_t>(block[length + 6]) != (crc >> 8)) {
    read.fault = BfbBlockFault::kBadCrc;
    return read;
  }
  read.type = static_cast<uint8_t>(block[0]);
  read.sequence = static_cast<uint8_t>(block[2]);
  read.data = block.substr(kBfbBlockHead, length);
  return read;
}

}  // namespace quorvalen
