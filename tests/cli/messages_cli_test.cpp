// quorvalen sms and contacts in-process, against the simulated phone's
// sample store in virtual time: the exports hold every message with the
// fields an importer needs, rm --exported deletes exactly what the file
// holds, and contacts go out as vCards and come back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "cli/virtual_cli.h"
#include "message_export.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/sim/message_store.h"
#include "quorvalen/vcard.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen::tool {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class MessagesCliTest : public VirtualCli {
 protected:
  MessagesCliTest()
      : MessagesCliTest(std::make_shared<sim::MessageStore>(sim::MessageStore::Sample())) {}
  explicit MessagesCliTest(std::shared_ptr<sim::MessageStore> store)
      : VirtualCli(WithMessages(store), std::make_unique<sim::SampleStore>()), store_(store) {}
  static sim::PhoneOptions WithMessages(std::shared_ptr<sim::MessageStore> store) {
    sim::PhoneOptions options;
    options.messages = std::move(store);
    return options;
  }
  std::string Err() { return err_.Take(); }
  std::string Out() { return out_.Take(); }
  size_t StoredMessages() {
    return store_->Messages("SM").slots.size() + store_->Messages("ME").slots.size();
  }

  std::shared_ptr<sim::MessageStore> store_;
};

TEST_F(MessagesCliTest, BothExportsHoldEveryMessageTheListShows) {
  SmsOptions options;
  options.file = (root_ / "messages.xml").string();
  ASSERT_EQ(RunSmsExport(cli_, options), kExitDone) << Err();
  const std::string xml = ReadAll(options.file);
  options.json = true;
  ASSERT_EQ(RunSmsLs(cli_, options), kExitDone) << Err();
  const auto listed = nlohmann::json::parse(Out());
  ASSERT_GT(listed.size(), 10u);

  EXPECT_NE(xml.find("<smses count=\"" + std::to_string(listed.size()) + "\">"), std::string::npos);
  const std::vector<ExportedMessage> from_xml = ReadExport(xml);
  ASSERT_EQ(from_xml.size(), listed.size());
  for (size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(from_xml[i].body, listed[i]["text"].get<std::string>());
    EXPECT_EQ(from_xml[i].number, listed[i]["number"].get<std::string>());
  }
  // What an importer reads: kinds, the centre only for received ones, a
  // name from the phone's own phonebook.
  EXPECT_NE(xml.find("type=\"2\""), std::string::npos);
  EXPECT_NE(xml.find("type=\"3\""), std::string::npos);
  EXPECT_NE(xml.find("read=\"0\""), std::string::npos);
  EXPECT_EQ(xml.find("contact_name=\"\""), std::string::npos);
  bool named = false;
  for (const auto& [memory, book] :
       {std::pair{"SM", store_->Phonebook("SM")}, std::pair{"ME", store_->Phonebook("ME")}}) {
    for (const auto& [index, entry] : book.slots) {
      named = named || xml.find("contact_name=\"" + entry.name + "\"") != std::string::npos;
    }
  }
  EXPECT_TRUE(named);

  options.format = "json";
  options.file = (root_ / "messages.json").string();
  ASSERT_EQ(RunSmsExport(cli_, options), kExitDone) << Err();
  size_t lines = 0;
  bool timeless = false;
  std::ifstream in(options.file);
  for (std::string line; std::getline(in, line); ++lines) {
    const auto j = nlohmann::json::parse(line);
    if (j["time"].is_null()) {
      timeless = true;
      EXPECT_GT(j["date"].get<int64_t>(), 1'700'000'000'000);
    }
  }
  EXPECT_EQ(lines, listed.size());
  EXPECT_TRUE(timeless);
}

