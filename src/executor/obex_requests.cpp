// OBEX requests: the executor hands over the request name and argument of
// the head command; this builds the one packet it stands for and sends it,
// or carries out "EXE:" at once. The command then stays at the head until
// its response (or the request time-out) ends it.
#include "quorvalen/obex_requests.h"

#include <algorithm>
#include <optional>

#include "control/control_core.h"

namespace quorvalen {

bool ControlCore::StartObexRequest(const std::string& name, const std::string& argument) {
  if (name == "EXE:") {
    // Hands what earlier requests left in OBEX_DataRead to the host.
    RaiseAck(argument, props_.OBEX_DataRead);
    PopCommand();
    return true;
  }

  if (name == "PUX:") {
    const std::string_view data = DataSendRemaining();
    const int64_t block = obex::FirstPutBlockSize(argument, ExtData, props_.OBEX_BlockLen);
    if (argument.empty() || block <= 0) return false;
    std::optional<std::string> packet =
        obex::FirstPutRequest(argument, ExtData, data, static_cast<size_t>(block));
    if (!packet) return false;
    const size_t total = data.size();
    SendBfbFrame(*packet);
    ConsumeDataSend(std::min(total, static_cast<size_t>(block)));
    ArmObexTimer();
    RaiseAck("PUTCOUNT", std::to_string(total));
    DebugTrace(" OBEX>   :PUX:first BYTES:", total);
    return true;
  }

  std::optional<std::string> packet;
  if (name == "RAW:") {
    // The packet is the host's, unchecked: an empty one is sent too (in BFB
    // mode an empty data block) and waits for its response like any other.
    packet = obex::RawRequest(argument);
  } else if (name == "CON:") {
    packet = obex::ConnectRequest(argument);
  } else if (name == "DCO:") {
    packet = obex::DisconnectRequest();
  } else if (name == "CD :") {
    packet = obex::SetPathRequest(argument);
  } else if (name == "MKD:") {
    packet = obex::MakeFolderRequest(argument);
  } else if (name == "DIR:") {
    packet = obex::FolderListingRequest();
  } else if (name == "GET:") {
    if (!argument.empty()) {
      props_.OBEX_DataRead.clear();
      packet = obex::GetRequest(argument);
    }
  } else if (name == "PUT:") {
    if (!argument.empty()) packet = obex::PutRequest(argument, ExtData, DataSendRemaining());
  } else if (name == "DEL:") {
    if (!argument.empty()) packet = obex::DeleteRequest(argument, ExtData);
  } else if (name == "CHM:") {
    if (!argument.empty()) packet = obex::AttributesRequest(argument, ExtData);
  } else if (name == "REN:") {
    const size_t comma = argument.find(',');
    if (!argument.empty() && comma != std::string::npos) {
      packet = obex::RenameRequest(std::string_view(argument).substr(0, comma),
                                   std::string_view(argument).substr(comma + 1));
    }
  } else if (name == "MEM:") {
    if (!argument.empty()) packet = obex::MemoryRequest(argument);
  }
  if (!packet) return false;

  SendBfbFrame(*packet);
  if (name == "PUT:") ConsumeDataSend(DataSendRemaining().size());
  ArmObexTimer();
  return true;
}

void ControlCore::ArmObexTimer(bool at_line) {
  obex_head_ = CommandStack[0];
  obex_timer_at_line_ = at_line;
  obex_timeout_ms_ = CommandIsLong ? props_.TimeOutLong : props_.TimeOut;
  obex_displaced_ = false;
  ObexTimer->Enabled(false);
  ObexTimer->Interval(obex_timeout_ms_);
  ObexTimer->Enabled(true);
}

}  // namespace quorvalen
