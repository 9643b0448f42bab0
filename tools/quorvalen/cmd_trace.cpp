// quorvalen trace: a trace file for a person. Each line gets its time as
// HH:MM:SS.mmm and its direction; OBEX packets are decoded (operation or
// response, length, headers) and BFB frames named.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "cli.h"
#include "quorvalen/byte_text.h"
#include "quorvalen/obex_wire.h"

namespace quorvalen::tool {
namespace {

// A trace has its first trace line near its top; a file that has none among
// its first lines is not read to its end.
constexpr size_t kLinesBeforeTrace = 64;

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

// The headers of a packet from offset at, one phrase each.
std::string Headers(std::string_view packet, size_t at) {
  std::string out;
  const obex::HeaderWalk walk = obex::ReadHeaders(packet.substr(at));
  for (const obex::Header& header : walk.headers) {
    const uint8_t id = header.id;
    const std::string_view value = header.value;
    const std::string_view name = obex::HeaderName(id);
    out += ", " + (name.empty() ? "header " + ByteToHex(id) : std::string(name));
    if (id == obex::kHeaderName || id == obex::kHeaderDescription) {
      std::string text;  // two bytes a character, ending with 00 00
      for (size_t i = 1; i < value.size(); i += 2) {
        if (value[i] || value[i - 1]) text += value[i];
      }
      out += " \"" + Printable(text) + "\"";
    } else if (id == obex::kHeaderType) {
      out += ' ';
      out += Printable(value.substr(0, value.find('\0')));
    } else if (!header.Counted()) {
      out += ' ';
      out += std::to_string(header.Number());
    } else {
      out += " (" + std::to_string(value.size()) + " bytes)";
    }
  }
  return walk.complete ? out : out + " (cut short)";
}

std::string Response(std::string_view packet) {
  if (packet.size() < 3) return "a packet cut short: " + TextToHex(packet);
  const int code = static_cast<uint8_t>(packet[0]);
  std::string out = ObexResponseName(code) + " (" + ByteToHex(static_cast<uint8_t>(code)) + "), " +
                    std::to_string(obex::DeclaredLength(packet)) + " bytes";
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
  std::ifstream file;
  if (path != "-") {
    file.open(path, std::ios::binary);
    if (!file) {
      cli.Error("cannot read " + path + ": " + std::strerror(errno));
      return kExitLocal;
    }
  }
  std::istream& in = path == "-" ? std::cin : file;
  // A trace opens with its header line, or (cut from a longer one) with a
  // stamped line; the lines before the first such one wait for it, so that
  // a file that is no trace is said to be none rather than shown.
  std::vector<std::string> before;
  bool trace = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool stamped = line.size() >= 9 && line.find_first_not_of("0123456789") >= 9;
    if (!trace) {
      trace = stamped || line.rfind("Quorvalen Debug File ", 0) == 0;
      if (!trace && before.size() < kLinesBeforeTrace) {
        before.push_back(std::move(line));
        continue;
      }
      if (!trace) break;
      for (const std::string& text : before) std::fprintf(cli.out, "%s\n", text.c_str());
    }
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
  if (!trace) {
    cli.Error((path == "-" ? std::string("standard input") : path) +
              " is not a trace (a trace's lines begin with a time)");
    return kExitUsage;
  }
  return kExitDone;
}

}  // namespace quorvalen::tool
