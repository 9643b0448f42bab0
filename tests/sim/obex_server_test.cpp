// The OBEX file server of the simulated phone, driven by hand-built request
// packets as the control sends them; folder listings are read with expat.
#include "quorvalen/sim/obex_server.h"

#include <expat.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "quorvalen/byte_text.h"
#include "quorvalen/sim/file_store.h"

namespace quorvalen::sim {
namespace {

namespace fs = std::filesystem;

std::string Hex(std::string_view spaced) {
  std::string hex;
  for (char c : spaced) if (c != ' ') hex += c;
  return HexToText(hex);
}
uint32_t ReadU(std::string_view bytes, size_t at, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}
std::string U16(size_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }
// As the control encodes names: 00 and the Latin-1 byte, per character.
std::string Wide(std::string_view latin1) {
  std::string out;
  for (char c : latin1) out += std::string(1, '\0') + c;
  return out;
}
std::string Packet(uint8_t op, std::string_view h) {
  return std::string(1, static_cast<char>(op)) + U16(h.size() + 3) + std::string(h);
}
std::string Header(uint8_t id, std::string_view v) {
  return std::string(1, static_cast<char>(id)) + U16(v.size() + 3) + std::string(v);
}
std::string NameHeader(std::string_view n) { return Header(0x01, Wide(n) + std::string(2, '\0')); }
std::string Params(std::initializer_list<std::pair<uint8_t, std::string>> tags) {
  std::string value;
  for (const auto& [tag, bytes] : tags)
    value += std::string{static_cast<char>(tag), static_cast<char>(bytes.size())} + bytes;
  return Header(0x4C, value);
}
std::string Length(uint32_t n) { return "\xC3" + U16(n >> 16) + U16(n & 0xFFFF); }

const std::string kConnectFolder =
    Hex("80 00 1A 10 00 40 06 46 00 13 6B01CB31410611D49A770050DA3F471F");
const std::string kContinue = Hex("83 00 03");
const std::string kListing = Hex("83 00 1C 42 00 19") + "x-obex/folder-listing" + '\0';
const std::string kUp = Hex("85 00 05 03 00");
const std::string kMemory = Hex("83 00 09 4C 00 06 32 01 02");

std::string SetPath(uint8_t flags, const std::string& name) {
  return Packet(0x85, std::string{static_cast<char>(flags), '\0'} + NameHeader(name));
}
std::string GetByName(std::string_view n) { return Packet(0x83, NameHeader(n)); }
std::string Delete(std::string_view n) { return Packet(0x82, NameHeader(n)); }
std::string Rename(std::string_view from, std::string_view to) {
  return Packet(0x82, Params({{0x34, "move"}, {0x35, Wide(from)}, {0x36, Wide(to)}}));
}
std::string Attributes(std::string_view n, std::string v) {
  return Packet(0x82, NameHeader(n) + Params({{0x38, v}}));
}

struct Listing {
  bool parsed = false;
  std::vector<std::pair<std::string, std::map<std::string, std::string>>> items;
  const std::map<std::string, std::string>* Find(const std::string& name) const {
    for (const auto& item : items)
      if (item.second.at("name") == name) return &item.second;
    return nullptr;
  }
};

Listing ParseListing(const std::string& xml) {
  Listing listing;
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &listing);
  XML_SetStartElementHandler(parser, [](void* data, const XML_Char* name, const XML_Char** atts) {
    Listing& out = *static_cast<Listing*>(data);
    std::string element = name;
    if (element != "folder-listing" && element != "parent-folder") {
      std::map<std::string, std::string> attributes;
      for (int i = 0; atts[i] != nullptr; i += 2) attributes[atts[i]] = atts[i + 1];
      out.items.emplace_back(element, attributes);
    }
  });
  listing.parsed = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(parser);
  return listing;
}

struct Got {
  uint8_t code = 0;
  std::string data;
  int packets = 0;
  size_t largest = 0;
  std::optional<uint32_t> length;
};

// A client session that checks the shape of every response.
class Session {
 public:
  explicit Session(FileStore& store, ObexServerOptions options = {}) : server(store, options) {}

