// The simulated phone's modes: AT lines, raw OBEX, and the BFB link.
#include "quorvalen/sim/phone.h"

#include <algorithm>
#include <cctype>

#include "quorvalen/bfb.h"
#include "sim/at_commands.h"

namespace quorvalen::sim {
namespace {

constexpr int kAtSpeed = 19200;
constexpr int kBfbSpeed = 57600;
constexpr int kBfbFastSpeed = 115200;
constexpr size_t kMaxAtLine = 512;
constexpr size_t kMaxText = 4096;
constexpr char kCtrlZ = 0x1A;
constexpr char kEscape = 0x1B;

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

std::string Line(std::string_view text) { return "\r\n" + std::string(text) + "\r\n"; }

const std::string kError = Line("ERROR");

}  // namespace

std::string SimulatedPhone::WithCheckDigit(const std::string& digits) {
  std::string body;
  for (char c : digits) {
    if (c >= '0' && c <= '9' && body.size() < 14) body += c;
  }
  while (body.size() < 14) body += '0';
  // Luhn: double every second digit from the right of the full number.
  int sum = 0;
  for (int i = 0; i < 14; ++i) {
    int d = body[i] - '0';
    if (i % 2 == 1) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
    sum += d;
  }
  return body + static_cast<char>('0' + (10 - sum % 10) % 10);
}

SimulatedPhone::SimulatedPhone(PhoneLine& line, FileStore& store, PhoneOptions options)
    : line_(line),
      store_(store),
      options_(std::move(options)),
      server_(store_, ObexServerOptions{options_.packet_size}),
      faults_(options_.faults, options_.seed) {
  options_.serial_number = WithCheckDigit(options_.serial_number);
  AtCommands::Phone phone;
  phone.answer = [this](std::string_view bytes) { Answer(bytes); };
  phone.enter_bfb = [this]() { EnterBfb(); };
  phone.enter_raw_obex = [this](bool connection) { EnterRawObex(connection); };
  at_ = std::make_unique<AtCommands>(options_, std::move(phone));
}

SimulatedPhone::~SimulatedPhone() { *alive_ = false; }

MessageStore& SimulatedPhone::Messages() { return at_->Messages(); }

bool SimulatedPhone::SpeedMatches(int host_baud) const {
  if (options_.cable != Cable::kSerial || host_baud == 0) return true;
  // A UART copes with about 3% between the two ends.
  return std::abs(host_baud - speed_) * 100 <= 3 * speed_;
}

void SimulatedPhone::Receive(std::string_view bytes, int host_baud) {
  if (transcript_) transcript_->Record(line_.NowMs(), Transcript::Direction::kHostToPhone, bytes);
  if (hung_up_ || bytes.empty()) return;
  switch (mode_) {
    case Mode::kAt:
      ReceiveAt(bytes, host_baud);
      break;
    case Mode::kRawObex: {
      const double now = line_.NowMs();
      if (!SpeedMatches(host_baud)) {
        counters_.garbage_bytes += bytes.size();
      } else {
        ReceiveRawObex(bytes, now);
      }
      // Silence is measured between arrivals, on one reading of the clock.
      last_byte_ms_ = now;
      break;
    }
    case Mode::kBfb:
      if (!SpeedMatches(host_baud)) {
        counters_.garbage_bytes += bytes.size();
      } else {
        ReceiveBfb(bytes);
      }
      break;
  }
}

void SimulatedPhone::Replug() {
  hung_up_ = false;
  server_.Reset();
  at_->SetEcho(true);
  EnterAtMode();
  if (transcript_) transcript_->Note(line_.NowMs(), "replugged");
}

void SimulatedPhone::HostLetGo() {
  const bool connection = mode_ == Mode::kRawObex && raw_connection_ && !hung_up_;
  if (transcript_) {
    transcript_->Note(line_.NowMs(),
                      connection ? "host let go: connection ended, AT mode" : "host let go");
  }
  if (!connection) return;
  server_.Reset();
  EnterAtMode();
}

void SimulatedPhone::ServiceOpened(bool obex) {
  if (transcript_) {
    transcript_->Note(line_.NowMs(), obex ? "OBEX service opened" : "serial service opened");
  }
  if (obex) {
    server_.Reset();
    service_packets_ = ObexPacketAssembler();
  } else {
    EnterAtMode();
  }
}

void SimulatedPhone::ReceiveObexService(std::string_view bytes) {
  if (transcript_) transcript_->Record(line_.NowMs(), Transcript::Direction::kHostToPhone, bytes);
  if (!hung_up_) ServeObex(service_packets_, bytes);
}

void SimulatedPhone::EnterAtMode() {
  mode_ = Mode::kAt;
  speed_ = kAtSpeed;
  at_->Reset();
  saw_a_ = in_line_ = false;
  at_line_.clear();
  text_.clear();
  frame_.clear();
  block_.clear();
  held_plus_.clear();
  raw_packets_ = ObexPacketAssembler();
  bfb_packets_ = ObexPacketAssembler();
}

// ---- AT mode ----

void SimulatedPhone::ReceiveAt(std::string_view bytes, int host_baud) {
  const bool autobaud = options_.family == 0;
  std::string echo;
  auto flush_echo = [&]() {
    if (!echo.empty() && at_->Echo()) Answer(echo);
    echo.clear();
  };
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (at_->AwaitingText()) {
      if (!SpeedMatches(host_baud)) {
        ++counters_.garbage_bytes;
        continue;
      }
      if (c == kCtrlZ || c == kEscape) {
        FinishTextEntry(c == kCtrlZ);
      } else if (text_.size() < kMaxText) {
        text_ += c;
      }
      continue;
    }
    // A phone that detects the speed takes it from the "AT" of each line;
    // the others listen at 19200 only.
    if (autobaud && !in_line_ && host_baud != 0) speed_ = host_baud;
    const int wanted = in_line_ && autobaud ? line_baud_ : speed_;
    if (options_.cable == Cable::kSerial && host_baud != 0 &&
        std::abs(host_baud - wanted) * 100 > 3 * wanted) {
      ++counters_.garbage_bytes;
      continue;
    }
    echo += c;
    if (!in_line_) {
      if (saw_a_ && (c == 'T' || c == 't')) {
        in_line_ = true;
        line_baud_ = speed_;
        at_line_ = std::string(1, saw_a_char_) + c;
      }
      saw_a_ = c == 'A' || c == 'a';
      saw_a_char_ = c;
      continue;
    }
    if (c == '\r') {
      flush_echo();
      in_line_ = saw_a_ = false;
      std::string line = std::move(at_line_);
      at_line_.clear();
      std::string answer = RunAtLine(line, false);
      if (!answer.empty()) Answer(answer);
      if (mode_ != Mode::kAt) {
        // The rest came at the old speed: garbage to the new mode.
        counters_.garbage_bytes += bytes.size() - i - 1;
        return;
      }
      continue;
    }
    if (c == '\b' || c == 0x7F) {
      if (at_line_.size() > 2) at_line_.pop_back();
      continue;
    }
    if (c == '\n') continue;
    if (at_line_.size() >= kMaxAtLine) {
      // A line longer than any command: drop it.
      in_line_ = saw_a_ = false;
      at_line_.clear();
      flush_echo();
      Answer(kError);
      continue;
    }
    at_line_ += c;
  }
  flush_echo();
}

