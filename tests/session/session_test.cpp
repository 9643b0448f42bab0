// The session against the simulated phone in virtual time, for each phone
// family: every operation with nested paths and awkward names, names that
// cannot be sent, the phone's refusals, a lost answer, cancelling, and a
// 16 MB GET that streams.
#include "quorvalen/session.h"

#include <gtest/gtest.h>

#include "quorvalen/quorvalen.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/virtual_platform.h"
#include "session/error_of.h"

namespace quorvalen {
namespace {

using sim::FolderPath;

struct Family {
  int phone;                      // the simulated phone's family
  std::optional<int> configured;  // MobileType given to the session, or found
  int expected;                   // MobileType in force
  int com_type = 0;               // 1: over infrared
};

class SessionTest : public ::testing::TestWithParam<Family> {
 protected:
  SessionTest() {
    sim::PhoneOptions o;
    o.family = GetParam().phone;
    auto store = std::make_unique<sim::SampleStore>();
    store_ = store.get();
    if (GetParam().com_type == 1) {
      infrared_ = std::make_unique<sim::VirtualInfraredPhone>(platform_, o, std::move(store));
    } else {
      cable_ = std::make_unique<sim::VirtualPhone>(platform_, 1, o, std::move(store));
    }
    options_.com_type = GetParam().com_type;
    options_.mobile_type = GetParam().configured;
    options_.settings = {{"TimeOut", "5000"}};
  }
  void Open() { session_ = Session::Open(platform_, options_); }
  std::string Stored(const FolderPath& folder, const std::string& name) {
    std::string data;
    EXPECT_EQ(store_->Read(folder, name, data), sim::StoreStatus::kOk) << name;
    return data;
  }
  std::string Fetch(const std::string& path) {
    std::string data;
    session_->Get(path, [&](std::string_view bytes) { data += bytes; });
    return data;
  }
  void Store(const std::string& data, const std::string& path, const Progress& progress = {}) {
    session_->Put(data, path, progress);
  }
  const RemoteEntry* Find(const FolderListing& listing, const std::string& name) {
    for (const RemoteEntry& e : listing.entries) {
      if (e.name == name) return &e;
    }
    return nullptr;
  }

  sim::SimulatedPhone& Phone() { return cable_ ? cable_->Phone() : infrared_->Phone(); }
  void Listening(bool on) { cable_ ? cable_->Listening(on) : infrared_->Listening(on); }
  // Every byte the host has sent to the phone.
  const std::string& Written() {
    return cable_ ? cable_->Line().HostWritten() : infrared_->Link().HostWritten();
  }

