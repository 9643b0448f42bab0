// Saved properties kept in a small text file, one "Name=Value" per line. The
// file is read whole and checked before anything changes, and written back
// through a temporary file and a rename, so neither a bad hand edit nor a
// crash half-way through a save can leave the control with half its settings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "quorvalen/basic_platform.h"
#include "quorvalen/error.h"
#include "quorvalen/posix_platform.h"

namespace quorvalen {
namespace {

constexpr char kSource[] = "FilePropertyBag";
constexpr char kHex[] = "0123456789ABCDEF";

std::string OsReason(int error) { return std::generic_category().message(error); }

Error FileAccessError(const std::string& path, const std::string& what, int error) {
  return Error(kErrFileAccess, kSource, path + ": " + what + ": " + OsReason(error));
}

bool NeedsEscape(unsigned char byte) { return byte < 0x20 || byte == 0x7F || byte >= 0x80; }

std::string Escape(std::string_view raw) {
  std::string text;
  text.reserve(raw.size());
  for (char c : raw) {
    auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      text += "\\\\";
    } else if (NeedsEscape(byte)) {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0xF];
    } else {
      text += c;
    }
  }
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Undoes Escape. Bytes that need no escape are taken as they are, so a hand
// edit may type them raw. Returns the offset of a bad escape, or npos.
size_t Unescape(std::string_view text, std::string& raw) {
  raw.clear();
  raw.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      raw += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == '\\') {
      raw += '\\';
      ++i;
    } else if (i + 3 < text.size() && text[i + 1] == 'x' && HexValue(text[i + 2]) >= 0 &&
               HexValue(text[i + 3]) >= 0) {
      raw += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
      i += 3;
    } else {
      return i;
    }
  }
  return std::string_view::npos;
}

// A name must survive the trip through the file: no separator, nothing that
// reads as a comment, no spaces or control bytes.
bool ValidName(std::string_view name) {
  if (name.empty() || name.front() == '#') return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F || byte == '=';
  });
}

std::string TypeName(const PropertyValue& value) {
  if (std::holds_alternative<bool>(value)) return "a Boolean";
  if (std::holds_alternative<int32_t>(value)) return "an integer";
  return "a text";
}

std::string StoredText(const PropertyValue& value) {
  if (const bool* b = std::get_if<bool>(&value)) return *b ? "True" : "False";
  if (const int32_t* i = std::get_if<int32_t>(&value)) return std::to_string(*i);
  return std::get<std::string>(value);
}

// A file that does not exist reads as empty: a bag nobody has saved yet.
std::string ReadWholeFile(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) return {};
    throw FileAccessError(path, "cannot open", errno);
  }
  std::string content;
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      close(fd);
      throw FileAccessError(path, "cannot read", error);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return content;
}

bool WriteAll(int fd, std::string_view bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

FilePropertyBag::FilePropertyBag(std::string path) : path_(std::move(path)) {}

void FilePropertyBag::Load() {
  std::string content = ReadWholeFile(path_);

  std::vector<std::pair<std::string, std::string>> entries;
  std::map<std::string, int> lines;
  auto malformed = [&](int line, const std::string& reason) {
    return Error(kErrBadFileFormat, kSource,
                 path_ + " line " + std::to_string(line) + ": " + reason);
  };

  std::string_view rest = content;
  int line_number = 0;
  std::string value;
  while (!rest.empty()) {
    ++line_number;
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;

    size_t equals = line.find('=');
    if (equals == std::string_view::npos) throw malformed(line_number, "no '=' after the name");
    std::string_view name = line.substr(0, equals);
    if (name.empty()) throw malformed(line_number, "empty name");
    if (!ValidName(name)) {
      throw malformed(line_number, "the name contains a space or a control character");
    }
    size_t bad = Unescape(line.substr(equals + 1), value);
    if (bad != std::string_view::npos) {
      throw malformed(line_number, "bad escape at column " + std::to_string(equals + 2 + bad) +
                                       " (only \\\\ and \\xHH are known)");
    }

    // A name given twice takes its last value, in the place of its first.
    std::string key(name);
    const bool first_time = lines.insert_or_assign(key, line_number).second;
    if (first_time) {
      entries.emplace_back(std::move(key), value);
    } else {
      std::find_if(entries.begin(), entries.end(), [&](const auto& e) {
        return e.first == key;
      })->second = value;
    }
  }

  entries_ = std::move(entries);
  lines_ = std::move(lines);
}

void FilePropertyBag::Save() {
  std::string content;
  for (const auto& [name, value] : entries_) {
    content += name;
    content += '=';
    content += Escape(value);
    content += '\n';
  }

  // The temporary file sits next to the target, so the rename stays on one
  // file system and is atomic.
  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0;; ++attempt) {
    temp = path_ + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) break;
    if ((errno != EEXIST && errno != EINTR) || attempt == 100) {
      throw FileAccessError(path_, "cannot save", errno);
    }
  }

  auto fail = [&](int error) {
    if (fd >= 0) close(fd);
    unlink(temp.c_str());
    return FileAccessError(path_, "cannot save", error);
  };
  // A settings file that someone made private stays private.
  struct stat old {};
  if (stat(path_.c_str(), &old) == 0 && fchmod(fd, old.st_mode & 07777) != 0) throw fail(errno);
  if (!WriteAll(fd, content)) throw fail(errno);
  if (fsync(fd) != 0) throw fail(errno);
  int closed = close(fd);
  fd = -1;
  if (closed != 0) throw fail(errno);
  if (rename(temp.c_str(), path_.c_str()) != 0) throw fail(errno);

  // Make the rename itself durable; a failure here loses nothing already
  // written, so it is not reported.
  int dir = open(DirectoryOf(path_).c_str(), O_RDONLY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }

  lines_.clear();
  for (size_t i = 0; i < entries_.size(); ++i) lines_[entries_[i].first] = static_cast<int>(i + 1);
}

PropertyValue FilePropertyBag::ReadProperty(const std::string& name,
                                            const PropertyValue& default_value) {
  auto entry = std::find_if(entries_.begin(), entries_.end(),
                            [&](const auto& e) { return e.first == name; });
  if (entry == entries_.end()) return default_value;
  try {
    return ConvertPropertyValue(PropertyValue(entry->second), default_value, name);
  } catch (const Error& error) {
    if (error.number != kErrTypeMismatch) throw;
    auto line = lines_.find(name);
    std::string where = line != lines_.end() ? path_ + " line " + std::to_string(line->second)
                                             : path_ + ", set since it was read";
    std::string shown = Escape(entry->second);
    if (shown.size() > 40) shown = shown.substr(0, 40) + "...";
    throw Error(kErrTypeMismatch, kSource,
                "Type mismatch: property " + name + " (" + where + ") holds \"" + shown +
                    "\", which is not " + TypeName(default_value));
  }
}

void FilePropertyBag::WriteProperty(const std::string& name, const PropertyValue& value,
                                    const PropertyValue& default_value) {
  if (!ValidName(name)) {
    throw Error(kErrInvalidPropertyValue, kSource,
                "\"" + Escape(name) + "\" cannot be a property name in " + path_);
  }
  auto entry = std::find_if(entries_.begin(), entries_.end(),
                            [&](const auto& e) { return e.first == name; });
  if (value == default_value) {
    if (entry != entries_.end()) entries_.erase(entry);
    lines_.erase(name);
    return;
  }
  std::string text = StoredText(value);
  if (entry == entries_.end()) {
    entries_.emplace_back(name, std::move(text));
  } else if (entry->second != text) {
    entry->second = std::move(text);
    lines_.erase(name);
  }
}

}  // namespace quorvalen
