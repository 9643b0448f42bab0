// The OBEX road against the simulated phone in virtual time, for every
// phone family on a serial cable, over infrared and on a USB cable: the switch into OBEX mode,
// listings, transfers of every awkward size, folder and file operations,
// the way back to AT mode, automatic block length and a lost response.
#include <gtest/gtest.h>

#include "quorvalen/byte_text.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "support/control_fixture.h"

namespace quorvalen {
namespace {

struct Road {
  int com_type;
  int mobile_type;
};

class SimObexRoad : public ControlTest, public ::testing::WithParamInterface<Road> {
 protected:
  SimObexRoad() {
    sim::PhoneOptions o;
    o.family = GetParam().mobile_type;
    o.cable = GetParam().com_type == 2 ? sim::Cable::kUsb : sim::Cable::kSerial;
    auto store = std::make_unique<sim::SampleStore>();
    store_ = store.get();
    if (GetParam().com_type == 1) {
      infrared_ = std::make_unique<sim::VirtualInfraredPhone>(platform, o, std::move(store));
      phone_ = &infrared_->Phone();
      listening_ = [this](bool on) { infrared_->Listening(on); };
    } else {
      cable_ = std::make_unique<sim::VirtualPhone>(platform, 1, o, std::move(store));
      phone_ = &cable_->Phone();
      listening_ = [this](bool on) { cable_->Listening(on); };
    }
    control.ComType(GetParam().com_type);
    control.MobileType(GetParam().mobile_type);
    control.TimeOut(5000);
  }

  // Writes the commands, runs until the queue is idle, and returns the
  // answers raised meanwhile (queue reports left out).
  AckList Run(const std::vector<std::string>& commands, int64_t limit_ms = 600000) {
    acks.clear();
    for (const auto& c : commands) control.Command(c);
    EXPECT_TRUE(platform.Loop().RunUntil(
        [&] { return internals.RawStackCount() == 0 && !internals.ExecutorBusy(); }, limit_ms));
    AckList answers;
    for (const auto& a : acks) {
      if (a.first != "STACK+" && a.first != "STACK-") answers.push_back(a);
    }
    return answers;
  }
  // The answer the host got for a command, or "(none)".
  static std::string AnswerTo(const AckList& answers, const std::string& command) {
    for (auto it = answers.rbegin(); it != answers.rend(); ++it) {
      if (it->first == command) return it->second;
    }
    return "(none)";
  }
  void Open() { ASSERT_EQ(AnswerTo(Run({"SPEC>OPEN"}), "SPEC>OPEN"), "OK"); }

  std::string Put(const std::string& name, const std::string& data) {
    control.OBEX_DataSend(data);
    return AnswerTo(Run({"OBEX>PUT:" + name}), "OBEX>PUT:" + name).substr(0, 2);
  }
  std::string Get(const std::string& name) {
    std::string code = AnswerTo(Run({"OBEX>GET:" + name}), "OBEX>GET:" + name).substr(0, 2);
    return code == "A0" ? control.OBEX_DataRead() : "code " + code;
  }

