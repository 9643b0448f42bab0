// A minimal host for driving the simulated phone by hand on the virtual
// line: bytes out at a chosen speed, whatever came back after a while.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

  SerialPort& Port() { return *port_; }
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

// The payloads of the BFB frames in the bytes, in order.
inline std::vector<std::string> FramePayloads(std::string_view bytes) {
  std::vector<std::string> payloads;
  for (const BfbFrame& frame : SplitBfbFrames(bytes).frames) payloads.emplace_back(frame.payload);
  return payloads;
}

// The OBEX packets carried by the data blocks in the bytes (acknowledgements
// skipped); a damaged block is a test failure.
inline std::vector<std::string> BlocksData(std::string_view bytes) {
  std::vector<std::string> packets;
  std::string block;
  for (const BfbFrame& frame : SplitBfbFrames(bytes).frames) {
    if (frame.type != kBfbDataFrame) continue;
    block += frame.payload;
    if (block == kBfbAckBlock) {
      block.clear();
    } else if (BfbBlockFill(block) == BfbBlockFault::kNone) {
      const BfbBlock read = ReadBfbBlock(block);
      EXPECT_EQ(read.fault, BfbBlockFault::kNone) << BfbBlockFaultName(read.fault);
      packets.emplace_back(read.data);
      block.clear();
    }
  }
  return packets;
}

}  // namespace quorvalen::sim
