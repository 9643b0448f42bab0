// The vCard codec: written cards come back equal, and the 2.1, 3.0 and 4.0
// forms that phones and address books write read as the same contacts.
#include "quorvalen/vcard.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace quorvalen::vcard {
namespace {

// Reads, and checks that every card read comes back the same from Write.
ReadResult ReadBack(std::string_view text) {
  ReadResult result = Read(text);
  for (const Card& card : result.cards) {
    ReadResult again = Read(Write(card));
    EXPECT_TRUE(again.problems.empty());
    EXPECT_EQ(again.cards, std::vector<Card>{card});
  }
  return result;
}

Card ReadOne(std::string_view text) {
  ReadResult result = ReadBack(text);
  EXPECT_EQ(result.problems, std::vector<std::string>{});
  EXPECT_EQ(result.cards.size(), 1u);
  return result.cards.empty() ? Card{} : result.cards.front();
}

std::vector<std::string> LinesOf(std::string_view text) {
  std::vector<std::string> lines;
  for (size_t end; (end = text.find("\r\n")) != std::string_view::npos;
       text.remove_prefix(end + 2)) {
    lines.emplace_back(text.substr(0, end));
  }
  EXPECT_TRUE(text.empty()) << "text after the last CR LF";
  return lines;
}

// Whether the bytes are whole UTF-8 characters: no character cut at either
// end.
bool IsWholeUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

TEST(VcardWrite, LayoutOfACard) {
  Card card{.formatted_name = "Anna Berg",
            .name = {"Berg", "Anna", "", "Dr.", ""},
            .telephones = {{"+49 170 1234567", {"cell", "voice"}}, {"030 123", {}}},
            .emails = {"anna@example.org"},
            .organization = "Berg; Söhne",
            .note = "first\r\nsecond, third"};
  EXPECT_EQ(Write(card),
            "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna Berg\r\nN:Berg;Anna;;Dr.;\r\n"
            "TEL;TYPE=CELL,VOICE:+49 170 1234567\r\nTEL:030 123\r\n"
            "EMAIL;TYPE=INTERNET:anna@example.org\r\nORG:Berg\\; Söhne\r\n"
            "NOTE:first\\nsecond\\, third\r\nEND:VCARD\r\n");

  // FN and N are always there; numbers keep backslashes but lose line
  // breaks; types that are not words, and empty numbers, are left out.
  Card bare;
  bare.telephones = {{"1\\2\n3", {"x y", "home"}}, {"", {"cell"}}};
  EXPECT_EQ(Write(bare),
            "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:\r\nN:;;;;\r\nTEL;TYPE=HOME:1\\2 3\r\nEND:VCARD\r\n");
  Card named;
  named.name = {"Doe", "John"};
  EXPECT_NE(Write(named).find("\r\nFN:John Doe\r\nN:Doe;John;;;\r\n"), std::string::npos);
}

TEST(VcardRoundTrip, Utf8AndSpecialCharacters) {
  Card card{.formatted_name = "Σωκράτης 王小明 🙂",
            .name = {"王", "小明", "Σ;ω,κ\\", "", "Jr.\nIII"},
            .telephones = {{"+30 210 1234567", {"work", "pref"}}},
            .emails = {"a,b;c\\d@example.org"},
            .organization = "Ωμέγα, Inc.; R&D\\Lab",
            .note = "line one\nline two; with, all \\ kinds\\n of 🎉"};
  EXPECT_EQ(ReadOne(Write(card)), card);
}

TEST(VcardRoundTrip, LongValuesFoldAt75OctetsBetweenCharacters) {
  // Each shift moves the fold points across characters of every length.
  for (size_t shift = 0; shift < 4; ++shift) {
    std::string note(shift, 'x');
    for (int i = 0; i < 40; ++i) note += "aé中🙂";
    Card card;
    card.formatted_name = std::string(200, 'N');
    card.note = note;
    std::string text = Write(card);
    std::vector<std::string> lines = LinesOf(text);
    size_t folds = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      std::string_view line = lines[i];
      EXPECT_LE(line.size(), 75u) << i;
      // A line is cut short only to keep a character whole.
      if (i + 1 < lines.size() && lines[i + 1].starts_with(' ')) {
        EXPECT_GE(line.size(), 72u) << i;
      }
      if (line.starts_with(' ')) {
        line.remove_prefix(1);
        ++folds;
      }
      EXPECT_TRUE(IsWholeUtf8(line)) << shift << ": " << line;
    }
    EXPECT_GE(folds, 7u);  // 200 octets of FN, over 400 of NOTE
    EXPECT_EQ(ReadOne(text), card) << shift;
  }
}