  VirtualPlatform platform_;
  sim::SampleStore* store_;
  std::unique_ptr<sim::VirtualPhone> cable_;
  std::unique_ptr<sim::VirtualInfraredPhone> infrared_;
  SessionOptions options_;
  std::unique_ptr<Session> session_;
};

TEST_P(SessionTest, EveryOperation) {
  Open();
  EXPECT_EQ(session_->MobileType(), GetParam().expected);
  EXPECT_EQ(session_->MobileTypeFound(),
            !GetParam().configured.has_value() && GetParam().com_type != 1);
  const PhoneIdentity id = session_->Identify();
  EXPECT_EQ(id.manufacturer, "Quorvalen Labs");
  EXPECT_EQ(id.model, "QV-100");
  EXPECT_EQ(id.revision, "QV-1.0.0");
  EXPECT_EQ(id.serial_number.size(), 15u);

  FolderListing root = session_->List("/");
  ASSERT_NE(Find(root, "Documents"), nullptr);
  EXPECT_TRUE(Find(root, "Documents")->folder);
  ASSERT_NE(Find(root, "readme.txt"), nullptr);
  EXPECT_EQ(Find(root, "readme.txt")->size, Stored({}, "readme.txt").size());
  EXPECT_TRUE(Find(root, "readme.txt")->modified.has_value());
  EXPECT_EQ(Find(root, "readme.txt")->permissions, "RW");

  // Nested folders, a name with a space, a name with a Latin-1 letter.
  FolderListing holiday = session_->List("/Pictures/Holiday/");
  ASSERT_NE(Find(holiday, "beach.jpg"), nullptr);
  EXPECT_EQ(Fetch("/Pictures/Holiday/beach.jpg"), Stored({"Pictures", "Holiday"}, "beach.jpg"));
  EXPECT_EQ(Fetch("Documents/Meeting notes.txt"), Stored({"Documents"}, "Meeting notes.txt"));
  EXPECT_EQ(Fetch("/Documents/Caf\xC3\xA9.txt"), Stored({"Documents"}, "Caf\xC3\xA9.txt"));
  EXPECT_EQ(Fetch("/empty.txt"), "");
  EXPECT_EQ(Fetch("/Pictures/logo.png"), Stored({"Pictures"}, "logo.png"));

  // Write, in several packets, into a new folder; rename; permissions; remove.
  session_->MakeFolder("/Music/Albums");
  std::string data;
  for (int i = 0; i < 100000; ++i) data += static_cast<char>(i * 13 + i / 256);
  std::vector<uint64_t> done;
  Store(data, "/Music/Albums/Song \xC3\xA0 moi.bin", [&](uint64_t d, uint64_t total) {
    EXPECT_EQ(total, data.size());
    done.push_back(d);
    return true;
  });
  EXPECT_EQ(Stored({"Music", "Albums"}, "Song \xC3\xA0 moi.bin"), data);
  ASSERT_GT(done.size(), 2u);
  EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
  EXPECT_EQ(done.back(), data.size());
  session_->Rename("/Music/Albums/Song \xC3\xA0 moi.bin", "song.bin");
  EXPECT_EQ(Stored({"Music", "Albums"}, "song.bin"), data);
  session_->SetPermissions("/Music/Albums/song.bin", "R");
  EXPECT_EQ(Find(session_->List("/Music/Albums"), "song.bin")->permissions, "R");
  EXPECT_EQ(session_->KnownSize("/Music/Albums/song.bin"), data.size());
  const MemoryInfo memory = session_->Memory();
  EXPECT_GT(memory.total, 0u);
  EXPECT_LE(memory.free, memory.total);
  session_->Remove("/Music/Albums/song.bin");
  EXPECT_EQ(session_->List("/Music/Albums").entries.size(), 0u);

  // An AT line in OBEX mode takes the phone back to AT mode first; the next
  // file operation switches again and starts from the root.
  const AtAnswer signal = session_->At("AT+CSQ");
  EXPECT_EQ(signal.lines, std::vector<std::string>{"+CSQ: 21,99"});
  EXPECT_EQ(signal.final, "OK");
  EXPECT_EQ(session_->At("AT+NOSUCH").final, "ERROR");
  EXPECT_EQ(Fetch("/Pictures/Holiday/sunset.jpg"), Stored({"Pictures", "Holiday"}, "sunset.jpg"));
  session_->Close();
  EXPECT_FALSE(session_->IsOpen());
  EXPECT_EQ(Phone().CurrentMode(), sim::SimulatedPhone::Mode::kAt);
  EXPECT_EQ(ErrorOf([&] { session_->List("/"); }).Kind(), SessionErrorKind::kClosed);
}

TEST_P(SessionTest, FoldersChangeOnlyWhenTheyMust) {
  options_.trace_path = "t.log";
  Open();
  session_->List("/Pictures/Holiday");
  Fetch("/Pictures/Holiday/beach.jpg");
  Fetch("/Pictures/logo.png");
  Fetch("/Pictures/Holiday/sunset.jpg");
  Fetch("/readme.txt");
  session_->At("AT");  // out of OBEX mode: the next connect starts at the root
  Fetch("/Pictures/logo.png");
  std::vector<std::string> changes;
  const std::string& trace = platform_.Files()["t.log"];
  for (size_t at = 0; (at = trace.find(" OBEX>   :CD :", at)) != std::string::npos; ++at) {
    changes.push_back(trace.substr(at + 14, trace.find('\r', at) - at - 14));
  }
  EXPECT_EQ(changes,
            (std::vector<std::string>{"Pictures", "Holiday", "..", "Holiday", "/", "Pictures"}));
}

TEST_P(SessionTest, NamesThatCannotBeSentAreRefusedBeforeAnythingIsSent) {
  Open();
  session_->List("/Documents");
  const size_t written = Written().size();
  for (const std::string& path :
       {std::string("/Documents/\xE2\x82\xAC.txt"), std::string("/a\\b.txt"),
        std::string("/x,LONG.txt"), std::string("/") + std::string(124, 'n'), std::string("/..")}) {
    const SessionError e = ErrorOf([&] { Store("x", path); });
    EXPECT_EQ(e.Kind(), SessionErrorKind::kBadName) << path;
    EXPECT_NE(std::string(e.what()).find("/"), std::string::npos) << e.what();
  }
  EXPECT_EQ(ErrorOf([&] { session_->Rename("/readme.txt", "/Documents/r.txt"); }).Kind(),
            SessionErrorKind::kBadName);
  EXPECT_EQ(Written().size(), written);
}

TEST_P(SessionTest, RefusalsAreNamedAndLeaveTheSessionUsable) {
  Open();
  SessionError e = ErrorOf([&] { Fetch("/Documents/missing.txt"); });
  EXPECT_EQ(e.Kind(), SessionErrorKind::kRefused);
  EXPECT_EQ(e.Code(), 0xC4);
  EXPECT_STREQ(e.what(), "not found");
  e = ErrorOf([&] { session_->List("/Pictures/Nowhere"); });
  EXPECT_EQ(e.Code(), 0xC4);
  EXPECT_STREQ(e.what(), "cannot enter /Pictures/Nowhere: not found");
  e = ErrorOf([&] { session_->Remove("/Pictures"); });  // not empty
  EXPECT_EQ(e.Kind(), SessionErrorKind::kRefused);
  EXPECT_EQ(e.Code(), 0xCC);
  // The folder the failed change left the phone in is known: this works.
  EXPECT_EQ(Fetch("/Pictures/logo.png"), Stored({"Pictures"}, "logo.png"));
}

TEST_P(SessionTest, ALostAnswerTimesOutAndTheNextCallWorks) {
  options_.retries = 0;
  Open();
  session_->List("/");
  // The phone hears nothing for 6 s: the GET is lost, the way back to AT
  // mode that follows its time-out gets through.
  Listening(false);
  platform_.Loop().After(6'000'000'000, VirtualEventLoop::Domain::kWorld, [&] { Listening(true); });
  const int64_t start = platform_.Loop().NowMs();
  const SessionError e = ErrorOf([&] { Fetch("/readme.txt"); });
  EXPECT_EQ(e.Kind(), SessionErrorKind::kTimeout);
  EXPECT_STREQ(e.what(), "the phone stopped answering");
  EXPECT_LT(platform_.Loop().NowMs() - start, 5000 + 10000);
  ASSERT_TRUE(session_->IsOpen());
  EXPECT_EQ(Fetch("/readme.txt"), Stored({}, "readme.txt"));
}

// With tries again (three unless told), a transfer the line broke is done
// again from its start, its sink started afresh; one whose bytes cannot be
// taken back, and a refusal, are not tried again.
TEST_P(SessionTest, ATransferTheLineBrokeIsTriedAgain) {
  std::vector<RetryNote> notes;
  options_.on_retry = [&](const RetryNote& note) { notes.push_back(note); };
  Open();
  const std::string path = "/Pictures/Holiday/beach.jpg";
  // After the first packet the phone hears nothing for 6 s.
  auto stall_once = [&]() -> Progress {
    auto stalled = std::make_shared<bool>(false);
    return [this, stalled](uint64_t done, uint64_t) {
      if (done > 0 && !*stalled) {
        *stalled = true;
        Listening(false);
        platform_.Loop().After(6'000'000'000, VirtualEventLoop::Domain::kWorld,
                               [this] { Listening(true); });
      }
      return true;
    };
  };
  std::string got;
  int restarts = 0;
  session_->Get(
      path, [&](std::string_view bytes) { got += bytes; }, stall_once(),
      [&] {
        ++restarts;
        got.clear();
        return true;
      });
  EXPECT_TRUE(got == Stored({"Pictures", "Holiday"}, "beach.jpg"));
  EXPECT_EQ(restarts, 1);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].operation, "get " + path);
  EXPECT_EQ(notes[0].attempt, 1);
  EXPECT_EQ(notes[0].of, 3);
  EXPECT_EQ(notes[0].reason, "the phone stopped answering");

