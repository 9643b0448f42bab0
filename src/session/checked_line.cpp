#include "session/checked_line.h"

#include <algorithm>
#include <charconv>

#include "quorvalen/at_errors.h"
#include "quorvalen/bfb.h"
#include "quorvalen/obex_requests.h"
#include "quorvalen/obex_wire.h"

namespace quorvalen {
namespace {

// The frames the phone sends: data, and the answers to the speed,
// interface and framed AT requests.
bool PhoneFrameType(uint8_t type) {
  return type == kBfbDataFrame || type == kBfbSpeedFrame || type == kBfbInterfaceFrame ||
         type == kBfbAtFrame;
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

// Replaces the requests the control writes by ABORTs while the watch is
// armed. The writes are read as the guard reads them, by BFB frames or by
// the packets' declared lengths, so a request cut over several writes is
// replaced whole; what begins no request (the control's acknowledgement of
// a block) passes as it came. It is switched off between requests.
class RequestSwap {
 public:
  explicit RequestSwap(std::shared_ptr<CheckedPlatform::AbortWatch> watch)
      : watch_(std::move(watch)) {}

  // Whether a write must go through Take.
  bool Active() const { return watch_->armed || !pending_.empty(); }

  // What goes on the line for bytes the control writes in the mode.
  std::string Take(std::string_view bytes, LineMode mode) {
    if (!watch_->armed || mode == LineMode::kPlain) {
      // Switched off (or AT lines): what was held back goes first, as it
      // came.
      std::string out = std::move(pending_);
      pending_.clear();
      block_.clear();
      left_ = 0;
      out.append(bytes);
      return out;
    }
    return mode == LineMode::kBfb ? TakeFrames(bytes) : TakePackets(bytes);
  }

 private:
  std::string TakeFrames(std::string_view bytes) {
    pending_.append(bytes);
    const BfbFrameSplit split = SplitBfbFrames(pending_);
    std::string out;
    size_t at = 0;
    for (const BfbFrame& frame : split.frames) {
      const auto begin = static_cast<size_t>(frame.whole.data() - pending_.data());
      out.append(pending_, at, begin - at);  // bytes that begin no frame pass
      at = begin + frame.whole.size();
      if (frame.type != kBfbDataFrame || (block_.empty() && !BeginsBfbDataBlock(frame.payload))) {
        out.append(frame.whole);
        continue;
      }
      block_.append(frame.payload);
      if (BfbBlockFill(block_) == BfbBlockFault::kShort) continue;
      const int sequence = static_cast<uint8_t>(block_[2]);
      block_.clear();
      out += BuildBfbFrames(obex::AbortRequest(), sequence);
      ++watch_->sent;
    }
    out.append(pending_, at, split.used - at);
    pending_.erase(0, split.used);
    return out;
  }

  std::string TakePackets(std::string_view bytes) {
    std::string out;
    while (!bytes.empty()) {
      if (left_ > 0) {
        const size_t n = std::min(left_, bytes.size());
        left_ -= n;
        bytes.remove_prefix(n);
        continue;
      }
      const size_t n = std::min(obex::kPacketHead - pending_.size(), bytes.size());
      pending_.append(bytes.substr(0, n));
      bytes.remove_prefix(n);
      if (pending_.size() < obex::kPacketHead) break;
      const size_t declared = obex::DeclaredLength(pending_);
      left_ = declared > obex::kPacketHead ? declared - obex::kPacketHead : 0;
      pending_.clear();
      out += obex::AbortRequest();
      ++watch_->sent;
    }
    return out;
  }

  std::shared_ptr<CheckedPlatform::AbortWatch> watch_;
  std::string pending_;  // the start of a frame, or of a packet's head, not yet whole
  std::string block_;    // BFB: the request block being replaced
  size_t left_ = 0;      // raw OBEX: bytes of the replaced request still to come
};

// How often one request is sent again for a lost answer, and the least
// silence before it is.
constexpr int kMaxAskedAgain = 8;
constexpr int kMinSilenceMs = 500;

class CheckedPort : public SerialPort {
 public:
  CheckedPort(std::unique_ptr<SerialPort> inner, EventLoop& loop,
              const std::function<LineMode()>& mode, std::shared_ptr<LineCounters> counters,
              std::shared_ptr<CheckedPlatform::PromptWatch> prompt,
              std::shared_ptr<CheckedPlatform::AbortWatch> abort)
      : inner_(std::move(inner)),
        loop_(loop),
        mode_(mode),
        counters_(std::move(counters)),
        prompt_(std::move(prompt)),
        swap_(std::move(abort)),
        resend_timer_(loop_.CreateTimer([this] { AskAgain(); })) {
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
    // Where requests begin is read from the bytes written, however the
    // control slices its writes.
    const LineMode mode = SyncMode();
    std::string swapped;
    if (swap_.Active()) {
      swapped = swap_.Take(bytes, mode);
      if (swapped.empty()) return;  // the start of a request, held back
      bytes = swapped;
    }
    if (mode == LineMode::kBfb) {
      TakeSentFrames(bytes);
    } else if (mode == LineMode::kRawObex) {
      TakeRequests(bytes);
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
    if (inner_->CommEvent() == kEventCarrierLost) counters_->hung_up = true;
    if (!Guarded() || inner_->CommEvent() != kEventReceive) {
      if (handler_) handler_();
      return;
    }
    Pull();
    if (threshold_ > 0 && static_cast<int>(ready_.size()) >= threshold_ && handler_) handler_();
  }

  // The mode in force; a new one starts the guard afresh.
  LineMode SyncMode() {
    const LineMode mode = Mode();
    if (mode != mode_seen_) Reset();
    mode_seen_ = mode;
    return mode;
  }

  // Takes what the port holds through the receiver of the mode in force;
  // outside it, anything held back is junk to the control too.
  void Pull() {
    const LineMode mode = SyncMode();
    if (mode == LineMode::kPlain || !inner_->PortOpen()) return;
    const std::string bytes = inner_->Input();
    if (mode == LineMode::kBfb) {
      TakeFrames(bytes);
    } else {
      TakeAnswers(bytes);
    }
  }

  void Reset() {
    Answered();
    last_request_.clear();
    request_frames_.clear();
    counters_->junk_bytes += frame_.size() + answer_.size();
    frame_.clear();
    DropBlock(false);
    last_sequence_ = -1;
    echo_matches_ = 0;
    echoes_ = false;
    answer_.clear();
    owed_ = 0;
    sent_frames_.clear();
    sent_block_.clear();
    request_head_.clear();
    request_left_ = 0;
  }

  // A request begins: whatever is left of an answer is stale. In raw OBEX
  // the request that answer was for is given up, and the new one is owed
  // one answer.
  void NewRequest(LineMode mode) {
    if (mode == LineMode::kBfb) {
      counters_->junk_bytes += frame_.size();
      frame_.clear();
      DropBlock(false);
      return;
    }
    Pull();
    if (!answer_.empty() && owed_ > 0) --owed_;
    counters_->junk_bytes += answer_.size();
    answer_.clear();
    ++owed_;
  }

  // Raw OBEX: the requests written, cut by their declared lengths; a head
  // that declares less than itself is taken as a request of its own.
  void TakeRequests(std::string_view bytes) {
    while (!bytes.empty()) {
      if (request_left_ > 0) {
        const size_t n = std::min(request_left_, bytes.size());
        request_left_ -= n;
        bytes.remove_prefix(n);
        continue;
      }
      if (request_head_.empty()) NewRequest(LineMode::kRawObex);
      const size_t n = std::min(obex::kPacketHead - request_head_.size(), bytes.size());
      request_head_.append(bytes.substr(0, n));
      bytes.remove_prefix(n);
      if (request_head_.size() < obex::kPacketHead) continue;
      const obex::PacketCut cut = obex::CutPacket(request_head_);
      request_left_ = cut.status == obex::PacketCut::kImpossible ? 0 : cut.size - obex::kPacketHead;
      request_head_.clear();
    }
  }

  // BFB: the frames written; a data block that begins is a new request,
  // numbered by its sequence.
  void TakeSentFrames(std::string_view bytes) {
    sent_frames_.append(bytes);
    const BfbFrameSplit split = SplitBfbFrames(sent_frames_);
    for (const BfbFrame& frame : split.frames) {
      if (frame.type != kBfbDataFrame) continue;
      if (sent_block_.empty()) {
        // Anything else (the control's acknowledgement) begins no block.
        if (!BeginsBfbDataBlock(frame.payload)) continue;
        NewRequest(LineMode::kBfb);
      }
      const size_t before = sent_block_.size();
      sent_block_.append(frame.payload);
      request_frames_.append(frame.whole);
      if (before < 3 && sent_block_.size() >= 3)
        host_sequence_ = static_cast<uint8_t>(sent_block_[2]);
      if (BfbBlockFill(sent_block_) != BfbBlockFault::kShort) {
        sent_block_.clear();
        Awaiting(std::move(request_frames_));
        request_frames_.clear();
      }
    }
    sent_frames_.erase(0, split.used);
  }

  // A phone that gets a request block again under the same number answers
  // it again, without doing it twice. An answer the line lost or damaged
  // (the guard keeps a damaged block from the control and does not
  // acknowledge it) is asked for so, once the line has been silent well
  // beyond the time a whole answer block takes: the transfer goes on
  // instead of waiting out the request time-out.
  void Awaiting(std::string request) {
    last_request_ = std::move(request);
    asked_again_ = 0;
    resend_timer_->Enabled(false);
    resend_timer_->Interval(SilenceMs());
    resend_timer_->Enabled(true);
  }
  void Answered() {
    last_request_.clear();
    resend_timer_->Enabled(false);
  }
  // Bytes keep coming: the silence starts again.
  void Heard() {
    if (last_request_.empty()) return;
    resend_timer_->Enabled(false);
    resend_timer_->Enabled(true);
  }
  void AskAgain() {
    if (last_request_.empty() || asked_again_ >= kMaxAskedAgain || SyncMode() != LineMode::kBfb ||
        !inner_->PortOpen()) {
      Answered();
      return;
    }
    ++asked_again_;
    ++counters_->asked_again;
    inner_->Output(last_request_);
  }
  // Twice the time of the longest answer block (a packet of 1 KB in its
  // frames) at the speed in force, and never under half a second (a
  // phone's own time to answer).
  int SilenceMs() const {
    int baud = 0;
    const std::string settings = inner_->Settings();
    std::from_chars(settings.data(), settings.data() + settings.size(), baud);
    if (baud <= 0) return kMinSilenceMs;
    const int64_t block_ms = int64_t{1100} * 10 * 1000 / baud;
    return static_cast<int>(std::max<int64_t>(kMinSilenceMs, 2 * block_ms));
  }

  // Raw OBEX: one answer packet to each request, by its declared length.
  // Bytes that cannot begin one, or come when none is owed, are junk.
  void TakeAnswers(std::string_view bytes) {
    answer_.append(bytes);
    size_t at = 0;
    while (at < answer_.size()) {
      const std::string_view rest = std::string_view(answer_).substr(at);
      const obex::PacketCut cut = obex::CutPacket(rest);
      if (owed_ == 0 || !obex::IsResponseCode(static_cast<uint8_t>(rest[0])) ||
          cut.status == obex::PacketCut::kImpossible) {
        ++counters_->junk_bytes;
        ++at;
        continue;
      }
      if (cut.status == obex::PacketCut::kPartial) break;
      ready_.append(rest.substr(0, cut.size));
      at += cut.size;
      --owed_;
    }
    answer_.erase(0, at);
  }

  // Frames from the bytes received so far; what does not begin a frame of
  // a type the phone sends is skipped a byte at a time.
  void TakeFrames(std::string_view bytes) {
    if (!bytes.empty()) Heard();
    frame_.append(bytes);
    SplitBfbFrames(frame_, PhoneFrameType, split_);
    counters_->junk_bytes += split_.junk;
    for (const BfbFrame& frame : split_.frames) Frame(frame);
    frame_.erase(0, split_.used);
  }

  void Frame(const BfbFrame& frame) {
    if (frame.type != kBfbDataFrame) {
      // The control's receiver takes data frames only and drops others four
      // bytes at a time, which can cost it the start of the next frame: it
      // is spared them (the answers to framed AT lines on the way back,
      // which nothing reads, or junk that looks like a frame).
      counters_->junk_bytes += frame.whole.size();
      return;
    }
    const std::string_view payload = frame.payload;
    // A slice longer than the rest of the block begins a new one: the
    // block before lost its tail.
    if (block_.size() >= kBfbBlockHead &&
        payload.size() > BfbDeclaredLength(block_) + kBfbBlockOverhead - block_.size()) {
      DropBlock(true);
    }
    if (block_.empty()) {
      if (payload == kBfbAckBlock) {  // the phone's acknowledgement
        ready_ += frame.whole;
        return;
      }
      if (!BeginsBfbDataBlock(payload)) {
        ++counters_->damaged_blocks;
        return;
      }
    }
    block_ += payload;
    held_ += frame.whole;
    const BfbBlockFault fill = BfbBlockFill(block_);
    if (fill == BfbBlockFault::kTooLong) {
      DropBlock(true);
    } else if (fill == BfbBlockFault::kNone) {
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

  void Complete() {
    const BfbBlock block = ReadBfbBlock(block_);
    if (block.fault != BfbBlockFault::kNone) {
      DropBlock(true);
    } else if (block.sequence == last_sequence_ || (echoes_ && block.sequence != host_sequence_ &&
                                                    block.sequence != (last_sequence_ + 1) % 256)) {
      // Again, or (from a phone that numbers its answers as the requests
      // they answer) an answer to an earlier request.
      ++counters_->repeated_blocks;
      DropBlock(false);
    } else {
      LearnNumbering(block.sequence);
      last_sequence_ = block.sequence;
      Answered();
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
  RequestSwap swap_;
  std::function<void()> handler_;
  int threshold_ = 0;
  std::string ready_;    // passed, for the control to read
  std::string frame_;    // bytes received that make no whole frame yet
  BfbFrameSplit split_;  // the frames of frame_, its room kept
  std::string block_;    // the data block being put together from frames
  std::string held_;     // that block's frames as they came
  int last_sequence_ = -1;
  LineMode mode_seen_ = LineMode::kPlain;
  // Raw OBEX: how many answers are owed, and the one being received.
  int owed_ = 0;
  std::string answer_;
  // What the control writes: BFB frames not yet whole and the data block
  // they carry; in raw OBEX the head of a request not yet whole, and how
  // much of the request is still to come.
  std::string sent_frames_;
  std::string sent_block_;
  std::string request_head_;
  size_t request_left_ = 0;
  int host_sequence_ = -1;  // of the request sent last
  // BFB: the frames of the request block being written, and of the last
  // one written while its answer has not come; how often it was sent again.
  std::string request_frames_;
  std::string last_request_;
  int asked_again_ = 0;
  std::unique_ptr<Timer> resend_timer_;
  int echo_matches_ = 0;  // answers in a row numbered as their request; -1: never
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
                                       prompt_, abort_);
}

namespace {

// The infrared device as the control sees it: OBEX packets travel unframed
// on its OBEX service, and are swapped as on a raw OBEX cable.
class CheckedInfrared : public InfraredDevice {
 public:
  CheckedInfrared(std::shared_ptr<InfraredDevice> inner,
                  std::shared_ptr<CheckedPlatform::AbortWatch> abort)
      : inner_(std::move(inner)), swap_(std::move(abort)) {}
  void Settings(const std::string& service) override { inner_->Settings(service); }
  std::string Settings() const override { return inner_->Settings(); }
  void RTSEnable(bool on) override { inner_->RTSEnable(on); }
  void DTREnable(bool on) override { inner_->DTREnable(on); }
  void Handshaking(int mode) override { inner_->Handshaking(mode); }
  void InputLen(int bytes) override { inner_->InputLen(bytes); }
  void RThreshold(int bytes) override { inner_->RThreshold(bytes); }
  void SThreshold(int bytes) override { inner_->SThreshold(bytes); }
  void InputMode(int mode) override { inner_->InputMode(mode); }
  void InBufferSize(int bytes) override { inner_->InBufferSize(bytes); }
  void OutBufferSize(int bytes) override { inner_->OutBufferSize(bytes); }
  void EOFEnable(bool on) override { inner_->EOFEnable(on); }
  bool PortOpen() const override { return inner_->PortOpen(); }
  void PortOpen(bool open) override { inner_->PortOpen(open); }
  int InBufferCount() override { return inner_->InBufferCount(); }
  void InBufferCount(int count) override { inner_->InBufferCount(count); }
  void OutBufferCount(int count) override { inner_->OutBufferCount(count); }
  std::string Input() override { return inner_->Input(); }
  void Output(std::string_view bytes) override {
    if (!swap_.Active()) return inner_->Output(bytes);
    const std::string swapped = swap_.Take(bytes, LineMode::kRawObex);
    if (!swapped.empty()) inner_->Output(swapped);
  }

 private:
  std::shared_ptr<InfraredDevice> inner_;
  RequestSwap swap_;
};

class CheckedFactory : public ObjectFactory {
 public:
  CheckedFactory(ObjectFactory& inner, std::shared_ptr<CheckedPlatform::AbortWatch> abort)
      : inner_(inner), abort_(std::move(abort)) {}
  void Register(const std::string& program_id, Creator creator) override {
    inner_.Register(program_id, std::move(creator));
  }
  std::shared_ptr<Component> Create(const std::string& program_id) override {
    std::shared_ptr<Component> created = inner_.Create(program_id);
    if (auto device = std::dynamic_pointer_cast<InfraredDevice>(created)) {
      return std::make_shared<CheckedInfrared>(std::move(device), abort_);
    }
    return created;
  }

 private:
  ObjectFactory& inner_;
  std::shared_ptr<CheckedPlatform::AbortWatch> abort_;
};

}  // namespace

ObjectFactory& CheckedPlatform::Factory() {
  if (!factory_) factory_ = std::make_unique<CheckedFactory>(inner_.Factory(), abort_);
  return *factory_;
}

}  // namespace quorvalen
