#include "session/checked_line.h"

#include "quorvalen/at_errors.h"
#include "quorvalen/bfb.h"

namespace quorvalen {
namespace {

// The first byte of a frame of a type the phone sends: data, and the
// answers to the speed, interface and framed AT requests.
bool FrameType(uint8_t byte) {
  return byte == kBfbDataFrame || byte == 0x01 || byte == 0x02 || byte == 0x06;
}

// The first byte of an OBEX answer: continue, a success or a failure code,
// with the final bit.
bool AnswerCode(uint8_t byte) {
  return byte == 0x90 || (byte >= 0xA0 && byte <= 0xA6) || (byte >= 0xC0 && byte <= 0xD5) ||
         byte == 0xE0 || byte == 0xE1;
}

// True when the text holds a whole final answer line of a refusal.
bool HoldsRefusal(std::string_view text) {
  for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string_view::npos;
       start = end + 2) {
    const std::string_view line = text.substr(start, end - start);
    if (line == "ERROR" || ReadAtErrorLine(line)) return true;
  }
  return false;
}

class CheckedPort : public SerialPort {
 public:
  CheckedPort(std::unique_ptr<SerialPort> inner, EventLoop& loop,
              const std::function<LineMode()>& mode, std::shared_ptr<LineCounters> counters,
              std::shared_ptr<CheckedPlatform::PromptWatch> prompt)
      : inner_(std::move(inner)),
        loop_(loop),
        mode_(mode),
        counters_(std::move(counters)),
        prompt_(std::move(prompt)) {
    inner_->OnComm([this] { Notified(); });
  }

  int16_t CommPort() const override { return inner_->CommPort(); }
  void CommPort(int16_t port) override { inner_->CommPort(port); }
  std::string Settings() const override { return inner_->Settings(); }
  void Settings(const std::string& settings) override { inner_->Settings(settings); }
  bool RTSEnable() const override { return inner_->RTSEnable(); }
  void RTSEnable(bool on) override { inner_->RTSEnable(on); }
  bool DTREnable() const override { return inner_->DTREnable(); }
  void DTREnable(bool on) override { inner_->DTREnable(on); }
  int16_t InBufferSize() const override { return inner_->InBufferSize(); }
  void InBufferSize(int16_t bytes) override { inner_->InBufferSize(bytes); }
  int16_t OutBufferSize() const override { return inner_->OutBufferSize(); }
  void OutBufferSize(int16_t bytes) override { inner_->OutBufferSize(bytes); }
  bool PortOpen() const override { return inner_->PortOpen(); }
  void PortOpen(bool open) override {
    inner_->PortOpen(open);
    Reset();
    ready_.clear();
  }
  int CommEvent() const override { return ready_.empty() ? inner_->CommEvent() : kEventReceive; }
  void OnComm(std::function<void()> handler) override { handler_ = std::move(handler); }
  int RThreshold() const override { return threshold_; }
  void RThreshold(int bytes) override {
    threshold_ = bytes;
    inner_->RThreshold(bytes);
    // Bytes already passed but not read yet announce themselves again.
    if (bytes > 0 && static_cast<int>(ready_.size()) >= bytes) {
      std::weak_ptr<bool> alive = alive_;
      loop_.Post([this, alive] {
        if (!alive.expired() && threshold_ > 0 && !ready_.empty() && handler_) handler_();
      });
    }
  }

  int InBufferCount() override {
    Pull();
    return static_cast<int>(ready_.size()) + (Guarded() ? 0 : inner_->InBufferCount());
  }
  std::string Input() override {
    Pull();
    std::string out = std::move(ready_);
    ready_.clear();
    if (!Guarded()) out += inner_->Input();
    if (prompt_->awaited && !Guarded()) return WatchPrompt(std::move(out));
    return out;
  }
  void Output(std::string_view bytes) override {
    if (prompt_->refused && !bytes.empty() && bytes.back() == '\x1A') {
      // The data block of a refused line: not sent; the refusal is read.
      prompt_->refused = prompt_->awaited = false;
      ready_.insert(0, prompt_->held);
      prompt_->held.clear();
      std::weak_ptr<bool> alive = alive_;
      loop_.Post([this, alive] {
        if (!alive.expired() && !ready_.empty() && handler_) handler_();
      });
      return;
    }
    const LineMode mode = Mode();
    if (mode == LineMode::kBfb && bytes.size() > 3 &&
        static_cast<uint8_t>(bytes[0]) == kBfbDataFrame && static_cast<uint8_t>(bytes[3]) != 0x01) {
      // A new request: whatever is left of an answer is stale.
      counters_->junk_bytes += frame_.size();
      frame_.clear();
      DropBlock(false);
      if (bytes.size() > 5) host_sequence_ = static_cast<uint8_t>(bytes[5]);
    } else if (mode == LineMode::kRawObex && !bytes.empty()) {
      Pull();
      counters_->junk_bytes += answer_.size();
      answer_.clear();
      awaiting_ = true;
    }
    inner_->Output(bytes);
  }

