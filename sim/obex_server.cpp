// The OBEX file server of the simulated phone and the packet assembler that
// feeds it.
#include "quorvalen/sim/obex_server.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "quorvalen/obex_wire.h"
#include "sim/folder_listing.h"

namespace quorvalen::sim {
namespace {

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
      return obex::kSuccess;
    case StoreStatus::kNotFound:
      return obex::kNotFound;
    case StoreStatus::kExists:
    case StoreStatus::kNotEmpty:
      return obex::kPreconditionFailed;
    case StoreStatus::kBadName:
      return obex::kBadRequest;
    case StoreStatus::kForbidden:
      return obex::kForbidden;
    case StoreStatus::kNoSpace:
      return obex::kDatabaseFull;
    case StoreStatus::kIoError:
      break;
  }
  return obex::kInternalError;
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

// Application parameters; the first of a repeated tag counts.
bool ParseAppParams(std::string_view bytes, std::map<uint8_t, std::string_view>& params) {
  const obex::ParameterWalk walk = obex::ReadParameters(bytes);
  for (const obex::Parameter& parameter : walk.parameters) {
    params.emplace(parameter.tag, parameter.value);
  }
  return walk.complete;
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

  // False when a header runs past the end, has an impossible length, or
  // holds text that is not UTF-16.
  bool Parse(std::string_view bytes) {
    const obex::HeaderWalk walk = obex::ReadHeaders(bytes);
    if (!walk.complete) return false;
    for (const obex::Header& header : walk.headers) {
      if (header.Text() && header.value.size() % 2 != 0) return false;
      switch (header.id) {
        case obex::kHeaderName:
          name = header.value;
          break;
        case obex::kHeaderType:
          type = header.value;
          break;
        case obex::kHeaderTarget:
          target = header.value;
          break;
        case obex::kHeaderAppParams:
          if (!app_params) app_params.emplace();
          *app_params += header.value;
          break;
        case obex::kHeaderBody:
        case obex::kHeaderEndOfBody:
          bodies.push_back(header.value);
          break;
        case obex::kHeaderLength:
          length = header.Number();
          break;
        default:
          break;
      }
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
  if (request.size() < obex::kPacketHead || obex::DeclaredLength(request) != request.size()) {
    DropPending();
    return Response(obex::kBadRequest);
  }
  const uint8_t opcode = Byte(request, 0);
  const uint8_t base = opcode & ~obex::kFinalBit;
  if (base != obex::kOpPut) put_.reset();
  if (base != obex::kOpGet) get_headers_.reset();

  switch (opcode) {
    case obex::kOpConnect:
      return Connect(request);
    case obex::kOpDisconnect:
      Reset();
      return Response(obex::kSuccess);
    case obex::kOpAbort:
      return Response(obex::kSuccess);
    case obex::kOpSetPath:
    case obex::kOpGet:
    case obex::kOpGet | obex::kFinalBit:
    case obex::kOpPut:
    case obex::kOpPut | obex::kFinalBit:
      break;
    default:
      return Response(obex::kNotImplemented);
  }
  if (!connected_) return Response(obex::kForbidden);
  if (opcode == obex::kOpSetPath) return SetPath(request);
  if (base == obex::kOpGet) return Get(request);
  return Put(request);
}

std::string ObexServer::Connect(std::string_view request) {
  Headers headers;
  if (request.size() < 7 || !headers.Parse(request.substr(7))) return Response(obex::kBadRequest);
  const uint16_t host_max = ReadU16(request, 5);
  if (host_max < kLeastPacket) return Response(obex::kBadRequest);
  if (headers.target && *headers.target != kFolderBrowsingTarget &&
      *headers.target != kStandardFolderBrowsingTarget && *headers.target != kIrmcSyncTarget) {
    return Response(obex::kForbidden);
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
    body += static_cast<char>(obex::kHeaderWho);
    AppendU16(body, headers.target->size() + 3);
    body += *headers.target;
    body += static_cast<char>(obex::kHeaderConnectionId);
    AppendU32(body, ++connection_id_);
  }
  return Packet(obex::kSuccess, body);
}

std::string ObexServer::SetPath(std::string_view request) {
  Headers headers;
  if (request.size() < 5 || !headers.Parse(request.substr(5))) return Response(obex::kBadRequest);
  const bool up = Byte(request, 3) & 0x01;
  const bool create = !(Byte(request, 3) & 0x02);
  std::string name;
  if (headers.name) {
    std::optional<std::string> decoded = Utf16BeToUtf8(*headers.name);
    if (!decoded || (!decoded->empty() && !ValidName(*decoded))) return Response(obex::kBadRequest);
    name = std::move(*decoded);
  }

  FolderPath target = folder_;
  if (up) {
    if (target.empty()) return Response(obex::kNotFound);
    target.pop_back();
  } else if (name.empty()) {
    target.clear();  // an empty name, or none, is the root
  }
  if (!name.empty()) {
    Entry entry;
    StoreStatus status = store_.Stat(target, name, entry);
    if (status == StoreStatus::kOk && !entry.folder) {
      return Response(create ? obex::kPreconditionFailed : obex::kNotFound);
    }
    if (status == StoreStatus::kNotFound) {
      if (!create) return Response(obex::kNotFound);
      status = store_.MakeFolder(target, name);
    }
    if (status != StoreStatus::kOk) return Response(CodeOf(status));
    target.push_back(name);
  }
  folder_ = std::move(target);
  return Response(obex::kSuccess);
}

std::string ObexServer::Get(std::string_view request) {
  if (request.size() == 3 && stream_) return NextGetPacket();
  std::string& collected = get_headers_ ? *get_headers_ : get_headers_.emplace();
  collected += request.substr(3);
  if (collected.size() > kMaxGetHeaders) {
    get_headers_.reset();
    return Response(obex::kBadRequest);
  }
  if (!(Byte(request, 0) & obex::kFinalBit)) return Response(obex::kContinue);

  const std::string all = std::move(collected);
  get_headers_.reset();
  Headers headers;
  if (!headers.Parse(all)) return Response(obex::kBadRequest);
  std::optional<std::string> name;
  if (headers.name) {
    name = Utf16BeToUtf8(*headers.name);
    if (!name || (!name->empty() && !ValidName(*name))) return Response(obex::kBadRequest);
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
    if (!name) return Response(obex::kUnsupportedMediaType);
  }
  if (!name) {
    std::map<uint8_t, std::string_view> params;
    if (headers.app_params && ParseAppParams(*headers.app_params, params) &&
        params.count(obex::kTagMemory)) {
      return MemoryQuery(params[obex::kTagMemory]);
    }
    return Response(obex::kBadRequest);  // no object named
  }
  Entry entry;
  StoreStatus status = store_.Stat(folder_, *name, entry);
  if (status == StoreStatus::kOk && entry.folder) return Response(obex::kForbidden);
  if (status == StoreStatus::kOk) status = store_.Read(folder_, *name, data);
  if (status != StoreStatus::kOk) return Response(CodeOf(status));
  stream_.emplace(Stream{std::move(data)});
  return NextGetPacket();
}

std::string ObexServer::MemoryQuery(std::string_view value) {
  if (value.size() != 1 || (value[0] != 1 && value[0] != 2)) return Response(obex::kBadRequest);
  uint64_t count = capacity_;
  if (value[0] == 2) {
    uint64_t stored = store_.BytesStored();
    count = stored < capacity_ ? capacity_ - stored : 0;
  }
  std::string params;
  params += static_cast<char>(obex::kTagMemory);
  params += '\x04';
  AppendU32(params, std::min<uint64_t>(count, 0xFFFFFFFF));
  std::string header(1, static_cast<char>(obex::kHeaderAppParams));
  AppendU16(header, params.size() + 3);
  return Packet(obex::kSuccess, header + params);
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
    headers += static_cast<char>(obex::kHeaderLength);
    AppendU32(headers, std::min<uint64_t>(stream.data.size(), 0xFFFFFFFF));
  }
  headers += static_cast<char>(last ? obex::kHeaderEndOfBody : obex::kHeaderBody);
  AppendU16(headers, chunk + 3);
  headers.append(stream.data, stream.offset, chunk);
  stream.offset += chunk;
  stream.first = false;
  if (last) stream_.reset();
  return Packet(last ? obex::kSuccess : obex::kContinue, headers);
}

std::string ObexServer::Put(std::string_view request) {
  Headers headers;
  if (!headers.Parse(request.substr(3))) {
    put_.reset();
    return Response(obex::kBadRequest);
  }
  // A Name or application parameters begin a new PUT, whatever was pending;
  // a packet with neither continues the pending one.
  if (headers.name || headers.app_params) {
    put_ = PendingPut{};
  } else if (!put_) {
    return Response(obex::kBadRequest);
  }
  PendingPut& put = *put_;
  if (headers.name) {
    std::optional<std::string> name = Utf16BeToUtf8(*headers.name);
    if (!name || !ValidName(*name)) {
      put_.reset();
      return Response(obex::kBadRequest);
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
    return Response(obex::kDatabaseFull);
  }
  if (!(Byte(request, 0) & obex::kFinalBit)) return Response(obex::kContinue);
  PendingPut done = std::move(put);
  put_.reset();
  return FinishPut(std::move(done));
}

std::string ObexServer::FinishPut(PendingPut put) {
  std::map<uint8_t, std::string_view> params;
  if (!ParseAppParams(put.app_params, params)) return Response(obex::kBadRequest);

  if (auto action = params.find(obex::kTagAction); action != params.end()) {
    if (action->second != "move") return Response(obex::kNotImplemented);
    auto from = params.find(obex::kTagOldName);
    auto to = params.find(obex::kTagNewName);
    if (from == params.end() || to == params.end()) return Response(obex::kBadRequest);
    std::optional<std::string> old_name = Utf16BeToUtf8(from->second);
    std::optional<std::string> new_name = Utf16BeToUtf8(to->second);
    if (!old_name || !new_name || !ValidName(*old_name) || !ValidName(*new_name)) {
      return Response(obex::kBadRequest);
    }
    return Response(CodeOf(store_.Rename(folder_, *old_name, *new_name)));
  }
  if (!put.name) return Response(obex::kBadRequest);
  const std::string& name = *put.name;

  auto attributes = params.find(obex::kTagAttributes);
  if (attributes != params.end() && !PrintableAscii(attributes->second)) {
    return Response(obex::kBadRequest);
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
    return Response(obex::kDatabaseFull);
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
  if (broken_) return std::nullopt;
  const obex::PacketCut cut = obex::CutPacket(std::string_view(buffer_).substr(start_));
  if (cut.status == obex::PacketCut::kImpossible) {
    broken_ = true;
    buffer_.clear();
    start_ = 0;
    return std::nullopt;
  }
  if (cut.status != obex::PacketCut::kWhole) return std::nullopt;
  std::string packet = buffer_.substr(start_, cut.size);
  start_ += cut.size;
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