void SimulatedPhone::FinishTextEntry(bool send) {
  const std::string text = std::move(text_);
  text_.clear();
  Answer(at_->FinishText(text, send));
}

// Runs one command line (sim/at_commands.cpp); returns its answer. Mode
// changes happen after the answer has been sent (at the speed in force
// before them).
std::string SimulatedPhone::RunAtLine(const std::string& line, bool framed) {
  text_.clear();
  return at_->Run(line, framed);
}

void SimulatedPhone::EnterBfb() {
  mode_ = Mode::kBfb;
  speed_ = kBfbSpeed;
  frame_.clear();
  block_.clear();
  last_sequence_ = -1;
  bfb_packets_ = ObexPacketAssembler();
}

void SimulatedPhone::EnterRawObex(bool connection) {
  mode_ = Mode::kRawObex;
  raw_connection_ = connection;
  speed_ = line_baud_ != 0 ? line_baud_ : speed_;
  raw_packets_ = ObexPacketAssembler();
  held_plus_.clear();
  last_byte_ms_ = line_.NowMs();
}

// ---- raw OBEX mode ----

void SimulatedPhone::ReceiveRawObex(std::string_view bytes, double now) {
  // "+++" after a silence may be the escape back to AT mode: hold the
  // pluses until the silence after them decides. A packet half received
  // before that silence is dead anyway, and must not keep the phone from
  // hearing the escape.
  size_t i = 0;
  if (held_plus_.empty() && bytes[0] == '+' &&
      now - last_byte_ms_ >= options_.escape_silence_before_ms) {
    while (i < bytes.size() && bytes[i] == '+' && held_plus_.size() < 4) held_plus_ += bytes[i++];
  } else if (!held_plus_.empty()) {
    while (i < bytes.size() && bytes[i] == '+' && held_plus_.size() < 4) held_plus_ += bytes[i++];
  }
  if (!held_plus_.empty()) {
    if (i == bytes.size() && held_plus_.size() <= 3) {
      if (held_plus_.size() == 3) {
        std::weak_ptr<bool> alive = alive_;
        line_.After(options_.escape_silence_after_ms, [this, alive, now]() {
          if (!alive.expired()) CheckEscape(now);
        });
      }
      return;
    }
    // Not an escape after all: the pluses were data.
    std::string held = std::move(held_plus_);
    held_plus_.clear();
    ServeObex(raw_packets_, held);
  }
  ServeObex(raw_packets_, bytes.substr(i));
}

