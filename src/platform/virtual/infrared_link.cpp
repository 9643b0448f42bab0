// The virtual infrared link and the host's infrared device on it.
#include <algorithm>
#include <utility>

#include "quorvalen/error.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen {
namespace {

constexpr char kSource[] = "IrDaComm.IrDaDevice";

}  // namespace

bool VirtualInfraredLink::Rate(int bits_per_second) {
  if (bits_per_second < 9600 || bits_per_second > 115200) return false;
  rate_ = bits_per_second;
  return true;
}

void VirtualInfraredLink::Connect(HostEnd* host, Service service) {
  if (lost_) throw Error(kErrLinkLost, kSource, "The infrared link is lost");
  host_ = host;
  service_ = service;
  ++connection_;
  if (peer_) peer_->Connected(service);
}

void VirtualInfraredLink::Disconnect(HostEnd* host) {
  if (host_ != host) return;
  host_ = nullptr;
  const bool was_open = service_ != Service::kNone;
  service_ = Service::kNone;
  ++connection_;
  if (peer_ && was_open) peer_->Connected(Service::kNone);
}

void VirtualInfraredLink::Lose() {
  lost_ = true;
  service_ = Service::kNone;
  host_ = nullptr;
  ++connection_;
  if (peer_) peer_->Connected(Service::kNone);
}

void VirtualInfraredLink::HostSend(std::string_view bytes) {
  host_written_.append(bytes);
  const int64_t byte_ns = ByteNs();
  const int64_t start = std::max(loop_.NowNs(), to_peer_busy_until_ns_);
  for (size_t offset = 0; offset < bytes.size(); offset += kDeliveryChunk) {
    const size_t n = std::min(kDeliveryChunk, bytes.size() - offset);
    loop_.At(start + static_cast<int64_t>(offset + n) * byte_ns, VirtualEventLoop::Domain::kWorld,
             [this, chunk = std::string(bytes.substr(offset, n)), connection = connection_,
              service = service_] {
               if (peer_ && connection == connection_) peer_->Received(service, chunk);
             });
  }
  to_peer_busy_until_ns_ = start + static_cast<int64_t>(bytes.size()) * byte_ns;
}

void VirtualInfraredLink::PeerSend(std::string_view bytes) {
  const int64_t byte_ns = ByteNs();
  const int64_t start = std::max(loop_.NowNs(), to_host_busy_until_ns_);
  for (size_t offset = 0; offset < bytes.size(); offset += kDeliveryChunk) {
    const size_t n = std::min(kDeliveryChunk, bytes.size() - offset);
    loop_.At(start + static_cast<int64_t>(offset + n) * byte_ns, VirtualEventLoop::Domain::kWorld,
             [this, chunk = std::string(bytes.substr(offset, n)), connection = connection_] {
               if (host_ && connection == connection_) host_->Deliver(chunk);
             });
  }
  to_host_busy_until_ns_ = start + static_cast<int64_t>(bytes.size()) * byte_ns;
}

VirtualInfraredDevice::~VirtualInfraredDevice() { link_.Disconnect(this); }

void VirtualInfraredDevice::RequireLink() const {
  // A connection the link dropped stays dropped: the device must be opened
  // anew (the control creates a new one).
  if (link_.Lost() || (open_ && !link_.Holds(this))) {
    throw Error(kErrLinkLost, kSource, "The infrared link is lost");
  }
}

void VirtualInfraredDevice::RequireOpen(const char* operation) const {
  RequireLink();
  if (!open_) {
    throw Error(kErrPortNotOpen, kSource,
                std::string("Operation valid only when the connection is open: ") + operation);
  }
}

void VirtualInfraredDevice::Settings(const std::string& text) {
  const InfraredService service = InfraredServiceOf(text);
  if (service == InfraredService::kNone) {
    throw Error(kErrInvalidPropertyValue, kSource, "No such infrared service: \"" + text + "\"");
  }
  service_ = service;
  settings_ = text;
}

void VirtualInfraredDevice::PortOpen(bool open) {
  if (!open) {
    // Closing always works, also after the link went away.
    if (open_) link_.Disconnect(this);
    open_ = false;
    return;
  }
  if (open_) {
    RequireLink();  // opening again is accepted while the link is there
    return;
  }
  {
    if (service_ == VirtualInfraredLink::Service::kNone) {
      throw Error(kErrInvalidPropertyValue, kSource, "No infrared service selected");
    }
    link_.Connect(this, service_);
    received_.clear();
    open_ = true;
  }
}

int VirtualInfraredDevice::InBufferCount() {
  RequireOpen("InBufferCount");
  return static_cast<int>(received_.size());
}

void VirtualInfraredDevice::InBufferCount(int) {
  RequireOpen("InBufferCount");
  received_.clear();
}

std::string VirtualInfraredDevice::Input() {
  RequireOpen("Input");
  return std::exchange(received_, std::string());
}

void VirtualInfraredDevice::Output(std::string_view bytes) {
  RequireOpen("Output");
  link_.HostSend(bytes);
}

}  // namespace quorvalen
