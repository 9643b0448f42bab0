// The OBEX file server of the simulated phone and the packet assembler that
// feeds it.
#include "quorvalen/sim/obex_server.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "sim/folder_listing.h"

namespace quorvalen::sim {
namespace {

constexpr uint8_t kOpConnect = 0x80;
constexpr uint8_t kOpDisconnect = 0x81;
constexpr uint8_t kOpPut = 0x02;
constexpr uint8_t kOpGet = 0x03;
constexpr uint8_t kOpSetPath = 0x85;
constexpr uint8_t kOpAbort = 0xFF;
constexpr uint8_t kFinalBit = 0x80;

constexpr uint8_t kHeaderName = 0x01;
constexpr uint8_t kHeaderType = 0x42;
constexpr uint8_t kHeaderTarget = 0x46;
constexpr uint8_t kHeaderBody = 0x48;
constexpr uint8_t kHeaderEndOfBody = 0x49;
constexpr uint8_t kHeaderWho = 0x4A;
constexpr uint8_t kHeaderAppParams = 0x4C;
constexpr uint8_t kHeaderLength = 0xC3;
constexpr uint8_t kHeaderConnectionId = 0xCB;

constexpr uint8_t kTagMemory = 0x32;
constexpr uint8_t kTagAction = 0x34;
constexpr uint8_t kTagOldName = 0x35;
constexpr uint8_t kTagNewName = 0x36;
constexpr uint8_t kTagAttributes = 0x38;

constexpr uint16_t kLeastPacket = 255;
// Headers of a GET split over several packets are not allowed to grow past this.
constexpr size_t kMaxGetHeaders = 65536;

uint8_t Byte(std::string_view bytes, size_t at) { return static_cast<uint8_t>(bytes[at]); }

uint16_t ReadU16(std::string_view bytes, size_t at) {
  return static_cast<uint16_t>(Byte(bytes, at) << 8 | Byte(bytes, at + 1));
}

void AppendU16(std::string& out, size_t value) {
  out += static_cast<char>(value >> 8 & 0xFF);
  out += static_cast<char>(value & 0xFF);
}

void AppendU32(std::string& out, uint64_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(value >> shift & 0xFF);
}

std::string Packet(uint8_t code, std::string_view headers) {
  std::string packet(1, static_cast<char>(code));
  AppendU16(packet, headers.size() + 3);
  packet += headers;
  return packet;
}

std::string Response(uint8_t code) { return Packet(code, {}); }

uint8_t CodeOf(StoreStatus status) {
  switch (status) {
    case StoreStatus::kOk:
      return kObexSuccess;
    case StoreStatus::kNotFound:
      return kObexNotFound;
    case StoreStatus::kExists:
    case StoreStatus::kNotEmpty:
      return kObexPreconditionFailed;
    case StoreStatus::kBadName:
      return kObexBadRequest;
    case StoreStatus::kForbidden:
      return kObexForbidden;
    case StoreStatus::kNoSpace:
      return kObexDatabaseFull;
    case StoreStatus::kIoError:
      break;
  }
  return kObexInternalError;
}

// UTF-16BE as names travel, to UTF-8 as they are stored. One terminating
// 00 00 may end the text; anything that is not UTF-16 fails.
std::optional<std::string> Utf16BeToUtf8(std::string_view bytes) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  if (bytes.size() >= 2 && bytes[bytes.size() - 1] == 0 && bytes[bytes.size() - 2] == 0) {
    bytes.remove_suffix(2);
  }
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    uint32_t code = ReadU16(bytes, i);
    if (code >= 0xDC00 && code <= 0xDFFF) return std::nullopt;
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 4 > bytes.size()) return std::nullopt;
      uint32_t low = ReadU16(bytes, i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | code >> 18);
      out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

// Application parameters: tag, length, value. The first of a repeated tag counts.
bool ParseAppParams(std::string_view bytes, std::map<uint8_t, std::string_view>& params) {
  size_t i = 0;
  while (i < bytes.size()) {
    if (bytes.size() - i < 2) return false;
    uint8_t tag = Byte(bytes, i);
    size_t length = Byte(bytes, i + 1);
    if (length > bytes.size() - i - 2) return false;
    params.emplace(tag, bytes.substr(i + 2, length));
    i += 2 + length;
  }
  return true;
}

bool PrintableAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

}  // namespace

// The headers of one request the server looks at; the others are skipped.
// Views point into the request.
struct ObexServer::Headers {
  std::optional<std::string_view> name;  // UTF-16BE
  std::optional<std::string_view> type;
  std::optional<std::string_view> target;
  std::optional<std::string> app_params;  // several headers are joined
  std::vector<std::string_view> bodies;   // Body and End-of-Body
  std::optional<uint32_t> length;         // the size the client announces

