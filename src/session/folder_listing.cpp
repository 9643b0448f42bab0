// The folder-listing reader, on expat. Raw NUL bytes cannot stand in XML,
// yet a careless phone may put one in a name: they are read as a
// noncharacter that no real name holds, so that the entry can be named and
// skipped instead of failing the whole listing.
#include "quorvalen/folder_listing.h"

#include <expat.h>

#include <charconv>
#include <climits>
#include <cstring>
#include <memory>

#include "quorvalen/obex_time.h"

namespace quorvalen {
namespace {

// U+FDD0 in UTF-8: stands for a NUL byte of the phone's text.
constexpr std::string_view kNulStandIn = "\xEF\xB7\x90";

struct Reader {
  FolderListing listing;
  int depth = 0;
  bool root_seen = false;
  std::string error;
};

const char* Attribute(const XML_Char** attributes, const char* name) {
  for (int i = 0; attributes[i]; i += 2) {
    if (std::strcmp(attributes[i], name) == 0) return attributes[i + 1];
  }
  return nullptr;
}

std::string Shown(std::string name) {
  for (size_t at; (at = name.find(kNulStandIn)) != std::string::npos;) name.replace(at, 3, "\\0");
  return name;
}

// Why a name may not be used as a path, or nothing.
const char* Unusable(std::string_view name) {
  if (name.empty()) return "has no name";
  if (name == "." || name == "..") return "names a folder by . or ..";
  if (name.find('/') != std::string_view::npos) return "holds '/'";
  if (name.find('\\') != std::string_view::npos) return "holds '\\'";
  if (name.find(kNulStandIn) != std::string_view::npos) return "holds NUL";
  return nullptr;
}

void OnStart(void* data, const XML_Char* element, const XML_Char** attributes) {
  auto& reader = *static_cast<Reader*>(data);
  ++reader.depth;
  if (reader.depth == 1) {
    reader.root_seen = std::strcmp(element, "folder-listing") == 0;
    return;
  }
  if (reader.depth != 2) return;
  const bool folder = std::strcmp(element, "folder") == 0;
  if (!folder && std::strcmp(element, "file") != 0) return;  // parent-folder and others
  const char* name = Attribute(attributes, "name");
  RemoteEntry entry;
  entry.name = name ? name : "";
  entry.folder = folder;
  if (const char* why = Unusable(entry.name)) {
    reader.listing.skipped.push_back({Shown(entry.name), why});
    return;
  }
  if (const char* size = Attribute(attributes, "size"); size && !folder) {
    std::from_chars(size, size + std::strlen(size), entry.size);
  }
  if (const char* modified = Attribute(attributes, "modified")) {
    entry.modified = ReadObexTime(modified);
  }
  if (const char* permissions = Attribute(attributes, "user-perm")) {
    entry.permissions = permissions;
  }
  reader.listing.entries.push_back(std::move(entry));
}

void OnEnd(void* data, const XML_Char*) { --static_cast<Reader*>(data)->depth; }

}  // namespace

std::optional<FolderListing> ReadFolderListing(std::string_view xml, std::string* error) {
  std::string text;
  text.reserve(xml.size());
  for (char c : xml) {
    if (c == '\0') {
      text += kNulStandIn;
    } else {
      text += c;
    }
  }
  if (text.size() > static_cast<size_t>(INT_MAX)) {
    if (error) *error = "the folder listing is too large";
    return std::nullopt;
  }
  Reader reader;
  std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate(nullptr),
                                                                      &XML_ParserFree);
  if (!parser) {
    if (error) *error = "out of memory";
    return std::nullopt;
  }
  XML_SetUserData(parser.get(), &reader);
  XML_SetElementHandler(parser.get(), OnStart, OnEnd);
  if (XML_Parse(parser.get(), text.data(), static_cast<int>(text.size()), XML_TRUE) !=
      XML_STATUS_OK) {
    if (error) {
      *error = std::string("the folder listing is not XML: ") +
               XML_ErrorString(XML_GetErrorCode(parser.get())) + " at line " +
               std::to_string(XML_GetCurrentLineNumber(parser.get()));
    }
    return std::nullopt;
  }
  if (!reader.root_seen) {
    if (error) *error = "the phone's answer is XML but not a folder listing";
    return std::nullopt;
  }
  return std::move(reader.listing);
}

}  // namespace quorvalen