TEST_F(MessagesCliTest, RmExportedDeletesExactlyWhatTheFileHolds) {
  SmsOptions options;
  options.memory = "ME";
  options.format = "json";
  options.file = (root_ / "me.json").string();
  ASSERT_EQ(RunSmsExport(cli_, options), kExitDone) << Err();
  const size_t sm_before = store_->Messages("SM").slots.size();
  ASSERT_FALSE(store_->Messages("ME").slots.empty());

  // After the export: one message changes in its slot, one arrives.
  auto& me = store_->Messages("ME").slots;
  const int changed = me.begin()->first;
  const std::string other = std::next(me.begin())->second.pdu;
  me[changed].pdu = other;
  const int arrived = me.rbegin()->first + 1;
  me[arrived] = me[changed];

  SmsOptions rm;
  rm.exported = options.file;
  rm.memory = "all";
  EXPECT_EQ(RunSmsRm(cli_, rm), kExitDone) << Err();
  EXPECT_EQ(store_->Messages("SM").slots.size(), sm_before);
  std::vector<int> left;
  for (const auto& [index, message] : me) left.push_back(index);
  EXPECT_EQ(left, (std::vector<int>{changed, arrived}));
}

TEST_F(MessagesCliTest, IndexesThatHoldNothingAreThePhonesRefusal) {
  SmsOptions rm;
  rm.memory = "ME";
  rm.indexes = {"199"};
  EXPECT_EQ(RunSmsRm(cli_, rm), kExitRefused);
  EXPECT_NE(Err().find("ME:199: invalid memory index (+CMS ERROR: 321)"), std::string::npos)
      << Err();
  rm.indexes = {"x1"};
  EXPECT_EQ(RunSmsRm(cli_, rm), kExitUsage);
}

TEST_F(MessagesCliTest, ADryRunShowsThePartsAndSendsNothing) {
  SmsOptions send;
  send.number = "+306912345678";
  send.text = std::string(100, 'x') + "Ω" + std::string(100, 'y');
  send.dry_run = true;
  ASSERT_EQ(RunSmsSend(cli_, send, false), kExitDone) << Err();
  const std::string out = Out();
  EXPECT_NE(out.find("part 1 of 2: 7-bit"), std::string::npos) << out;
  EXPECT_NE(out.find("part 2 of 2: 7-bit"), std::string::npos) << out;
  send.unicode = true;
  ASSERT_EQ(RunSmsSend(cli_, send, false), kExitDone);
  EXPECT_NE(Out().find("part 3 of 3: UCS-2"), std::string::npos);
  EXPECT_TRUE(store_->sent.empty());
  send.number = "Bank";
  EXPECT_EQ(RunSmsSend(cli_, send, false), kExitUsage);
}

TEST_F(MessagesCliTest, ContactsGoOutAsVcardsAndComeBack) {
  ContactOptions options;
  options.file = (root_ / "contacts.vcf").string();
  ASSERT_EQ(RunContactsExport(cli_, options), kExitDone) << Err();
  const vcard::ReadResult read = vcard::Read(ReadAll(options.file));
  EXPECT_TRUE(read.problems.empty());
  const size_t entries =
      store_->Phonebook("SM").slots.size() + store_->Phonebook("ME").slots.size();
  ASSERT_EQ(read.cards.size(), entries);

  // Into an empty phonebook, with one card the phone cannot hold.
  std::map<std::string, std::string> before;
  for (const auto& [index, entry] : store_->Phonebook("SM").slots)
    before[entry.number] = entry.name;
  for (const auto& [index, entry] : store_->Phonebook("ME").slots)
    before[entry.number] = entry.name;
  store_->Phonebook("ME").slots.clear();
  std::ofstream(options.file, std::ios::app)
      << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" << std::string(80, 'n')
      << "\r\nTEL:+4930123\r\nEND:VCARD\r\n";
  options.memory = "ME";
  EXPECT_EQ(RunContactsImport(cli_, options), kExitUsage);
  EXPECT_NE(Err().find("longer than"), std::string::npos) << Err();
  const auto& me = store_->Phonebook("ME").slots;
  ASSERT_EQ(me.size(), entries);
  for (const auto& [index, entry] : me) EXPECT_EQ(before[entry.number], entry.name);
}

}  // namespace
}  // namespace quorvalen::tool
