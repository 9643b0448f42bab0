// OBEX responses: assembles the phone's response packets byte by byte and,
// for each whole packet, drives the transfer on: the next block of a
// multi-packet PUT, the continuation of a GET, the object data into
// OBEX_DataRead, the automatic block length; a final response is reported
// with the whole packet in hex and ends the request. Only 0x90 ("continue")
// keeps a request going, so no response code can leave the queue stuck.
#include <algorithm>
#include <optional>

#include "quorvalen/byte_text.h"
#include "quorvalen/error.h"
#include "quorvalen/obex_requests.h"
#include "control/control_core.h"
#include "quorvalen/obex_wire.h"

namespace quorvalen {
namespace {

uint8_t ByteAt(const std::string& text, size_t i) { return static_cast<uint8_t>(text[i]); }

bool HeadIs(const std::string& head, std::string_view name) {
  return std::string_view(head).substr(0, name.size()) == name;
}

// Packets from 0x8000 bytes on are outside what the control accepts (it
// announces 16390 in its connect).
constexpr size_t kMaxPacket = 0x8000;

}  // namespace

void ControlCore::ObexResponseCharacter(char c) {
  RestartObexTimer();
  ObexReceiveBuffer += c;
  if (ObexReceiveBuffer.size() < obex::kPacketHead) return;
  const size_t declared = obex::DeclaredLength(ObexReceiveBuffer);
  if (declared < obex::kPacketHead || declared >= kMaxPacket) {
    // A length no packet can have: nothing sensible follows from this
    // buffer, so it goes, and so does an OBEX request waiting for it. Any
    // other command at the head (a control command settling, an AT line)
    // is not answered here: it ends the way it would have anyway.
    DebugTrace(" >OBEX   :LEN ERROR ", TraceHex{ObexReceiveBuffer});
    ObexReceiveBuffer.clear();
    if (ObexRequestInProgress()) {
      Timer2->Interval(props_.TimeOut);
      EndObexRequest("ERROR");
    }
    return;
  }
  if (ObexReceiveBuffer.size() != declared) return;
  HandleObexPacket();
}

void ControlCore::HandleObexPacket() {
  CurrentResponse = std::move(ObexReceiveBuffer);
  ObexReceiveBuffer.clear();
  Timer2->Interval(props_.TimeOut);
  Timer2->Enabled(false);
  DebugTrace(" >OBEX   :", TraceHex{CurrentResponse});

  const std::string head = CommandStack[0];
  // A PUT that still has data goes on even when the phone says "success".
  if (HeadIs(head, "PUX:") && ByteAt(CurrentResponse, 0) == obex::kSuccess &&
      !DataSendRemaining().empty()) {
    CurrentResponse.assign("\x90\x00\x03", 3);
  }
  const uint8_t code = ByteAt(CurrentResponse, 0);

  if (code == obex::kContinue) {
    if (HeadIs(head, "PUX:")) {
      if (!SendNextPutBlock()) return;
    } else {
      try {
        SendBfbFrame(obex::GetContinuation());
      } catch (const Error& e) {
        ResponseWriteFailed(e);
        return;
      }
      DebugTrace(" OBEX>   :830003");
    }
  }

  // Object data: after an optional Length header at the start, and after the
  // id and length of a Body or End-of-Body header.
  size_t p = 3;
  if (CurrentResponse.size() > p && ByteAt(CurrentResponse, p) == obex::kHeaderLength) p += 5;
  if (CurrentResponse.size() > p && (ByteAt(CurrentResponse, p) == obex::kHeaderBody ||
                                     ByteAt(CurrentResponse, p) == obex::kHeaderEndOfBody)) {
    p += 3;
  }
  const size_t appended = CurrentResponse.size() > p ? CurrentResponse.size() - p : 0;
  if (appended > 0) props_.OBEX_DataRead.append(CurrentResponse, p, appended);

  if (HeadIs(head, "GET:")) {
    RaiseAck("GETCOUNT", std::to_string(props_.OBEX_DataRead.size()));
    if (AutoBlockLen && static_cast<int64_t>(appended) > props_.OBEX_BlockLen) {
      props_.OBEX_BlockLen = static_cast<int32_t>(appended);
      DebugTrace(" Change OBEX Par: OBEX_BlockLen:", props_.OBEX_BlockLen,
                 " OBEX_AutoBlockLen:True");
    }
  }

  if (code != obex::kContinue) EndObexRequest(TextToHex(CurrentResponse));
  CurrentResponse.clear();
}

bool ControlCore::SendNextPutBlock() {
  const std::string_view rest = DataSendRemaining();
  const size_t remaining = rest.size();
  const int32_t block_len = props_.OBEX_BlockLen;
  // Room for data is what the block length leaves after the 6 bytes of
  // opcode, packet length and Body header.
  std::optional<std::string> packet;
  bool last = false;
  if (block_len > 6) {
    last = remaining + 6 <= static_cast<size_t>(block_len);
    const size_t block = last ? remaining : static_cast<size_t>(block_len) - 6;
    packet = obex::PutBlockRequest(rest.substr(0, block), last);
  }
  if (!packet) {
    EndObexRequest("ERROR");
    CurrentResponse.clear();
    return false;
  }
  try {
    SendBfbFrame(*packet);
  } catch (const Error& e) {
    ResponseWriteFailed(e);
    return false;
  }
  ConsumeDataSend(packet->size() - 6);
  RaiseAck("PUTCOUNT", std::to_string(remaining));
  DebugTrace(last ? " OBEX>   :PUX:last  BYTES:" : " OBEX>   :PUX:midle BYTES:", remaining);
  return true;
}

void ControlCore::ResponseWriteFailed(const Error& error) {
  CurrentResponse.clear();
  if (in_infrared_poll_) throw error;
  EndObexRequest("ERROR " + std::to_string(error.number));
}

void ControlCore::EndObexRequest(const std::string& answer) {
  ObexTimer->Enabled(false);
  // The host knows a multi-packet PUT as the PUT it wrote.
  std::string head = CommandStack[0];
  if (head.find("PUX:") != std::string::npos) {
    for (size_t at = 0; (at = head.find("PUX:", at)) != std::string::npos; at += 4) {
      head.replace(at, 4, "PUT:");
    }
    CommandStack.Set(0, head);
  }
  RaiseAck("OBEX>" + head, answer);
  PopCommand();
}

void ControlCore::ResetObexReceive() {
  ObexReceiveBuffer.clear();
  BfbFrameBuffer.clear();
  BfbDataBuffer.clear();
}

}  // namespace quorvalen