  // Bytes gone where they cannot be taken back (no restart).
  got.clear();
  const SessionError e = ErrorOf([&] {
    session_->Get(
        path, [&](std::string_view bytes) { got += bytes; }, stall_once());
  });
  EXPECT_EQ(e.Kind(), SessionErrorKind::kTimeout);
  EXPECT_NE(std::string(e.what()).find("not tried again: "), std::string::npos) << e.what();
  EXPECT_EQ(notes.size(), 1u);
  ASSERT_TRUE(session_->IsOpen());
  // The phone's "no" is an answer, not a failure of the line.
  EXPECT_EQ(ErrorOf([&] { Fetch("/missing.txt"); }).Kind(), SessionErrorKind::kRefused);
  EXPECT_EQ(notes.size(), 1u);
}

// A transfer cancelled by its progress ends at its next packet: the phone is
// told to abort (a PUT leaves no file behind), and it is back in AT mode
// within a few seconds, whatever TimeOut says; the next call works.
TEST_P(SessionTest, ACancelledTransferEndsAtItsNextPacket) {
  options_.settings = {{"TimeOut", "20000"}};
  Open();
  int64_t cancelled_at = 0;
  auto cancel_after = [&](uint64_t bytes) {
    return [&, bytes](uint64_t done, uint64_t) {
      if (done < bytes) return true;
      cancelled_at = platform_.Loop().NowMs();
      return false;
    };
  };
  auto back_in_at_mode = [&] {
    if (cable_) {
      EXPECT_EQ(Phone().CurrentMode(), sim::SimulatedPhone::Mode::kAt);
    }
  };

  std::string got;
  SessionError e = ErrorOf([&] {
    session_->Get(
        "/Videos/clip.3gp", [&](std::string_view bytes) { got += bytes; }, cancel_after(5000));
  });
  EXPECT_EQ(e.Kind(), SessionErrorKind::kCancelled);
  EXPECT_LT(platform_.Loop().NowMs() - cancelled_at, 3000);
  EXPECT_LT(got.size(), 20000u);
  back_in_at_mode();

  const std::string data = sim::SampleBytes(5, 200000);
  e = ErrorOf([&] { Store(data, "/Music/big.bin", cancel_after(50000)); });
  EXPECT_EQ(e.Kind(), SessionErrorKind::kCancelled);
  EXPECT_LT(platform_.Loop().NowMs() - cancelled_at, 3000);
  back_in_at_mode();
  std::string stored;
  EXPECT_EQ(store_->Read({"Music"}, "big.bin", stored), sim::StoreStatus::kNotFound);

  ASSERT_TRUE(session_->IsOpen());
  EXPECT_EQ(Fetch("/Pictures/logo.png"), Stored({"Pictures"}, "logo.png"));
  Store("small", "/Music/small.txt");
  EXPECT_EQ(Stored({"Music"}, "small.txt"), "small");
}

INSTANTIATE_TEST_SUITE_P(Families, SessionTest,
                         ::testing::Values(Family{0, 0, 0}, Family{1, 1, 1}, Family{2, 2, 2},
                                           Family{0, std::nullopt, 0}, Family{2, std::nullopt, 1},
                                           Family{1, std::nullopt, 0, 1}),
                         [](const auto& info) {
                           return "Phone" + std::to_string(info.param.phone) +
                                  (info.param.configured ? "Given" : "Found") +
                                  (info.param.com_type == 1 ? "Infrared" : "");
                         });

// With a quick time-out, a request but a file's GET or PUT waits that long
// for an answer that was lost, and a file keeps TimeOut; the way back to AT
// mode that follows keeps the session open.
// The phone's store, which tells of each file it stores.
class WatchedStore : public sim::SampleStore {
 public:
  std::function<void()> on_write;
  sim::StoreStatus Write(const FolderPath& folder, std::string_view name,
                         std::string_view data) override {
    const sim::StoreStatus status = SampleStore::Write(folder, name, data);
    if (on_write) on_write();
    return status;
  }
};

// A phone whose answer to the last packet of a PUT can be lost (for 3 s),
// and a session that waits 2 s for an answer and notes its tries again.
class SessionLostPutAnswer : public ::testing::Test {
 protected:
  SessionLostPutAnswer() {
    auto store = std::make_unique<WatchedStore>();
    watched_ = store.get();
    phone_ =
        std::make_unique<sim::VirtualPhone>(platform_, 1, sim::PhoneOptions{}, std::move(store));
    SessionOptions options;
    options.mobile_type = 1;
    options.settings = {{"TimeOut", "2000"}};
    options.on_retry = [this](const RetryNote& note) { notes_.push_back(note); };
    session_ = Session::Open(platform_, options);
  }
  // Every file stored is counted; the answer to the next one is lost.
  void LoseNextAnswer() {
    watched_->on_write = [this, first = true]() mutable {
      ++writes_;
      if (!first) return;
      first = false;
      phone_->Speaking(false);
      platform_.Loop().After(3'000'000'000, VirtualEventLoop::Domain::kWorld,
                             [this] { phone_->Speaking(true); });
    };
  }
  std::string Stored(const FolderPath& folder, const std::string& name) {
    std::string bytes;
    EXPECT_EQ(watched_->Read(folder, name, bytes), sim::StoreStatus::kOk) << name;
    return bytes;
  }

