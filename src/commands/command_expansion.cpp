// Writing Command: the host's command is expanded into primitive commands
// and queued, and the executor's timer made to run. The first OBEX command
// in AT mode brings the switch of phone and line into OBEX mode and the
// connect; the first AT command in OBEX mode brings the disconnect and the
// way back; multi-level changes of folder become one change per folder; a
// PUT too big for one packet becomes a multi-packet "PUX:"; "REC:" changes
// the OBEX target. Each push may fail on a full queue: what was pushed
// before stays queued, and nothing after it is done.
#include <algorithm>
#include <cctype>
#include <climits>
#include <string>

#include "quorvalen/byte_text.h"
#include "quorvalen/obex_requests.h"
#include "control/control_core.h"
#include "support/control_text.h"

namespace quorvalen {
namespace {

bool StartsWithUpper(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

void ReplaceAll(std::string& text, std::string_view what, std::string_view with) {
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size()) {
    text.replace(at, what.size(), with);
  }
}

// A raw send of the bytes of a hex text, followed by a pause.
std::string SendOf(std::string_view hex) { return "SPEC>SEND:" + HexToText(hex) + ",WAIT:350"; }

constexpr char kConnectFolderBrowsing[] = "OBEX>CON:6B01CB31410611D49A770050DA3F471F";
constexpr char kConnectIrmcSync[] = "OBEX>CON:49524D432D53594E43";

}  // namespace

void ControlCore::Command(const std::string& value) {
  ExpandCommand(value);
  if (!Timer1->Enabled()) Timer1->Enabled(true);
  Notify("Command");
}

void ControlCore::ExpandCommand(std::string c) {
  // The host emptied the queue while an OBEX request is outstanding: what it
  // queues now takes the request's slot.
  if (ExecutorBusy && ObexTimer->Enabled() && props_.StackCount == 0) obex_displaced_ = true;

  if (StartsWithUpper(c, "OBEX>") && LinkMode == 0) {
    ObexReceiveBuffer.clear();
    PushSwitchIntoObex();
    LinkMode = 1;
    // Other values of OBEX_ConnectType name no target: no connect.
    if (props_.OBEX_ConnectType == 0) PushCommand(kConnectFolderBrowsing);
    if (props_.OBEX_ConnectType == 1) PushCommand(kConnectIrmcSync);
  } else if (StartsWithUpper(c, "AT") && LinkMode == 3) {
    PushCommand("OBEX>DCO:");
    PushReturnToAt();
    LinkMode = 2;
  }

  if (c == "OBEX>CD :\\") c = "OBEX>CD :/";
  ReplaceAll(c, "OBEX>CD:", "OBEX>CD :");

  DataSendLength = static_cast<int32_t>(std::min<size_t>(DataSendRemaining().size(), INT32_MAX));

  if (StartsWith(c, "OBEX>CD :")) {
    PushChangeOfFolder(c);
  } else if (StartsWith(c, "OBEX>PUT:")) {
    PushPut(c);
  } else if (StartsWith(c, "OBEX>REC:")) {
    ChangeTarget(c);
  } else {
    PushCommand(c);
  }

  if (props_.ComType == 1 && c.find(",HEX>") != std::string::npos) {
    if (++HexCommandCount >= 3) {
      HexCommandCount = 0;
      PushCommand("SPEC>RECONNECT");
    }
  }
}

void ControlCore::PushSwitchIntoObex() {
  const int32_t com = props_.ComType;
  const int32_t mobile = props_.MobileType;
  if (com == 0 && mobile == 0) {
    for (const char* entry :
         {"AT^SQWE=0", "SPEC>SET_OBEX", "SPEC>WAIT:200", "AT^SQWE=3", "SPEC>WAIT:300"}) {
      PushCommand(entry);
    }
  } else if (com == 0 && (mobile == 1 || mobile == 2)) {
    for (const char* entry :
         {"AT^SIFS", "AT^SBFB=1", "SPEC>WAIT:250", "SPEC>SET_56000", "SPEC>WAIT:350"}) {
      PushCommand(entry);
    }
    PushCommand(SendOf("02010314"));
    if (mobile == 2) {
      // The phone is told to run the cable at 115200, then the line follows.
      PushCommand(SendOf("010A0BC03131353230300DD22B"));
      PushCommand("SPEC>SET_115200");
      PushCommand("SPEC>WAIT:350");
    }
  } else if (com == 1) {
    PushCommand("SPEC>SET_OBEX");
    PushCommand("SPEC>WAIT:250");
  } else if (com == 2 && mobile == 0) {
    for (const char* entry : {"AT^SQWE=0", "SPEC>WAIT:200", "AT^SQWE=3", "SPEC>WAIT:300"}) {
      PushCommand(entry);
    }
  } else if (com == 2 && (mobile == 1 || mobile == 2)) {
    for (const char* entry : {"AT^SIFS", "AT^SBFB=1", "SPEC>WAIT:250"}) PushCommand(entry);
    PushCommand(SendOf("02010314"));
  }
}

void ControlCore::PushReturnToAt() {
  const int32_t com = props_.ComType;
  const int32_t mobile = props_.MobileType;
  // AT lines carried inside frames: at^sqwe=2 and at^sbfb=0.
  constexpr char kLeaveObex[] = "060A0C61745E737177653D320D";
  constexpr char kLeaveBfb[] = "060A0C61745E736266623D300D";
  if (com == 0 && mobile == 0) {
    PushCommand("SPEC>WAIT:1200");
    PushCommand("SPEC>SEND:+++,WAIT:600");
    PushCommand("SPEC>SET_AT");
  } else if (com == 0 && (mobile == 1 || mobile == 2)) {
    PushCommand(SendOf(kLeaveObex));
    PushCommand(SendOf(kLeaveBfb));
    PushCommand("SPEC>SET_AT");
    PushCommand("SPEC>WAIT:250");
  } else if (com == 1) {
    PushCommand("SPEC>SET_AT");
    PushCommand("SPEC>WAIT:250");
  } else if (com == 2 && mobile == 0) {
    PushCommand("SPEC>WAIT:1200");
    PushCommand("SPEC>SEND:+++,WAIT:1000");
  } else if (com == 2 && (mobile == 1 || mobile == 2)) {
    PushCommand(SendOf(kLeaveObex));
    PushCommand(SendOf(kLeaveBfb));
    PushCommand("SPEC>WAIT:250");
  }
}

void ControlCore::PushChangeOfFolder(const std::string& command) {
  if (command.find('\\') == std::string::npos) {
    PushCommand(command);
    return;
  }
  for (const std::string& folder : obex::SplitFolderPath(std::string_view(command).substr(9))) {
    PushCommand("OBEX>CD :" + folder);
  }
}

void ControlCore::PushPut(const std::string& command) {
  // The fixed part of the first packet decides between one packet and many.
  const size_t ext_at = command.find(",EXT>");
  const int64_t overhead = ext_at == std::string::npos
                               ? obex::PutOverhead(command.size() - 9, std::nullopt)
                               : obex::PutOverhead(ext_at - 9, command.size() - ext_at - 5);
  if (int64_t{DataSendLength} + overhead > props_.OBEX_BlockLen) {
    std::string multi = command;
    ReplaceAll(multi, "PUT:", "PUX:");
    PushCommand(multi);
  } else {
    PushCommand(command);
  }
}

void ControlCore::ChangeTarget(const std::string& command) {
  const int64_t target = LeadingNumber(std::string_view(command).substr(9));
  if (target == 0 && props_.OBEX_ConnectType == 1) {
    props_.OBEX_ConnectType = 0;
    PushCommand("OBEX>DCO:");
    PushCommand(kConnectFolderBrowsing);
  }
  if (target == 1 && props_.OBEX_ConnectType == 0) {
    props_.OBEX_ConnectType = 1;
    PushCommand("OBEX>DCO:");
    PushCommand(kConnectIrmcSync);
  }
}

}  // namespace quorvalen
