// OBEX request packets as the control sends them to the phone, built from
// their inputs alone: connect, disconnect, set path, folder listing, get,
// put in one or many packets, delete, rename, attributes, memory query, raw
// packets; and the splitting of multi-level folder paths. Every packet is
// byte text (one char per byte). Builders whose input cannot be encoded (a
// name too long for a one-byte length field, a packet over 65535 bytes)
// return std::nullopt and the control sends nothing.
//
// Names are encoded two bytes per character, 0x00 then the character's byte
// (UTF-16 big-endian for the single-byte set); names in Name headers end
// with 00 00. No request carries a Connection Id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvalen::obex {

// The largest inputs that one-byte length fields can describe.
inline constexpr size_t kMaxFolderNameChars = 122;  // SETPATH: 8 + 2c + 2 <= 255
inline constexpr size_t kMaxGetNameChars = 123;     // GET: 6 + 2c + 2 <= 255
inline constexpr size_t kMaxRenameNameChars = 127;  // rename tags: 2c <= 255
inline constexpr size_t kMaxExtDataChars = 250;     // parameters header: L + 5 <= 255
inline constexpr size_t kMaxTargetBytes = 245;      // CONNECT: 10 + T <= 255
inline constexpr size_t kMaxMemoryValueBytes = 255;
inline constexpr size_t kMaxPacketBytes = 0xFFFF;

// The targets of the two services the control connects to.
inline constexpr char kFolderBrowsingTarget[] = "6B01CB31410611D49A770050DA3F471F";
inline constexpr char kIrmcSyncTarget[] = "49524D432D53594E43";

// Application-parameter tags of PUT requests.
inline constexpr uint8_t kPutParameterTag = 0x11;
inline constexpr uint8_t kAttributeParameterTag = 0x38;

// The name, two bytes per character, without terminator.
std::string EncodeName(std::string_view name);

// CONNECT (0x80) with a Target header; the target is hex text. The control
// announces a maximum packet length of 16390.
std::optional<std::string> ConnectRequest(std::string_view target_hex);
// DISCONNECT: 81 00 03.
std::string DisconnectRequest();
// ABORT: FF 00 03, which ends a GET or PUT of many packets on the phone's
// side.
std::string AbortRequest();
// SETPATH for "CD :": ".." backs up, "/" goes to the root, anything else
// (the empty name too) enters that folder without creating it.
std::optional<std::string> SetPathRequest(std::string_view folder);
// SETPATH for "MKD:": creates the folder if needed and enters it; an empty
// name backs up one level.
std::optional<std::string> MakeFolderRequest(std::string_view folder);
// GET of the current folder's listing (Type x-obex/folder-listing).
std::string FolderListingRequest();
// GET by name.
std::optional<std::string> GetRequest(std::string_view name);
// One final PUT with all of data: Name, Length (data size rounded up to
// even), parameters (tag 0x11, only with ext_data), End of Body.
std::optional<std::string> PutRequest(std::string_view name, std::string_view ext_data,
                                      std::string_view data);
// Data bytes that fit the first packet of a multi-packet PUT of block_len
// bytes; 0 or less when the name and parameters leave no room.
int64_t FirstPutBlockSize(std::string_view name, std::string_view ext_data, int64_t block_len);
// The first, non-final PUT of a multi-packet transfer: Name, Length of the
// whole data, parameters, Body with the first `block` bytes of data (fewer
// when data is shorter). block must be at least 1.
std::optional<std::string> FirstPutRequest(std::string_view name, std::string_view ext_data,
                                           std::string_view data, size_t block);
// A further block of a multi-packet PUT: 02 + Body while more is to come,
// 82 + End of Body for the last.
std::optional<std::string> PutBlockRequest(std::string_view block, bool last);
// Final PUT without body (delete).
std::optional<std::string> DeleteRequest(std::string_view name, std::string_view ext_data);
// Final PUT without body carrying an attribute value (tag 0x38).
std::optional<std::string> AttributesRequest(std::string_view name, std::string_view ext_data);
// Final PUT whose parameters ask for the move of old_name to new_name.
std::optional<std::string> RenameRequest(std::string_view old_name, std::string_view new_name);
// GET with the application parameter 0x32 (memory query); value is hex text.
std::optional<std::string> MemoryRequest(std::string_view value_hex);
// The packet given as hex text, unchanged.
std::string RawRequest(std::string_view packet_hex);
// The request that asks for the next part of a GET: 83 00 03.
std::string GetContinuation();

// Size of the fixed part of the first PUT packet, as the command expansion
// reckons it to decide between one packet and many: 2 bytes per name
// character + 16, and with ",EXT>" 5 + the extra text.
int64_t PutOverhead(size_t name_chars, std::optional<size_t> ext_chars);

// The changes of folder that a multi-level path stands for, in order: "/"
// first when the path starts at the root, then every folder between two
// backslashes, then the text after the last backslash when it names a
// folder (an empty text, or one that is nothing but command options, does
// not). A path without a backslash is one change to that folder.
std::vector<std::string> SplitFolderPath(std::string_view path);

}  // namespace quorvalen::obex