  VirtualPlatform platform_;
  WatchedStore* watched_;
  std::unique_ptr<sim::VirtualPhone> phone_;
  int writes_ = 0;
  std::vector<RetryNote> notes_;
  std::unique_ptr<Session> session_;
};

// A PUT whose last answer is lost although the phone stored the file: the
// listing read before trying again shows it stored, so it is neither sent a
// second time nor reported as failed.
TEST_F(SessionLostPutAnswer, APutStoredWhoseAnswerWasLostIsNotSentAgain) {
  session_->List("/Documents");
  const std::string data = sim::SampleBytes(3, 3000);
  LoseNextAnswer();
  session_->Put(data, "/Documents/new.bin");
  EXPECT_EQ(writes_, 1);
  EXPECT_EQ(notes_.size(), 1u);
  EXPECT_TRUE(Stored({"Documents"}, "new.bin") == data);
  // Without a listing to tell, it is sent again (the same bytes).
  LoseNextAnswer();
  session_->Put(data, "/Music/new.bin");
  EXPECT_EQ(writes_, 3);
}

// The control holds the only copy of a file being sent, and a try that
// failed leaves none: a PUT tried again reads its source again from the
// first byte, once restart has taken it back there. A source that cannot
// start again is not tried again after it gave its bytes, and the error
// says so, unless the folder's listing shows the lost answer's PUT done.
TEST_F(SessionLostPutAnswer, APutTriedAgainReadsItsSourceAgainFromTheStart) {
  const std::string data = sim::SampleBytes(6, 5000);
  size_t at = 0, given = 0;
  const Source source = [&](char* buffer, size_t size) {
    const size_t n = std::min(size, data.size() - at);
    data.copy(buffer, n, at);
    at += n;
    given += n;
    return n;
  };

  // Nothing listed tells that the first try stored it: sent again, read
  // again whole from its first byte.
  LoseNextAnswer();
  int restarts = 0;
  std::vector<uint64_t> progress;
  session_->Put(
      source, data.size(), "/Music/a.bin",
      [&](uint64_t done, uint64_t) {
        progress.push_back(done);
        return true;
      },
      [&] {
        ++restarts;
        at = 0;
        return true;
      });
  EXPECT_EQ(restarts, 1);
  EXPECT_EQ(given, 2 * data.size());
  EXPECT_EQ(writes_, 2);
  EXPECT_TRUE(Stored({"Music"}, "a.bin") == data);
  ASSERT_EQ(notes_.size(), 1u);
  EXPECT_EQ(notes_[0].operation, "put /Music/a.bin");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), data.size());

  // A source that cannot start again: the error says why there was no try
  // again, and nothing more was read from it.
  for (const bool throws : {false, true}) {
    SCOPED_TRACE(throws ? "restart throws" : "restart refuses");
    LoseNextAnswer();
    writes_ = 0;
    at = given = 0;
    notes_.clear();
    const SessionError e = ErrorOf([&] {
      session_->Put(source, data.size(), "/Music/b.bin", {}, [&]() -> bool {
        if (throws) throw std::runtime_error("the disk went away");
        return false;
      });
    });
    EXPECT_EQ(e.Kind(), SessionErrorKind::kTimeout);
    EXPECT_NE(std::string(e.what()).find(
                  throws ? "(not tried again: its source cannot start again: the disk went away)"
                         : "(not tried again: its source cannot be read again from its start)"),
              std::string::npos)
        << e.what();
    EXPECT_EQ(given, data.size());
    EXPECT_EQ(writes_, 1);
    EXPECT_TRUE(notes_.empty());
    ASSERT_TRUE(session_->IsOpen());
  }

  // Without restart, but with the folder listed before: the listing shows
  // the file stored, and the PUT is done.
  session_->List("/Documents");
  LoseNextAnswer();
  writes_ = 0;
  at = given = 0;
  session_->Put(source, data.size(), "/Documents/c.bin");
  EXPECT_EQ(given, data.size());
  EXPECT_EQ(writes_, 1);
  EXPECT_TRUE(Stored({"Documents"}, "c.bin") == data);

  // A source that gave nothing (an empty file) needs no restart.
  LoseNextAnswer();
  writes_ = 0;
  session_->Put(SourceOf(""), 0, "/Music/empty.bin");
  EXPECT_EQ(writes_, 2);
}