void SimulatedPhone::CheckEscape(double plus_time) {
  if (mode_ != Mode::kRawObex || held_plus_ != "+++" || last_byte_ms_ > plus_time) return;
  held_plus_.clear();
  const int speed = speed_;
  EnterAtMode();
  speed_ = speed;  // answers at the speed it was spoken to
  Answer(Line("OK"));
}

void SimulatedPhone::ServeObex(ObexPacketAssembler& packets, std::string_view bytes) {
  if (bytes.empty()) return;
  packets.Feed(bytes);
  while (auto packet = packets.Next()) {
    ++counters_.obex_requests;
    Answer(server_.Handle(*packet));
  }
}

// ---- BFB mode ----

void SimulatedPhone::ReceiveBfb(std::string_view bytes) {
  frame_.append(bytes);
  // Frames of every type are taken; a byte that begins no frame header is
  // skipped.
  const BfbFrameSplit split = SplitBfbFrames(frame_);
  counters_.corrupt_frames += split.junk;
  for (const BfbFrame& frame : split.frames) {
    HandleFrame(frame.type, std::string(frame.payload));  // a frame may switch the mode
    if (mode_ != Mode::kBfb) {
      frame_.clear();
      return;
    }
  }
  frame_.erase(0, split.used);
}

void SimulatedPhone::HandleFrame(uint8_t type, std::string_view payload) {
  switch (type) {
    case kBfbInterfaceFrame:
      if (payload == "\x14") Answer(BuildBfbFrame(kBfbInterfaceFrame, "\x14\xAA"));
      break;
    case kBfbSpeedFrame:
      if (options_.family == 2 && payload.size() == 10 &&
          static_cast<uint8_t>(payload[0]) == 0xC0 && payload.substr(1, 6) == "115200") {
        std::string answer(payload);
        answer[0] = static_cast<char>(0xCC);
        Answer(BuildBfbFrame(kBfbSpeedFrame, answer));
        speed_ = kBfbFastSpeed;
      }
      break;
    case kBfbAtFrame: {
      std::string line(payload);
      while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
      std::string answer = RunAtLine(line, true);
      for (size_t at = 0; at < answer.size(); at += 255) {
        Answer(BuildBfbFrame(kBfbAtFrame, std::string_view(answer).substr(at, 255)));
      }
      if (Upper(line) == "AT^SBFB=0") EnterAtMode();
      break;
    }
    case kBfbDataFrame:
      HandleBlockBytes(payload);
      break;
    default:
      ++counters_.corrupt_frames;
      break;
  }
}

