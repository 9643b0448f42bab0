// The time bytes take on a cable, for a phone on a line that takes none (a
// pseudo-terminal carries bytes as fast as they are written). What the
// phone sends leaves one byte after the other, ten bits a byte (8N1: start,
// eight data bits, stop), at the speed in force when it was sent; what the
// host sends is acted on only once its last bit would have arrived at the
// host's speed. Each direction keeps its order. The work runs on the
// wrapped line's clock, so a virtual clock checks it in microseconds.
//
// The virtual serial line and the virtual infrared link take this time
// themselves: a phone there needs no pacing (it would be paid twice).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "quorvalen/sim/phone.h"

namespace quorvalen::sim {

class PacedLine : public PhoneLine {
 public:
  // Bytes handed on at a time in each direction: a UART's FIFO.
  static constexpr size_t kChunk = 16;
  // Bits on the line per byte of 8N1.
  static constexpr int kBitsPerByte = 10;

  using Receiver = std::function<void(std::string_view bytes)>;

  // fixed_rate: the bit rate every byte travels at, whatever speed the
  // phone names (the infrared link); 0: the speed each Send names.
  explicit PacedLine(PhoneLine& line, int fixed_rate = 0);
  ~PacedLine() override;
  PacedLine(const PacedLine&) = delete;
  PacedLine& operator=(const PacedLine&) = delete;

  // The line time of so many bytes at a speed, in milliseconds.
  static double LineTimeMs(size_t bytes, int baud) {
    return static_cast<double>(bytes) * kBitsPerByte * 1000.0 / baud;
  }

  double NowMs() override { return line_.NowMs(); }
  void After(double ms, std::function<void()> work) override { line_.After(ms, std::move(work)); }
  // Queues the bytes; each chunk reaches the wrapped line when its last
  // byte has left. A speed of 0 (none known) takes no time, in order.
  void Send(std::string_view bytes, int baud) override;
  // The line drops once what was sent before has left.
  void HangUp() override;

  // Bytes from the host at its speed (0: none known; the fallback speed
  // then counts): receiver gets them chunk by chunk, each once its last
  // byte has arrived, after everything that arrived before.
  void Arrive(std::string_view bytes, int host_baud, int fallback_baud, const Receiver& receiver);
  // Something that happens on the line (the host letting go), in order
  // after the bytes that arrived before it; no time of its own.
  void Arrive(std::function<void()> event);
  // Forgets what is still on its way in either direction (a replug).
  void Drop();

  // When the last byte queued towards the host will have left.
  double SendFreeAtMs() const { return out_.free_at; }

 private:
  struct Item {
    double due;
    std::function<void()> work;
  };
  struct Direction {
    std::deque<Item> items;
    double free_at = 0;
    bool pump_due = false;
  };
  void Queue(Direction& direction, double due, std::function<void()> work);
  void SchedulePump(Direction& direction);
  void Pump(Direction& direction);
  int Rate(int baud) const { return fixed_rate_ > 0 ? fixed_rate_ : baud; }

  PhoneLine& line_;
  const int fixed_rate_;
  Direction out_;
  Direction in_;
  // Pumps scheduled before a Drop are stale: they carry the old number.
  uint64_t generation_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quorvalen::sim