TEST(SessionQuickTimeout, OnlyFilesKeepTimeOut) {
  // (On raw OBEX, where nothing asks for a lost answer again, and without
  // tries again: each loss is a time-out.)
  VirtualPlatform platform;
  sim::PhoneOptions phone_options;
  phone_options.family = 0;
  sim::VirtualPhone phone(platform, 1, phone_options, std::make_unique<sim::SampleStore>());
  SessionOptions options;
  options.mobile_type = 0;
  options.retries = 0;
  options.settings = {{"TimeOut", "5000"}};
  options.quick_timeout_ms = 2000;
  auto session = Session::Open(platform, options);
  // In OBEX mode, the phone hears nothing for a second: the request is
  // lost.
  auto lost = [&](auto call) {
    session->List("/");
    phone.Listening(false);
    platform.Loop().After(1'000'000'000, VirtualEventLoop::Domain::kWorld,
                          [&] { phone.Listening(true); });
    const int64_t start = platform.Loop().NowMs();
    EXPECT_EQ(ErrorOf(call).Kind(), SessionErrorKind::kTimeout);
    EXPECT_TRUE(session->IsOpen());
    return platform.Loop().NowMs() - start;
  };
  EXPECT_LT(lost([&] { session->List("/"); }), 5000);
  EXPECT_GE(lost([&] { session->Get("/readme.txt", [](std::string_view) {}); }), 5000);
  EXPECT_LT(lost([&] { session->Memory(); }), 5000);
}

