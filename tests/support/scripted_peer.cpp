#include "support/scripted_peer.h"

#include <gtest/gtest.h>

#include <cctype>

namespace quorvalen {

std::string HexDump(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  std::string text;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
    text += std::isprint(c) ? static_cast<char>(c) : '.';
  }
  return out.empty() ? "(nothing)" : out + "  \"" + text + "\"";
}

ScriptedPeer::ScriptedPeer(VirtualSerialLine& line, VirtualEventLoop& loop)
    : line_(line), loop_(loop) {
  line_.OnFarReceive([this](std::string_view bytes, const LineSettings&) { OnBytes(bytes); });
}

ScriptedPeer::Step& ScriptedPeer::Expect(std::string bytes) {
  steps_.push_back(Step{std::move(bytes), {}, 1});
  return steps_.back();
}

void ScriptedPeer::Send(std::string bytes, int64_t after_ms) {
  loop_.After(after_ms * 1'000'000, VirtualEventLoop::Domain::kWorld,
              [this, bytes = std::move(bytes)]() { line_.FarWrite(bytes); });
}

void ScriptedPeer::OnBytes(std::string_view bytes) {
  received_.append(bytes);
  chunks_.emplace_back(loop_.NowMs(), std::string(bytes));
  pending_.append(bytes);
  Match();
}

void ScriptedPeer::Match() {
  while (!pending_.empty()) {
    if (steps_.empty()) {
      if (!lenient_) {
        ADD_FAILURE() << "at " << loop_.NowMs() << " ms the peer received bytes no step expects: "
                      << HexDump(pending_);
      }
      pending_.clear();
      return;
    }
    Step& step = steps_.front();
    size_t n = std::min(pending_.size(), step.expected.size());
    if (pending_.compare(0, n, step.expected, 0, n) != 0) {
      if (lenient_) {
        pending_.erase(0, 1);
        continue;
      }
      ADD_FAILURE() << "at " << loop_.NowMs() << " ms the peer expected\n  "
                    << HexDump(step.expected) << "\nbut received\n  " << HexDump(pending_);
      pending_.clear();
      return;
    }
    if (pending_.size() < step.expected.size()) return;  // wait for the rest
    pending_.erase(0, step.expected.size());
    for (const Step::Answer& answer : step.answers) Send(answer.bytes, answer.after_ms);
    if (--step.repeat <= 0) steps_.pop_front();
  }
}

void ScriptedPeer::ExpectFinished() const {
  if (!steps_.empty()) {
    ADD_FAILURE() << "the peer still waits for " << HexDump(steps_.front().expected)
                  << "; it received only " << HexDump(received_);
  }
  if (!pending_.empty()) ADD_FAILURE() << "unmatched bytes at the peer: " << HexDump(pending_);
}

}  // namespace quorvalen