 private:
  LineMode Mode() const { return mode_ ? mode_() : LineMode::kPlain; }
  bool Guarded() const { return Mode() != LineMode::kPlain; }

  std::string WatchPrompt(std::string bytes) {
    CheckedPlatform::PromptWatch& watch = *prompt_;
    if (watch.refused) {
      watch.held += bytes;
      return {};
    }
    watch.seen += bytes;
    if (watch.seen.find('>') != std::string::npos) {
      watch.awaited = false;
      watch.seen.clear();
    } else if (HoldsRefusal(watch.seen)) {
      // All of it comes again after the block: the echo is dropped there
      // as the command's echo, the refusal ends the command.
      watch.refused = true;
      watch.held = std::move(watch.seen);
      watch.seen.clear();
      return {};
    }
    return bytes;
  }

  void Notified() {
    // Anything but received bytes (a hang-up, an error) is the control's.
    if (!Guarded() || inner_->CommEvent() != kEventReceive) {
      if (handler_) handler_();
      return;
    }
    Pull();
    if (threshold_ > 0 && static_cast<int>(ready_.size()) >= threshold_ && handler_) handler_();
  }

  // Takes what the port holds through the receiver of the mode in force;
  // outside it, anything held back is junk to the control too.
  void Pull() {
    const LineMode mode = Mode();
    if (mode != mode_seen_) Reset();
    mode_seen_ = mode;
    if (mode == LineMode::kPlain || !inner_->PortOpen()) return;
    const std::string bytes = inner_->Input();
    if (mode == LineMode::kBfb) {
      TakeFrames(bytes);
    } else {
      for (char c : bytes) TakeAnswer(static_cast<uint8_t>(c));
    }
  }

  void Reset() {
    counters_->junk_bytes += frame_.size() + answer_.size();
    frame_.clear();
    DropBlock(false);
    last_sequence_ = -1;
    echo_matches_ = 0;
    echoes_ = false;
    answer_.clear();
    awaiting_ = false;
  }

  // Raw OBEX: one answer packet to each request, by its length.
  void TakeAnswer(uint8_t byte) {
    if (!awaiting_ || (answer_.empty() && !AnswerCode(byte))) {
      ++counters_->junk_bytes;
      return;
    }
    answer_.push_back(static_cast<char>(byte));
    if (answer_.size() < 3) return;
    const size_t length = static_cast<size_t>(static_cast<uint8_t>(answer_[1])) << 8 |
                          static_cast<uint8_t>(answer_[2]);
    if (length < 3) {
      // No answer is that short: its first byte was junk.
      ++counters_->junk_bytes;
      const std::string rest = answer_.substr(1);
      answer_.clear();
      for (char c : rest) TakeAnswer(static_cast<uint8_t>(c));
      return;
    }
    if (answer_.size() < length) return;
    ready_ += answer_;
    answer_.clear();
    // Until the next request, nothing more is an answer.
    awaiting_ = false;
  }

  // Frames from the bytes received so far; what does not begin a frame (a
  // known type, a length, their XOR) is skipped a byte at a time.
  void TakeFrames(std::string_view bytes) {
    frame_.append(bytes);
    size_t at = 0;
    while (frame_.size() - at >= 3) {
      const auto type = static_cast<uint8_t>(frame_[at]);
      const auto length = static_cast<uint8_t>(frame_[at + 1]);
      if (!FrameType(type) || length == 0 ||
          static_cast<uint8_t>(frame_[at + 2]) != (type ^ length)) {
        ++counters_->junk_bytes;
        ++at;
        continue;
      }
      if (frame_.size() - at < 3u + length) break;
      Frame(std::string_view(frame_).substr(at, 3u + length));
      at += 3u + length;
    }
    frame_.erase(0, at);
  }

  void Frame(std::string_view frame) {
    if (static_cast<uint8_t>(frame[0]) != kBfbDataFrame) {
      // The control's receiver takes data frames only and drops others four
      // bytes at a time, which can cost it the start of the next frame: it
      // is spared them (the answers to framed AT lines on the way back,
      // which nothing reads, or junk that looks like a frame).
      counters_->junk_bytes += frame.size();
      return;
    }
    const std::string_view payload = std::string_view(frame).substr(3);
    if (!block_.empty()) {
      const size_t needed = block_.size() < 5 ? 0 : BlockSize() - block_.size();
      // A slice longer than the rest of the block begins a new one: the
      // block before lost its tail.
      if (block_.size() >= 5 && payload.size() > needed) DropBlock(true);
    }
    if (block_.empty()) {
      if (payload == "\x01\xFE") {  // the phone's acknowledgement
        ready_ += frame;
        return;
      }
      const auto kind = static_cast<uint8_t>(payload[0]);
      if ((kind != 0x02 && kind != 0x03) ||
          (payload.size() > 1 && static_cast<uint8_t>(payload[1]) != 0xFF - kind)) {
        ++counters_->damaged_blocks;
        return;
      }
    }
    block_ += payload;
    held_ += frame;
    if (block_.size() < 5) return;
    if (BlockSize() >= 0x8000 + 7 || block_.size() > BlockSize()) {
      DropBlock(true);
    } else if (block_.size() == BlockSize()) {
      Complete();
    }
  }

