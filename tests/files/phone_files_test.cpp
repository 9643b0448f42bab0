// The files layer against the simulated phone in virtual time, without
// FUSE: listings within and after their time limit and per command, what
// our own changes drop, handles that read, write, spill and flush, files
// renamed or removed while open, and the errors the layer gives.
#include "phone_files.h"

#include <gtest/gtest.h>

#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/virtual_platform.h"
#include "session/error_of.h"

namespace quorvalen {
namespace {

class PhoneFilesTest : public ::testing::Test {
 protected:
  PhoneFilesTest() {
    auto store = std::make_unique<sim::SampleStore>();
    store_ = store.get();
    phone_ =
        std::make_unique<sim::VirtualPhone>(platform_, 1, sim::PhoneOptions{}, std::move(store));
    SessionOptions options;
    options.mobile_type = 1;
    options.settings = {{"TimeOut", "5000"}};
    session_ = Session::Open(platform_, options);
  }
  // A layer with listings kept for ms, on the virtual clock.
  PhoneFiles& Files(int64_t ms, size_t memory_bound = 32u << 20) {
    FilesOptions options;
    options.listing_ms = ms;
    options.memory_bound = memory_bound;
    options.clock = &platform_.Time();
    options.on_skipped = [this](const std::string& folder, const SkippedEntry& s) {
      skipped_.push_back(folder + ":" + s.name);
    };
    files_ = std::make_unique<PhoneFiles>(*session_, options);
    return *files_;
  }
  bool Listed(const std::string& folder, const std::string& name) {
    for (const RemoteEntry& e : files_->List(folder).entries) {
      if (e.name == name) return true;
    }
    return false;
  }
  std::string Stored(const sim::FolderPath& folder, const std::string& name) {
    std::string data;
    return store_->Read(folder, name, data) == sim::StoreStatus::kOk ? data : "<none>";
  }
  std::string ReadAll(FileHandle h) {
    std::string data;
    char buffer[4096];
    while (size_t n = files_->Read(h, buffer, sizeof buffer, data.size())) data.append(buffer, n);
    return data;
  }
  void Pass(int64_t ms) { platform_.Loop().RunFor(ms); }