  // False when a header runs past the end or has an impossible length.
  bool Parse(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
      uint8_t id = Byte(bytes, i);
      size_t size = 0;
      size_t value_at = 1;
      switch (id >> 6) {
        case 0:
        case 1:
          if (bytes.size() - i < 3) return false;
          size = ReadU16(bytes, i + 1);
          if (size < 3) return false;
          value_at = 3;
          break;
        case 2:
          size = 2;
          break;
        default:
          size = 5;
          break;
      }
      if (size > bytes.size() - i) return false;
      std::string_view value = bytes.substr(i + value_at, size - value_at);
      if (id >> 6 == 0 && value.size() % 2 != 0) return false;  // text is UTF-16
      switch (id) {
        case kHeaderName:
          name = value;
          break;
        case kHeaderType:
          type = value;
          break;
        case kHeaderTarget:
          target = value;
          break;
        case kHeaderAppParams:
          if (!app_params) app_params.emplace();
          *app_params += value;
          break;
        case kHeaderBody:
        case kHeaderEndOfBody:
          bodies.push_back(value);
          break;
        case kHeaderLength:
          length = (uint32_t{Byte(value, 0)} << 24) | (uint32_t{Byte(value, 1)} << 16) |
                   (uint32_t{Byte(value, 2)} << 8) | Byte(value, 3);
          break;
        default:
          break;
      }
      i += size;
    }
    return true;
  }
};

ObexServer::ObexServer(FileStore& store, ObexServerOptions options)
    : store_(store),
      capacity_(options.capacity),
      phone_max_(std::max(options.max_packet, kLeastPacket)) {}

void ObexServer::Reset() {
  connected_ = false;
  host_max_ = 0xFFFF;
  folder_.clear();
  DropPending();
}

void ObexServer::DropPending() {
  stream_.reset();
  get_headers_.reset();
  put_.reset();
}

uint16_t ObexServer::PacketLimit() const { return std::min(phone_max_, host_max_); }

std::string ObexServer::Handle(std::string_view request) {
  // Anything but a bare GET continuation abandons the answer being streamed.
  if (request != std::string_view("\x83\x00\x03", 3)) stream_.reset();
  if (request.size() < 3 || ReadU16(request, 1) != request.size()) {
    DropPending();
    return Response(kObexBadRequest);
  }
  const uint8_t opcode = Byte(request, 0);
  const uint8_t base = opcode & ~kFinalBit;
  if (base != kOpPut) put_.reset();
  if (base != kOpGet) get_headers_.reset();

  switch (opcode) {
    case kOpConnect:
      return Connect(request);
    case kOpDisconnect:
      Reset();
      return Response(kObexSuccess);
    case kOpAbort:
      return Response(kObexSuccess);
    case kOpSetPath:
    case kOpGet:
    case kOpGet | kFinalBit:
    case kOpPut:
    case kOpPut | kFinalBit:
      break;
    default:
      return Response(kObexNotImplemented);
  }
  if (!connected_) return Response(kObexForbidden);
  if (opcode == kOpSetPath) return SetPath(request);
  if (base == kOpGet) return Get(request);
  return Put(request);
}

std::string ObexServer::Connect(std::string_view request) {
  Headers headers;
  if (request.size() < 7 || !headers.Parse(request.substr(7))) return Response(kObexBadRequest);
  const uint16_t host_max = ReadU16(request, 5);
  if (host_max < kLeastPacket) return Response(kObexBadRequest);
  if (headers.target && *headers.target != kFolderBrowsingTarget &&
      *headers.target != kStandardFolderBrowsingTarget && *headers.target != kIrmcSyncTarget) {
    return Response(kObexForbidden);
  }
  Reset();
  connected_ = true;
  host_max_ = host_max;
  std::string body;
  body += '\x10';  // OBEX 1.0
  body += '\x00';
  AppendU16(body, phone_max_);
  if (headers.target) {
    // A directed connection: the service answers who it is and the id of the session.
    body += static_cast<char>(kHeaderWho);
    AppendU16(body, headers.target->size() + 3);
    body += *headers.target;
    body += static_cast<char>(kHeaderConnectionId);
    AppendU32(body, ++connection_id_);
  }
  return Packet(kObexSuccess, body);
}