  // Whether the phone numbers its answers as the requests they answer:
  // believed after three answers in a row that did, given up on at the
  // first that did not (a phone with a count of its own).
  void LearnNumbering(int sequence) {
    if (host_sequence_ < 0) return;
    if (sequence != host_sequence_) {
      echo_matches_ = -1;
      echoes_ = false;
    } else if (echo_matches_ >= 0 && ++echo_matches_ >= 3) {
      echoes_ = true;
    }
  }

  size_t BlockSize() const {
    return (static_cast<size_t>(static_cast<uint8_t>(block_[3])) << 8 |
            static_cast<uint8_t>(block_[4])) +
           7;
  }

  void Complete() {
    const size_t data_length = block_.size() - 7;
    const uint16_t crc = Crc16OfText(std::string_view(block_).substr(2, data_length + 3)) ^ 0xFFFF;
    const bool crc_ok = static_cast<uint8_t>(block_[data_length + 5]) == (crc & 0xFF) &&
                        static_cast<uint8_t>(block_[data_length + 6]) == (crc >> 8);
    const int sequence = static_cast<uint8_t>(block_[2]);
    if (!crc_ok) {
      DropBlock(true);
    } else if (sequence == last_sequence_ ||
               (echoes_ && sequence != host_sequence_ && sequence != (last_sequence_ + 1) % 256)) {
      // Again, or (from a phone that numbers its answers as the requests
      // they answer) an answer to an earlier request.
      ++counters_->repeated_blocks;
      DropBlock(false);
    } else {
      LearnNumbering(sequence);
      last_sequence_ = sequence;
      if (ready_.empty()) {
        ready_.swap(held_);
      } else {
        ready_ += held_;
      }
      block_.clear();
      held_.clear();
    }
  }

  void DropBlock(bool damaged) {
    if (damaged) ++counters_->damaged_blocks;
    block_.clear();
    held_.clear();
  }

  std::unique_ptr<SerialPort> inner_;
  EventLoop& loop_;
  const std::function<LineMode()>& mode_;
  std::shared_ptr<LineCounters> counters_;
  std::shared_ptr<CheckedPlatform::PromptWatch> prompt_;
  std::function<void()> handler_;
  int threshold_ = 0;
  std::string ready_;  // passed, for the control to read
  std::string frame_;  // bytes received that make no whole frame yet
  std::string block_;  // the data block being put together from frames
  std::string held_;   // that block's frames as they came
  int last_sequence_ = -1;
  LineMode mode_seen_ = LineMode::kPlain;
  // Raw OBEX: whether an answer is awaited, and the one being received.
  bool awaiting_ = false;
  std::string answer_;
  int host_sequence_ = -1;  // of the request sent last
  int echo_matches_ = 0;    // answers in a row numbered as their request; -1: never
  bool echoes_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

// The control's trace file, with the lines of a pause left out.
class PausableTrace : public TraceFile {
 public:
  PausableTrace(std::unique_ptr<TraceFile> inner,
                std::shared_ptr<CheckedPlatform::TracePause> pause)
      : inner_(std::move(inner)), pause_(std::move(pause)) {}
  bool Open(const std::string& path) override { return inner_->Open(path); }
  void WriteLine(std::string_view text) override {
    if (!pause_->paused) return inner_->WriteLine(text);
    if (pause_->noted) return;
    pause_->noted = true;
    // The line's own time stamp, then the note.
    inner_->WriteLine(std::string(text.substr(0, 9)) + " (not traced: " + pause_->why + ")");
  }
  void Close() override { inner_->Close(); }
  bool IsOpen() const override { return inner_->IsOpen(); }

 private:
  std::unique_ptr<TraceFile> inner_;
  std::shared_ptr<CheckedPlatform::TracePause> pause_;
};

std::unique_ptr<TraceFile> CheckedPlatform::CreateTraceFile() {
  return std::make_unique<PausableTrace>(inner_.CreateTraceFile(), trace_);
}

std::unique_ptr<SerialPort> CheckedPlatform::CreateSerialPort() {
  return std::make_unique<CheckedPort>(inner_.CreateSerialPort(), inner_.Loop(), mode_, counters_,
                                       prompt_);
}

}  // namespace quorvalen
