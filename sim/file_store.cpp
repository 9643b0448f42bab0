// Name checks, the in-memory store and the built-in sample tree.
#include "quorvalen/sim/file_store.h"

#include <utility>

namespace quorvalen::sim {

bool ValidName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  size_t i = 0;
  while (i < name.size()) {
    unsigned char lead = static_cast<unsigned char>(name[i]);
    uint32_t code = 0;
    size_t extra = 0;
    if (lead < 0x80) {
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      code = lead & 0x1F;
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      code = lead & 0x0F;
      extra = 2;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      code = lead & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (name.size() - i - 1 < extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(name[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    if (code < 0x20 || code == 0x7F || code == '/' || code == '\\' || code == ':' ||
        code == 0xFFFE || code == 0xFFFF) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

std::string SampleBytes(uint32_t seed, size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = seed;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 16);
  }
  return bytes;
}

// --- MemoryStore ---------------------------------------------------------

struct MemoryStore::Node {
  bool folder = false;
  std::string data;
  int64_t modified = 0;
  std::string attributes;
  std::map<std::string, std::unique_ptr<Node>, std::less<>> children;

  Node* Child(std::string_view name) {
    auto it = children.find(name);
    return it == children.end() ? nullptr : it->second.get();
  }
};

MemoryStore::MemoryStore(std::function<int64_t()> clock)
    : clock_(std::move(clock)), root_(std::make_unique<Node>()) {
  root_->folder = true;
  root_->modified = Now();
}

MemoryStore::~MemoryStore() = default;

int64_t MemoryStore::Now() const { return clock_ ? clock_() : kSampleTime; }

StoreStatus MemoryStore::FindFolder(const FolderPath& folder, Node*& dir) {
  dir = root_.get();
  for (const std::string& name : folder) {
    if (!ValidName(name)) return StoreStatus::kBadName;
    dir = dir->Child(name);
    if (dir == nullptr || !dir->folder) return StoreStatus::kNotFound;
  }
  return StoreStatus::kOk;
}

StoreStatus MemoryStore::FindEntry(const FolderPath& folder, std::string_view name, Node*& dir,
                                   Node*& node) {
  node = nullptr;
  if (!ValidName(name)) return StoreStatus::kBadName;
  if (StoreStatus status = FindFolder(folder, dir); status != StoreStatus::kOk) return status;
  node = dir->Child(name);
  return node == nullptr ? StoreStatus::kNotFound : StoreStatus::kOk;
}

namespace {

Entry EntryOf(std::string_view name, bool folder, uint64_t size, int64_t modified,
              const std::string& attributes) {
  Entry entry;
  entry.name = std::string(name);
  entry.folder = folder;
  entry.size = folder ? 0 : size;
  entry.modified = modified;
  entry.attributes = attributes;
  return entry;
}

}  // namespace

StoreStatus MemoryStore::List(const FolderPath& folder, std::vector<Entry>& entries) {
  entries.clear();
  Node* dir = nullptr;
  if (StoreStatus status = FindFolder(folder, dir); status != StoreStatus::kOk) return status;
  for (const auto& [name, node] : dir->children) {
    entries.push_back(
        EntryOf(name, node->folder, node->data.size(), node->modified, node->attributes));
  }
  return StoreStatus::kOk;
}

StoreStatus MemoryStore::Stat(const FolderPath& folder, std::string_view name, Entry& entry) {
  Node* dir = nullptr;
  Node* node = nullptr;
  if (StoreStatus status = FindEntry(folder, name, dir, node); status != StoreStatus::kOk) {
    return status;
  }
  entry = EntryOf(name, node->folder, node->data.size(), node->modified, node->attributes);
  return StoreStatus::kOk;
}

StoreStatus MemoryStore::Read(const FolderPath& folder, std::string_view name, std::string& data) {
  Node* dir = nullptr;
  Node* node = nullptr;
  if (StoreStatus status = FindEntry(folder, name, dir, node); status != StoreStatus::kOk) {
    return status;
  }
  if (node->folder) return StoreStatus::kNotFound;
  data = node->data;
  return StoreStatus::kOk;
}

StoreStatus MemoryStore::Write(const FolderPath& folder, std::string_view name,
                               std::string_view data) {
  if (!ValidName(name)) return StoreStatus::kBadName;
  Node* dir = nullptr;
  if (StoreStatus status = FindFolder(folder, dir); status != StoreStatus::kOk) return status;
  Node* node = dir->Child(name);
  if (node == nullptr) {
    auto created = std::make_unique<Node>();
    node = created.get();
    dir->children.emplace(std::string(name), std::move(created));
  }
  if (node->folder) return StoreStatus::kExists;
  bytes_ = bytes_ - node->data.size() + data.size();
  node->data.assign(data);
  node->modified = Now();
  return StoreStatus::kOk;
}

StoreStatus MemoryStore::Remove(const FolderPath& folder, std::string_view name) {
  Node* dir = nullptr;
  Node* node = nullptr;
  if (StoreStatus status = FindEntry(folder, name, dir, node); status != StoreStatus::kOk) {
    return status;
  }
  if (node->folder && !node->children.empty()) return StoreStatus::kNotEmpty;
  bytes_ -= node->data.size();
  dir->children.erase(dir->children.find(name));
  return StoreStatus::kOk;
}

StoreStatus MemoryStore::MakeFolder(const FolderPath& folder, std::string_view name) {
  if (!ValidName(name)) return StoreStatus::kBadName;
  Node* dir = nullptr;
  if (StoreStatus status = FindFolder(folder, dir); status != StoreStatus::kOk) return status;
  if (dir->Child(name) != nullptr) return StoreStatus::kExists;
  auto created = std::make_unique<Node>();
  created->folder = true;
  created->modified = Now();
  dir->children.emplace(std::string(name), std::move(created));
  return StoreStatus::kOk;
}

StoreStatus MemoryStore::Rename(const FolderPath& folder, std::string_view from,
                                std::string_view to) {
  if (!ValidName(to)) return StoreStatus::kBadName;
  Node* dir = nullptr;
  Node* node = nullptr;
  if (StoreStatus status = FindEntry(folder, from, dir, node); status != StoreStatus::kOk) {
    return status;
  }
  if (from == to) return StoreStatus::kOk;
  if (dir->Child(to) != nullptr) return StoreStatus::kExists;
  auto it = dir->children.find(from);
  std::unique_ptr<Node> moved = std::move(it->second);
  dir->children.erase(it);
  dir->children.emplace(std::string(to), std::move(moved));
  return StoreStatus::kOk;
}

StoreStatus MemoryStore::SetAttributes(const FolderPath& folder, std::string_view name,
                                       std::string_view attributes) {
  Node* dir = nullptr;
  Node* node = nullptr;
  if (StoreStatus status = FindEntry(folder, name, dir, node); status != StoreStatus::kOk) {
    return status;
  }
  node->attributes.assign(attributes);
  return StoreStatus::kOk;
}

// --- SampleStore ---------------------------------------------------------

const std::vector<SampleFile>& SampleFiles() {
  static const std::vector<SampleFile> files = [] {
    std::string cafe;
    for (int i = 0; i < 6; ++i)
      cafe += "Caf\xC3\xA9 au lait, deux croissants, un pain au chocolat.\n";
    return std::vector<SampleFile>{
        {"", "readme.txt",
         "This is the sample tree of the simulated phone.\n"
         "Every file here has fixed contents and a fixed time, so that listings\n"
         "and transfers come out the same on every run.\n"},
        {"", "empty.txt", ""},
        {"Documents", "Caf\xC3\xA9.txt", cafe},
        {"Documents", "Meeting notes.txt",
         "09:30 stand-up\n10:00 review of the cable tests\n12:00 lunch\n"},
        {"Documents", "Notes & <ideas>.txt", "\"Quotes\" & 'apostrophes' & <angles>.\n"},
        {"Pictures", "logo.png", SampleBytes(1, 300)},
        {"Pictures/Holiday", "beach.jpg", SampleBytes(2, 37 * 1024)},
        {"Pictures/Holiday", "sunset.jpg", SampleBytes(3, 420)},
        {"Videos", "clip.3gp", SampleBytes(4, 300 * 1024)},
    };
  }();
  return files;
}

SampleStore::SampleStore(std::function<int64_t()> clock) {
  // Built with the fixed time; the caller's clock stamps only what comes later.
  const FolderPath root;
  MakeFolder(root, "Documents");
  MakeFolder(root, "Music");
  MakeFolder(root, "Pictures");
  MakeFolder({"Pictures"}, "Holiday");
  MakeFolder(root, "Videos");
  for (const SampleFile& file : SampleFiles()) {
    FolderPath folder;
    size_t start = 0;
    while (start < file.folder.size()) {
      size_t slash = file.folder.find('/', start);
      if (slash == std::string::npos) slash = file.folder.size();
      folder.push_back(file.folder.substr(start, slash - start));
      start = slash + 1;
    }
    Write(folder, file.name, file.contents);
  }
  SetClock(std::move(clock));
}

}  // namespace quorvalen::sim
