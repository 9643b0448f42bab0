// The trace file: one time-stamped line per event while tracing is on, and
// nothing but a flag test while it is off.
#include <cstdio>

#include "quorvalen/byte_text.h"
#include "control/control_core.h"

namespace quorvalen {

void ControlCore::AppendTracePart(std::string& text, TraceHex part) {
  text += TextToHex(part.bytes);
}

void ControlCore::WriteTraceLine(std::string_view text) {
  int64_t ms = platform_.Time().LocalMsSinceMidnight();
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%09lld", static_cast<long long>(ms));
  std::string line = stamp;
  line.reserve(line.size() + text.size() + 8);
  // Line breaks inside the text become "[10]" and "[13]", so that one call
  // stays one line.
  for (char c : text) {
    if (c == '\n') {
      line += "[10]";
    } else if (c == '\r') {
      line += "[13]";
    } else {
      line += c;
    }
  }
  trace_file_->WriteLine(line);
}

bool ControlCore::OpenTrace() {
  if (!trace_file_->Open(props_.DebugPath)) return false;
  Clock& clock = platform_.Time();
  trace_file_->WriteLine("Quorvalen Debug File Open " + clock.DateText() + clock.TimeText());
  DebugOn = true;
  return true;
}

void ControlCore::CloseTrace() {
  DebugOn = false;
  Clock& clock = platform_.Time();
  trace_file_->WriteLine("Quorvalen Debug File Close " + clock.DateText() + clock.TimeText());
  trace_file_->Close();
}

}  // namespace quorvalen
