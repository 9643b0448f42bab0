// quorvalen trace: a trace file for a person. Each line gets its time as
// HH:MM:SS.mmm and its direction; OBEX packets are decoded (operation or
// response, length, headers) and BFB frames named.
#include <fstream>

#include "cli.h"
#include "quorvalen/byte_text.h"

namespace quorvalen::tool {
namespace {

uint32_t BigEndian(std::string_view bytes) {
  uint32_t value = 0;
  for (char c : bytes) value = value << 8 | static_cast<uint8_t>(c);
  return value;
}

std::string Printable(std::string_view bytes, size_t limit = 48) {
  std::string out;
  for (char c : bytes.substr(0, limit)) out += (c >= 32 && c < 127) ? c : '.';
  if (bytes.size() > limit) out += "...";
  return out;
}

const char* HeaderName(uint8_t id) {
  switch (id) {
    case 0x01: return "Name";
    case 0x05: return "Description";
    case 0x42: return "Type";
    case 0x44: case 0xC4: return "Time";
    case 0x46: return "Target";
    case 0x48: return "Body";
    case 0x49: return "End of body";
    case 0x4A: return "Who";
    case 0x4C: return "Parameters";
    case 0xC0: return "Count";
    case 0xC3: return "Length";
    case 0xCB: return "Connection id";
    default: return nullptr;
  }
}

// The headers of a packet from offset at, one phrase each.
std::string Headers(std::string_view packet, size_t at) {
  std::string out;
  while (at < packet.size()) {
    const auto id = static_cast<uint8_t>(packet[at]);
    size_t length = 0;
    switch (id >> 6) {
      case 0:
      case 1:
        if (at + 3 > packet.size()) return out + " (cut short)";
        length = BigEndian(packet.substr(at + 1, 2));
        break;
      case 2:
        length = 2;
        break;
      default:
        length = 5;
    }
    if (length < 1 || at + length > packet.size()) return out + " (cut short)";
    const std::string_view value = packet.substr(at + ((id >> 6) < 2 ? 3 : 1),
                                                 length - ((id >> 6) < 2 ? 3 : 1));
    const char* name = HeaderName(id);
    out += ", " + std::string(name ? name : "header " + ByteToHex(id));
    if (id == 0x01 || id == 0x05) {
      std::string text;  // two bytes a character, ending with 00 00
      for (size_t i = 1; i < value.size(); i += 2) {
        if (value[i] || value[i - 1]) text += value[i];
      }
      out += " \"" + Printable(text) + "\"";
    } else if (id == 0x42) {
      out += ' ';
      out += Printable(value.substr(0, value.find('\0')));
    } else if ((id >> 6) >= 2) {
      out += ' ';
      out += std::to_string(BigEndian(value));
    } else {
      out += " (" + std::to_string(value.size()) + " bytes)";
    }
    at += length;
  }
  return out;
}

std::string Response(std::string_view packet) {
  if (packet.size() < 3) return "a packet cut short: " + TextToHex(packet);
  const int code = static_cast<uint8_t>(packet[0]);
  std::string out = (code == 0x90 ? std::string("continue") : ObexResponseName(code)) + " (" +
                    ByteToHex(static_cast<uint8_t>(code)) + "), " +
                    std::to_string(BigEndian(packet.substr(1, 2))) + " bytes";
  size_t at = 3;
  // A connect's answer carries version, flags and the largest packet first.
  if (packet.size() >= 7 && static_cast<uint8_t>(packet[3]) == 0x10) {
    out += ", version 1.0, packets up to " + std::to_string(BigEndian(packet.substr(5, 2)));
    at = 7;
  }
  return out + Headers(packet, at);
}

}  // namespace

int RunTrace(Cli& cli, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    cli.Error("cannot read " + path);
    return kExitLocal;
  }
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool stamped = line.size() >= 9 &&
                         line.find_first_not_of("0123456789") >= 9;
    if (!stamped) {
      std::fprintf(cli.out, "%s\n", line.c_str());
      continue;
    }
    const long ms = std::stol(line.substr(0, 9));
    char when[32];
    std::snprintf(when, sizeof when, "%02ld:%02ld:%02ld.%03ld", ms / 3600000, ms / 60000 % 60,
                  ms / 1000 % 60, ms % 1000);
    const std::string text = line.substr(9);
    const size_t colon = text.find(':');
    const std::string tag = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::string content = colon == std::string::npos ? text : text.substr(colon + 1);
    std::string shown;
    if (tag == " >OBEX   " && content.rfind("LEN ERROR ", 0) != 0) {
      shown = "<- OBEX  " + Response(HexToText(content));
    } else if (tag == " OBEX>   ") {
      shown = "-> OBEX  " + (content == "830003" ? std::string("get: continue") : content);
    } else if (tag == " >OBEX   ") {
      shown = "<- OBEX  impossible length: " + content.substr(10);
    } else if (tag == " BFB>    ") {
      shown = "-> BFB   " + std::string(content == "ACK" ? "acknowledgement" : "data block");
    } else if (tag == " >BFB    ") {
      shown = "<- BFB   " + std::string(content == "ACK"    ? "acknowledgement"
                                        : content == "DATA" ? "data block"
                                                            : "rejected: " + content);
    } else if (tag == " COM>    ") {
      shown = "-> phone " + content;
    } else if (tag == " >COM    ") {
      shown = "<- phone " + content;
    } else {
      shown = "   " + text;
    }
    std::fprintf(cli.out, "%s  %s\n", when, shown.c_str());
  }
  return kExitDone;
}

}  // namespace quorvalen::tool
