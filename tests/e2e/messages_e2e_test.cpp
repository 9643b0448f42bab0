// quorvalen sms and contacts as a person runs them, against quorvalen-phone
// --sample on a pseudo-terminal: one shell run that lists, exports, sends
// long texts, deletes what an export holds and round-trips the phonebook; the
// PDUs that reached the phone read from its transcript; a SIM that wants its
// PIN, and a list cut off by the message service.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "e2e/tool_e2e.h"
#include "quorvalen/byte_text.h"
#include "quorvalen/sms.h"
#include "quorvalen/vcard.h"

namespace quorvalen {
namespace {

namespace fs = std::filesystem;

std::vector<nlohmann::json> JsonLines(const fs::path& path) {
  std::vector<nlohmann::json> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

// Every byte the host sent, from the phone's transcript.
std::string HostBytes(const std::string& transcript) {
  std::string bytes;
  std::istringstream in(transcript);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(" host>phone ");
    if (at == std::string::npos) continue;
    const size_t start = at + 12;
    bytes += HexToText(line.substr(start, line.find(' ', start) - start));
  }
  return bytes;
}

// The PDUs sent with AT+CMGS, as they crossed the line.
std::vector<sms::Pdu> SentPdus(const std::string& host_bytes) {
  std::vector<sms::Pdu> pdus;
  for (size_t at = 0; (at = host_bytes.find("AT+CMGS=", at)) != std::string::npos;) {
    const size_t start = host_bytes.find('\r', at) + 1;
    const size_t end = host_bytes.find('\x1A', start);
    if (start == 0 || end == std::string::npos) break;
    sms::Decoded decoded = sms::DecodePdu(host_bytes.substr(start, end - start));
    EXPECT_TRUE(decoded.pdu) << decoded.error;
    if (decoded.pdu) pdus.push_back(*decoded.pdu);
    at = end;
  }
  return pdus;
}

class MessagesEndToEnd : public ToolEndToEnd {
 protected:
  MessagesEndToEnd() : ToolEndToEnd("sms-e2e") {}

  std::string P(const std::string& name) { return (dir_ / name).string(); }

  // One road in one shell on one connection: the messages listed, exported,
  // sent, deleted as an export holds them, a slot that holds nothing, and the
  // phonebook round trip.
  void Round(const std::vector<std::string>& phone_args) {
    std::vector<std::string> args = phone_args;
    args.insert(args.end(), {"--sample", "--transcript", P("transcript")});
    PhoneProcess phone(args);
    ASSERT_FALSE(phone.Device().empty());
    std::string greek;
    const char* letters[] = {"α", "β", "γ", "δ", "ε", "ζ", "η", "θ", "ι"};
    for (int i = 0; i < 200; ++i) greek += i % 10 == 9 ? " " : letters[i % 9];
    const std::string latin = std::string(150, 'a') + "€" + std::string(148, 'b');
    std::string script = "sms export " + P("all.xml") + "\n" +                   //
                         "sms export --format json " + P("all.json") + "\n" +    //
                         "sms send +306912345678 '" + greek + "'\n" +            //
                         "sms send 0170123456 '" + latin + "'\n" +               //
                         "sms rm ME:150\n" +                                     //
                         "sms rm --exported " + P("all.json") + "\n" +           //
                         "sms export --format json " + P("after.json") + "\n" +  //
                         "contacts export " + P("contacts.vcf") + "\n" +         //
                         "contacts import --memory ME " + P("contacts.vcf") + "\n" +
                         "contacts export " + P("again.vcf") + "\n";
    const Result r = Run("--port " + phone.Device() + " shell", script);
    EXPECT_EQ(r.code, 0) << r.err;

    // Both exports hold the same messages, every one of them.
    const std::vector<nlohmann::json> all = JsonLines(P("all.json"));
    ASSERT_GE(all.size(), 15u);
    const std::string xml = Read(P("all.xml"));
    EXPECT_NE(xml.find("<smses count=\"" + std::to_string(all.size()) + "\">"), std::string::npos);
    EXPECT_NE(xml.find("body=\"Καλημέρα! Τα λέμε αύριο.\""), std::string::npos);

    // The two texts crossed the line as 3 UCS-2 and 2 7-bit SUBMIT PDUs.
    const std::vector<sms::Pdu> sent = SentPdus(HostBytes(Read(P("transcript"))));
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0].coding, sms::Coding::kUcs2);
    EXPECT_EQ(sent[4].coding, sms::Coding::kGsm7);
    const auto joined = sms::JoinParts(sent);
    ASSERT_EQ(joined.size(), 2u);
    EXPECT_EQ(joined[0].text, greek);
    EXPECT_EQ(joined[1].text, latin);

    // A slot that holds nothing is named.
    EXPECT_NE(r.err.find("ME:150: invalid memory index (+CMS ERROR: 321)"), std::string::npos)
        << r.err;

    // What the export held is gone; the two sent since are kept.
    const std::vector<nlohmann::json> after = JsonLines(P("after.json"));
    ASSERT_EQ(after.size(), 2u) << r.err;
    EXPECT_EQ(after[0]["status"], "STO SENT");
    EXPECT_EQ(after[0]["text"].get<std::string>() + after[1]["text"].get<std::string>(),
              greek + latin);

    // The phonebook came back: every card twice, names and numbers intact.
    const vcard::ReadResult first = vcard::Read(Read(P("contacts.vcf")));
    const vcard::ReadResult again = vcard::Read(Read(P("again.vcf")));
    ASSERT_FALSE(first.cards.empty());
    EXPECT_EQ(again.cards.size(), 2 * first.cards.size());
    for (const vcard::Card& card : first.cards) {
      EXPECT_EQ(std::count(again.cards.begin(), again.cards.end(), card), 2) << card.formatted_name;
    }
  }
};

// One road over a real pseudo-terminal; every family and infrared take the
// same commands in virtual time (the session's and the command line's tests).
TEST_F(MessagesEndToEnd, ARoundOnTheCable) { Round({"--family", "1"}); }

TEST_F(MessagesEndToEnd, ASimThatWantsItsPinAndAListCutShort) {
  PhoneProcess phone({"--sample", "--pin", "2468", "--faults", "list-error=3"});
  ASSERT_FALSE(phone.Device().empty());
  // No PIN, and no terminal to ask at: the phone's own memory still reads.
  Result r = Run("--port " + phone.Device() + " shell",
                 "contacts ls --memory ME\ncontacts ls --memory SM\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("Zoë Ångström"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("the SIM wants its PIN (give it with --pin PIN or QUORVALEN_PIN)"),
            std::string::npos)
      << r.err;

  // With the PIN the phonebook reads; the message list cut off by
  // "+CMS ERROR: 500" fails and writes no file.
  ::setenv("QUORVALEN_PIN", "2468", 1);
  r = Run("--port " + phone.Device() + " shell",
          "contacts ls --memory SM\nsms export --memory SM " + P("cut.xml") + "\n");
  ::unsetenv("QUORVALEN_PIN");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("Anna Müller"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("unknown error (+CMS ERROR: 500)"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(P("cut.xml")));
}

}  // namespace
}  // namespace quorvalen