  std::string Send(std::string_view request) {
    std::string response = server.Handle(request);
    EXPECT_GE(response.size(), 3u);
    EXPECT_EQ(ReadU(response, 1, 2), response.size()) << TextToHex(response);
    return response;
  }
  uint8_t Code(std::string_view request) { return static_cast<uint8_t>(Send(request)[0]); }
  void Connect(uint16_t host_max = 0x4006) {
    ASSERT_EQ(Code(Hex("80 00 1A 10 00") + U16(host_max) + kConnectFolder.substr(7)), 0xA0);
  }
  // A whole GET: the request, then continuations while the phone says 0x90.
  // Each answer is [code][len][Length, first only][Body or End-of-Body].
  Got Get(std::string_view request) {
    Got got;
    std::string response = Send(request);
    while (true) {
      ++got.packets;
      got.largest = std::max(got.largest, response.size());
      got.code = static_cast<uint8_t>(response[0]);
      if (got.code != 0x90 && got.code != 0xA0) return got;
      size_t at = 3;
      if (got.packets == 1 && response.size() > 3 && static_cast<uint8_t>(response[3]) == 0xC3) {
        got.length = ReadU(response, 4, 4);
        at = 8;
      }
      EXPECT_EQ(static_cast<uint8_t>(response[at]), got.code == 0xA0 ? 0x49 : 0x48);
      EXPECT_EQ(ReadU(response, at + 1, 2), response.size() - at);
      got.data += response.substr(at + 3);
      if (got.code == 0xA0) return got;
      response = Send(kContinue);
    }
  }
  Listing List() {
    Got got = Get(kListing);
    EXPECT_EQ(got.code, 0xA0);
    Listing listing = ParseListing(got.data);
    EXPECT_TRUE(listing.parsed) << got.data;
    return listing;
  }
  // A PUT cut like the control cuts it: Name, Length (rounded up to even),
  // Body in the first packet, then Body packets, End-of-Body last.
  uint8_t Put(std::string_view name, std::string_view data, size_t block) {
    std::string first = NameHeader(name) + Length(2 * ((data.size() + 1) / 2));
    if (data.size() <= block) return Code(Packet(0x82, first + Header(0x49, data)));
    EXPECT_EQ(Code(Packet(0x02, first + Header(0x48, data.substr(0, block)))), 0x90);
    size_t at = block;
    for (; data.size() - at > block; at += block)
      EXPECT_EQ(Code(Packet(0x02, Header(0x48, data.substr(at, block)))), 0x90);
    return Code(Packet(0x82, Header(0x49, data.substr(at))));
  }

  ObexServer server;
};

struct TempDir {
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qv-obex-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path); }
  fs::path path;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What the control's requests never do end to end: requests before a valid
// connect, a host maximum below the phone's, interrupted PUTs, an object
// past the capacity, escaping names, and the listing's XML escapes.
TEST(ObexServer, ConnectAndAHostMaximumBelowThePhones) {
  SampleStore store;
  const std::string clip = SampleBytes(4, 300 * 1024);
  Session s(store, {0x4000, 64ull << 20});
  EXPECT_EQ(s.Code(kListing), 0xC3);                     // nothing before the connect
  EXPECT_EQ(s.Code(Hex("80 00 07 10 00 00 FE")), 0xC0);  // host max below 255
  s.Connect(300);
  ASSERT_EQ(s.Code(SetPath(0x02, "Videos")), 0xA0);
  Got got = s.Get(GetByName("clip.3gp"));
  EXPECT_EQ(got.code, 0xA0);
  EXPECT_EQ(got.length, clip.size());
  EXPECT_TRUE(got.data == clip);
  EXPECT_EQ(got.largest, 300u);
  // First packet carries 8 bytes of headers, the rest 6.
  EXPECT_EQ(static_cast<size_t>(got.packets), 1 + (clip.size() - 289 + 293) / 294);
}

