// A minimal host for driving the simulated phone by hand on the virtual
// line: bytes out at a chosen speed, whatever came back after a while.
#pragma once

#include <memory>
#include <string>

#include "quorvalen/bfb.h"
#include "quorvalen/virtual_platform.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"

namespace quorvalen::sim {

class SimHost {
 public:
  explicit SimHost(PhoneOptions options, std::unique_ptr<FileStore> store = nullptr)
      : phone_(platform_, 1, std::move(options),
               store ? std::move(store) : std::make_unique<SampleStore>()),
        port_(platform_.CreateSerialPort()) {
    port_->PortOpen(true);
    phone_.Phone().SetTranscript(&transcript_);
  }

  void Speed(int baud) { port_->Settings(std::to_string(baud) + ",n,8,1"); }
  // Sends bytes, lets wait_ms pass, returns what arrived meanwhile.
  std::string Exchange(std::string_view bytes, int64_t wait_ms = 300) {
    port_->Output(bytes);
    return Listen(wait_ms);
  }
  std::string Listen(int64_t wait_ms) {
    platform_.Loop().RunFor(wait_ms);
    return port_->Input();
  }
  // An OBEX packet in a data block of its own, with the next sequence.
  std::string Block(std::string_view packet) { return BuildBfbFrames(packet, sequence_++ % 256); }

  SimulatedPhone& Phone() { return phone_.Phone(); }
  VirtualPhone& Attachment() { return phone_; }
  VirtualPlatform& Platform() { return platform_; }
  Transcript& Log() { return transcript_; }

 private:
  VirtualPlatform platform_;
  VirtualPhone phone_;
  std::unique_ptr<SerialPort> port_;
  Transcript transcript_;
  int sequence_ = 0;
};

// Cuts received bytes into BFB frames (type, payload); the rest stays.
struct Frame {
  int type;
  std::string payload;
};
inline std::vector<Frame> CutFrames(std::string& bytes) {
  std::vector<Frame> frames;
  while (bytes.size() >= 3) {
    auto type = static_cast<uint8_t>(bytes[0]);
    auto n = static_cast<uint8_t>(bytes[1]);
    if (bytes.size() < 3u + n) break;
    frames.push_back({type, bytes.substr(3, n)});
    bytes.erase(0, 3u + n);
  }
  return frames;
}

// The OBEX packets carried by the data frames (acknowledgements skipped).
inline std::vector<std::string> BlocksData(const std::vector<Frame>& frames) {
  std::vector<std::string> packets;
  std::string block;
  for (const Frame& f : frames) {
    if (f.type != kBfbDataFrame) continue;
    block += f.payload;
    if (block.size() == 2 && static_cast<uint8_t>(block[0]) == 0x01) {
      block.clear();
      continue;
    }
    if (block.size() >= 5) {
      size_t length = (static_cast<uint8_t>(block[3]) << 8) | static_cast<uint8_t>(block[4]);
      if (block.size() == length + 7) {
        packets.push_back(block.substr(5, length));
        block.clear();
      }
    }
  }
  return packets;
}

}  // namespace quorvalen::sim