TEST(VcardRead21, QuotedPrintableSoftBreaksAndCharsets) {
  Card card = ReadOne(
      "BEGIN:VCARD\r\nVERSION:2.1\r\n"
      "N;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:=E7=8E=8B;=E5=B0=8F=\r\n"
      "=E6=98=8E;;;\r\n"
      "FN;CHARSET=ISO-8859-1;QUOTED-PRINTABLE:J=FCrgen M=FC=\r\n"
      "ller  \r\n"
      "NOTE;ENCODING=QUOTED-PRINTABLE:one=0D=0Atwo=3D=\r\n"
      "   three=\r\n"
      "END:VCARD\r\n");
  EXPECT_EQ(card.name, (std::vector<std::string>{"王", "小明", "", "", ""}));
  EXPECT_EQ(card.formatted_name, "Jürgen Müller");
  EXPECT_EQ(card.note, "one\ntwo=   three");

  // A soft break before END does not swallow it.
  Card cut = ReadOne("BEGIN:VCARD\nVERSION:2.1\nNOTE;QUOTED-PRINTABLE:a=\nEND:VCARD\n");
  EXPECT_EQ(cut.note, "a");
}

TEST(VcardRead21, BareParametersFoldsAndBinary) {
  Card card = ReadOne(
      "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Berg;Anna\\;Maria\r\n"
      "TEL;CELL;PREF:+491701234567\r\n"
      "TEL;HOME;VOICE;TYPE=FAX;8BIT:030 1234\r\n"
      "EMAIL;INTERNET:anna@example.org\r\n"
      "PHOTO;ENCODING=BASE64;TYPE=JPEG:\r\n"
      "/9j/4AAQSkZJRgABAQEASABIAAD\r\n"
      "iVBORw0KGgoAAAANSUhEUgAAAAE=\r\n"
      "\r\n"
      "NOTE:C:\\new folder\r\n"
      " and more\r\n"
      "END:VCARD\r\n");
  EXPECT_EQ(card.formatted_name, "Anna;Maria Berg");
  EXPECT_EQ(card.telephones, (std::vector<Telephone>{{"+491701234567", {"cell", "pref"}},
                                                     {"030 1234", {"home", "voice", "fax"}}}));
  EXPECT_EQ(card.emails, std::vector<std::string>{"anna@example.org"});
  // 2.1 escapes nothing but ';', and keeps the blank it folded at.
  EXPECT_EQ(card.note, "C:\\new folder and more");
}

TEST(VcardRead30, TypeListsAndEscapes) {
  Card card = ReadOne(
      "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:A\\, B\\; C\\\\D\\NE\\x\r\n"
      "TEL;TYPE=cell,voice:1\r\n"
      "TEL;TYPE=CELL;TYPE=HOME;type=cell:2\r\n"
      "ORG:Acme\\, Inc.;;Sales\r\n"
      "END:VCARD\r\n");
  EXPECT_EQ(card.formatted_name, "A, B; C\\D\nE\\x");
  EXPECT_EQ(card.telephones,
            (std::vector<Telephone>{{"1", {"cell", "voice"}}, {"2", {"cell", "home"}}}));
  EXPECT_EQ(card.organization, "Acme, Inc.; Sales");
  EXPECT_TRUE(card.name.empty());
}

TEST(VcardRead40, QuotedTypesAndTelUris) {
  Card card = ReadOne(
      "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Anna\r\n"
      "TEL;VALUE=uri;TYPE=\"cell,voice\";PREF=1:tel:+49-170-1234567;ext=12\r\n"
      "TEL;TYPE=\"home\",\"work\":TEL:+49 30 1234\r\n"
      "TEL;VALUE=uri;PREF=2:+1 555 0100\r\n"
      "END:VCARD\r\n");
  EXPECT_EQ(card.telephones, (std::vector<Telephone>{{"+49-170-1234567", {"cell", "voice", "pref"}},
                                                     {"+49 30 1234", {"home", "work"}},
                                                     {"+1 555 0100", {}}}));
}

TEST(VcardRead, LineShapes) {
  // LF line ends, a byte-order mark, lower-case names, groups, folds with
  // a space and with a tab, blank lines.
  Card card = ReadOne(
      "\xEF\xBB\xBF"
      "begin:vcard\nversion:3.0\nfn:Anna\n  Berg\n\n"
      "item1.tel;type=cell:+49\n\t170\n"
      "item2.EMAIL:anna@exam\n ple.org\nItem1.X-ABLabel:mobile\nend:vcard\n");
  EXPECT_EQ(card.formatted_name, "Anna Berg");
  EXPECT_EQ(card.telephones, (std::vector<Telephone>{{"+49170", {"cell"}}}));
  EXPECT_EQ(card.emails, std::vector<std::string>{"anna@example.org"});
}

