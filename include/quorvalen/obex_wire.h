// The OBEX wire format, shared by the control, the session, the simulated
// phone and the tools: the request and response codes with their names,
// the cutting of a byte stream into packets by their declared length, the
// walk over a packet's headers and the reading of application parameters.
//
// A packet is [code][length, 2 bytes MSB first, the whole packet][...];
// a header is [id][value], the id's top two bits telling the value's form:
// 00 text and 01 bytes with a 2-byte length (id and length counted), 10 one
// byte, 11 four bytes. Application parameters are [tag][length][value].
//
// Pure functions: they read their arguments and keep nothing; what they
// return points into the bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quorvalen::obex {

// ---- Codes.

// Request opcodes; the final bit marks a request's last packet.
inline constexpr uint8_t kFinalBit = 0x80;
inline constexpr uint8_t kOpConnect = 0x80;
inline constexpr uint8_t kOpDisconnect = 0x81;
inline constexpr uint8_t kOpPut = 0x02;
inline constexpr uint8_t kOpGet = 0x03;
inline constexpr uint8_t kOpSetPath = 0x85;
inline constexpr uint8_t kOpAbort = 0xFF;

// Response codes, with the final bit (OBEX defines more: ResponseName).
inline constexpr uint8_t kContinue = 0x90;
inline constexpr uint8_t kSuccess = 0xA0;
inline constexpr uint8_t kBadRequest = 0xC0;
inline constexpr uint8_t kForbidden = 0xC3;
inline constexpr uint8_t kNotFound = 0xC4;
inline constexpr uint8_t kPreconditionFailed = 0xCC;
inline constexpr uint8_t kUnsupportedMediaType = 0xCF;
inline constexpr uint8_t kInternalError = 0xD0;
inline constexpr uint8_t kNotImplemented = 0xD1;
inline constexpr uint8_t kDatabaseFull = 0xE0;

// The operation an opcode asks for ("get"), with the final bit or without;
// empty for a byte that is no opcode.
std::string_view RequestName(uint8_t opcode);
// What a response code says, for a person ("not found"); empty for a byte
// that is no response code OBEX defines.
std::string_view ResponseName(uint8_t code);
inline bool IsResponseCode(uint8_t byte) { return !ResponseName(byte).empty(); }

// ---- Packets.

// The code and the length field that begin every packet.
inline constexpr size_t kPacketHead = 3;

// The length a packet declares (its bytes 1 and 2); packet holds at least
// kPacketHead bytes.
// (Inline: the control reads it for every byte it receives.)
inline size_t DeclaredLength(std::string_view packet) {
  return size_t{static_cast<uint8_t>(packet[1])} << 8 | static_cast<uint8_t>(packet[2]);
}

// The packet at the front of a byte stream.
struct PacketCut {
  enum Status {
    kPartial,     // not all of it is there yet (size: the declared length, once known)
    kWhole,       // the first size bytes are the packet
    kImpossible,  // it declares fewer bytes than its own head: no packet begins here
  };
  Status status = kPartial;
  size_t size = 0;
};
PacketCut CutPacket(std::string_view bytes);

// ---- Headers.

inline constexpr uint8_t kHeaderName = 0x01;
inline constexpr uint8_t kHeaderDescription = 0x05;
inline constexpr uint8_t kHeaderType = 0x42;
inline constexpr uint8_t kHeaderTime = 0x44;
inline constexpr uint8_t kHeaderTarget = 0x46;
inline constexpr uint8_t kHeaderBody = 0x48;
inline constexpr uint8_t kHeaderEndOfBody = 0x49;
inline constexpr uint8_t kHeaderWho = 0x4A;
inline constexpr uint8_t kHeaderAppParams = 0x4C;
inline constexpr uint8_t kHeaderCount = 0xC0;
inline constexpr uint8_t kHeaderLength = 0xC3;
inline constexpr uint8_t kHeaderTime4 = 0xC4;
inline constexpr uint8_t kHeaderConnectionId = 0xCB;

// A header's name for a person ("End of body"); empty for an id OBEX does
// not name.
std::string_view HeaderName(uint8_t id);

struct Header {
  uint8_t id = 0;
  std::string_view value;  // without the id and the length field
  // Text (UTF-16, big-endian) or bytes, with a 2-byte length.
  bool Counted() const { return id >> 6 < 2; }
  bool Text() const { return id >> 6 == 0; }
  // The value of a one- or four-byte header, as a number.
  uint32_t Number() const;
};

// The headers of the bytes, in order. Where one runs past the end, or
// declares a length below its own 3 bytes, the walk stops: complete is
// false and the headers before it are kept.
struct HeaderWalk {
  std::vector<Header> headers;
  bool complete = true;
};
HeaderWalk ReadHeaders(std::string_view bytes);

// ---- Application parameters.

// The tags of the phone's file service.
inline constexpr uint8_t kTagMemory = 0x32;
inline constexpr uint8_t kTagAction = 0x34;
inline constexpr uint8_t kTagOldName = 0x35;
inline constexpr uint8_t kTagNewName = 0x36;
inline constexpr uint8_t kTagAttributes = 0x38;

struct Parameter {
  uint8_t tag = 0;
  std::string_view value;
};

// The parameters of an Application-parameters value, in order; complete is
// false when the last runs past the end (those before it are kept).
struct ParameterWalk {
  std::vector<Parameter> parameters;
  bool complete = true;
};
ParameterWalk ReadParameters(std::string_view bytes);

}  // namespace quorvalen::obex