TEST(SessionOpening, NoPhoneIsNamedAndAMissingPortToo) {
  VirtualPlatform platform;
  platform.AddLine(1);  // a cable with nothing at the other end
  SessionOptions options;
  try {
    Session::Open(platform, options);
    ADD_FAILURE();
  } catch (const SessionError& e) {
    EXPECT_EQ(e.Kind(), SessionErrorKind::kNoPhone);
    EXPECT_STREQ(e.what(),
                 "no phone answered on port 1 (nor to the ways back from BFB and raw "
                 "OBEX mode)");
  }
  options.comm_port = 7;
  try {
    Session::Open(platform, options);
    ADD_FAILURE();
  } catch (const SessionError& e) {
    EXPECT_EQ(e.Kind(), SessionErrorKind::kLink);
  }
}

// A phone a host left in BFB or raw OBEX mode (it died mid-transfer) is
// brought back by the opening; one that hears nothing is reported as such,
// in bounded time.
TEST(SessionOpening, APhoneLeftInAnObexModeIsBroughtBack) {
  for (int family : {1, 2, 0}) {
    VirtualPlatform platform;
    sim::PhoneOptions o;
    o.family = family;
    sim::VirtualPhone phone(platform, 1, o, std::make_unique<sim::SampleStore>());
    {
      // A host that switched the phone into OBEX mode and went away.
      Quorvalen control(platform);
      control.MobileType(family);
      control.Command("SPEC>OPEN");
      control.Command("OBEX>DIR:");
      platform.Loop().RunUntil([&] { return control.StackCount() == 0; }, 60000);
    }
    ASSERT_NE(phone.Phone().CurrentMode(), sim::SimulatedPhone::Mode::kAt) << family;
    SessionOptions options;
    options.mobile_type = family;
    auto session = Session::Open(platform, options);
    EXPECT_NE(session->Recovered().find(family == 0 ? "raw OBEX mode" : "BFB mode"),
              std::string::npos)
        << session->Recovered();
    EXPECT_FALSE(session->List("/Pictures").entries.empty());
  }
  VirtualPlatform platform;
  sim::VirtualPhone phone(platform, 1, sim::PhoneOptions{}, std::make_unique<sim::SampleStore>());
  phone.Listening(false);
  const int64_t start = platform.Loop().NowMs();
  try {
    Session::Open(platform, SessionOptions{});
    ADD_FAILURE();
  } catch (const SessionError& e) {
    EXPECT_EQ(e.Kind(), SessionErrorKind::kNoPhone);
    EXPECT_STREQ(e.what(),
                 "no phone answered on port 1 (nor to the ways back from BFB and raw "
                 "OBEX mode)");
  }
  EXPECT_LT(platform.Loop().NowMs() - start, 60000);
}

