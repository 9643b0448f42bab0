// The virtual serial cable and the host's port on it.
#include <algorithm>

#include "quorvalen/error.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen {

void VirtualSerialLine::HostWrite(std::string_view bytes) {
  if (keep_traffic_) host_written_.append(bytes);
  const int64_t byte_ns = host_settings_.ByteTimeNs();
  int64_t start = std::max(loop_.NowNs(), to_far_busy_until_ns_);
  for (size_t offset = 0; offset < bytes.size(); offset += kDeliveryChunk) {
    size_t n = std::min(kDeliveryChunk, bytes.size() - offset);
    int64_t last_arrival = start + static_cast<int64_t>(offset + n) * byte_ns;
    loop_.At(last_arrival, VirtualEventLoop::Domain::kWorld,
             [this, chunk = std::string(bytes.substr(offset, n)), sent = host_settings_]() {
               if (far_receiver_) far_receiver_(chunk, sent);
             });
  }
  to_far_busy_until_ns_ = start + static_cast<int64_t>(bytes.size()) * byte_ns;
}

void VirtualSerialLine::FarWrite(std::string_view bytes) {
  if (keep_traffic_) far_written_.append(bytes);
  const int64_t byte_ns = FarSettings().ByteTimeNs();
  int64_t start = std::max(loop_.NowNs(), to_host_busy_until_ns_);
  for (size_t offset = 0; offset < bytes.size(); offset += kDeliveryChunk) {
    size_t n = std::min(kDeliveryChunk, bytes.size() - offset);
    int64_t first_arrival = start + static_cast<int64_t>(offset + 1) * byte_ns;
    loop_.At(first_arrival, VirtualEventLoop::Domain::kWorld,
             [this, chunk = std::string(bytes.substr(offset, n)), first_arrival, byte_ns]() mutable {
               if (host_) host_->Deliver(std::move(chunk), first_arrival, byte_ns);
             });
  }
  to_host_busy_until_ns_ = start + static_cast<int64_t>(bytes.size()) * byte_ns;
}

void VirtualSerialLine::DetachHost(HostEnd* host) {
  if (host_ != host) return;
  host_ = nullptr;
  host_rts_ = host_dtr_ = false;
  HearHangUp(std::max(loop_.NowNs(), to_far_busy_until_ns_));
}

void VirtualSerialLine::HostModemLines(bool rts, bool dtr) {
  const bool dropped = host_ != nullptr && host_dtr_ && !dtr;
  host_rts_ = rts, host_dtr_ = dtr;
  if (dropped) HearHangUp(loop_.NowNs());
}

void VirtualSerialLine::HearHangUp(int64_t at_ns) {
  loop_.At(at_ns, VirtualEventLoop::Domain::kWorld, [this]() {
    if (hang_up_listener_) hang_up_listener_();
  });
}

VirtualSerialPort::VirtualSerialPort(VirtualPlatform& platform) : platform_(platform) {}

VirtualSerialPort::~VirtualSerialPort() {
  *alive_ = false;
  if (line_) {
    line_->DetachHost(this);
    platform_.open_ports_.erase(comm_port_);
  }
}

void VirtualSerialPort::RequireOpen(const char* operation) const {
  if (!line_) {
    throw Error(kErrPortNotOpen, "VirtualSerialPort",
                std::string("Operation valid only when the port is open: ") + operation + " on COM" +
                    std::to_string(comm_port_));
  }
}

void VirtualSerialPort::CommPort(int16_t port) {
  if (line_) {
    throw Error(kErrPortInvalidWhileOpen, "VirtualSerialPort",
                "Operation not valid while the port is open: CommPort");
  }
  if (port < 1) {
    throw Error(kErrInvalidPortNumber, "VirtualSerialPort",
                "Invalid port number " + std::to_string(port));
  }
  comm_port_ = port;
}

void VirtualSerialPort::Settings(const std::string& settings) {
  auto parsed = ParseLineSettings(settings);
  if (!parsed) {
    throw Error(kErrInvalidPropertyValue, "VirtualSerialPort",
                "Invalid line settings \"" + settings + "\"");
  }
  settings_ = *parsed;
  if (line_) line_->HostSettings(settings_);
}

void VirtualSerialPort::RTSEnable(bool on) {
  rts_ = on;
  if (line_) line_->HostModemLines(rts_, dtr_);
}

void VirtualSerialPort::DTREnable(bool on) {
  dtr_ = on;
  if (line_) line_->HostModemLines(rts_, dtr_);
}

