// The phone's stores: the sample tree, the memory and disk stores behaving
// alike, and the disk store staying inside its root.
#include "sim/file_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "quorvalen/byte_text.h"

namespace quorvalen::sim {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qv-store-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Names(FileStore& store, const FolderPath& folder) {
  std::vector<Entry> entries;
  EXPECT_EQ(store.List(folder, entries), StoreStatus::kOk);
  std::vector<std::string> names;
  for (const Entry& entry : entries) names.push_back(entry.name + (entry.folder ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FileStore, ValidNameKeepsToOneComponentOfListableText) {
  for (const std::string& good :
       std::vector<std::string>{"a", "readme.txt", "Caf\xC3\xA9.txt", "with space",
                                "\xF0\x9F\x93\xB7", "...", "a.b.c", std::string(255, 'x')}) {
    EXPECT_TRUE(ValidName(good)) << good;
  }
  for (const std::string& bad :
       {std::string(), std::string("."), std::string(".."), std::string("a/b"), std::string("a\\b"),
        std::string("c:"), std::string("a\0b", 3), std::string("tab\t"), std::string("\x7F"),
        std::string("\xC3"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
        std::string("\xEF\xBF\xBE"), std::string(256, 'x')}) {
    EXPECT_FALSE(ValidName(bad)) << TextToHex(bad);
  }
}

TEST(FileStore, SampleTreeIsFixed) {
  SampleStore store;
  EXPECT_EQ(Names(store, {}), (std::vector<std::string>{"Documents/", "Music/", "Pictures/",
                                                        "Videos/", "empty.txt", "readme.txt"}));
  EXPECT_EQ(Names(store, {"Pictures", "Holiday"}),
            (std::vector<std::string>{"beach.jpg", "sunset.jpg"}));
  EXPECT_TRUE(Names(store, {"Music"}).empty());
  uint64_t total = 0;
  for (const SampleFile& file : SampleFiles()) {
    FolderPath folder;
    for (size_t start = 0; start < file.folder.size();) {
      size_t slash = std::min(file.folder.find('/', start), file.folder.size());
      folder.push_back(file.folder.substr(start, slash - start));
      start = slash + 1;
    }
    std::string data;
    EXPECT_EQ(store.Read(folder, file.name, data), StoreStatus::kOk) << file.name;
    EXPECT_TRUE(data == file.contents) << file.name;
    total += data.size();
  }
  EXPECT_EQ(store.BytesStored(), total);
  Entry entry;
  ASSERT_EQ(store.Stat({"Videos"}, "clip.3gp", entry), StoreStatus::kOk);
  EXPECT_EQ(entry.size, 300u * 1024);
  EXPECT_EQ(entry.modified, kSampleTime);
  ASSERT_EQ(store.Stat({"Pictures", "Holiday"}, "beach.jpg", entry), StoreStatus::kOk);
  EXPECT_EQ(entry.size, 37u * 1024);
  ASSERT_EQ(store.Stat({}, "Pictures", entry), StoreStatus::kOk);
  EXPECT_TRUE(entry.folder);
  EXPECT_EQ(entry.modified, kSampleTime);
  // The generator is the classic one: its first values are 0x41C6, 0x167E.
  EXPECT_EQ(TextToHex(SampleBytes(1, 2)), "C67E");
  EXPECT_TRUE(SampleBytes(4, 1000) == SampleBytes(4, 2000).substr(0, 1000));

  // A caller's clock stamps only what is written later.
  SampleStore clocked([] { return int64_t{1800000000}; });
  ASSERT_EQ(clocked.Stat({}, "readme.txt", entry), StoreStatus::kOk);
  EXPECT_EQ(entry.modified, kSampleTime);
  ASSERT_EQ(clocked.Write({}, "new.txt", "n"), StoreStatus::kOk);
  ASSERT_EQ(clocked.Stat({}, "new.txt", entry), StoreStatus::kOk);
  EXPECT_EQ(entry.modified, 1800000000);
}

TEST(FileStore, MemoryAndDiskStoresBehaveAlike) {
  TempDir dir;
  MemoryStore memory;
  DiskStore disk(dir.Path().string());
  for (FileStore* store : {static_cast<FileStore*>(&memory), static_cast<FileStore*>(&disk)}) {
    SCOPED_TRACE(store == &memory ? "memory" : "disk");
    std::string data;
    Entry entry;
    EXPECT_EQ(store->MakeFolder({}, "Photos"), StoreStatus::kOk);
    EXPECT_EQ(store->MakeFolder({}, "Photos"), StoreStatus::kExists);
    EXPECT_EQ(store->Write({"Photos"}, "a.jpg", "12345"), StoreStatus::kOk);
    EXPECT_EQ(store->Write({"Photos"}, "a.jpg", "123"), StoreStatus::kOk);
    EXPECT_EQ(store->Read({"Photos"}, "a.jpg", data), StoreStatus::kOk);
    EXPECT_EQ(data, "123");
    EXPECT_EQ(store->Write({}, "empty", ""), StoreStatus::kOk);
    EXPECT_EQ(store->BytesStored(), 3u);
    EXPECT_EQ(store->Write({}, "Photos", "x"), StoreStatus::kExists);
    EXPECT_EQ(store->Write({"Nope"}, "x", "x"), StoreStatus::kNotFound);
    EXPECT_EQ(store->Read({}, "Photos", data), StoreStatus::kNotFound);
    EXPECT_EQ(store->Write({}, "../x", "x"), StoreStatus::kBadName);
    EXPECT_EQ(store->Read({".."}, "x", data), StoreStatus::kBadName);

    EXPECT_EQ(store->SetAttributes({"Photos"}, "a.jpg", "R"), StoreStatus::kOk);
    EXPECT_EQ(store->Rename({}, "Photos", "Pics"), StoreStatus::kOk);
    ASSERT_EQ(store->Stat({"Pics"}, "a.jpg", entry), StoreStatus::kOk);
    EXPECT_EQ(entry.attributes, "R");  // moved with its folder
    EXPECT_EQ(entry.size, 3u);
    EXPECT_EQ(store->Rename({}, "Pics", "empty"), StoreStatus::kExists);
    EXPECT_EQ(store->Rename({}, "Photos", "x"), StoreStatus::kNotFound);
    EXPECT_EQ(store->Rename({}, "Pics", "Pics"), StoreStatus::kOk);
    EXPECT_EQ(store->Remove({}, "Pics"), StoreStatus::kNotEmpty);
    EXPECT_EQ(store->Remove({"Pics"}, "a.jpg"), StoreStatus::kOk);
    EXPECT_EQ(store->Remove({"Pics"}, "a.jpg"), StoreStatus::kNotFound);
    EXPECT_EQ(store->Remove({}, "Pics"), StoreStatus::kOk);
    EXPECT_EQ(Names(*store, {}), std::vector<std::string>{"empty"});
    EXPECT_EQ(store->BytesStored(), 0u);
    std::vector<Entry> gone;
    EXPECT_EQ(store->List({"Pics"}, gone), StoreStatus::kNotFound);
  }
  EXPECT_EQ(ReadFile(dir.Path() / "empty"), "");
}

TEST(FileStore, DiskStoreStaysInsideItsRoot) {
  TempDir outside;
  TempDir dir;
  const fs::path root = dir.Path();
  std::ofstream(outside.Path() / "secret.txt") << "secret";
  fs::create_directory(root / "real");
  std::ofstream(root / "real" / "inside.txt") << "inside";
  fs::create_directory_symlink(outside.Path(), root / "real" / "link");
  fs::create_directory_symlink(root / "real", root / "alias");  // even one pointing inside
  fs::create_symlink(outside.Path() / "secret.txt", root / "secret.txt");
  ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0600), 0);
  std::ofstream(root / "bad\xFFname") << "not UTF-8";
  std::ofstream(root / "col:on") << "unreachable name";
  std::ofstream(root / ".partial:1:1") << "left by a crash";

  DiskStore store(root.string());
  EXPECT_EQ(Names(store, {}), std::vector<std::string>{"real/"});
  EXPECT_EQ(Names(store, {"real"}), std::vector<std::string>{"inside.txt"});
  std::vector<Entry> entries;
  std::string data;
  Entry entry;
  EXPECT_EQ(store.List({"real", "link"}, entries), StoreStatus::kNotFound);
  EXPECT_EQ(store.List({"alias"}, entries), StoreStatus::kNotFound);
  EXPECT_EQ(store.Read({"real", "link"}, "secret.txt", data), StoreStatus::kNotFound);
  EXPECT_EQ(store.Read({}, "secret.txt", data), StoreStatus::kNotFound);
  EXPECT_EQ(store.Read({}, "pipe", data), StoreStatus::kNotFound);  // and does not block
  EXPECT_EQ(store.Stat({}, "pipe", entry), StoreStatus::kNotFound);
  EXPECT_EQ(store.Write({"real", "link"}, "planted.txt", "x"), StoreStatus::kNotFound);
  EXPECT_EQ(store.Write({}, "secret.txt", "overwritten"), StoreStatus::kForbidden);
  EXPECT_EQ(store.MakeFolder({"real", "link"}, "made"), StoreStatus::kNotFound);
  EXPECT_EQ(store.Remove({}, "secret.txt"), StoreStatus::kNotFound);
  EXPECT_EQ(store.Remove({"real"}, "link"), StoreStatus::kNotFound);
  EXPECT_EQ(store.Rename({}, "secret.txt", "mine.txt"), StoreStatus::kNotFound);
  EXPECT_EQ(store.Rename({"real"}, "inside.txt", "link"), StoreStatus::kExists);
  EXPECT_EQ(store.SetAttributes({}, "secret.txt", "R"), StoreStatus::kNotFound);
  EXPECT_EQ(store.BytesStored(), 6u);  // inside.txt only

  EXPECT_EQ(ReadFile(outside.Path() / "secret.txt"), "secret");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside.Path()), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::is_symlink(root / "secret.txt"));
  EXPECT_TRUE(fs::is_symlink(root / "real" / "link"));

  // A write leaves exactly the named file, whole.
  const std::string big = SampleBytes(6, 100000);
  ASSERT_EQ(store.Write({"real"}, "big.bin", big), StoreStatus::kOk);
  EXPECT_TRUE(ReadFile(root / "real" / "big.bin") == big);
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "real"), fs::directory_iterator()), 3);

  EXPECT_THROW(DiskStore((root / "missing").string()), std::system_error);
  EXPECT_THROW(DiskStore((root / "real" / "inside.txt").string()), std::system_error);
}

}  // namespace
}  // namespace quorvalen::sim
