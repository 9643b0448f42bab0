// The OBEX file server of the simulated phone, driven by hand-built request
// packets as the control sends them; folder listings are read with expat.
#include "sim/obex_server.h"

#include <expat.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <vector>

#include "quorvalen/byte_text.h"
#include "sim/file_store.h"

namespace quorvalen::sim {
namespace {

// Hex with spaces allowed, for readable packets.
std::string Hex(std::string_view spaced) {
  std::string hex;
  for (char c : spaced) {
    if (c != ' ') hex += c;
  }
  return HexToText(hex);
}

uint32_t ReadU(std::string_view bytes, size_t at, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

std::string U16(size_t value) {
  return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

// As the control encodes names: 00 and the Latin-1 byte, per character.
std::string Wide(std::string_view latin1) {
  std::string out;
  for (char c : latin1) out += std::string(1, '\0') + c;
  return out;
}

std::string Packet(uint8_t opcode, std::string_view headers) {
  return std::string(1, static_cast<char>(opcode)) + U16(headers.size() + 3) + std::string(headers);
}
std::string Header(uint8_t id, std::string_view value) {
  return std::string(1, static_cast<char>(id)) + U16(value.size() + 3) + std::string(value);
}
std::string NameHeader(std::string_view latin1) {
  return Header(0x01, Wide(latin1) + std::string(2, '\0'));
}
std::string Params(std::initializer_list<std::pair<uint8_t, std::string>> tags) {
  std::string value;
  for (const auto& [tag, bytes] : tags) {
    value += static_cast<char>(tag);
    value += static_cast<char>(bytes.size());
    value += bytes;
  }
  return Header(0x4C, value);
}
std::string Length(uint32_t n) { return "\xC3" + U16(n >> 16) + U16(n & 0xFFFF); }

const std::string kConnectFolder =
    Hex("80 00 1A 10 00 40 06 46 00 13 6B01CB31410611D49A770050DA3F471F");
const std::string kConnectIrmc = Hex("80 00 13 10 00 40 06 46 00 0C") + "IRMC-SYNC";
const std::string kContinue = Hex("83 00 03");
const std::string kListing = Hex("83 00 1C 42 00 19") + "x-obex/folder-listing" + '\0';

std::string SetPath(uint8_t flags, std::optional<std::string> name = std::nullopt) {
  return Packet(0x85,
                std::string{static_cast<char>(flags), '\0'} + (name ? NameHeader(*name) : ""));
}
std::string GetByName(std::string_view name) { return Packet(0x83, NameHeader(name)); }
std::string Delete(std::string_view name) { return Packet(0x82, NameHeader(name)); }
std::string Rename(std::string_view from, std::string_view to) {
  return Packet(0x82, Params({{0x34, "move"}, {0x35, Wide(from)}, {0x36, Wide(to)}}));
}
std::string Attributes(std::string_view name, std::string value) {
  return Packet(0x82, NameHeader(name) + Params({{0x38, value}}));
}

struct Listed {
  std::string element;
  std::map<std::string, std::string> attributes;
};
struct Listing {
  bool parsed = false;
  std::string root;
  bool parent = false;
  std::vector<Listed> items;  // folders and files, in document order
  const Listed* Find(const std::string& name) const {
    for (const Listed& item : items) {
      if (item.attributes.at("name") == name) return &item;
    }
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
    if (out.root.empty()) {
      out.root = element;
    } else if (element == "parent-folder") {
      out.parent = true;
    } else {
      Listed item{element, {}};
      for (int i = 0; atts[i] != nullptr; i += 2) item.attributes[atts[i]] = atts[i + 1];
      out.items.push_back(item);
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
  uint8_t Code(std::string_view request) {
    std::string response = Send(request);
    return static_cast<uint8_t>(response[0]);
  }
  void Connect(uint16_t host_max = 0x4006) {
    ASSERT_EQ(Code(Hex("80 00 1A 10 00") + U16(host_max) + kConnectFolder.substr(7)), 0xA0);
  }

  // A whole GET: the request, then continuations while the phone says 0x90.
  // Each answer must be [code][len][Length, first only][Body or End-of-Body].
  Got Get(std::string_view request) {
    Got got;
    std::string response = Send(request);
    while (true) {
      ++got.packets;
      got.largest = std::max(got.largest, response.size());
      got.code = static_cast<uint8_t>(response[0]);
      if (got.code != 0x90 && got.code != 0xA0) {
        EXPECT_EQ(response.size(), 3u);
        return got;
      }
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
    while (data.size() - at > block) {
      EXPECT_EQ(Code(Packet(0x02, Header(0x48, data.substr(at, block)))), 0x90);
      at += block;
    }
    return Code(Packet(0x82, Header(0x49, data.substr(at))));
  }

  ObexServer server;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qv-obex-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::filesystem::path& path, std::string_view data) {
  std::ofstream(path, std::ios::binary) << data;
}

TEST(ObexServer, ConnectsToBothTargetsAndForbidsEverythingBefore) {
  SampleStore store;
  Session s(store);
  EXPECT_EQ(s.Code(kListing), 0xC3);
  EXPECT_EQ(s.Code(SetPath(0x02, "Pictures")), 0xC3);
  EXPECT_EQ(s.Code(Delete("readme.txt")), 0xC3);
  EXPECT_EQ(s.Code(Hex("81 00 03")), 0xA0);
  EXPECT_EQ(s.Code(Hex("FF 00 03")), 0xA0);
  EXPECT_EQ(s.Code(Hex("80 00 0D 10 00 40 06 46 00 06 41 42 43")), 0xC3);  // unknown target
  EXPECT_EQ(s.Code(Hex("80 00 07 10 00 00 FE")), 0xC0);                    // host max below 255
  EXPECT_FALSE(s.server.Connected());

  EXPECT_EQ(TextToHex(s.Send(kConnectFolder)),
            "A0001F100002004A00136B01CB31410611D49A770050DA3F471FCB00000001");
  EXPECT_TRUE(s.server.Connected());
  EXPECT_EQ(TextToHex(s.Send(kConnectIrmc)), "A00018100002004A000C49524D432D53594E43CB00000002");
  EXPECT_EQ(TextToHex(s.Send(Hex("80 00 07 10 00 40 06"))), "A0000710000200");  // inbox
  EXPECT_EQ(s.Code(SetPath(0x02, "Pictures")), 0xA0);

  EXPECT_EQ(s.Code(Hex("81 00 03")), 0xA0);
  EXPECT_FALSE(s.server.Connected());
  EXPECT_EQ(s.Code(kListing), 0xC3);
  s.Connect();
  EXPECT_TRUE(s.server.CurrentFolder().empty());
  s.server.Reset();
  EXPECT_EQ(s.Code(kListing), 0xC3);
}

TEST(ObexServer, SetPathMovesCreatesAndRefuses) {
  SampleStore store;
  Session s(store);
  s.Connect();
  EXPECT_EQ(s.Code(Hex("85 00 05 03 00")), 0xC4);  // up from the root
  EXPECT_EQ(s.Code(Hex("85 00 1A 02 00 01 00 15") + Wide("Pictures") + std::string(2, '\0')), 0xA0);
  EXPECT_EQ(s.Code(SetPath(0x02, "Holiday")), 0xA0);
  EXPECT_EQ(s.server.CurrentFolder(), (FolderPath{"Pictures", "Holiday"}));
  EXPECT_EQ(s.Code(Hex("85 00 05 03 00")), 0xA0);
  EXPECT_EQ(s.server.CurrentFolder(), FolderPath{"Pictures"});
  EXPECT_EQ(s.Code(SetPath(0x03, "Videos")), 0xA0);  // up, then into a sibling
  EXPECT_EQ(s.server.CurrentFolder(), FolderPath{"Videos"});
  EXPECT_EQ(s.Code(Hex("85 00 08 02 00 01 00 03")), 0xA0);  // empty name: the root
  EXPECT_TRUE(s.server.CurrentFolder().empty());

  EXPECT_EQ(s.Code(SetPath(0x02, "Missing")), 0xC4);
  EXPECT_EQ(s.Code(SetPath(0x02, "readme.txt")), 0xC4);  // a file is no folder
  EXPECT_EQ(s.Code(SetPath(0x00, "readme.txt")), 0xCC);
  EXPECT_EQ(s.Code(SetPath(0x03, "Pictures")), 0xC4);  // up fails: nothing moves
  EXPECT_TRUE(s.server.CurrentFolder().empty());

  EXPECT_EQ(s.Code(Hex("85 00 10 00 00 01 00 0B 00 4E 00 65 00 77 00 00")), 0xA0);
  EXPECT_EQ(s.server.CurrentFolder(), FolderPath{"New"});
  EXPECT_EQ(s.Code(Hex("85 00 0A 02 00 01 00 05 00 00")), 0xA0);  // terminator only: root
  EXPECT_TRUE(s.server.CurrentFolder().empty());
  Listing root = s.List();
  const Listed* created = root.Find("New");
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->element, "folder");
}

TEST(ObexServer, ListingIsValidSortedEscapedXml) {
  SampleStore store;
  Session s(store);
  s.Connect();
  Listing root = s.List();
  EXPECT_EQ(root.root, "folder-listing");
  EXPECT_FALSE(root.parent);
  std::vector<std::string> order;
  for (const Listed& item : root.items)
    order.push_back(item.element + ":" + item.attributes.at("name"));
  EXPECT_EQ(order,
            (std::vector<std::string>{"folder:Documents", "folder:Music", "folder:Pictures",
                                      "folder:Videos", "file:empty.txt", "file:readme.txt"}));
  EXPECT_EQ(root.Find("empty.txt")->attributes.at("size"), "0");
  EXPECT_EQ(root.Find("Music")->attributes.at("modified"), "20260101T093000");
  EXPECT_EQ(root.Find("Music")->attributes.at("user-perm"), "RW");
  EXPECT_EQ(root.Find("Music")->attributes.count("size"), 0u);

  ASSERT_EQ(s.Code(SetPath(0x02, "Documents")), 0xA0);
  Got raw = s.Get(kListing);
  EXPECT_NE(raw.data.find("name=\"Notes &amp; &lt;ideas&gt;.txt\""), std::string::npos);
  EXPECT_EQ(raw.data.rfind("<?xml version=\"1.0\"?>", 0), 0u);
  EXPECT_NE(raw.data.find("<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">"),
            std::string::npos);
  Listing documents = ParseListing(raw.data);
  EXPECT_TRUE(documents.parent);
  ASSERT_NE(documents.Find("Notes & <ideas>.txt"), nullptr);
  ASSERT_NE(documents.Find("Caf\xC3\xA9.txt"), nullptr);  // UTF-8 in the listing
  EXPECT_EQ(documents.Find("Caf\xC3\xA9.txt")->attributes.at("size"),
            std::to_string(SampleFiles()[2].contents.size()));

  // Quotes and apostrophes in a stored name, and a listing by name.
  ASSERT_EQ(s.Put("say \"hi\" it's", "x", 100), 0xA0);
  EXPECT_NE(s.Get(kListing).data.find("say &quot;hi&quot; it&apos;s"), std::string::npos);
  ASSERT_EQ(s.Code(Hex("85 00 05 03 00")), 0xA0);
  Got holiday = s.Get(Packet(0x83, NameHeader("Pictures") + kListing.substr(3)));
  ASSERT_EQ(holiday.code, 0xA0);
  Listing pictures = ParseListing(holiday.data);
  EXPECT_TRUE(pictures.parent);
  EXPECT_EQ(pictures.Find("logo.png")->attributes.at("size"), "300");
  EXPECT_EQ(s.Get(Packet(0x83, NameHeader("Nope") + kListing.substr(3))).code, 0xC4);
}

TEST(ObexServer, GetStreamsWithinBothPacketLimits) {
  SampleStore store;
  const std::string clip = SampleBytes(4, 300 * 1024);
  for (auto [phone_max, host_max] : {std::pair<uint16_t, uint16_t>{512, 0x4006}, {0x4000, 300}}) {
    Session s(store, {phone_max, 64ull << 20});
    s.Connect(host_max);
    ASSERT_EQ(s.Code(SetPath(0x02, "Videos")), 0xA0);
    Got got = s.Get(GetByName("clip.3gp"));
    const size_t limit = std::min(phone_max, host_max);
    EXPECT_EQ(got.code, 0xA0);
    EXPECT_EQ(got.length, clip.size());
    EXPECT_TRUE(got.data == clip);
    EXPECT_EQ(got.largest, limit);
    // First packet carries 8 bytes of headers, the rest 6.
    EXPECT_EQ(static_cast<size_t>(got.packets),
              1 + (clip.size() - (limit - 11) + limit - 7) / (limit - 6));
  }
  Session s(store);
  s.Connect();
  EXPECT_EQ(TextToHex(s.Send(GetByName("empty.txt"))), "A0000BC300000000490003");
  Got readme = s.Get(GetByName("readme.txt"));
  EXPECT_EQ(readme.packets, 1);
  EXPECT_EQ(readme.data, SampleFiles()[0].contents);
  EXPECT_EQ(s.Get(GetByName("missing.txt")).code, 0xC4);
  EXPECT_EQ(s.Get(GetByName("Pictures")).code, 0xC3);
  EXPECT_EQ(s.Code(kContinue), 0xC0);  // nothing to continue
  EXPECT_EQ(s.Code(Packet(0x83, Header(0x42, std::string("x-vcard") + '\0'))), 0xCF);

  // An object that fills the first packet exactly ends in it; one byte more needs two.
  ASSERT_EQ(s.Put("fit", std::string(512 - 11, 'f'), 1000), 0xA0);
  ASSERT_EQ(s.Put("over", std::string(512 - 10, 'o'), 1000), 0xA0);
  EXPECT_EQ(s.Get(GetByName("fit")).packets, 1);
  Got over = s.Get(GetByName("over"));
  EXPECT_EQ(over.packets, 2);
  EXPECT_EQ(over.data, std::string(512 - 10, 'o'));

  // Any other request abandons the stream.
  ASSERT_EQ(s.Code(SetPath(0x02, "Videos")), 0xA0);
  EXPECT_EQ(s.Code(GetByName("clip.3gp")), 0x90);
  EXPECT_EQ(s.Code(kContinue), 0x90);
  EXPECT_EQ(s.Code(Hex("85 00 05 03 00")), 0xA0);
  EXPECT_EQ(s.Code(kContinue), 0xC0);
  // A GET whose headers come in two packets.
  EXPECT_EQ(s.Code(Packet(0x03, kListing.substr(3))), 0x90);
  Got split = s.Get(kContinue);
  EXPECT_EQ(split.code, 0xA0);
  EXPECT_TRUE(ParseListing(split.data).Find("Videos") != nullptr);
}

TEST(ObexServer, PutStoresWholeObjectsOnlyAtTheEnd) {
  MemoryStore store;
  Session s(store);
  s.Connect();
  std::string data;
  EXPECT_EQ(s.Code(Packet(0x82, NameHeader("empty") + Length(0) + Hex("49 00 03"))), 0xA0);
  EXPECT_EQ(store.Read({}, "empty", data), StoreStatus::kOk);
  EXPECT_EQ(data, "");
  EXPECT_EQ(TextToHex(s.Send(GetByName("empty"))), "A0000BC300000000490003");

  // An exact multiple of the block, with and without a trailing empty End-of-Body.
  const std::string blocks = SampleBytes(9, 3 * 400);
  EXPECT_EQ(s.Put("blocks", blocks, 400), 0xA0);
  EXPECT_EQ(store.Read({}, "blocks", data), StoreStatus::kOk);
  EXPECT_TRUE(data == blocks);
  EXPECT_EQ(s.Code(Packet(
                0x02, NameHeader("blocks2") + Length(800) + Header(0x48, blocks.substr(0, 400)))),
            0x90);
  EXPECT_EQ(s.Code(Packet(0x02, Header(0x48, blocks.substr(400, 400)))), 0x90);
  EXPECT_EQ(s.Code(Packet(0x82, Hex("49 00 03"))), 0xA0);
  EXPECT_EQ(store.Read({}, "blocks2", data), StoreStatus::kOk);
  EXPECT_TRUE(data == blocks.substr(0, 800));

  // The size is what the body adds up to, not the (even) Length header; a
  // parameters header rides along unharmed.
  EXPECT_EQ(s.Code(Packet(0x82, NameHeader("odd") + Length(4) + Params({{0x11, "ab"}}) +
                                    Header(0x49, "abc"))),
            0xA0);
  EXPECT_EQ(store.Read({}, "odd", data), StoreStatus::kOk);
  EXPECT_EQ(data, "abc");
  EXPECT_EQ(s.Put("odd", "replaced", 3), 0xA0);
  EXPECT_EQ(store.Read({}, "odd", data), StoreStatus::kOk);
  EXPECT_EQ(data, "replaced");

  // Interrupted: by ABORT, by another request, by a new PUT. Nothing stays.
  const std::string first = Packet(0x02, NameHeader("cut") + Length(4) + Header(0x48, "ab"));
  Entry entry;
  for (const std::string& interruption : {Hex("FF 00 03"), Hex("85 00 05 03 00"), kListing,
                                          Packet(0x82, NameHeader("other") + Hex("49 00 04 7A"))}) {
    EXPECT_EQ(s.Code(first), 0x90);
    s.Send(interruption);
    EXPECT_EQ(s.Code(Packet(0x82, Header(0x49, "cd"))), 0xC0);  // nothing to continue
    EXPECT_EQ(store.Stat({}, "cut", entry), StoreStatus::kNotFound);
  }
  EXPECT_EQ(store.Stat({}, "other", entry), StoreStatus::kOk);
  EXPECT_EQ(s.Code(first), 0x90);
  s.server.Reset();
  s.Connect();
  EXPECT_EQ(s.Code(Packet(0x82, Header(0x49, "cd"))), 0xC0);
  EXPECT_EQ(store.Stat({}, "cut", entry), StoreStatus::kNotFound);
  ASSERT_EQ(s.Code(SetPath(0x00, "Folder")), 0xA0);
  store.Remove({}, "Folder");  // the current folder vanishes
  EXPECT_EQ(s.Put("x", "y", 10), 0xC4);
  EXPECT_EQ(s.Get(kListing).code, 0xC4);
}

TEST(ObexServer, RenameDeleteAndAttributes) {
  SampleStore store;
  Session s(store);
  s.Connect();
  ASSERT_EQ(s.Put("a", "alpha", 100), 0xA0);
  EXPECT_EQ(s.Code(Hex("82 00 10 01 00 07 00 61 00 00 4C 00 06 38 01 78")), 0xA0);
  EXPECT_EQ(s.List().Find("a")->attributes.at("user-perm"), "x");
  EXPECT_EQ(s.Code(Hex("82 00 14 4C 00 11 34 04 6D 6F 76 65 35 02 00 61 36 02 00 62")), 0xA0);
  Listing listing = s.List();
  EXPECT_EQ(listing.Find("a"), nullptr);
  ASSERT_NE(listing.Find("b"), nullptr);
  EXPECT_EQ(listing.Find("b")->attributes.at("user-perm"), "x");  // follows the entry
  EXPECT_EQ(s.Get(GetByName("b")).data, "alpha");
  EXPECT_EQ(s.Code(Rename("a", "c")), 0xC4);
  EXPECT_EQ(s.Code(Rename("b", "readme.txt")), 0xCC);
  EXPECT_EQ(s.Code(Packet(0x82, Params({{0x34, "copy"}, {0x35, Wide("b")}, {0x36, Wide("c")}}))),
            0xD1);
  EXPECT_EQ(s.Code(Packet(0x82, Params({{0x34, "move"}, {0x35, Wide("b")}}))), 0xC0);
  EXPECT_EQ(s.Code(Attributes("Music", "R")), 0xA0);
  EXPECT_EQ(s.List().Find("Music")->attributes.at("user-perm"), "R");
  EXPECT_EQ(s.Code(Attributes("Music", "")), 0xA0);  // back to the default
  EXPECT_EQ(s.List().Find("Music")->attributes.at("user-perm"), "RW");
  EXPECT_EQ(s.Code(Attributes("nothing", "R")), 0xC4);
  EXPECT_EQ(s.Code(Attributes("b", "R\x01")), 0xC0);

  EXPECT_EQ(s.Code(Hex("82 00 0A 01 00 07 00 62 00 00")), 0xA0);  // DELETE b
  EXPECT_EQ(s.Code(Delete("b")), 0xC4);
  EXPECT_EQ(s.Code(Packet(0x82, NameHeader("readme.txt") + Params({{0x11, "x"}}))), 0xA0);
  EXPECT_EQ(s.Code(Delete("Pictures")), 0xCC);  // not empty
  EXPECT_EQ(s.Code(Delete("Music")), 0xA0);
  listing = s.List();
  EXPECT_EQ(listing.Find("readme.txt"), nullptr);
  EXPECT_EQ(listing.Find("Music"), nullptr);
  EXPECT_NE(listing.Find("Pictures"), nullptr);
}

TEST(ObexServer, MemoryQueryCountsWhatIsStored) {
  MemoryStore store;
  Session s(store, {512, 10000});
  s.Connect();
  EXPECT_EQ(TextToHex(s.Send(Hex("83 00 09 4C 00 06 32 01 01"))), "A0000C4C0009320400002710");
  EXPECT_EQ(TextToHex(s.Send(Hex("83 00 09 4C 00 06 32 01 02"))), "A0000C4C0009320400002710");
  ASSERT_EQ(s.Put("a", std::string(1000, 'a'), 400), 0xA0);
  EXPECT_EQ(TextToHex(s.Send(Hex("83 00 09 4C 00 06 32 01 02"))), "A0000C4C0009320400002328");
  // Replacing gives the old room back; past the capacity nothing is stored.
  EXPECT_EQ(s.Put("a", std::string(9000, 'b'), 400), 0xA0);
  EXPECT_EQ(s.Put("b", std::string(1001, 'c'), 400), 0xE0);
  // A PUT growing past the capacity is cut off before it ends.
  uint8_t code = s.Code(Packet(0x02, NameHeader("big") + Header(0x48, std::string(480, 'd'))));
  int sent = 1;
  for (; code == 0x90 && sent < 30; ++sent)
    code = s.Code(Packet(0x02, Header(0x48, std::string(480, 'd'))));
  EXPECT_EQ(code, 0xE0);
  EXPECT_EQ(sent, 21);
  Entry entry;
  EXPECT_EQ(store.Stat({}, "b", entry), StoreStatus::kNotFound);
  EXPECT_EQ(store.Stat({}, "big", entry), StoreStatus::kNotFound);
  EXPECT_EQ(TextToHex(s.Send(Hex("83 00 09 4C 00 06 32 01 02"))), "A0000C4C00093204000003E8");
  EXPECT_EQ(s.Code(Hex("83 00 09 4C 00 06 32 01 03")), 0xC0);

  // More stored than the capacity reads as no room at all.
  SampleStore sample;
  Session small(sample, {512, 1000});
  small.Connect();
  EXPECT_EQ(TextToHex(small.Send(Hex("83 00 09 4C 00 06 32 01 02"))), "A0000C4C0009320400000000");
}

TEST(ObexServer, EscapingNamesAreBadRequests) {
  SampleStore store;
  Session s(store);
  s.Connect();
  for (std::string bad :
       {std::string(".."), std::string("."), std::string("a/b"), std::string("a\\b"),
        std::string("c:"), std::string("a\0b", 3), std::string("../readme.txt")}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(s.Code(SetPath(0x02, bad)), 0xC0);
    EXPECT_EQ(s.Code(SetPath(0x00, bad)), 0xC0);
    EXPECT_EQ(s.Code(GetByName(bad)), 0xC0);
    EXPECT_EQ(s.Code(Packet(0x82, NameHeader(bad) + Hex("49 00 04 7A"))), 0xC0);
    EXPECT_EQ(s.Code(Delete(bad)), 0xC0);
    EXPECT_EQ(s.Code(Attributes(bad, "R")), 0xC0);
    EXPECT_EQ(s.Code(Rename("readme.txt", bad)), 0xC0);
    EXPECT_EQ(s.Code(Rename(bad, "x")), 0xC0);
  }
  EXPECT_EQ(s.Code(Hex("83 00 09 01 00 06 00 61 00")), 0xC0);                  // odd UTF-16
  EXPECT_EQ(s.Code(Hex("83 00 0A 01 00 07 DC 00 00 00")), 0xC0);               // lone surrogate
  EXPECT_EQ(s.Code(Packet(0x82, NameHeader("") + Hex("49 00 04 7A"))), 0xC0);  // no name
  EXPECT_TRUE(s.server.CurrentFolder().empty());
  Entry entry;
  EXPECT_EQ(store.Stat({}, "readme.txt", entry), StoreStatus::kOk);
}

TEST(ObexServer, MalformedPacketsAreRefusedAndHarmless) {
  SampleStore store;
  Session s(store);
  s.Connect();
  const std::vector<std::pair<std::string, uint8_t>> cases = {
      {"", 0xC0},
      {Hex("83"), 0xC0},
      {Hex("82 00 02"), 0xC0},                    // length below 3
      {Hex("82 00 10 01"), 0xC0},                 // length past the end
      {Hex("83 00 03 00"), 0xC0},                 // length short of the packet
      {Hex("82 00 08 01 00 20 00 61"), 0xC0},     // header past the end
      {Hex("83 00 06 01 00 02"), 0xC0},           // header length below 3
      {Hex("83 00 05 C3 00"), 0xC0},              // four-byte header cut short
      {Hex("83 00 09 4C 00 06 32 05 01"), 0xC0},  // parameter past the end
      {Hex("82 00 0B 4C 00 08 34 04 6D 6F 76"), 0xC0},
      {Hex("80 00 05 10 00"), 0xC0},
      {Hex("85 00 04 02"), 0xC0},
      {Hex("86 00 03"), 0xD1},
      {Hex("04 00 03"), 0xD1},
      {Hex("00 00 03"), 0xD1},
  };
  for (const auto& [packet, code] : cases) {
    EXPECT_EQ(s.Code(packet), code) << TextToHex(packet);
  }
  // Random packets with a right length field never crash nor answer out of shape.
  std::mt19937 random(7);
  const uint8_t opcodes[] = {0x02, 0x03, 0x80, 0x81, 0x82, 0x83, 0x85, 0xFF};
  for (int i = 0; i < 3000; ++i) {
    std::string body(random() % 40, '\0');
    for (char& c : body) c = static_cast<char>(random() % 4 == 0 ? 0 : random());
    if (random() % 2) body.insert(0, 1, static_cast<char>(0x01 + (random() % 4) * 0x40));
    s.Send(Packet(opcodes[random() % 8], body));
    if (!s.server.Connected()) s.Connect();
  }
  EXPECT_EQ(s.Code(Hex("85 00 08 02 00 01 00 03")), 0xA0);
  EXPECT_EQ(s.Get(GetByName("readme.txt")).data, SampleFiles()[0].contents);
}

TEST(ObexServer, DiskStoreServesNothingThroughSymbolicLinks) {
  TempDir outside;
  TempDir root;
  WriteFile(outside.Path() / "secret.txt", "top secret");
  std::filesystem::create_directory(outside.Path() / "sub");
  std::filesystem::create_directory_symlink(outside.Path(), root.Path() / "out");
  std::filesystem::create_directory_symlink("/tmp", root.Path() / "tmp");
  std::filesystem::create_symlink(outside.Path() / "secret.txt", root.Path() / "secret.txt");
  WriteFile(root.Path() / "own.txt", "mine");

  DiskStore store(root.Path().string());
  Session s(store, {512, 1000});
  s.Connect();
  Listing listing = s.List();
  ASSERT_EQ(listing.items.size(), 1u);
  EXPECT_EQ(listing.items[0].attributes.at("name"), "own.txt");
  EXPECT_EQ(s.Code(SetPath(0x02, "out")), 0xC4);
  EXPECT_EQ(s.Code(SetPath(0x02, "tmp")), 0xC4);
  EXPECT_NE(s.Code(SetPath(0x00, "out")), 0xA0);
  EXPECT_TRUE(s.server.CurrentFolder().empty());
  EXPECT_EQ(s.Get(GetByName("secret.txt")).code, 0xC4);
  EXPECT_EQ(s.Get(Packet(0x83, NameHeader("out") + kListing.substr(3))).code, 0xC4);
  EXPECT_EQ(s.Code(Packet(0x82, NameHeader("secret.txt") + Hex("49 00 04 7A"))), 0xC3);
  EXPECT_EQ(s.Code(Delete("secret.txt")), 0xC4);
  EXPECT_EQ(s.Code(Delete("out")), 0xC4);
  EXPECT_EQ(s.Code(Rename("secret.txt", "mine.txt")), 0xC4);
  EXPECT_EQ(s.Code(Rename("own.txt", "secret.txt")), 0xCC);
  EXPECT_EQ(s.Code(Attributes("secret.txt", "R")), 0xC4);
  // Only the 4 bytes inside count.
  EXPECT_EQ(TextToHex(s.Send(Hex("83 00 09 4C 00 06 32 01 02"))), "A0000C4C00093204000003E4");

  std::ifstream secret(outside.Path() / "secret.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(secret), {}), "top secret");
  EXPECT_TRUE(std::filesystem::is_symlink(root.Path() / "secret.txt"));
  EXPECT_TRUE(std::filesystem::is_directory(outside.Path() / "sub"));

  // A PUT in packets over disk: nothing on disk until the end, then the whole file.
  ASSERT_EQ(s.Code(SetPath(0x00, "Inbox")), 0xA0);
  EXPECT_EQ(s.Code(Packet(0x02, NameHeader("photo.jpg") + Header(0x48, "abc"))), 0x90);
  EXPECT_TRUE(std::filesystem::is_empty(root.Path() / "Inbox"));
  EXPECT_EQ(s.Code(Hex("FF 00 03")), 0xA0);
  EXPECT_TRUE(std::filesystem::is_empty(root.Path() / "Inbox"));
  EXPECT_EQ(s.Put("photo.jpg", SampleBytes(5, 700), 300), 0xA0);
  std::ifstream photo(root.Path() / "Inbox" / "photo.jpg", std::ios::binary);
  EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(photo), {}) == SampleBytes(5, 700));
  int entries = 0;
  for ([[maybe_unused]] const auto& item :
       std::filesystem::directory_iterator(root.Path() / "Inbox"))
    ++entries;
  EXPECT_EQ(entries, 1);  // no temporary file left
}

TEST(ObexPacketAssembler, CutsAStreamByLengthFields) {
  const std::string stream = Hex("80 00 07 10 00 40 06") + kListing + Hex("FF 00 03");
  ObexPacketAssembler assembler;
  std::vector<std::string> packets;
  for (char c : stream) {
    assembler.Feed(std::string_view(&c, 1));
    while (auto packet = assembler.Next()) packets.push_back(*packet);
  }
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[1], kListing);
  EXPECT_EQ(packets[2], Hex("FF 00 03"));
  EXPECT_TRUE(assembler.Idle());

  assembler.Feed(Hex("83 00"));
  EXPECT_FALSE(assembler.Next());
  EXPECT_FALSE(assembler.Idle());
  EXPECT_EQ(assembler.Buffered(), 2u);
  assembler.Feed(Hex("01 81 00"));  // a length of 1 cannot be cut
  EXPECT_FALSE(assembler.Next());
  EXPECT_TRUE(assembler.Broken());
  assembler.Feed(Hex("81 00 03"));
  EXPECT_FALSE(assembler.Next());
  assembler.Reset();
  assembler.Feed(Hex("81 00 03 FF"));
  EXPECT_EQ(assembler.Next(), Hex("81 00 03"));
  EXPECT_EQ(assembler.Buffered(), 1u);
}

}  // namespace
}  // namespace quorvalen::sim