TEST(ObexServer, PutStoresWholeObjectsOnlyAtTheEnd) {
  MemoryStore store;
  Session s(store, {512, 10000});
  s.Connect();
  std::string data;
  // A trailing empty End-of-Body.
  const std::string blocks = SampleBytes(9, 800);
  EXPECT_EQ(s.Code(Packet(0x02, NameHeader("b2") + Length(800) + Header(0x48, blocks.substr(0, 400)))),
            0x90);
  EXPECT_EQ(s.Code(Packet(0x02, Header(0x48, blocks.substr(400, 400)))), 0x90);
  EXPECT_EQ(s.Code(Packet(0x82, Hex("49 00 03"))), 0xA0);
  EXPECT_EQ(store.Read({}, "b2", data), StoreStatus::kOk);
  EXPECT_TRUE(data == blocks);

  // Interrupted by ABORT, by another request, by a new PUT: nothing stays.
  const std::string first = Packet(0x02, NameHeader("cut") + Length(4) + Header(0x48, "ab"));
  Entry entry;
  for (const std::string& interruption : {Hex("FF 00 03"), kUp, kListing,
                                          Packet(0x82, NameHeader("other") + Hex("49 00 04 7A"))}) {
    EXPECT_EQ(s.Code(first), 0x90);
    s.Send(interruption);
    EXPECT_EQ(s.Code(Packet(0x82, Header(0x49, "cd"))), 0xC0);
    EXPECT_EQ(store.Stat({}, "cut", entry), StoreStatus::kNotFound);
  }
  EXPECT_EQ(store.Stat({}, "other", entry), StoreStatus::kOk);

  // The memory query: the capacity, then what is free of it; past it, nothing stays.
  EXPECT_EQ(TextToHex(s.Send(Hex("83 00 09 4C 00 06 32 01 01"))), "A0000C4C0009320400002710");
  EXPECT_EQ(TextToHex(s.Send(kMemory)), "A0000C4C00093204000023EF");  // less b2 and other
  EXPECT_EQ(s.Put("c", std::string(9200, 'c'), 400), 0xE0);  // past the capacity
  EXPECT_EQ(store.Stat({}, "c", entry), StoreStatus::kNotFound);
  EXPECT_EQ(s.Code(Hex("83 00 09 4C 00 06 32 01 03")), 0xC0);
}

TEST(ObexServer, EscapingNamesAreBadRequests) {
  SampleStore store;
  Session s(store);
  s.Connect();
  for (std::string bad : {std::string(".."), std::string("."), std::string("a/b"),
                          std::string("a\\b"), std::string("c:"), std::string("a\0b", 3)}) {
    SCOPED_TRACE(bad);
    for (const std::string& request :
         {SetPath(0x02, bad), SetPath(0x00, bad), GetByName(bad), Delete(bad),
          Packet(0x82, NameHeader(bad) + Hex("49 00 04 7A")), Attributes(bad, "R"),
          Rename("readme.txt", bad), Rename(bad, "x")})
      EXPECT_EQ(s.Code(request), 0xC0) << TextToHex(request);
  }
  EXPECT_EQ(s.Code(Hex("83 00 0A 01 00 07 DC 00 00 00")), 0xC0);  // lone surrogate
  EXPECT_TRUE(s.server.CurrentFolder().empty());
  Entry entry;
  EXPECT_EQ(store.Stat({}, "readme.txt", entry), StoreStatus::kOk);
  EXPECT_EQ(s.Code(Rename("readme.txt", "empty.txt")), 0xCC);  // onto an existing name
  ASSERT_EQ(s.Code(SetPath(0x02, "Documents")), 0xA0);
  Listing documents = s.List();  // escaped for expat to read back
  EXPECT_NE(documents.Find("Notes & <ideas>.txt"), nullptr);
}

TEST(ObexServer, DiskStoreServesNothingThroughSymbolicLinks) {
  TempDir outside;
  TempDir root;
  std::ofstream(outside.path / "secret.txt") << "top secret";
  fs::create_directory_symlink(outside.path, root.path / "out");
  fs::create_symlink(outside.path / "secret.txt", root.path / "secret.txt");
  std::ofstream(root.path / "own.txt") << "mine";

  DiskStore store(root.path.string());
  Session s(store, {512, 1000});
  s.Connect();
  Listing listing = s.List();
  ASSERT_EQ(listing.items.size(), 1u);
  EXPECT_EQ(listing.items[0].second.at("name"), "own.txt");
  EXPECT_NE(s.Code(SetPath(0x00, "out")), 0xA0);
  EXPECT_EQ(s.Get(GetByName("secret.txt")).code, 0xC4);
  EXPECT_EQ(s.Code(Packet(0x82, NameHeader("secret.txt") + Hex("49 00 04 7A"))), 0xC3);
  EXPECT_EQ(s.Code(Delete("secret.txt")), 0xC4);
  EXPECT_EQ(s.Code(Rename("own.txt", "secret.txt")), 0xCC);
  EXPECT_EQ(TextToHex(s.Send(kMemory)), "A0000C4C00093204000003E4");  // 4 bytes inside
  EXPECT_EQ(ReadFile(outside.path / "secret.txt"), "top secret");
  EXPECT_TRUE(fs::is_symlink(root.path / "secret.txt"));
  EXPECT_EQ(s.Put("photo.jpg", SampleBytes(5, 700), 300), 0xA0);  // in packets, on disk
  EXPECT_TRUE(ReadFile(root.path / "photo.jpg") == SampleBytes(5, 700));
}

}  // namespace
}  // namespace quorvalen::sim