  VirtualPlatform platform_;
  sim::SampleStore* store_;
  std::unique_ptr<sim::VirtualPhone> phone_;
  std::unique_ptr<Session> session_;
  std::unique_ptr<PhoneFiles> files_;
  std::vector<std::string> skipped_;
};

TEST_F(PhoneFilesTest, ListingsServeForTheirTimeOrTheirCommand) {
  PhoneFiles& files = Files(10'000);
  EXPECT_FALSE(Listed("/", "late.txt"));
  store_->Write({}, "late.txt", "x");  // behind the layer's back
  Pass(9'000);
  EXPECT_FALSE(Listed("/", "late.txt"));
  EXPECT_FALSE(files.Find("/late.txt").has_value());
  Pass(2'000);
  EXPECT_TRUE(Listed("/", "late.txt"));
  // "a//b/" and "/a/b" are one folder, one listing.
  EXPECT_TRUE(Listed("Pictures//", "logo.png"));
  store_->Write({"Pictures"}, "new.png", "y");
  EXPECT_FALSE(Listed("/Pictures", "new.png"));
  files.Forget("/Pictures/");
  EXPECT_TRUE(Listed("/Pictures", "new.png"));

  // Time limit 0: every listing afresh, until commands begin; then a
  // command keeps what it listed, and the next one lists again.
  Files(0);
  store_->Write({}, "one.txt", "1");
  EXPECT_TRUE(Listed("/", "one.txt"));
  store_->Write({}, "two.txt", "2");
  EXPECT_TRUE(Listed("/", "two.txt"));
  files_->BeginCommand();
  EXPECT_TRUE(Listed("/", "two.txt"));
  store_->Write({}, "three.txt", "3");
  Pass(60'000);
  EXPECT_FALSE(Listed("/", "three.txt"));
  files_->BeginCommand();
  EXPECT_TRUE(Listed("/", "three.txt"));
}

TEST_F(PhoneFilesTest, OurOwnChangesDropWhatTheyMakeStale) {
  PhoneFiles& files = Files(3'600'000);
  ASSERT_TRUE(files.Find("/readme.txt").has_value());
  ASSERT_TRUE(files.Find("/Documents/Meeting notes.txt").has_value());
  ASSERT_TRUE(Listed("/Pictures", "logo.png"));
  store_->Write({"Pictures"}, "unseen.png", "z");  // a folder we do not change

  const std::string data(5000, 'd');
  files.Put(SourceOf(data), data.size(), "/Documents/new.txt");
  ASSERT_TRUE(files.Find("/Documents/new.txt").has_value());
  EXPECT_EQ(files.Find("/Documents/new.txt")->size, data.size());
  files.Rename("/Documents/new.txt", "renamed.txt");
  EXPECT_FALSE(files.Find("/Documents/new.txt").has_value());
  EXPECT_TRUE(files.Find("/Documents/renamed.txt").has_value());
  files.SetPermissions("/Documents/renamed.txt", "R");
  EXPECT_EQ(files.Find("/Documents/renamed.txt")->permissions, "R");
  files.Remove("/Documents/renamed.txt");
  EXPECT_FALSE(files.Find("/Documents/renamed.txt").has_value());
  files.MakeFolder("/Music/Live");
  EXPECT_TRUE(files.Find("/Music/Live")->folder);
  EXPECT_TRUE(files.List("/Music/Live").entries.empty());
  files.MakeDir("/Music/Live/Sets");
  EXPECT_TRUE(Listed("/Music/Live", "Sets"));
  files.RemoveDir("/Music/Live/Sets");
  EXPECT_TRUE(files.List("/Music/Live").entries.empty());
  // A folder renamed: its old listing goes with it.
  files.Replace("/Music/Live", "/Music/Studio");
  EXPECT_FALSE(files.Find("/Music/Live").has_value());
  EXPECT_EQ(ErrorOf([&] { files.List("/Music/Live"); }).Kind(), SessionErrorKind::kRefused);
  // Other folders stayed as listed.
  EXPECT_FALSE(Listed("/Pictures", "unseen.png"));
}

TEST_F(PhoneFilesTest, HandlesReadWriteAndSendWholeOnFlush) {
  PhoneFiles& files = Files(10'000, 1000);  // beyond 1000 bytes: a temporary file
  const FileHandle reader = files.Open("/Pictures/Holiday/beach.jpg");
  const std::string beach = Stored({"Pictures", "Holiday"}, "beach.jpg");
  ASSERT_GT(beach.size(), 1000u);
  char part[100];
  ASSERT_EQ(files.Read(reader, part, sizeof part, 20'000), sizeof part);
  EXPECT_EQ(std::string(part, sizeof part), beach.substr(20'000, 100));
  EXPECT_EQ(ReadAll(reader), beach);
  EXPECT_EQ(files.Read(reader, part, sizeof part, beach.size() + 5), 0u);
  files.Release(reader);

  // Read and closed: the next reader is served from what was kept, while
  // the listing shows the same size.
  store_->Remove({"Pictures", "Holiday"}, "beach.jpg");
  const FileHandle again = files.Open("/Pictures/Holiday/beach.jpg");
  EXPECT_EQ(ReadAll(again), beach);
  files.Release(again);

  // Appending to a file fetches it first; nothing goes out before the flush.
  const FileHandle notes = files.Open("/readme.txt", {.write = true});
  const std::string readme = Stored({}, "readme.txt");
  const std::string more(3000, 'm');
  files.Write(notes, more.data(), more.size(), readme.size());
  EXPECT_EQ(files.StatOpen(notes).entry.size, readme.size() + more.size());
  EXPECT_EQ(Stored({}, "readme.txt"), readme);
  files.Flush(notes);
  EXPECT_EQ(Stored({}, "readme.txt"), readme + more);
  files.Release(notes);  // sent once only
  EXPECT_EQ(Stored({}, "readme.txt"), readme + more);

  // A new file: listed among the folder's held names until it is sent;
  // letters given before it reaches the phone are set once it is there.
  const FileHandle created = files.Create("/Documents/draft.txt");
  files.Write(created, "draft", 5, 0);
  files.Chmod("/Documents/draft.txt", "R");
  EXPECT_EQ(files.HeldNames("/Documents"), std::vector<std::string>{"draft.txt"});
  ASSERT_TRUE(files.Stat("/Documents/draft.txt").has_value());
  EXPECT_TRUE(files.Stat("/Documents/draft.txt")->held_here);
  EXPECT_EQ(Stored({"Documents"}, "draft.txt"), "<none>");
  files.Release(created);
  EXPECT_EQ(Stored({"Documents"}, "draft.txt"), "draft");
  EXPECT_TRUE(files.HeldNames("/Documents").empty());
  EXPECT_EQ(files.Stat("/Documents/draft.txt")->entry.permissions, "R");
  EXPECT_FALSE(files.Stat("/Documents/draft.txt")->held_here);

  // Truncating a file nobody has open: fetched, cut and sent at once.
  const std::string meeting = Stored({"Documents"}, "Meeting notes.txt");
  files.Truncate("/Documents/Meeting notes.txt", 4);
  EXPECT_EQ(Stored({"Documents"}, "Meeting notes.txt"), meeting.substr(0, 4));
  EXPECT_EQ(files.Find("/Documents/Meeting notes.txt")->size, 4u);
}

// A flush whose PUT the line broke is sent again, read again from where
// the bytes are held: memory, or the temporary file beyond the bound.
TEST_F(PhoneFilesTest, AFlushTheLineBrokeIsSentAgainFromTheHeldBytes) {
  for (const size_t bound : {size_t{1} << 20, size_t{1000}}) {
    SCOPED_TRACE("memory bound " + std::to_string(bound));
    PhoneFiles& files = Files(0, bound);
    const FileHandle h = files.Create("/Music/song.bin");
    const std::string song = sim::SampleBytes(8, 40'000);
    files.Write(h, song.data(), song.size(), 0);
    // Two seconds into the PUT (of about seven) the phone stops hearing
    // for longer than TimeOut.
    platform_.Loop().After(2'000'000'000, VirtualEventLoop::Domain::kWorld, [this] {
      phone_->Listening(false);
      platform_.Loop().After(7'000'000'000, VirtualEventLoop::Domain::kWorld,
                             [this] { phone_->Listening(true); });
    });
    files.Release(h);
    EXPECT_EQ(Stored({"Music"}, "song.bin"), song);
    store_->Remove({"Music"}, "song.bin");
  }
}

TEST_F(PhoneFilesTest, OpenFilesFollowRenamesAndRemovals) {
  PhoneFiles& files = Files(10'000);
  store_->Write({}, "f.txt", "first");
  store_->Write({}, "g.txt", "second");
  store_->MakeFolder({}, "D");
  store_->MakeFolder({}, "Empty");

  // Removed and replaced while open: both read on.
  const FileHandle removed = files.Open("/f.txt");
  const FileHandle replaced = files.Open("/g.txt");
  files.Unlink("/f.txt");
  const FileHandle h = files.Create("/h.txt");
  files.Write(h, "third", 5, 0);
  files.Release(h);
  files.Replace("/h.txt", "/g.txt");
  EXPECT_EQ(ReadAll(removed), "first");
  EXPECT_EQ(ReadAll(replaced), "second");
  files.Release(removed);
  files.Release(replaced);
  EXPECT_EQ(Stored({}, "f.txt"), "<none>");
  EXPECT_EQ(Stored({}, "g.txt"), "third");

  // Written in a folder renamed meanwhile: it arrives under the new name;
  // a folder renamed onto an empty one replaces it.
  const FileHandle late = files.Create("/D/new.txt");
  files.Replace("/D", "/E");
  files.Write(late, "late", 4, 0);
  files.Release(late);
  EXPECT_EQ(Stored({"E"}, "new.txt"), "late");
  files.Replace("/E", "/Empty");
  EXPECT_EQ(Stored({"Empty"}, "new.txt"), "late");
  EXPECT_FALSE(files.Find("/E").has_value());

  // Removed from the phone at once, kept under a local name for its handle.
  const FileHandle open = files.Open("/Empty/new.txt");
  files.HideOpen("/Empty/new.txt", "/Empty/.hidden1");
  EXPECT_EQ(Stored({"Empty"}, "new.txt"), "<none>");
  EXPECT_EQ(ReadAll(open), "late");
  EXPECT_TRUE(files.HeldNames("/Empty").empty());
  files.Release(open);
  EXPECT_EQ(Stored({"Empty"}, ".hidden1"), "<none>");
  EXPECT_FALSE(files.IsHeld("/Empty/.hidden1"));
}

TEST_F(PhoneFilesTest, ErrorsAreSessionErrorsThatSayWhatWasWrong) {
  PhoneFiles& files = Files(10'000);
  // Each refusal names the path and its problem.
  auto thrown = [](auto call) -> std::optional<FileProblem> {
    try {
      call();
    } catch (const FileError& e) {
      EXPECT_NE(std::string(e.what()).find('/'), std::string::npos) << e.what();
      return e.Problem();
    } catch (const SessionError&) {
    }
    return std::nullopt;
  };
  EXPECT_EQ(thrown([&] { files.Open("/nowhere.txt"); }), FileProblem::kNotFound);
  EXPECT_EQ(thrown([&] { files.Open("/readme.txt/x"); }), FileProblem::kNotFound);
  EXPECT_EQ(thrown([&] { files.Open("/Documents"); }), FileProblem::kIsFolder);
  EXPECT_EQ(thrown([&] { files.Unlink("/Documents"); }), FileProblem::kIsFolder);
  EXPECT_EQ(thrown([&] { files.RemoveDir("/readme.txt"); }), FileProblem::kNotFolder);
  EXPECT_EQ(thrown([&] { files.RemoveDir("/Documents"); }), FileProblem::kNotEmpty);
  EXPECT_EQ(thrown([&] { files.MakeDir("/Pictures"); }), FileProblem::kExists);
  EXPECT_EQ(thrown([&] { files.Replace("/readme.txt", "/Documents"); }), FileProblem::kIsFolder);
  EXPECT_EQ(thrown([&] { files.Replace("/readme.txt", "/Documents/r.txt"); }),
            FileProblem::kOtherFolder);
  EXPECT_EQ(ErrorOf([&] { files.Replace("/readme.txt", "/Documents/r.txt"); }).Kind(),
            SessionErrorKind::kBadName);
  EXPECT_EQ(ErrorOf([&] { files.Open("/nowhere.txt"); }).Kind(), SessionErrorKind::kRefused);
  char byte = 0;
  EXPECT_EQ(ErrorOf([&] { files.Read(99, &byte, 1, 0); }).Kind(), SessionErrorKind::kLocal);
  // The phone's own refusals come as the session gives them.
  EXPECT_EQ(ErrorOf([&] { files.Remove("/nowhere.txt"); }).Code(), 0xC4);

  // A flush the phone does not answer fails naming the file; it is said
  // once, not sent again when the handle closes.
  const FileHandle h = files.Create("/lost.txt");
  files.Write(h, "lost", 4, 0);
  phone_->Listening(false);
  const SessionError e = ErrorOf([&] { files.Flush(h); });
  EXPECT_EQ(e.Kind(), SessionErrorKind::kTimeout);
  EXPECT_EQ(std::string(e.what()).rfind("put /lost.txt failed (", 0), 0u) << e.what();
  phone_->Listening(true);
  files.Release(h);
  EXPECT_EQ(Stored({}, "lost.txt"), "<none>");
}

}  // namespace
}  // namespace quorvalen