// 16 MB in virtual time: the file never sits in the control whole, and the
// sink sees it in packet-sized pieces.
TEST(SessionGet, SixteenMegabytesStream) {
  VirtualPlatform platform;
  sim::PhoneOptions o;
  o.family = 2;
  o.packet_size = 16384;
  auto store = std::make_unique<sim::MemoryStore>();
  std::string file = sim::SampleBytes(9, 16 << 20);
  store->Write({}, "big.bin", file);
  sim::VirtualPhone phone(platform, 1, o, std::move(store));
  SessionOptions options;
  options.mobile_type = 2;
  auto session = Session::Open(platform, options);
  size_t at = 0, largest = 0, held = 0;
  bool same = true;
  session->Get(
      "/big.bin",
      [&](std::string_view bytes) {
        same = same && bytes == std::string_view(file).substr(at, bytes.size());
        at += bytes.size();
        largest = std::max(largest, bytes.size());
      },
      [&](uint64_t, uint64_t) {
        held = std::max(held, session->Control().OBEX_DataRead().size());
        return true;
      });
  EXPECT_EQ(at, file.size());
  EXPECT_TRUE(same);
  EXPECT_LE(largest, 16384u);
  EXPECT_LE(held, 16384u);
}

// A line that doubles, damages and delays the phone's answers (so that the
// phone also re-sends them): a GET either brings the file byte-exact or
// fails, never brings other bytes. On BFB the session's guard keeps the
// damaged and repeated blocks from the control; raw OBEX has no check, and
// there the session reads twice when asked to verify.
// On a BFB line whose phone does not send an unacknowledged answer again,
// the guard asks for a lost or damaged answer by sending the request again:
// 60 KB transfers complete, byte-exact, without a try again from the start.
TEST(SessionDamagedLine, LostAnswersAreAskedForAgain) {
  for (int family : {1, 2}) {
    for (const bool corrupt : {true, false}) {
      VirtualPlatform platform;
      sim::PhoneOptions o;
      o.family = family;
      o.seed = 7;
      (corrupt ? o.faults.corrupt : o.faults.drop) = corrupt ? 0.0002 : 0.01;
      auto store = std::make_unique<sim::MemoryStore>();
      const std::string file = sim::SampleBytes(9, 60 * 1024);
      store->Write({}, "f.bin", file);
      sim::VirtualPhone phone(platform, 1, o, std::move(store));
      SessionOptions options;
      options.mobile_type = family;
      options.retries = 0;
      auto session = Session::Open(platform, options);
      for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("family " + std::to_string(family) + (corrupt ? " corrupt" : " drop") +
                     " round " + std::to_string(round));
        const int64_t start = platform.Loop().NowMs();
        std::string got;
        session->Get("/f.bin", [&](std::string_view bytes) { got += bytes; });
        EXPECT_TRUE(got == file);
        const std::string back = sim::SampleBytes(round, 60 * 1024);
        session->Put(SourceOf(back), back.size(), "/back.bin");
        std::string stored;
        phone.Store().Read({}, "back.bin", stored);
        EXPECT_TRUE(stored == back);
        // Lost answers cost a short silence each, not a request time-out:
        // the two transfers take less than twice their bytes' time on the
        // line (10 bits a byte) and the switches.
        const int64_t line_ms = int64_t{2} * 60 * 1024 * 10 * 1000 / (family == 2 ? 115200 : 57600);
        EXPECT_LT(platform.Loop().NowMs() - start, 2 * line_ms + 10000);
      }
    }
  }
}

