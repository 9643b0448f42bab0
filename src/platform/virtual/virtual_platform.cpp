// Assembly of the virtual platform and its in-memory trace files.
#include "quorvalen/virtual_platform.h"

namespace quorvalen {

VirtualPlatform::VirtualPlatform() = default;

std::unique_ptr<SerialPort> VirtualPlatform::CreateSerialPort() {
  return std::make_unique<VirtualSerialPort>(*this);
}

std::unique_ptr<TraceFile> VirtualPlatform::CreateTraceFile() {
  return std::make_unique<MemoryTraceFile>(files_);
}

VirtualSerialLine& VirtualPlatform::AddLine(int comm_port) {
  auto& line = lines_[comm_port];
  if (!line) line = std::make_unique<VirtualSerialLine>(loop_);
  return *line;
}

VirtualInfraredLink& VirtualPlatform::AddInfrared() {
  if (!infrared_) {
    infrared_ = std::make_unique<VirtualInfraredLink>(loop_);
    factory_.Register("IrDaComm.IrDaDevice", [this] {
      return std::make_shared<VirtualInfraredDevice>(*infrared_);
    });
  }
  return *infrared_;
}

VirtualSerialLine* VirtualPlatform::Line(int comm_port) {
  auto it = lines_.find(comm_port);
  return it == lines_.end() ? nullptr : it->second.get();
}

bool MemoryTraceFile::Open(const std::string& path) {
  if (path.empty() || path.back() == '/') return false;
  files_[path].clear();
  path_ = path;
  return true;
}

void MemoryTraceFile::WriteLine(std::string_view text) {
  if (path_.empty()) return;
  std::string& file = files_[path_];
  file.append(text);
  file.append("\r\n");
}

}  // namespace quorvalen
