// The session's guard on the line finds where the control's requests begin
// from the bytes written, however they are sliced into writes: one request
// in odd-sized pieces, two requests in one write; and, while a transfer is
// stopped, sends each request as an ABORT.
#include "session/checked_line.h"

#include <gtest/gtest.h>

#include "quorvalen/bfb.h"
#include "quorvalen/byte_text.h"
#include "quorvalen/obex_requests.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen {
namespace {

class GuardTest : public ::testing::Test {
 protected:
  GuardTest() : line_(platform_.AddLine(1)), checked_(platform_) {
    checked_.Mode([this] { return mode_; });
    port_ = checked_.CreateSerialPort();
    port_->CommPort(1);
    port_->Settings("115200,n,8,1");
    port_->PortOpen(true);
  }

  // Writes the bytes in pieces of 1, 2, 4, 3, 5, 1, 2, 4, 3, 5... bytes.
  void WriteInPieces(std::string_view bytes) {
    static constexpr size_t kPieces[] = {1, 2, 4, 3, 5};
    for (size_t at = 0, i = 0; at < bytes.size(); at += kPieces[i++ % 5]) {
      port_->Output(bytes.substr(at, kPieces[i % 5]));
    }
  }
  // What the control reads after the phone sent the bytes.
  std::string PhoneSends(std::string_view bytes) {
    line_.FarWrite(bytes);
    platform_.Loop().RunFor(100);
    return port_->Input();
  }

  VirtualPlatform platform_;
  VirtualSerialLine& line_;
  CheckedPlatform checked_;
  LineMode mode_ = LineMode::kPlain;
  std::unique_ptr<SerialPort> port_;
};

TEST_F(GuardTest, RawObexAnswersEachRequestWrittenOnceHoweverItWasSliced) {
  mode_ = LineMode::kRawObex;
  const std::string get = *obex::GetRequest("a.txt");
  const std::string found = HexToText("A0000A490007") + "abcd";
  const std::string missing = HexToText("C40003");

  // An answer to nothing is kept from the control.
  EXPECT_EQ(PhoneSends(found), "");
  // A request in pieces is one request: one answer passes, its double and
  // the junk before it do not.
  WriteInPieces(get);
  EXPECT_EQ(line_.HostWritten(), get);
  EXPECT_EQ(PhoneSends(std::string("\x01") + found + found), found);
  // Two requests in one write are owed two answers; a head that declares
  // less than itself is not an answer.
  port_->Output(get + get);
  EXPECT_EQ(PhoneSends(HexToText("A00001") + missing + found + missing), missing + found);
  // The next request in pieces again, its answer in pieces too.
  WriteInPieces(get);
  EXPECT_EQ(PhoneSends(found.substr(0, 4)), "");
  EXPECT_EQ(PhoneSends(found.substr(4)), found);
  EXPECT_EQ(checked_.Counters().junk_bytes, 2 * found.size() + 1 + 3 + missing.size());
}

TEST_F(GuardTest, BfbRequestsAreFoundInTheFramesWrittenHoweverTheyWereSliced) {
  mode_ = LineMode::kBfb;
  const std::string ack(kBfbAckFrame);
  const std::string get = *obex::GetRequest("a.txt");
  const std::string answer = HexToText("A0000A490007") + "abcd";

  // A request in pieces; its acknowledgement and answer pass, the answer
  // sent again does not.
  WriteInPieces(BuildBfbFrames(get, 0));
  EXPECT_EQ(PhoneSends(ack + BuildBfbFrames(answer, 0)), ack + BuildBfbFrames(answer, 0));
  WriteInPieces(ack);  // the control's acknowledgement begins no request
  EXPECT_EQ(PhoneSends(BuildBfbFrames(answer, 0)), "");
  EXPECT_EQ(checked_.Counters().repeated_blocks, 1u);

  // The first frame of a long answer, cut off; then the next request in
  // pieces makes it stale, and the answer to that request passes whole
  // (the stale frame would otherwise take the new answer's frames as its
  // own tail, and lose them with it).
  const std::string long_answer = BuildBfbFrames(answer + std::string(100, 'x'), 1);
  EXPECT_EQ(PhoneSends(long_answer.substr(0, 35)), "");
  WriteInPieces(BuildBfbFrames(get, 1));
  EXPECT_EQ(PhoneSends(ack + BuildBfbFrames(answer, 1)), ack + BuildBfbFrames(answer, 1));

  // Two requests in one write: both answers pass.
  port_->Output(BuildBfbFrames(get, 2) + BuildBfbFrames(get, 3));
  const std::string answers = BuildBfbFrames(answer, 2) + BuildBfbFrames(answer, 3);
  EXPECT_EQ(PhoneSends(ack + ack + answers), ack + ack + answers);
  EXPECT_EQ(checked_.Counters().damaged_blocks, 0u);
}

// While stopping, each request goes out as an ABORT (in BFB under the
// request's own sequence number), however it was sliced; what begins no
// request passes, and so does everything once stopping is off.
TEST_F(GuardTest, WhileStoppingEachRequestGoesOutAsAnAbort) {
  const std::string ack(kBfbAckFrame);
  const std::string block = *obex::PutBlockRequest(std::string(200, 'd'), false);
  const std::string abort = obex::AbortRequest();
  auto written_since = [&](size_t at) { return line_.HostWritten().substr(at); };

  mode_ = LineMode::kBfb;
  checked_.AbortRequests(true);
  WriteInPieces(ack + BuildBfbFrames(block, 7));  // a block of several frames
  port_->Output(BuildBfbFrames(obex::GetContinuation(), 8) + ack);
  EXPECT_EQ(written_since(0), ack + BuildBfbFrames(abort, 7) + BuildBfbFrames(abort, 8) + ack);
  EXPECT_EQ(checked_.AbortsSent(), 2u);
  checked_.AbortRequests(false);
  size_t at = line_.HostWritten().size();
  port_->Output(BuildBfbFrames(block, 9));
  EXPECT_EQ(written_since(at), BuildBfbFrames(block, 9));

  mode_ = LineMode::kRawObex;
  checked_.AbortRequests(true);
  at = line_.HostWritten().size();
  WriteInPieces(block + obex::GetContinuation());
  EXPECT_EQ(written_since(at), abort + abort);
  checked_.AbortRequests(false);
  at = line_.HostWritten().size();
  port_->Output(block);
  EXPECT_EQ(written_since(at), block);
}

}  // namespace
}  // namespace quorvalen
