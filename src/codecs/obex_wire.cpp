// The OBEX wire format: code names, packet cutting, headers, parameters.
#include "quorvalen/obex_wire.h"

namespace quorvalen::obex {
namespace {

uint8_t Byte(std::string_view bytes, size_t at) { return static_cast<uint8_t>(bytes[at]); }

struct Named {
  uint8_t code;
  std::string_view name;
};

template <size_t N>
std::string_view NameOf(const Named (&table)[N], uint8_t code) {
  for (const Named& entry : table) {
    if (entry.code == code) return entry.name;
  }
  return {};
}

constexpr Named kRequests[] = {
    {kOpConnect, "connect"},  {kOpDisconnect, "disconnect"},
    {kOpPut, "put"},          {kOpPut | kFinalBit, "put"},
    {kOpGet, "get"},          {kOpGet | kFinalBit, "get"},
    {kOpSetPath, "set path"}, {kOpAbort, "abort"},
};

// Every response code OBEX defines, with the final bit.
constexpr Named kResponses[] = {
    {0x90, "continue"},
    {0xA0, "success"},
    {0xA1, "created"},
    {0xA2, "accepted"},
    {0xA3, "non-authoritative information"},
    {0xA4, "no content"},
    {0xA5, "reset content"},
    {0xA6, "partial content"},
    {0xB0, "multiple choices"},
    {0xB1, "moved permanently"},
    {0xB2, "moved temporarily"},
    {0xB3, "see other"},
    {0xB4, "not modified"},
    {0xB5, "use proxy"},
    {0xC0, "bad request"},
    {0xC1, "unauthorized"},
    {0xC2, "payment required"},
    {0xC3, "forbidden"},
    {0xC4, "not found"},
    {0xC5, "method not allowed"},
    {0xC6, "not acceptable"},
    {0xC7, "proxy authentication required"},
    {0xC8, "request timed out"},
    {0xC9, "conflict"},
    {0xCA, "gone"},
    {0xCB, "length required"},
    {0xCC, "precondition failed"},
    {0xCD, "too large"},
    {0xCE, "name too long"},
    {0xCF, "unsupported type"},
    {0xD0, "internal error of the phone"},
    {0xD1, "not implemented"},
    {0xD2, "bad gateway"},
    {0xD3, "service unavailable"},
    {0xD4, "gateway timed out"},
    {0xD5, "OBEX version not supported"},
    {0xE0, "the phone's memory is full"},
    {0xE1, "database locked"},
};

constexpr Named kHeaders[] = {
    {kHeaderName, "Name"},
    {kHeaderDescription, "Description"},
    {kHeaderType, "Type"},
    {kHeaderTime, "Time"},
    {kHeaderTime4, "Time"},
    {kHeaderTarget, "Target"},
    {kHeaderBody, "Body"},
    {kHeaderEndOfBody, "End of body"},
    {kHeaderWho, "Who"},
    {kHeaderAppParams, "Parameters"},
    {kHeaderCount, "Count"},
    {kHeaderLength, "Length"},
    {kHeaderConnectionId, "Connection id"},
};

}  // namespace

std::string_view RequestName(uint8_t opcode) { return NameOf(kRequests, opcode); }

std::string_view ResponseName(uint8_t code) { return NameOf(kResponses, code); }

PacketCut CutPacket(std::string_view bytes) {
  if (bytes.size() < kPacketHead) return {};
  const size_t declared = DeclaredLength(bytes);
  if (declared < kPacketHead) return {PacketCut::kImpossible, declared};
  return {bytes.size() < declared ? PacketCut::kPartial : PacketCut::kWhole, declared};
}

std::string_view HeaderName(uint8_t id) { return NameOf(kHeaders, id); }

uint32_t Header::Number() const {
  uint32_t number = 0;
  for (char c : value) number = number << 8 | static_cast<uint8_t>(c);
  return number;
}

HeaderWalk ReadHeaders(std::string_view bytes) {
  HeaderWalk walk;
  size_t at = 0;
  while (at < bytes.size()) {
    const uint8_t id = Byte(bytes, at);
    const std::string_view rest = bytes.substr(at);
    size_t size = id >> 6 == 2 ? 2 : 5;
    size_t value_at = 1;
    if (id >> 6 < 2) {
      if (rest.size() < 3) break;
      size = DeclaredLength(rest);
      if (size < 3) break;
      value_at = 3;
    }
    if (size > rest.size()) break;
    walk.headers.push_back(Header{id, rest.substr(value_at, size - value_at)});
    at += size;
  }
  walk.complete = at == bytes.size();
  return walk;
}

ParameterWalk ReadParameters(std::string_view bytes) {
  ParameterWalk walk;
  size_t at = 0;
  while (bytes.size() - at >= 2) {
    const size_t length = Byte(bytes, at + 1);
    if (length > bytes.size() - at - 2) break;
    walk.parameters.push_back(Parameter{Byte(bytes, at), bytes.substr(at + 2, length)});
    at += 2 + length;
  }
  walk.complete = at == bytes.size();
  return walk;
}

}  // namespace quorvalen::obex