std::string ObexServer::SetPath(std::string_view request) {
  Headers headers;
  if (request.size() < 5 || !headers.Parse(request.substr(5))) return Response(kObexBadRequest);
  const bool up = Byte(request, 3) & 0x01;
  const bool create = !(Byte(request, 3) & 0x02);
  std::string name;
  if (headers.name) {
    std::optional<std::string> decoded = Utf16BeToUtf8(*headers.name);
    if (!decoded || (!decoded->empty() && !ValidName(*decoded))) return Response(kObexBadRequest);
    name = std::move(*decoded);
  }

  FolderPath target = folder_;
  if (up) {
    if (target.empty()) return Response(kObexNotFound);
    target.pop_back();
  } else if (name.empty()) {
    target.clear();  // an empty name, or none, is the root
  }
  if (!name.empty()) {
    Entry entry;
    StoreStatus status = store_.Stat(target, name, entry);
    if (status == StoreStatus::kOk && !entry.folder) {
      return Response(create ? kObexPreconditionFailed : kObexNotFound);
    }
    if (status == StoreStatus::kNotFound) {
      if (!create) return Response(kObexNotFound);
      status = store_.MakeFolder(target, name);
    }
    if (status != StoreStatus::kOk) return Response(CodeOf(status));
    target.push_back(name);
  }
  folder_ = std::move(target);
  return Response(kObexSuccess);
}

std::string ObexServer::Get(std::string_view request) {
  if (request.size() == 3 && stream_) return NextGetPacket();
  std::string& collected = get_headers_ ? *get_headers_ : get_headers_.emplace();
  collected += request.substr(3);
  if (collected.size() > kMaxGetHeaders) {
    get_headers_.reset();
    return Response(kObexBadRequest);
  }
  if (!(Byte(request, 0) & kFinalBit)) return Response(kObexContinue);

  const std::string all = std::move(collected);
  get_headers_.reset();
  Headers headers;
  if (!headers.Parse(all)) return Response(kObexBadRequest);
  std::optional<std::string> name;
  if (headers.name) {
    name = Utf16BeToUtf8(*headers.name);
    if (!name || (!name->empty() && !ValidName(*name))) return Response(kObexBadRequest);
    if (name->empty()) name.reset();
  }

  std::string data;
  if (headers.type) {
    std::string_view type = *headers.type;
    if (!type.empty() && type.back() == '\0') type.remove_suffix(1);
    if (type == kFolderListingType) {
      FolderPath folder = folder_;
      if (name) folder.push_back(*name);
      std::vector<Entry> entries;
      StoreStatus status = store_.List(folder, entries);
      if (status != StoreStatus::kOk) return Response(CodeOf(status));
      data = FolderListingXml(std::move(entries), !folder.empty());
      if (listing_filter) data = listing_filter(folder, std::move(data));
      stream_.emplace(Stream{std::move(data)});
      return NextGetPacket();
    }
    if (!name) return Response(kObexUnsupportedMediaType);
  }
  if (!name) {
    std::map<uint8_t, std::string_view> params;
    if (headers.app_params && ParseAppParams(*headers.app_params, params) &&
        params.count(kTagMemory)) {
      return MemoryQuery(params[kTagMemory]);
    }
    return Response(kObexBadRequest);  // no object named
  }
  Entry entry;
  StoreStatus status = store_.Stat(folder_, *name, entry);
  if (status == StoreStatus::kOk && entry.folder) return Response(kObexForbidden);
  if (status == StoreStatus::kOk) status = store_.Read(folder_, *name, data);
  if (status != StoreStatus::kOk) return Response(CodeOf(status));
  stream_.emplace(Stream{std::move(data)});
  return NextGetPacket();
}

std::string ObexServer::MemoryQuery(std::string_view value) {
  if (value.size() != 1 || (value[0] != 1 && value[0] != 2)) return Response(kObexBadRequest);
  uint64_t count = capacity_;
  if (value[0] == 2) {
    uint64_t stored = store_.BytesStored();
    count = stored < capacity_ ? capacity_ - stored : 0;
  }
  std::string params;
  params += static_cast<char>(kTagMemory);
  params += '\x04';
  AppendU32(params, std::min<uint64_t>(count, 0xFFFFFFFF));
  std::string header(1, static_cast<char>(kHeaderAppParams));
  AppendU16(header, params.size() + 3);
  return Packet(kObexSuccess, header + params);
}

std::string ObexServer::NextGetPacket() {
  Stream& stream = *stream_;
  const size_t overhead = 3 + (stream.first ? 5 : 0) + 3;
  const size_t room = PacketLimit() - overhead;
  const size_t remaining = stream.data.size() - stream.offset;
  const bool last = remaining <= room;
  const size_t chunk = std::min(remaining, room);
  std::string headers;
  if (stream.first) {
    headers += static_cast<char>(kHeaderLength);
    AppendU32(headers, std::min<uint64_t>(stream.data.size(), 0xFFFFFFFF));
  }
  headers += static_cast<char>(last ? kHeaderEndOfBody : kHeaderBody);
  AppendU16(headers, chunk + 3);
  headers.append(stream.data, stream.offset, chunk);
  stream.offset += chunk;
  stream.first = false;
  if (last) stream_.reset();
  return Packet(last ? kObexSuccess : kObexContinue, headers);
}