// Over infrared the link repeats what it lost or damaged (IrLAP): the
// session sees late answers only, and transfers go through whole.
TEST(SessionDamagedLine, AnInfraredLinkRepeatsWhatItLost) {
  VirtualPlatform platform;
  sim::PhoneOptions o;
  o.seed = 3;
  o.faults.drop = 0.02;
  o.faults.corrupt = 0.0002;
  o.faults.duplicate = o.faults.garbage = 0.05;
  auto store = std::make_unique<sim::MemoryStore>();
  const std::string file = sim::SampleBytes(4, 60 * 1024);
  store->Write({}, "f.bin", file);
  sim::VirtualInfraredPhone phone(platform, o, std::move(store));
  SessionOptions options;
  options.com_type = 1;
  options.retries = 0;
  auto session = Session::Open(platform, options);
  std::string got;
  session->Get("/f.bin", [&](std::string_view bytes) { got += bytes; });
  EXPECT_TRUE(got == file);
  session->Put(SourceOf(file), file.size(), "/back.bin");
  std::string stored;
  phone.Store().Read({}, "back.bin", stored);
  EXPECT_TRUE(stored == file);
}

TEST(SessionDamagedLine, AGetIsExactOrFails) {
  for (int family : {1, 2, 0}) {
    VirtualPlatform platform;
    sim::PhoneOptions o;
    o.family = family;
    // Raw OBEX survives no doubled or stray bytes at all: there only the
    // damage that verifying catches.
    o.faults.duplicate = family ? 0.2 : 0;
    o.faults.corrupt = family ? 0.0002 : 0.00003;
    o.faults.garbage = family ? 0.05 : 0;
    o.faults.delay = 0.2;
    o.faults.delay_ms = 300;
    o.faults.resend_ms = 250;
    auto store = std::make_unique<sim::MemoryStore>();
    const std::string file = sim::SampleBytes(5, 20000);
    store->Write({}, "f.bin", file);
    sim::VirtualPhone phone(platform, 1, o, std::move(store));
    SessionOptions options;
    options.mobile_type = family;
    options.settings = {{"TimeOut", "2000"}};
    options.verify = family == 0;
    int exact = 0, failed = 0;
    for (int round = 0; round < 8; ++round) {
      std::unique_ptr<Session> session;
      try {
        session = Session::Open(platform, options);
      } catch (const SessionError&) {
        continue;
      }
      std::string got;
      try {
        session->Get("/f.bin", [&](std::string_view bytes) { got += bytes; });
        EXPECT_EQ(got.size(), file.size()) << "family " << family << " round " << round;
        EXPECT_TRUE(got == file) << "family " << family << " round " << round;
        ++exact;
      } catch (const SessionError&) {
        ++failed;
      }
    }
    EXPECT_GT(exact, 0) << "family " << family;
    EXPECT_GT(failed + exact, 4) << "family " << family;
  }
}

}  // namespace
}  // namespace quorvalen
