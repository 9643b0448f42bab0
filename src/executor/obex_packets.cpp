// The bytes of every OBEX request the control sends, and the splitting of
// multi-level folder paths. Pure functions: they read nothing but their
// arguments.
#include <string>

#include "quorvalen/byte_text.h"
#include "quorvalen/obex_requests.h"

namespace quorvalen::obex {
namespace {

constexpr char kFolderListingType[] = "x-obex/folder-listing";

void PutByte(std::string& out, size_t value) { out += static_cast<char>(value & 0xFF); }

void PutShort(std::string& out, size_t value) {
  PutByte(out, value >> 8);
  PutByte(out, value);
}

void PutLong(std::string& out, uint64_t value) {
  PutShort(out, (value >> 16) & 0xFFFF);
  PutShort(out, value & 0xFFFF);
}

// Encoded size of a Name header's name: 2 bytes per character + terminator.
size_t TerminatedNameBytes(std::string_view name) { return 2 * name.size() + 2; }

// Name header with a one-byte length: 01 00 (3 + n) name 00 00.
void PutShortNameHeader(std::string& out, std::string_view name) {
  out += '\x01';
  PutByte(out, 0);
  PutByte(out, 3 + TerminatedNameBytes(name));
  out += EncodeName(name);
  out.append(2, '\0');
}

// Name header with a two-byte length.
void PutNameHeader(std::string& out, std::string_view name) {
  out += '\x01';
  PutShort(out, 3 + TerminatedNameBytes(name));
  out += EncodeName(name);
  out.append(2, '\0');
}

// Application parameters carrying one tag and ext_data; nothing when
// ext_data is empty.
void PutParameters(std::string& out, uint8_t tag, std::string_view ext_data) {
  if (ext_data.empty()) return;
  out += '\x4C';
  PutByte(out, 0);
  PutByte(out, ext_data.size() + 5);
  PutByte(out, tag);
  PutByte(out, ext_data.size());
  out.append(ext_data);
}

size_t ParametersBytes(std::string_view ext_data) {
  return ext_data.empty() ? 0 : ext_data.size() + 5;
}

// The Length header announces the data size rounded up to even.
uint64_t AnnouncedLength(size_t data_bytes) { return 2 * ((uint64_t{data_bytes} + 1) / 2); }

// A request whose packet length field is filled in once the rest is known.
std::optional<std::string> Finish(std::string packet) {
  if (packet.size() > kMaxPacketBytes) return std::nullopt;
  packet[1] = static_cast<char>((packet.size() >> 8) & 0xFF);
  packet[2] = static_cast<char>(packet.size() & 0xFF);
  return packet;
}

std::string Start(uint8_t opcode) { return {static_cast<char>(opcode), '\0', '\0'}; }

// What the executor leaves of a command once its options are taken off.
std::string_view WithoutOptions(std::string_view text, std::string& scratch) {
  scratch.assign(text);
  for (size_t at; (at = scratch.find(",LONG")) != std::string::npos;) scratch.erase(at, 5);
  if (size_t at = scratch.find(",HEX>"); at != std::string::npos) scratch.erase(at);
  if (size_t at = scratch.find(",EXT>"); at != std::string::npos) scratch.erase(at);
  return scratch;
}

}  // namespace

std::string EncodeName(std::string_view name) {
  std::string out;
  out.reserve(2 * name.size());
  for (char c : name) {
    out += '\0';
    out += c;
  }
  return out;
}

std::optional<std::string> ConnectRequest(std::string_view target_hex) {
  const std::string target = HexToText(target_hex);
  if (target.size() > kMaxTargetBytes) return std::nullopt;
  std::string packet = Start(0x80);
  packet += '\x10';  // version 1.0
  packet += '\0';    // flags
  PutShort(packet, 16390);
  packet += '\x46';
  PutShort(packet, 3 + target.size());
  packet += target;
  return Finish(std::move(packet));
}

std::string DisconnectRequest() { return {'\x81', '\0', '\x03'}; }

std::string AbortRequest() { return {'\xFF', '\0', '\x03'}; }

std::optional<std::string> SetPathRequest(std::string_view folder) {
  if (folder == "..") return std::string{'\x85', '\0', '\x05', '\x03', '\0'};
  if (folder == "/") return std::string{'\x85', '\0', '\x08', '\x02', '\0', '\x01', '\0', '\x03'};
  if (folder.size() > kMaxFolderNameChars) return std::nullopt;
  std::string packet = Start(0x85);
  packet += '\x02';  // do not create
  packet += '\0';
  PutShortNameHeader(packet, folder);
  return Finish(std::move(packet));
}

std::optional<std::string> MakeFolderRequest(std::string_view folder) {
  if (folder.empty()) return SetPathRequest("..");
  if (folder.size() > kMaxFolderNameChars) return std::nullopt;
  std::string packet = Start(0x85);
  packet += '\0';  // create if missing, and enter
  packet += '\0';
  PutShortNameHeader(packet, folder);
  return Finish(std::move(packet));
}

std::string FolderListingRequest() {
  std::string packet = Start(0x83);
  packet += '\x42';
  PutShort(packet, 3 + sizeof(kFolderListingType));  // the text and its 00
  packet.append(kFolderListingType, sizeof(kFolderListingType));
  return *Finish(std::move(packet));
}

std::optional<std::string> GetRequest(std::string_view name) {
  if (name.size() > kMaxGetNameChars) return std::nullopt;
  std::string packet = Start(0x83);
  PutShortNameHeader(packet, name);
  return Finish(std::move(packet));
}

std::optional<std::string> PutRequest(std::string_view name, std::string_view ext_data,
                                      std::string_view data) {
  if (ext_data.size() > kMaxExtDataChars) return std::nullopt;
  const size_t size =
      3 + 3 + TerminatedNameBytes(name) + 5 + ParametersBytes(ext_data) + 3 + data.size();
  if (size > kMaxPacketBytes) return std::nullopt;
  std::string packet = Start(0x82);
  packet.reserve(size);
  PutNameHeader(packet, name);
  packet += '\xC3';
  PutLong(packet, AnnouncedLength(data.size()));
  PutParameters(packet, kPutParameterTag, ext_data);
  packet += '\x49';
  PutShort(packet, 3 + data.size());
  packet.append(data);
  return Finish(std::move(packet));
}

int64_t FirstPutBlockSize(std::string_view name, std::string_view ext_data, int64_t block_len) {
  return block_len - PutOverhead(name.size(), ext_data.empty()
                                                  ? std::nullopt
                                                  : std::optional<size_t>(ext_data.size()));
}

std::optional<std::string> FirstPutRequest(std::string_view name, std::string_view ext_data,
                                           std::string_view data, size_t block) {
  if (ext_data.size() > kMaxExtDataChars || block == 0) return std::nullopt;
  const std::string_view sent = data.substr(0, block);
  const size_t size =
      3 + 3 + TerminatedNameBytes(name) + 5 + ParametersBytes(ext_data) + 3 + sent.size();
  if (size > kMaxPacketBytes || block > kMaxPacketBytes) return std::nullopt;
  std::string packet = Start(0x02);
  packet.reserve(size);
  PutNameHeader(packet, name);
  packet += '\xC3';
  PutLong(packet, AnnouncedLength(data.size()));
  PutParameters(packet, kPutParameterTag, ext_data);
  packet += '\x48';
  PutShort(packet, 3 + sent.size());
  packet.append(sent);
  return Finish(std::move(packet));
}

std::optional<std::string> PutBlockRequest(std::string_view block, bool last) {
  if (block.size() + 6 > kMaxPacketBytes) return std::nullopt;
  std::string packet = Start(last ? 0x82 : 0x02);
  packet.reserve(block.size() + 6);
  packet += last ? '\x49' : '\x48';
  PutShort(packet, 3 + block.size());
  packet.append(block);
  return Finish(std::move(packet));
}

std::optional<std::string> DeleteRequest(std::string_view name, std::string_view ext_data) {
  if (ext_data.size() > kMaxExtDataChars) return std::nullopt;
  std::string packet = Start(0x82);
  PutNameHeader(packet, name);
  PutParameters(packet, kPutParameterTag, ext_data);
  return Finish(std::move(packet));
}

std::optional<std::string> AttributesRequest(std::string_view name, std::string_view ext_data) {
  if (ext_data.size() > kMaxExtDataChars) return std::nullopt;
  std::string packet = Start(0x82);
  PutNameHeader(packet, name);
  PutParameters(packet, kAttributeParameterTag, ext_data);
  return Finish(std::move(packet));
}

std::optional<std::string> RenameRequest(std::string_view old_name, std::string_view new_name) {
  if (old_name.size() > kMaxRenameNameChars || new_name.size() > kMaxRenameNameChars) {
    return std::nullopt;
  }
  const std::string old_bytes = EncodeName(old_name);
  const std::string new_bytes = EncodeName(new_name);
  std::string packet = Start(0x82);
  packet += '\x4C';
  PutShort(packet, 3 + 6 + 2 + old_bytes.size() + 2 + new_bytes.size());
  packet += "\x34\x04move";
  packet += '\x35';
  PutByte(packet, old_bytes.size());
  packet += old_bytes;
  packet += '\x36';
  PutByte(packet, new_bytes.size());
  packet += new_bytes;
  return Finish(std::move(packet));
}

std::optional<std::string> MemoryRequest(std::string_view value_hex) {
  const std::string value = HexToText(value_hex);
  if (value.size() > kMaxMemoryValueBytes) return std::nullopt;
  std::string packet = Start(0x83);
  packet += '\x4C';
  PutShort(packet, 3 + 2 + value.size());
  packet += '\x32';
  PutByte(packet, value.size());
  packet += value;
  return Finish(std::move(packet));
}

std::string RawRequest(std::string_view packet_hex) { return HexToText(packet_hex); }

std::string GetContinuation() { return {'\x83', '\0', '\x03'}; }

int64_t PutOverhead(size_t name_chars, std::optional<size_t> ext_chars) {
  int64_t overhead = 2 * static_cast<int64_t>(name_chars) + 16;
  if (ext_chars) overhead += static_cast<int64_t>(*ext_chars) + 5;
  return overhead;
}

std::vector<std::string> SplitFolderPath(std::string_view path) {
  std::vector<std::string> folders;
  if (path.find('\\') == std::string_view::npos) {
    folders.emplace_back(path);
    return folders;
  }
  size_t at = 0;
  if (path.front() == '\\') {
    folders.emplace_back("/");
    at = 1;
  }
  // Every stretch up to the next backslash is one folder.
  for (size_t end; (end = path.find('\\', at)) != std::string_view::npos; at = end + 1) {
    folders.emplace_back(path.substr(at, end - at));
  }
  // The last folder may come without its closing backslash; options that
  // trail the path are not a folder.
  std::string scratch;
  if (!WithoutOptions(path.substr(at), scratch).empty()) folders.emplace_back(path.substr(at));
  return folders;
}

}  // namespace quorvalen::obex