TEST(VcardRead, NamesWithoutFn) {
  Card card = ReadOne("BEGIN:VCARD\nVERSION:3.0\nN:Doe;John;Q;Mr.;Jr.;extra\nEND:VCARD\n");
  EXPECT_EQ(card.formatted_name, "John Doe");
  EXPECT_EQ(card.name, (std::vector<std::string>{"Doe", "John", "Q", "Mr.", "Jr."}));

  Card family = ReadOne("BEGIN:VCARD\nVERSION:3.0\nFN:\nN:Doe\nEND:VCARD\n");
  EXPECT_EQ(family.formatted_name, "Doe");
  EXPECT_EQ(family.name, (std::vector<std::string>{"Doe", "", "", "", ""}));

  // An all-empty N is what Write puts for no name.
  Card nameless = ReadOne("BEGIN:VCARD\nVERSION:3.0\nN:;;;;\nTEL:1\nEND:VCARD\n");
  EXPECT_TRUE(nameless.name.empty());
  EXPECT_EQ(nameless.formatted_name, "");
}

TEST(VcardRead, CharsetsBecomeUtf8) {
  Card card = ReadOne(
      "BEGIN:VCARD\nVERSION:2.1\n"
      "FN:M\xFCller\n"                              // undeclared, not UTF-8: Windows-1252
      "NOTE;CHARSET=windows-1252:\x80 \x93q\x94\n"  // the 0x80 to 0x9F range
      "ORG;CHARSET=\"utf-8\":ok \xFF\n"             // broken UTF-8 is marked
      "EMAIL;CHARSET=US-ASCII:b\xC3\xBC@example.org\n"
      "END:VCARD\n");
  EXPECT_EQ(card.formatted_name, "Müller");
  EXPECT_EQ(card.note, "€ “q”");
  EXPECT_EQ(card.organization, "ok \xEF\xBF\xBD");
  EXPECT_EQ(card.emails, std::vector<std::string>{"bü@example.org"});
}

TEST(VcardRead, BrokenCardsAreReportedAndSkipped) {
  ReadResult result = ReadBack(
      "BEGIN:VCARD\nVERSION:3.0\nFN:One\nEND:VCARD\n"      // lines 1-4
      "some text between cards\n"                          // 5
      "BEGIN:VCARD\nVERSION:3.0\nFN:Two\nno colon here\n"  // 6-9
      "TEL:1\nEND:VCARD\n"                                 // 10-11
      "BEGIN:VCARD\nVERSION:2.1\nFN;CHARSET=KOI8-R:x\n"    // 12-14
      "END:VCARD\n"                                        // 15
      "BEGIN:VCARD\nFN:Outer\nAGENT:\n"                    // 16-18
      "BEGIN:VCARD\nFN:Three\nEND:VCARD\nEND:VCARD\n"      // 19-22
      "BEGIN:VCARD\nFN:Four\n");                           // 23-24
  std::vector<std::string> names;
  for (const Card& card : result.cards) names.push_back(card.formatted_name);
  EXPECT_EQ(names, (std::vector<std::string>{"One", "Three"}));
  EXPECT_EQ(
      result.problems,
      (std::vector<std::string>{"card at line 6: line 9 has no colon",
                                "card at line 12: line 14 has the unknown charset \"KOI8-R\"",
                                "card at line 16: line 19 begins another card before this one ends",
                                "card at line 23 has no END"}));
  // An unknown charset on a property not read is no problem.
  EXPECT_EQ(ReadOne("BEGIN:VCARD\nADR;CHARSET=Big5:x\nFN:a\nEND:VCARD\n").formatted_name, "a");
}

TEST(VcardRead, LargeInputsReadInOnePass) {
  std::string text;
  Card card{.formatted_name = "Anna Berg",
            .name = {"Berg", "Anna", "", "", ""},
            .telephones = {{"+49 170 1234567", {"cell"}}},
            .emails = {},
            .organization = "",
            .note = std::string(300, 'n')};
  std::string one = Write(card);
  while (text.size() < 8'000'000) text += one;
  const size_t count = text.size() / one.size();
  // One long value of many folds, one of many soft breaks, one of many
  // blank-only folds.
  text += "BEGIN:VCARD\nVERSION:2.1\nNOTE:x";
  for (int i = 0; i < 200'000; ++i) text += "\n y";
  text += "\nFN;QUOTED-PRINTABLE:";
  for (int i = 0; i < 200'000; ++i) text += "=41=\n";
  text += "\nN;QUOTED-PRINTABLE:";
  for (int i = 0; i < 200'000; ++i) text += " \n";
  text += "\nEND:VCARD\n";
  ReadResult result = Read(text);
  ASSERT_EQ(result.cards.size(), count + 1);
  EXPECT_EQ(result.cards.front(), card);
  EXPECT_EQ(result.cards.back().note.size(), 1 + 2 * 200'000u);
  EXPECT_EQ(result.cards.back().formatted_name, std::string(200'000, 'A'));
}

}  // namespace
}  // namespace quorvalen::vcard