std::string ObexServer::Put(std::string_view request) {
  Headers headers;
  if (!headers.Parse(request.substr(3))) {
    put_.reset();
    return Response(kObexBadRequest);
  }
  // A Name or application parameters begin a new PUT, whatever was pending;
  // a packet with neither continues the pending one.
  if (headers.name || headers.app_params) {
    put_ = PendingPut{};
  } else if (!put_) {
    return Response(kObexBadRequest);
  }
  PendingPut& put = *put_;
  if (headers.name) {
    std::optional<std::string> name = Utf16BeToUtf8(*headers.name);
    if (!name || !ValidName(*name)) {
      put_.reset();
      return Response(kObexBadRequest);
    }
    put.name = std::move(name);
  }
  if (headers.app_params) put.app_params += *headers.app_params;
  // The announced size (rounded up by some clients) saves regrowing a large
  // body; the body itself decides the file's size.
  if (headers.length && put.body.empty()) {
    put.body.reserve(std::min<uint64_t>(*headers.length, capacity_));
  }
  for (std::string_view body : headers.bodies) {
    put.body += body;
    put.has_body = true;
  }
  if (put.body.size() > capacity_) {
    put_.reset();
    return Response(kObexDatabaseFull);
  }
  if (!(Byte(request, 0) & kFinalBit)) return Response(kObexContinue);
  PendingPut done = std::move(put);
  put_.reset();
  return FinishPut(std::move(done));
}

std::string ObexServer::FinishPut(PendingPut put) {
  std::map<uint8_t, std::string_view> params;
  if (!ParseAppParams(put.app_params, params)) return Response(kObexBadRequest);

  if (auto action = params.find(kTagAction); action != params.end()) {
    if (action->second != "move") return Response(kObexNotImplemented);
    auto from = params.find(kTagOldName);
    auto to = params.find(kTagNewName);
    if (from == params.end() || to == params.end()) return Response(kObexBadRequest);
    std::optional<std::string> old_name = Utf16BeToUtf8(from->second);
    std::optional<std::string> new_name = Utf16BeToUtf8(to->second);
    if (!old_name || !new_name || !ValidName(*old_name) || !ValidName(*new_name)) {
      return Response(kObexBadRequest);
    }
    return Response(CodeOf(store_.Rename(folder_, *old_name, *new_name)));
  }
  if (!put.name) return Response(kObexBadRequest);
  const std::string& name = *put.name;

  auto attributes = params.find(kTagAttributes);
  if (attributes != params.end() && !PrintableAscii(attributes->second)) {
    return Response(kObexBadRequest);
  }
  if (!put.has_body) {
    if (attributes != params.end()) {
      return Response(CodeOf(store_.SetAttributes(folder_, name, attributes->second)));
    }
    return Response(CodeOf(store_.Remove(folder_, name)));
  }

  // The file it replaces gives its room back.
  Entry old;
  uint64_t replaced = 0;
  if (store_.Stat(folder_, name, old) == StoreStatus::kOk && !old.folder) replaced = old.size;
  const uint64_t stored = store_.BytesStored();
  const uint64_t others = stored - std::min(stored, replaced);
  if (put.body.size() > capacity_ - std::min(capacity_, others)) {
    return Response(kObexDatabaseFull);
  }
  StoreStatus status = store_.Write(folder_, name, put.body);
  if (status == StoreStatus::kOk && attributes != params.end()) {
    status = store_.SetAttributes(folder_, name, attributes->second);
  }
  return Response(CodeOf(status));
}

// --- ObexPacketAssembler -------------------------------------------------

void ObexPacketAssembler::Feed(std::string_view bytes) {
  if (!broken_) buffer_ += bytes;
}

std::optional<std::string> ObexPacketAssembler::Next() {
  if (broken_ || Buffered() < 3) return std::nullopt;
  const size_t length = ReadU16(buffer_, start_ + 1);
  if (length < 3) {
    broken_ = true;
    buffer_.clear();
    start_ = 0;
    return std::nullopt;
  }
  if (Buffered() < length) return std::nullopt;
  std::string packet = buffer_.substr(start_, length);
  start_ += length;
  // Consumed bytes are dropped in bulk, so each byte is moved a bounded number of times.
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ >= 4096 && start_ * 2 >= buffer_.size()) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  return packet;
}

void ObexPacketAssembler::Reset() {
  buffer_.clear();
  start_ = 0;
  broken_ = false;
}

}  // namespace quorvalen::sim
