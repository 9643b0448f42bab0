// A scripted far end for the virtual serial line: a readable list of steps,
// each "expect these bytes, then answer these bytes after N ms". Anything the
// control sends that the script did not expect fails the test with both
// sides shown in hex.
//
//   ScriptedPeer phone(platform.AddLine(1), platform.Loop());
//   phone.ExpectLine("AT").Reply("AT\r\r\nOK\r\n", 20);
//   ... run the control ...
//   phone.ExpectFinished();
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "quorvalen/virtual_platform.h"

namespace quorvalen {

class ScriptedPeer {
 public:
  struct Step {
    std::string expected;
    struct Answer {
      std::string bytes;
      int64_t after_ms;
    };
    std::vector<Answer> answers;
    // Answers this step and its answers once more, for as many times as given.
    int repeat = 1;

    Step& Reply(std::string bytes, int64_t after_ms = 0) {
      answers.push_back({std::move(bytes), after_ms});
      return *this;
    }
    Step& Times(int n) {
      repeat = n;
      return *this;
    }
  };

  ScriptedPeer(VirtualSerialLine& line, VirtualEventLoop& loop);

  // Steps are matched in order.
  Step& Expect(std::string bytes);
  // The bytes of an AT command line: the text and a carriage return.
  Step& ExpectLine(const std::string& text) { return Expect(text + "\r"); }
  // Sends bytes to the host after the given time, without waiting for any.
  void Send(std::string bytes, int64_t after_ms = 0);

  // A lenient peer drops what no step expects instead of failing the test
  // (a phone that ignores the line).
  void Lenient(bool on) { lenient_ = on; }

  bool Finished() const { return steps_.empty() && pending_.empty(); }
  // Fails the test, naming the step still waiting, when the script has not
  // run to its end or bytes arrived that nobody expected.
  void ExpectFinished() const;

  // Every byte received, in order, and when each chunk came (virtual ms).
  const std::string& Received() const { return received_; }
  const std::vector<std::pair<int64_t, std::string>>& Chunks() const { return chunks_; }

 private:
  void OnBytes(std::string_view bytes);
  void Match();

  VirtualSerialLine& line_;
  VirtualEventLoop& loop_;
  std::deque<Step> steps_;
  std::string pending_;
  std::string received_;
  std::vector<std::pair<int64_t, std::string>> chunks_;
  bool lenient_ = false;
};

// "41 54 0D" style dump for messages.
std::string HexDump(std::string_view bytes);

}  // namespace quorvalen
