#include "session/remote_path.h"

#include "quorvalen/byte_text.h"
#include "quorvalen/session.h"

namespace quorvalen {
namespace {

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
  throw SessionError(SessionErrorKind::kBadName, path + ": " + why);
}

}  // namespace

RemotePath SplitRemotePath(const std::string& path) {
  RemotePath components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(start, slash - start);
    if (part == "..") {
      if (components.empty()) Refuse(path, "goes above the phone's root folder");
      components.pop_back();
    } else if (!part.empty() && part != ".") {
      components.push_back(part);
    }
    start = slash + 1;
  }
  return components;
}

std::string JoinRemotePath(const RemotePath& path) {
  if (path.empty()) return "/";
  std::string text;
  for (const std::string& part : path) text += "/" + part;
  return text;
}

std::string RemoteParent(const std::string& path) {
  RemotePath names = SplitRemotePath(path);
  if (!names.empty()) names.pop_back();
  return JoinRemotePath(names);
}

std::string RemoteChild(const std::string& folder, const std::string& name) {
  RemotePath names = SplitRemotePath(folder);
  names.push_back(name);
  return JoinRemotePath(names);
}

std::string WireName(const std::string& name, size_t max_chars, const std::string& path,
                     const std::string& limit_reason) {
  std::optional<std::string> bytes = Utf8ToLatin1(name);
  if (!bytes) {
    Refuse(path, "\"" + name +
                     "\" holds a character outside Latin-1, which the phone's names cannot carry");
  }
  if (bytes->size() > max_chars) {
    std::string why =
        "\"" + name + "\" is longer than " + std::to_string(max_chars) + " characters";
    if (!limit_reason.empty()) why += " (" + limit_reason + ")";
    Refuse(path, why);
  }
  if (bytes->find('\0') != std::string::npos) Refuse(path, "a name cannot hold NUL");
  if (bytes->find('\\') != std::string::npos) {
    Refuse(path, "\"" + name + "\" holds '\\', which the control reads as a folder separator");
  }
  for (const char* option : {",LONG", ",HEX>", ",EXT>"}) {
    if (bytes->find(option) != std::string::npos) {
      Refuse(path,
             "\"" + name + "\" holds \"" + option + "\", which the control reads as an option");
    }
  }
  return *bytes;
}

std::vector<std::string> WireNames(const RemotePath& path, size_t max_last_chars,
                                   const std::string& limit_reason) {
  std::vector<std::string> names;
  const std::string shown = JoinRemotePath(path);
  for (size_t i = 0; i < path.size(); ++i) {
    const bool last = i + 1 == path.size();
    names.push_back(WireName(path[i], last ? max_last_chars : kMaxFolderChars, shown,
                             last ? limit_reason : std::string()));
  }
  return names;
}

}  // namespace quorvalen