void SimulatedPhone::HandleBlockBytes(std::string_view payload) {
  block_.append(payload);
  if (block_.size() >= 2 && block_[0] == kBfbAckBlock[0]) {
    if (block_ == kBfbAckBlock) {
      response_acknowledged_ = true;
    } else {
      ++counters_.corrupt_blocks;
    }
    block_.clear();
    return;
  }
  if (BfbBlockFill(block_) == BfbBlockFault::kShort) return;
  const std::string whole = std::move(block_);
  block_.clear();
  const BfbBlock block = ReadBfbBlock(whole);
  if (block.fault != BfbBlockFault::kNone) {
    ++counters_.corrupt_blocks;
    return;
  }
  const int sequence = block.sequence;
  if (last_sequence_ >= 0 && sequence == last_sequence_) {
    // The same block again: acknowledge it and answer as before.
    Answer(kBfbAckFrame);
    if (!last_response_.empty()) Answer(last_response_);
    return;
  }
  // Any other number is taken: after a block lost on the way the host's next
  // one skips a number, and the link must go on.
  last_sequence_ = sequence;
  Answer(kBfbAckFrame);
  bfb_packets_.Feed(block.data);
  while (auto packet = bfb_packets_.Next()) {
    ++counters_.obex_requests;
    SendBlock(server_.Handle(*packet), sequence);
  }
}

void SimulatedPhone::SendBlock(const std::string& response, int sequence) {
  last_response_ = BuildBfbFrames(response, sequence);
  response_acknowledged_ = false;
  Answer(last_response_);
  const int64_t resend_ms = options_.faults.resend_ms;
  if (resend_ms <= 0) return;
  ResendLater(++response_generation_, resend_ms);
}

// Re-sends the last answer block until it is acknowledged or superseded, as
// a careful phone does.
void SimulatedPhone::ResendLater(uint64_t generation, int64_t ms) {
  std::weak_ptr<bool> alive = alive_;
  line_.After(static_cast<double>(ms), [this, alive, generation, ms]() {
    if (alive.expired() || generation != response_generation_ || response_acknowledged_ ||
        mode_ != Mode::kBfb || hung_up_) {
      return;
    }
    ++counters_.resent_blocks;
    Answer(last_response_);
    ResendLater(generation, ms);
  });
}

// ---- sending ----

void SimulatedPhone::Answer(std::string_view bytes) {
  if (hung_up_ || bytes.empty()) return;
  const int baud = speed_;
  if (!options_.faults.Any()) {
    const double now = line_.NowMs();
    if (send_free_at_ <= now) {
      SendNow(bytes, baud);
    } else {
      // Behind an answer held back by a delay: keep the order.
      std::weak_ptr<bool> alive = alive_;
      line_.After(send_free_at_ - now, [this, alive, b = std::string(bytes), baud]() {
        if (!alive.expired()) SendNow(b, baud);
      });
    }
    return;
  }
  FaultInjector::Outcome outcome = faults_.Apply(bytes, options_.cable == Cable::kInfrared);
  const double now = line_.NowMs();
  const double at = std::max(now + static_cast<double>(outcome.delay_ms), send_free_at_);
  send_free_at_ = at;
  std::weak_ptr<bool> alive = alive_;
  auto deliver = [this, alive, outcome, baud]() {
    if (alive.expired()) return;
    if (!outcome.bytes.empty()) SendNow(outcome.bytes, baud);
    if (outcome.hang_up && !hung_up_) {
      hung_up_ = true;
      if (transcript_) transcript_->Note(line_.NowMs(), "hung up");
      line_.HangUp();
    }
  };
  if (at <= now) {
    deliver();
  } else {
    line_.After(at - now, deliver);
  }
}

void SimulatedPhone::SendNow(std::string_view bytes, int baud) {
  if (hung_up_) return;
  if (transcript_) transcript_->Record(line_.NowMs(), Transcript::Direction::kPhoneToHost, bytes);
  line_.Send(bytes, baud);
}

}  // namespace quorvalen::sim
