// The mount's way with a phone that goes away, below FUSE: its session and
// files layer as the mount makes them, against the simulated phone in
// virtual time. An unplugged phone fails the next operation with EIO in
// seconds; while it stays away operations fail at once, with one try to
// reach it every few seconds; once it answers again, a later operation
// reconnects and sees the phone afresh.
#include "mount.h"

#include <gtest/gtest.h>

#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/virtual_platform.h"
#include "session/error_of.h"

namespace quorvalen::tool {
namespace {

class MountReachTest : public ::testing::TestWithParam<int> {
 protected:
  MountReachTest() {
    sim::PhoneOptions o;
    o.family = GetParam();
    auto store = std::make_unique<sim::SampleStore>();
    store_ = store.get();
    phone_ = std::make_unique<sim::VirtualPhone>(platform_, 1, o, std::move(store));
    first_ = Open(false);
    FilesOptions options = MountFilesOptions(MountOptions{}, [this] {
      ++tries_;
      return Open(true);
    });
    options.clock = &platform_.Time();
    files_ = std::make_unique<PhoneFiles>(*first_, options);
  }
  std::unique_ptr<Session> Open(bool again) {
    SessionOptions options;
    options.mobile_type = GetParam();
    MountSessionOptions(options, again);
    return Session::Open(platform_, options);
  }
  int64_t Now() { return platform_.Loop().NowMs(); }
  // The error of a listing, and how long it took.
  std::pair<SessionErrorKind, int64_t> ListFails(const std::string& folder) {
    const int64_t start = Now();
    const SessionError e = ErrorOf([&] { files_->List(folder); });
    return {e.Kind(), Now() - start};
  }

  VirtualPlatform platform_;
  sim::SampleStore* store_;
  std::unique_ptr<sim::VirtualPhone> phone_;
  std::unique_ptr<Session> first_;
  std::unique_ptr<PhoneFiles> files_;
  int tries_ = 0;
};

TEST_P(MountReachTest, AnUnpluggedPhoneFailsInSecondsAndIsFoundAgain) {
  ASSERT_FALSE(files_->List("/Pictures").entries.empty());
  phone_->Unplug();
  // The first operation that asks the phone: EIO (the session's time-out)
  // within 10 s, and the session closes.
  std::pair<SessionErrorKind, int64_t> failed = ListFails("/Documents");
  EXPECT_EQ(failed.first, SessionErrorKind::kTimeout);
  EXPECT_LT(failed.second, 10'000);
  EXPECT_FALSE(files_->PhoneOpen());
  // The next one tries to reach the phone once, briefly; those after it
  // fail at once until the next try is due.
  failed = ListFails("/Music");
  EXPECT_EQ(failed.first, SessionErrorKind::kNoPhone);
  EXPECT_LT(failed.second, 2'000);
  failed = ListFails("/Music");
  EXPECT_EQ(failed.first, SessionErrorKind::kClosed);
  EXPECT_EQ(failed.second, 0);
  EXPECT_EQ(tries_, 1);
  platform_.Loop().RunFor(kMountReopenMs);
  EXPECT_EQ(ListFails("/Music").first, SessionErrorKind::kNoPhone);
  EXPECT_EQ(tries_, 2);

  // Back, with a file that came while it was away: within one try's
  // interval the mount finds it and lists afresh.
  phone_->Replug();
  store_->Write({"Pictures"}, "new.png", "n");
  EXPECT_EQ(ListFails("/Music").first, SessionErrorKind::kClosed);
  platform_.Loop().RunFor(kMountReopenMs);
  const int64_t start = Now();
  bool listed = false;
  for (const RemoteEntry& e : files_->List("/Pictures").entries)
    listed = listed || e.name == "new.png";
  EXPECT_TRUE(listed);
  EXPECT_LT(Now() - start, 6'000);  // the opening, the switch into OBEX mode, the listing
  EXPECT_TRUE(files_->PhoneOpen());
  EXPECT_EQ(tries_, 3);
}

INSTANTIATE_TEST_SUITE_P(Families, MountReachTest, ::testing::Values(1, 2, 0),
                         [](const auto& info) { return "Phone" + std::to_string(info.param); });

}  // namespace
}  // namespace quorvalen::tool