// Buffer sizes are set before opening, and only to sizes a buffer can have.
void VirtualSerialPort::SetBufferSize(int16_t& size, int16_t bytes, const char* name) {
  if (line_) {
    throw Error(kErrPortInvalidWhileOpen, "VirtualSerialPort",
                std::string("Operation not valid while the port is open: ") + name);
  }
  if (bytes <= 0) {
    throw Error(kErrInvalidPropertyValue, "VirtualSerialPort",
                std::string("Invalid ") + name + " " + std::to_string(bytes));
  }
  size = bytes;
}

void VirtualSerialPort::InBufferSize(int16_t bytes) {
  SetBufferSize(in_buffer_size_, bytes, "InBufferSize");
}

void VirtualSerialPort::OutBufferSize(int16_t bytes) {
  SetBufferSize(out_buffer_size_, bytes, "OutBufferSize");
}

void VirtualSerialPort::PortOpen(bool open) {
  if (!open) {
    if (!line_) return;
    line_->DetachHost(this);
    platform_.open_ports_.erase(comm_port_);
    line_ = nullptr;
    received_.clear();
    return;
  }
  if (line_) {
    throw Error(kErrPortAlreadyOpen, "VirtualSerialPort",
                "Port already open: COM" + std::to_string(comm_port_));
  }
  VirtualSerialLine* line = platform_.Line(comm_port_);
  if (!line) {
    throw Error(kErrInvalidPortNumber, "VirtualSerialPort",
                "Invalid port number: no line at COM" + std::to_string(comm_port_));
  }
  if (platform_.open_ports_.count(comm_port_)) {
    throw Error(kErrPortAlreadyOpen, "VirtualSerialPort",
                "Port already open: COM" + std::to_string(comm_port_) + " is in use");
  }
  platform_.open_ports_[comm_port_] = this;
  line_ = line;
  line_->AttachHost(this);
  line_->HostSettings(settings_);
  line_->HostModemLines(rts_, dtr_);
  received_.clear();
}

size_t VirtualSerialPort::Arrived() const {
  const int64_t now = platform_.Loop().NowNs();
  size_t count = 0;
  for (const Segment& s : received_) {
    if (s.first_arrival_ns > now) break;
    size_t due = std::min<int64_t>(s.data.size(), (now - s.first_arrival_ns) / s.byte_ns + 1);
    count += due - s.read;
    if (due < s.data.size()) break;
  }
  return count;
}

int VirtualSerialPort::InBufferCount() {
  RequireOpen("InBufferCount");
  return static_cast<int>(Arrived());
}

std::string VirtualSerialPort::Input() {
  RequireOpen("Input");
  const int64_t now = platform_.Loop().NowNs();
  std::string out;
  while (!received_.empty()) {
    Segment& s = received_.front();
    if (s.first_arrival_ns > now) break;
    size_t due = std::min<int64_t>(s.data.size(), (now - s.first_arrival_ns) / s.byte_ns + 1);
    out.append(s.data, s.read, due - s.read);
    s.read = due;
    if (due < s.data.size()) break;
    received_.pop_front();
  }
  return out;
}

void VirtualSerialPort::Output(std::string_view bytes) {
  RequireOpen("Output");
  line_->HostWrite(bytes);
}

void VirtualSerialPort::RThreshold(int bytes) {
  threshold_ = bytes;
  NotifyIfDue();
}

// Queues a receive notification for bytes already waiting.
void VirtualSerialPort::NotifyIfDue() {
  if (threshold_ <= 0 || !line_ || notify_pending_ || Arrived() < static_cast<size_t>(threshold_)) {
    return;
  }
  notify_pending_ = true;
  std::weak_ptr<bool> alive = alive_;
  platform_.Loop().Post([this, alive]() {
    if (alive.expired()) return;
    notify_pending_ = false;
    if (threshold_ <= 0 || !line_ || Arrived() < static_cast<size_t>(threshold_)) return;
    event_ = kEventReceive;
    if (handler_) {
      auto handler = handler_;
      handler();
    }
  });
}

void VirtualSerialPort::Deliver(std::string data, int64_t first_arrival_ns, int64_t byte_ns) {
  int64_t last_arrival = first_arrival_ns + static_cast<int64_t>(data.size() - 1) * byte_ns;
  received_.push_back(Segment{std::move(data), 0, first_arrival_ns, byte_ns});
  // The notification comes when the chunk has arrived whole.
  std::weak_ptr<bool> alive = alive_;
  platform_.Loop().At(last_arrival, VirtualEventLoop::Domain::kWorld, [this, alive]() {
    if (!alive.expired()) NotifyIfDue();
  });
}

}  // namespace quorvalen