  sim::SampleStore* store_;
  // The phone on the cable or over infrared.
  std::unique_ptr<sim::VirtualPhone> cable_;
  std::unique_ptr<sim::VirtualInfraredPhone> infrared_;
  sim::SimulatedPhone* phone_;
  std::function<void(bool)> listening_;
};

TEST_P(SimObexRoad, ListsTheRootAndGoesBackToAt) {
  Open();
  AckList answers = Run({"OBEX>DIR:"});
  EXPECT_EQ(AnswerTo(answers, "OBEX>CON:6B01CB31410611D49A770050DA3F471F").substr(0, 2), "A0");
  EXPECT_EQ(AnswerTo(answers, "OBEX>DIR:").substr(0, 2), "A0");
  EXPECT_EQ(internals.LinkMode(), ControlCore::kObexMode);
  const std::string listing = control.OBEX_DataRead();
  EXPECT_NE(listing.find("<folder name=\"Documents\""), std::string::npos) << listing;
  EXPECT_NE(listing.find("<file name=\"readme.txt\""), std::string::npos);
  EXPECT_EQ(listing.find("parent-folder"), std::string::npos);

  answers = Run({"AT+CGMM"});
  EXPECT_EQ(AnswerTo(answers, "OBEX>DCO:"), "A00003");
  EXPECT_EQ(AnswerTo(answers, "AT+CGMM"), "OK");
  EXPECT_EQ(answers.back(), (Ack{"AT+CGMM", "OK"}));
  EXPECT_EQ(control.AT_DataRead(), "QV-100\r\n");
  EXPECT_EQ(internals.LinkMode(), ControlCore::kAtMode);
  EXPECT_EQ(phone_->CurrentMode(), sim::SimulatedPhone::Mode::kAt);
  // And into OBEX mode again.
  EXPECT_EQ(AnswerTo(Run({"OBEX>CD :Documents"}), "OBEX>CD :Documents"), "A00003");
  EXPECT_EQ(AnswerTo(Run({"SPEC>CLOSE"}), "SPEC>CLOSE"), "OK");
}

TEST_P(SimObexRoad, TransfersOfEveryAwkwardSizeArriveByteExact) {
  Open();
  // At block length 255 a PUT of "f.bin" fits one packet up to 229 bytes.
  // A GET answer of the phone (512 bytes) holds 501 bytes in its first
  // packet, after the Length header.
  for (size_t size : {size_t{0}, size_t{1}, size_t{229}, size_t{230}, size_t{501}, size_t{502},
                      size_t{300 * 1024}}) {
    const std::string data = sim::SampleBytes(static_cast<uint32_t>(size), size);
    ASSERT_EQ(Put("f.bin", data), "A0") << size;
    std::string stored;
    ASSERT_EQ(store_->Read({}, "f.bin", stored), sim::StoreStatus::kOk);
    EXPECT_TRUE(stored == data) << size << " bytes stored as " << stored.size();
    std::string got = Get("f.bin");
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << size;
  }
  EXPECT_EQ(Get("nothing.here"), "code C4");
}

TEST_P(SimObexRoad, FoldersAndFiles) {
  Open();
  AckList answers = Run({"OBEX>MKD:New", "OBEX>CD :..", "OBEX>CD :\\Pictures\\Holiday\\",
                         "OBEX>DIR:"});
  EXPECT_EQ(AnswerTo(answers, "OBEX>MKD:New"), "A00003");
  EXPECT_EQ(AnswerTo(answers, "OBEX>CD :Holiday"), "A00003");
  EXPECT_NE(control.OBEX_DataRead().find("beach.jpg"), std::string::npos);
  EXPECT_NE(control.OBEX_DataRead().find("<parent-folder"), std::string::npos);
  std::string beach;
  ASSERT_EQ(store_->Read({"Pictures", "Holiday"}, "beach.jpg", beach), sim::StoreStatus::kOk);
  EXPECT_TRUE(Get("beach.jpg") == beach);

  answers = Run({"OBEX>REN:beach.jpg,shore.jpg", "OBEX>CHM:shore.jpg,EXT>R", "OBEX>DIR:"});
  EXPECT_EQ(AnswerTo(answers, "OBEX>REN:beach.jpg,shore.jpg"), "A00003");
  EXPECT_EQ(AnswerTo(answers, "OBEX>CHM:shore.jpg"), "A00003");
  EXPECT_NE(control.OBEX_DataRead().find("name=\"shore.jpg\""), std::string::npos);
  EXPECT_NE(control.OBEX_DataRead().find("user-perm=\"R\""), std::string::npos);
  answers = Run({"OBEX>DEL:shore.jpg", "OBEX>DEL:shore.jpg", "OBEX>CD :/", "OBEX>CD :New"});
  EXPECT_EQ(answers[0], (Ack{"OBEX>DEL:shore.jpg", "A00003"}));
  EXPECT_EQ(answers[1], (Ack{"OBEX>DEL:shore.jpg", "C40003"}));
  EXPECT_EQ(AnswerTo(answers, "OBEX>CD :New"), "A00003");

  answers = Run({"OBEX>MEM:01", "OBEX>MEM:02"});
  const std::string installed = AnswerTo(answers, "OBEX>MEM:01");
  ASSERT_EQ(installed.substr(0, 16), "A0000C4C00093204");
  EXPECT_EQ(installed.substr(16), "04000000");  // 64 MiB
  EXPECT_EQ(AnswerTo(answers, "OBEX>MEM:02").substr(0, 16), "A0000C4C00093204");
}

TEST_P(SimObexRoad, AutomaticBlockLengthFollowsThePhone) {
  Open();
  control.OBEX_BlockLen(0);
  ASSERT_EQ(Get("Videos\\clip.3gp").substr(0, 4), "code");  // a name, not a path
  Run({"OBEX>CD :Videos"});
  std::string clip = Get("clip.3gp");
  EXPECT_EQ(clip.size(), 300u * 1024);
  // The largest body the phone sent in one packet: 512 less 6 bytes.
  EXPECT_EQ(control.OBEX_BlockLen(), 506);
  const std::string data = sim::SampleBytes(9, 5000);
  ASSERT_EQ(Put("up.bin", data), "A0");
  std::string stored;
  ASSERT_EQ(store_->Read({"Videos"}, "up.bin", stored), sim::StoreStatus::kOk);
  EXPECT_TRUE(stored == data);
}

TEST_P(SimObexRoad, ALostRequestTimesOutAndTheNextOneWorks) {
  Open();
  Run({"OBEX>CD :Documents"});
  listening_(false);  // the request is lost on the way
  AckList answers = Run({"OBEX>DIR:"});
  EXPECT_EQ(answers.back(), (Ack{"OBEX>DIR:", "TIMEOUT"}));
  listening_(true);
  answers = Run({"OBEX>DIR:"});
  EXPECT_EQ(AnswerTo(answers, "OBEX>DIR:").substr(0, 2), "A0");
  EXPECT_NE(control.OBEX_DataRead().find("Meeting notes.txt"), std::string::npos);
}

TEST_P(SimObexRoad, AnAtLineWrittenBeforeTheSwitchRanTimesOutInsteadOfHanging) {
  Open();
  // Written while the switch into OBEX mode is still queued, the AT line
  // gets no way back of its own and goes to a phone in OBEX mode.
  AckList answers = Run({"OBEX>DIR:", "AT+CGMM"});
  EXPECT_EQ(AnswerTo(answers, "OBEX>DIR:").substr(0, 2), "A0");
  EXPECT_EQ(answers.back(), (Ack{"AT+CGMM", "TIMEOUT"}));
  // Written now, it brings the way back and gets its answer.
  answers = Run({"AT+CGMM"});
  EXPECT_EQ(answers.back(), (Ack{"AT+CGMM", "OK"}));
  EXPECT_EQ(control.AT_DataRead(), "QV-100\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Families, SimObexRoad,
    ::testing::Values(Road{0, 0}, Road{0, 1}, Road{0, 2}, Road{1, 0}, Road{1, 1}, Road{1, 2},
                      Road{2, 0}, Road{2, 1}, Road{2, 2}),
    [](const ::testing::TestParamInfo<Road>& info) {
      return "ComType" + std::to_string(info.param.com_type) + "MobileType" +
             std::to_string(info.param.mobile_type);
    });

}  // namespace
}  // namespace quorvalen
