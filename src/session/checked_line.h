// The session's guard on a BFB line.
//
// The control's BFB receiver takes every block it is given: it checks
// neither the CRC nor the sequence number, and a phone that sends a block
// twice (its answer re-sent because the acknowledgement came late, or bytes
// doubled on a bad cable) has the copy decoded as the next packet. The
// session cannot change that receiver, so it sits between the control and
// the serial port instead: while the control's framing is in force, the
// bytes from the phone pass through a receiver of its own, and the control
// sees only whole data blocks whose CRC holds and whose sequence number is
// not the one of the block it was given before. Junk between frames, and
// frames of other types (which the control drops four bytes at a time), are
// skipped: the control would lose the frame behind them. A dropped block is
// not acknowledged, so a phone that re-sends unacknowledged blocks sends it
// again; otherwise the request ends by its time-out, never with the wrong
// bytes.
//
// In raw OBEX mode on a cable there is nothing to check a byte by, but one
// thing is known: the phone answers each request with one packet. Bytes
// that come when no answer is owed (a doubled answer, junk after the
// packet) are kept from the control, which would take them as the answer
// to its next request; bytes that cannot begin an answer are skipped.
// Outside these modes every byte passes as it came.
//
// Where a request begins is read from what the control writes, however it
// slices its writes: the data blocks in the BFB frames written, the
// declared lengths of the packets written in raw OBEX. A request that
// begins makes what is left of an earlier answer stale.
//
// A transfer stopped by the host (a cancel, a sink that failed) is ended
// here too. The control sends the next packet of a GET or PUT as soon as
// the phone's answer to the last one is in, and takes no other command
// until the transfer ends; left alone, it would end only by its request
// time-out. So while the session stops a transfer, every request the
// control begins goes out as an ABORT instead (in BFB mode under the
// sequence number the control gave it): the phone ends the transfer and
// answers, and that final answer ends the request in the control.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "quorvalen/platform.h"

namespace quorvalen {

// What the guard has kept from the control.
enum class LineMode { kPlain, kBfb, kRawObex };

struct LineCounters {
  uint64_t damaged_blocks = 0;   // CRC, type or length wrong
  uint64_t repeated_blocks = 0;  // the block given before, again
  uint64_t junk_bytes = 0;       // bytes that belong to no frame or answer
  uint64_t asked_again = 0;      // BFB requests sent again for a lost answer
  bool hung_up = false;          // the line's other end went away
};

class CheckedPlatform : public Platform {
 public:
  explicit CheckedPlatform(Platform& inner) : inner_(inner) {}
  // The mode of the link (asked on every read).
  void Mode(std::function<LineMode()> mode) { mode_ = std::move(mode); }
  const LineCounters& Counters() const { return *counters_; }

  // While paused, the trace keeps no line of what the control does; the
  // first line held back is replaced by a note saying why.
  void PauseTrace(bool paused, std::string why = {}) {
    trace_->paused = paused;
    trace_->why = std::move(why);
    trace_->noted = false;
  }

  // While the control waits for the prompt of a line with a data block
  // (",HEX>"). It reads the port itself then and sends the block whatever
  // came; a phone that refuses the line instead of prompting (a SIM that
  // wants its PIN, a full memory) would take the block for command text and
  // its answer would be lost. So a final answer that comes instead of the
  // prompt is held back, the block is kept from the phone, and the answer
  // then reaches the control by the ordinary way, which ends the line.
  // While on, each request the control writes is replaced by an ABORT (see
  // above); AbortsSent counts them from the last switch on.
  void AbortRequests(bool on) {
    abort_->armed = on;
    if (on) abort_->sent = 0;
  }
  uint64_t AbortsSent() const { return abort_->sent; }

  void AwaitPrompt(bool awaited) {
    prompt_->awaited = awaited;
    prompt_->refused = false;
    prompt_->seen.clear();
    prompt_->held.clear();
  }

  EventLoop& Loop() override { return inner_.Loop(); }
  Clock& Time() override { return inner_.Time(); }
  Container& Site() override { return inner_.Site(); }
  // Infrared devices it creates are wrapped, so that a transfer over
  // infrared is stopped the same way.
  ObjectFactory& Factory() override;
  Beeper& Bell() override { return inner_.Bell(); }
  std::unique_ptr<TraceFile> CreateTraceFile() override;
  std::unique_ptr<SerialPort> CreateSerialPort() override;

 private:
  Platform& inner_;
  std::function<LineMode()> mode_;
  std::shared_ptr<LineCounters> counters_ = std::make_shared<LineCounters>();
  struct TracePause {
    bool paused = false;
    bool noted = false;
    std::string why;
  };
  std::shared_ptr<TracePause> trace_ = std::make_shared<TracePause>();
  friend class PausableTrace;

 public:
  struct PromptWatch {
    bool awaited = false;
    bool refused = false;
    std::string seen;  // what came while the prompt was awaited
    std::string held;  // the refusal, kept until the block is dropped
  };
  struct AbortWatch {
    bool armed = false;
    uint64_t sent = 0;
  };

 private:
  std::shared_ptr<PromptWatch> prompt_ = std::make_shared<PromptWatch>();
  std::shared_ptr<AbortWatch> abort_ = std::make_shared<AbortWatch>();
  std::unique_ptr<ObjectFactory> factory_;
};

}  // namespace quorvalen
