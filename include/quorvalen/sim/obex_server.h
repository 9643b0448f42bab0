// The simulated phone's OBEX file server: one request packet in, one
// response packet out, over a FileStore. It serves the folder-browsing and
// IrMC sync targets (connect, set path, folder listing, get and put in many
// packets, delete, rename and attributes by application parameters, and the
// memory query), and keeps the state a session needs between packets: the
// current folder, an object being streamed out, a PUT being collected.
//
// Responses keep to the shape the control decodes: GET answers carry at
// most a Length header (first packet only) and one Body or End-of-Body
// header; every other answer is the bare three-byte code, except CONNECT
// and the memory query.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "quorvalen/sim/file_store.h"

namespace quorvalen::sim {

// The targets a CONNECT may name: the phone's own file browsing, the
// standard folder browsing of general OBEX clients (served the same), and
// IrMC synchronisation.
inline constexpr std::string_view kFolderBrowsingTarget(
    "\x6B\x01\xCB\x31\x41\x06\x11\xD4\x9A\x77\x00\x50\xDA\x3F\x47\x1F", 16);
inline constexpr std::string_view kStandardFolderBrowsingTarget(
    "\xF9\xEC\x7B\xC4\x95\x3C\x11\xD2\x98\x4E\x52\x54\x00\xDC\x9E\x09", 16);
inline constexpr std::string_view kIrmcSyncTarget = "IRMC-SYNC";

struct ObexServerOptions {
  // The phone's largest packet, announced at CONNECT; 255 (the least OBEX
  // allows) is used for anything smaller.
  uint16_t max_packet = 512;
  // Memory installed, in bytes; what is stored counts against it.
  uint64_t capacity = 64ull << 20;
};

class ObexServer {
 public:
  explicit ObexServer(FileStore& store, ObexServerOptions options = {});

  // One complete request packet in, one complete response packet out.
  std::string Handle(std::string_view request);

  bool Connected() const { return connected_; }
  // Back to not connected, at the root, nothing pending (the phone was
  // replugged).
  void Reset();

  const FolderPath& CurrentFolder() const { return folder_; }

  // Rewrites every folder listing before it is sent (given the folder and
  // the listing the store makes): a phone that lies in its listings, as a
  // buggy or hostile one would, for testing hosts.
  std::function<std::string(const FolderPath& folder, std::string listing)> listing_filter;
  // The largest response while connected: the smaller of the phone's and
  // the host's maximum packet.
  uint16_t PacketLimit() const;

 private:
  struct Headers;
  struct PendingPut {
    std::optional<std::string> name;
    std::string app_params;
    std::string body;
    bool has_body = false;
  };
  struct Stream {
    std::string data;
    size_t offset = 0;
    bool first = true;
  };

  std::string Connect(std::string_view request);
  std::string SetPath(std::string_view request);
  std::string Get(std::string_view request);
  std::string Put(std::string_view request);
  std::string FinishPut(PendingPut put);
  std::string MemoryQuery(std::string_view value);
  std::string NextGetPacket();
  void DropPending();

  FileStore& store_;
  uint64_t capacity_;
  uint16_t phone_max_;
  uint16_t host_max_ = 0xFFFF;
  bool connected_ = false;
  uint32_t connection_id_ = 0;
  FolderPath folder_;
  std::optional<Stream> stream_;            // a GET answer being sent
  std::optional<std::string> get_headers_;  // headers of a GET still arriving
  std::optional<PendingPut> put_;           // a PUT still arriving
};

// Cuts a byte stream into OBEX packets by their declared length.
class ObexPacketAssembler {
 public:
  void Feed(std::string_view bytes);
  // The next complete packet, once all its bytes have arrived.
  std::optional<std::string> Next();
  // A length below 3 was seen: the stream cannot be cut any more, and
  // further bytes are ignored until Reset.
  bool Broken() const { return broken_; }
  // Bytes received that are not yet part of a returned packet.
  size_t Buffered() const { return buffer_.size() - start_; }
  // No packet is half received.
  bool Idle() const { return Buffered() == 0; }
  void Reset();

 private:
  std::string buffer_;
  size_t start_ = 0;
  bool broken_ = false;
};

}  // namespace quorvalen::sim
