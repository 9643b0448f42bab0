// The message codec: PDUs of each kind, the alphabets, and long messages
// split into parts and joined again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorvalen/byte_text.h"
#include "quorvalen/sms.h"

namespace quorvalen::sms {
namespace {

// Decodes hex that must read.
Pdu Read(const std::string& hex) {
  Decoded decoded = DecodePdu(hex);
  EXPECT_TRUE(decoded.pdu) << hex << ": " << decoded.error;
  return decoded.pdu.value_or(Pdu{});
}

// Encodes and decodes again.
Pdu RoundTrip(const Pdu& pdu) { return Read(EncodePdu(pdu).hex); }

// The user data length octet of an encoded SUBMIT without validity whose
// service centre part is "00".
int SubmitUserDataLength(const Encoded& encoded) {
  const std::string octets = HexToText(encoded.hex);
  const size_t address_octets = (static_cast<uint8_t>(octets[3]) + 1) / 2;
  return static_cast<uint8_t>(octets[3 + 2 + address_octets + 2]);
}

Pdu Submit(const std::string& number, Coding coding = Coding::kGsm7) {
  Pdu pdu;
  pdu.type = PduType::kSubmit;
  pdu.address = AddressOf(number);
  pdu.coding = coding;
  return pdu;
}

TEST(SmsPdu, PublishedExamplesDecode) {
  // The widely published PDU-mode example of a TS 23.040 SMS-DELIVER.
  Pdu deliver = Read("07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37");
  EXPECT_EQ(deliver.type, PduType::kDeliver);
  EXPECT_EQ(deliver.service_centre, (Address{"+27381000015", 0x91}));
  EXPECT_EQ(deliver.address, (Address{"27838890001", 0xC8}));
  EXPECT_FALSE(deliver.more_messages);
  EXPECT_EQ(deliver.coding, Coding::kGsm7);
  EXPECT_FALSE(deliver.message_class);
  EXPECT_EQ(deliver.time, (Timestamp{1999, 3, 29, 15, 16, 59, 8}));
  EXPECT_EQ(deliver.text, "hellohello");

  // Its SUBMIT counterpart, with a relative validity period; encoding gives
  // the same octets back.
  const std::string submit_hex = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37";
  Pdu submit = Read(submit_hex);
  EXPECT_EQ(submit.type, PduType::kSubmit);
  EXPECT_TRUE(submit.service_centre.text.empty());
  EXPECT_EQ(submit.address, (Address{"+46708251358", 0x91}));
  EXPECT_EQ(submit.validity, 0xAA);
  EXPECT_EQ(submit.text, "hellohello");
  Encoded encoded = EncodePdu(submit);
  EXPECT_EQ(encoded.hex, submit_hex);
  EXPECT_EQ(encoded.tpdu_length, 23);

  // A STATUS-REPORT as a phone shows it (+CDS), after an empty centre part.
  Pdu report = Read("0006000B910221815716F2709021510121807090215101718000");
  EXPECT_EQ(report.type, PduType::kStatusReport);
  EXPECT_EQ(report.address, (Address{"+20121875612", 0x91}));
  EXPECT_EQ(report.time, (Timestamp{2007, 9, 12, 15, 10, 12, 8}));
  EXPECT_EQ(report.discharge_time, (Timestamp{2007, 9, 12, 15, 10, 17, 8}));
  EXPECT_EQ(report.status, 0);
  EXPECT_EQ(EncodePdu(report).hex, "0006000B910221815716F2709021510121807090215101718000");
}

TEST(SmsPdu, HeaderFillBitsAndConcatenation) {
  // Six header octets are 48 bits: one fill bit brings the text to the
  // seventh septet, and the length counts the header's septets.
  Pdu part = Submit("+4917012345");
  part.text = "A";
  part.concatenation = Concatenation{0x2A, 2, 1, false};
  Encoded encoded = EncodePdu(part);
  EXPECT_EQ(encoded.hex,
            "0041000A91947110325400000805"
            "00032A020182");
  EXPECT_EQ(Read(encoded.hex).concatenation, part.concatenation);
  EXPECT_EQ(Read(encoded.hex).text, "A");

  // The 16-bit reference; other elements stay in the header after it, and
  // a concatenation element already in the header gives way to the field.
  part.concatenation = Concatenation{0xBEEF, 3, 3, true};
  part.user_data_header = std::string("\x00\x03\x01\x02\x01\x24\x01\x01", 8);
  Pdu back = RoundTrip(part);
  EXPECT_EQ(back.concatenation, part.concatenation);
  EXPECT_EQ(back.user_data_header, std::string("\x08\x04\xBE\xEF\x03\x03\x24\x01\x01", 9));
  EXPECT_EQ(back.text, "A");

  // Inconsistent counts are ignored, the last good element wins, and a
  // header whose last element overruns it is ignored as a whole.
  auto concatenation_of = [](const std::string& header) {
    Pdu pdu = Submit("123", Coding::kEightBit);
    pdu.user_data_header = header;
    return RoundTrip(pdu).concatenation;
  };
  EXPECT_FALSE(concatenation_of(std::string("\x00\x03\x07\x00\x01", 5)));
  EXPECT_FALSE(concatenation_of(std::string("\x00\x03\x07\x02\x00", 5)));
  EXPECT_FALSE(concatenation_of(std::string("\x00\x03\x07\x02\x03", 5)));
  EXPECT_EQ(concatenation_of(std::string("\x00\x03\x07\x02\x01\x00\x03\x08\x04\x04", 10)),
            (Concatenation{8, 4, 4, false}));
  EXPECT_FALSE(concatenation_of(std::string("\x00\x03\x07\x02\x01\x24\x05\x01", 8)));
}

TEST(SmsPdu, TimeStampsAndZones) {
  // 2012-03-11 08:45:33 at four hours west: the zone octet 69 is 16
  // quarters with the sign bit.
  Pdu pdu = Read("0004038121F300002130118054336900");
  ASSERT_TRUE(pdu.time);
  const Timestamp time = *pdu.time;
  EXPECT_EQ(time, (Timestamp{2012, 3, 11, 8, 45, 33, -16}));
  EXPECT_EQ(time.Iso(), "2012-03-11T08:45:33-04:00");
  EXPECT_EQ(time.TextMode(), "12/03/11,08:45:33-16");
  EXPECT_EQ(time.UnixMs(), 1331469933000);
  const Timestamp nepal{2026, 12, 7, 15, 50, 31, 23};
  EXPECT_EQ(nepal.Iso(), "2026-12-07T15:50:31+05:45");
  EXPECT_EQ(nepal.TextMode(), "26/12/07,15:50:31+23");
  EXPECT_EQ(nepal.UnixMs(), 1796637931000);

  pdu.time = Timestamp{2024, 2, 29, 23, 59, 59, -79};
  EXPECT_EQ(RoundTrip(pdu).time, pdu.time);
  // Month 13, 30 February, hour 24 and a non-decimal digit are no time; the
  // message still reads, and so does one padded after its user data.
  for (const char* stamp :
       {"21311180543369", "21200380543369", "21301142543369", "2130118054A369", "213011805433F9"}) {
    const Decoded decoded = DecodePdu(std::string("000403812143000") + "0" + stamp + "00");
    ASSERT_TRUE(decoded.pdu) << stamp;
    EXPECT_FALSE(decoded.pdu->time) << stamp;
  }
  const Decoded padded = DecodePdu("0004038121430000213011805433690141FFFFFF");
  ASSERT_TRUE(padded.pdu) << padded.error;
  EXPECT_EQ(padded.pdu->text, "A");
}

TEST(SmsPdu, DataCodingGroups) {
  struct Case {
    uint8_t octet;
    Coding coding;
    std::optional<int> message_class;
    uint8_t encoded;  // the octet EncodePdu writes back
  };
  const Case cases[] = {
      {0x00, Coding::kGsm7, {}, 0x00},     {0x04, Coding::kEightBit, {}, 0x04},
      {0x08, Coding::kUcs2, {}, 0x08},     {0x0C, Coding::kGsm7, {}, 0x00},
      {0x12, Coding::kGsm7, 2, 0x12},      {0x19, Coding::kUcs2, 1, 0x19},
      {0x24, Coding::kEightBit, {}, 0x24}, {0x48, Coding::kUcs2, {}, 0x48},
      {0xF1, Coding::kGsm7, 1, 0xF1},      {0xF6, Coding::kEightBit, 2, 0xF6},
      {0xC8, Coding::kGsm7, {}, 0xC8},     {0xD0, Coding::kGsm7, {}, 0xD0},
      {0xE9, Coding::kUcs2, {}, 0xE9},     {0x90, Coding::kGsm7, {}, 0x00},
  };
  for (const Case& c : cases) {
    Pdu pdu = Read(
        "000003812143"
        "00" +
        ByteToHex(c.octet) +
        "21301180543369"
        "00");
    EXPECT_EQ(pdu.coding, c.coding) << int(c.octet);
    EXPECT_EQ(pdu.message_class, c.message_class) << int(c.octet);
    EXPECT_EQ(RoundTrip(pdu).data_coding, c.encoded) << int(c.octet);
  }
  // A caller sets the coding and class; the octet follows from them.
  Pdu flash = Submit("123", Coding::kUcs2);
  flash.message_class = 0;
  EXPECT_EQ(RoundTrip(flash).data_coding, 0x18);
  flash.data_coding = 0xF2;  // group 1111 cannot carry UCS-2
  EXPECT_EQ(RoundTrip(flash).data_coding, 0x18);
}

TEST(SmsPdu, Addresses) {
  EXPECT_EQ(AddressOf("+49 (170) 123-45"), (Address{"+4917012345", 0x91}));
  EXPECT_EQ(AddressOf("0170 1234"), (Address{"01701234", 0x81}));
  EXPECT_EQ(AddressOf("*100#"), (Address{"*100#", 0x81}));
  EXPECT_EQ(AddressOf("My Bank"), (Address{"My Bank", 0xD0}));
  EXPECT_EQ(AddressOf("12+34"), (Address{"12+34", 0xD0}));

  // Seven alphanumeric characters fill 49 bits: the length counts 13
  // semi-octets so that no eighth septet ('@') appears.
  Pdu pdu = Submit("Vodafon");
  Encoded encoded = EncodePdu(pdu);
  EXPECT_EQ(encoded.hex.substr(6, 4), "0DD0");
  EXPECT_EQ(RoundTrip(pdu).address, pdu.address);
  for (const char* text : {"+*#abc0", "*#abc", "+1", "Ab€{x}", "a", "12345678901234567890"}) {
    pdu.address = AddressOf(text);
    EXPECT_EQ(RoundTrip(pdu).address, pdu.address) << text;
  }
  pdu.service_centre = AddressOf("+491710760000");
  EXPECT_EQ(EncodePdu(pdu).hex.substr(0, 16), "0791947101670000");
  EXPECT_EQ(RoundTrip(pdu).service_centre, pdu.service_centre);
}

TEST(SmsPdu, SubmitValidityAndStatusReportParameters) {
  Pdu pdu = Submit("+4917012345");
  pdu.validity = 0xA7;
  pdu.message_reference = 0x42;
  pdu.status_report_request = true;
  pdu.reply_path = true;
  pdu.text = "Hi";
  EXPECT_EQ(RoundTrip(pdu).validity, 0xA7);
  EXPECT_TRUE(RoundTrip(pdu).status_report_request);
  EXPECT_TRUE(RoundTrip(pdu).reply_path);
  EXPECT_EQ(RoundTrip(pdu).message_reference, 0x42);
  // Enhanced (01) and absolute (11) periods are seven octets, read past.
  for (const char* first : {"09", "19"}) {
    Pdu other = Read(std::string("00") + first + "00038121F30000" + "21301180543369" + "02C834");
    EXPECT_FALSE(other.validity);
    EXPECT_EQ(other.text, "Hi");
  }

  // A report with its optional parameters: UCS-2 text after the status.
  const std::string report = "00060A0381214321301180543369213011805433690007000804004800690A";
  // An octet more is padding, as on a SIM.
  EXPECT_EQ(Read(report).text, Read(report.substr(0, report.size() - 2)).text);
  Pdu with_text = Read(report.substr(0, report.size() - 2));
  EXPECT_EQ(with_text.message_reference, 0x0A);
  EXPECT_EQ(with_text.coding, Coding::kUcs2);
  EXPECT_EQ(with_text.text, "Hi");
  EXPECT_EQ(RoundTrip(with_text).text, "Hi");
  // An indicator naming parameters the report does not carry.
  EXPECT_TRUE(DecodePdu(report.substr(0, 44) + "07").pdu);
}

TEST(SmsPdu, MalformedInputIsAnError) {
  const std::string deliver =
      "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37";
  // Every cut of a whole PDU is an error, as is a length beyond the end.
  for (size_t size = 0; size < deliver.size(); size += 2) {
    EXPECT_FALSE(DecodePdu(deliver.substr(0, size)).pdu) << size;
  }
  for (const std::string& hex : std::vector<std::string>{
           deliver.substr(1),                           // odd length
           "0G" + deliver.substr(2),                    // not a hex digit
           "0003000381214300002130118054336900",        // reserved message type
           "FF" + deliver.substr(2),                    // centre address beyond the end
           "000414812143",                              // address beyond the end
           "0040038121430000213011805433690100",        // header announced, but UDL 1: no room
           "0044038121430004213011805433690405000301",  // UDHL beyond the user data
           "00440381214300042130118054336900",          // header announced, no user data
       }) {
    Decoded decoded = DecodePdu(hex);
    EXPECT_FALSE(decoded.pdu) << hex;
    EXPECT_FALSE(decoded.error.empty()) << hex;
  }
  EXPECT_TRUE(
      DecodePdu("07917283010010f5040bc87238880900f10000993092516195800ae8329bfd4697d9ec37").pdu);
}

TEST(SmsAlphabet, DefaultAndExtensionTables) {
  // The whole default table (escape aside) and every extension character.
  const std::string table =
      "@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
      "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà";
  std::string septets = Utf8ToGsm7(table);
  ASSERT_EQ(septets.size(), 127u);
  for (size_t i = 0; i < septets.size(); ++i)
    EXPECT_EQ(static_cast<uint8_t>(septets[i]), i < 27 ? i : i + 1);
  EXPECT_EQ(Gsm7ToUtf8(septets), table);
  const std::string extension = "€[]{}~\\^|\f";
  EXPECT_EQ(Utf8ToGsm7(extension),
            "\x1B\x65\x1B\x3C\x1B\x3E\x1B\x28\x1B\x29\x1B\x3D\x1B\x2F\x1B\x14"
            "\x1B\x40\x1B\x0A");
  Pdu pdu = Submit("123");
  pdu.text = table + extension;
  EXPECT_TRUE(FitsGsm7(pdu.text));
  EXPECT_EQ(RoundTrip(pdu).text, pdu.text);

  // Escapes to nothing defined: the default character, or a space.
  EXPECT_EQ(Gsm7ToUtf8("\x1B\x41\x1B\x1B!\x1B"), "A !\x20");
  // Strict: no look-alikes, and '?' only where FitsGsm7 says no.
  EXPECT_EQ(Utf8ToGsm7("çé\xFFΩ"), "?\x05?\x15");
  for (char32_t c = 1; c < 0x2200; ++c) {
    std::string utf8;
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    utf8 = Ucs2ToUtf8(std::string{static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)});
    const bool question = Utf8ToGsm7(utf8).find('?') != std::string::npos;
    ASSERT_EQ(FitsGsm7(utf8), !question || c == '?') << int(c);
  }
  EXPECT_EQ(ChooseCoding("Grüße €"), Coding::kGsm7);
  EXPECT_EQ(ChooseCoding("ça"), Coding::kUcs2);
}

TEST(SmsAlphabet, SeptetPacking) {
  EXPECT_EQ(TextToHex(PackSeptets(Utf8ToGsm7("hellohello"))), "E8329BFD4697D9EC37");
  EXPECT_EQ(Gsm7ToUtf8(UnpackSeptets(HexToText("E8329BFD4697D9EC37"), 10)), "hellohello");
  std::string septets;
  for (int i = 0; i < 40; ++i) septets += static_cast<char>((i * 37 + 11) & 0x7F);
  for (int fill = 0; fill < 7; ++fill) {
    for (size_t n = 0; n <= septets.size(); ++n) {
      const std::string packed = PackSeptets(septets.substr(0, n), fill);
      EXPECT_EQ(packed.size(), (fill + 7 * n + 7) / 8);
      EXPECT_EQ(UnpackSeptets(packed, n, fill), septets.substr(0, n));
    }
  }
  // Asked for more than the octets hold: the whole septets there are.
  EXPECT_EQ(UnpackSeptets("\xFF\xFF", 5).size(), 2u);
}

TEST(SmsAlphabet, Ucs2) {
  for (const std::string& text : {std::string("Καλημέρα"), std::string("Привет, мир"),
                                  std::string("😀 ok 👍🏽"), std::string("a\0b", 3)}) {
    Pdu pdu = Submit("123", Coding::kUcs2);
    pdu.text = text;
    EXPECT_EQ(RoundTrip(pdu).text, pdu.text);
  }
  EXPECT_EQ(TextToHex(Utf8ToUcs2("Ж😀")), "0416D83DDE00");
  // Unpaired halves, an odd last byte, invalid UTF-8.
  EXPECT_EQ(Ucs2ToUtf8(HexToText("D83D0041DE00D83D")), "\uFFFDA\uFFFD\uFFFD");
  EXPECT_EQ(Ucs2ToUtf8(HexToText("004100")), "A");
  EXPECT_EQ(TextToHex(Utf8ToUcs2("\xC0\x80"
                                 "a\xED\xA0\x80\xF4\x90\x80\x80\xE2\x82")),
            "FFFDFFFD0061FFFDFFFDFFFDFFFDFFFDFFFDFFFDFFFD");
}

TEST(SmsAlphabet, EightBitDataIsKeptExactly) {
  Pdu pdu = Submit("+4917012345", Coding::kEightBit);
  pdu.data_coding = 0x04;
  for (int i = 0; i < 140; ++i) pdu.data += static_cast<char>(255 - i * 7);
  pdu.data[3] = '\0';
  Pdu back = RoundTrip(pdu);
  EXPECT_EQ(back.data_coding, 0x04);
  EXPECT_EQ(back.data, pdu.data);
  EXPECT_TRUE(back.text.empty());
}

// Splits, encodes and decodes every part, and joins the decoded parts.
std::string ThroughParts(const Pdu& base, const std::string& text, std::vector<Pdu>* parts,
                         bool sixteen_bit = false) {
  *parts = base.coding == Coding::kEightBit ? SplitData(base, text, 0x1234, sixteen_bit)
                                            : SplitText(base, text, 0x1234, sixteen_bit);
  std::vector<Pdu> decoded;
  for (const Pdu& part : *parts) decoded.push_back(RoundTrip(part));
  std::vector<JoinedMessage> joined = JoinParts(decoded);
  EXPECT_EQ(joined.size(), 1u);
  if (joined.empty()) return "";
  EXPECT_TRUE(joined[0].missing.empty());
  return base.coding == Coding::kEightBit ? joined[0].data : joined[0].text;
}

TEST(SmsParts, SplitLimitsAndRoundTrip) {
  std::vector<Pdu> parts;
  Pdu base = Submit("+4917012345");
  EXPECT_EQ(ThroughParts(base, std::string(160, 'a'), &parts), std::string(160, 'a'));
  EXPECT_EQ(parts.size(), 1u);
  EXPECT_FALSE(parts[0].concatenation);
  EXPECT_EQ(ThroughParts(base, std::string(161, 'a'), &parts), std::string(161, 'a'));
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].text.size(), 153u);
  EXPECT_EQ(parts[1].concatenation, (Concatenation{0x34, 2, 2, false}));
  EXPECT_EQ(SubmitUserDataLength(EncodePdu(parts[0])), 160);
  EXPECT_EQ(ThroughParts(base, std::string(161, 'a'), &parts, true), std::string(161, 'a'));
  EXPECT_EQ(parts[0].text.size(), 152u);
  EXPECT_EQ(parts[0].concatenation, (Concatenation{0x1234, 2, 1, true}));

  // An extension character counts two septets, which stay in one part.
  EXPECT_EQ(SplitText(base, std::string(158, 'a') + "€").size(), 1u);
  EXPECT_EQ(SplitText(base, std::string(159, 'a') + "€").size(), 2u);
  const std::string straddling = std::string(152, 'a') + "€" + std::string(10, 'b');
  EXPECT_EQ(ThroughParts(base, straddling, &parts), straddling);
  EXPECT_EQ(parts[0].text, std::string(152, 'a'));
  EXPECT_EQ(parts[1].text, "€" + std::string(10, 'b'));

  std::string long_text;
  for (int i = 0; i < 120; ++i) {
    long_text += "Grüße [";
    long_text += std::to_string(i);
    long_text += "] {€} ~^|\\\f ";
  }
  EXPECT_EQ(ThroughParts(base, long_text, &parts), long_text);
  EXPECT_GT(parts.size(), 10u);
  for (const Pdu& part : parts) EXPECT_LE(SubmitUserDataLength(EncodePdu(part)), 160);

  // UCS-2: 70 units in one, 67 per part, a surrogate pair kept whole.
  base.coding = Coding::kUcs2;
  std::string cyrillic;
  for (int i = 0; i < 70; ++i) cyrillic += "Ж";
  EXPECT_EQ(SplitText(base, cyrillic).size(), 1u);
  EXPECT_EQ(ThroughParts(base, cyrillic + "Ж", &parts), cyrillic + "Ж");
  EXPECT_EQ(Utf8ToUcs2(parts[0].text).size(), 134u);
  const std::string pair_at_cut = cyrillic.substr(0, 66 * 2) + "😀xxxxx";
  EXPECT_EQ(ThroughParts(base, pair_at_cut, &parts), pair_at_cut);
  EXPECT_EQ(parts[1].text, "😀xxxxx");

  // 8-bit: 140 octets in one, 134 per part, 133 with a 16-bit reference.
  base.coding = Coding::kEightBit;
  std::string data(141, '\xA5');
  data[0] = '\0';
  EXPECT_EQ(SplitData(base, data.substr(0, 140)).size(), 1u);
  EXPECT_EQ(ThroughParts(base, data, &parts), data);
  EXPECT_EQ(parts[0].data.size(), 134u);
  EXPECT_EQ(ThroughParts(base, data, &parts, true), data);
  EXPECT_EQ(parts[0].data.size(), 133u);
}

TEST(SmsParts, EdgesOfSplitting) {
  Pdu base = Submit("123");
  std::vector<Pdu> empty = SplitText(base, "");
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0].text, "");
  EXPECT_EQ(SplitText(base, std::string(255 * 153, 'x')).size(), 255u);
  EXPECT_TRUE(SplitText(base, std::string(255 * 153 + 1, 'x')).empty());
  // Characters without a septet are sent, and so split, as '?'.
  EXPECT_EQ(SplitText(base, "ç")[0].text, "?");
  // The caller's other header elements take room from every part.
  base.user_data_header = std::string("\x24\x01\x01", 3);
  EXPECT_EQ(SplitText(base, std::string(155, 'x')).size(), 1u);
  std::vector<Pdu> parts = SplitText(base, std::string(156, 'x'));
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].text.size(), 149u);
  EXPECT_EQ(RoundTrip(parts[0]).user_data_header,
            std::string("\x00\x03\x00\x02\x01\x24\x01\x01", 8));
}

TEST(SmsParts, JoinGroupsPartsInOrder) {
  Pdu base;
  base.address = AddressOf("+4917012345");
  auto part = [&](const std::string& text, uint16_t reference, int total, int sequence,
                  bool sixteen = false) {
    Pdu pdu = base;
    pdu.text = text;
    pdu.concatenation = Concatenation{reference, static_cast<uint8_t>(total),
                                      static_cast<uint8_t>(sequence), sixteen};
    return pdu;
  };
  Pdu single = base;
  single.text = "alone";
  Pdu elsewhere = part("other sender", 7, 2, 1);
  elsewhere.address = AddressOf("+4412345");
  std::vector<Pdu> pdus = {
      part("B", 7, 3, 2), single,
      part("x", 9, 2, 2), part("C", 7, 3, 3),
      part("A", 7, 3, 1), part("dup", 7, 3, 2),
      elsewhere,          part("wide", 7, 3, 1, true),
  };
  std::vector<JoinedMessage> messages = JoinParts(pdus);
  ASSERT_EQ(messages.size(), 6u);
  EXPECT_EQ(messages[0].parts, (std::vector<size_t>{4, 0, 3}));
  EXPECT_EQ(messages[0].text, "ABC");
  EXPECT_TRUE(messages[0].missing.empty());
  EXPECT_EQ(messages[1].parts, (std::vector<size_t>{1}));
  EXPECT_EQ(messages[1].text, "alone");
  EXPECT_EQ(messages[2].parts, (std::vector<size_t>{2}));
  EXPECT_EQ(messages[2].missing, (std::vector<int>{1}));
  // The reference used again: its part is a message of its own, not lost.
  EXPECT_EQ(messages[3].parts, (std::vector<size_t>{5}));
  EXPECT_EQ(messages[3].missing, (std::vector<int>{1, 3}));
  EXPECT_EQ(messages[4].text, "other sender");
  EXPECT_EQ(messages[5].missing, (std::vector<int>{2, 3}));

  // Two whole messages under one reference, their parts interleaved.
  messages = JoinParts(
      {part("a1", 5, 2, 1), part("b1", 5, 2, 1), part("a2", 5, 2, 2), part("b2", 5, 2, 2)});
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].text, "a1a2");
  EXPECT_EQ(messages[1].text, "b1b2");
}

TEST(SmsPdu, StatusNames) {
  EXPECT_EQ(StatusText(Status::kStoredUnsent), "STO UNSENT");
  EXPECT_EQ(StatusFromText("\"REC UNREAD\""), Status::kReceivedUnread);
  EXPECT_EQ(StatusFromText("sto sent"), Status::kStoredSent);
  EXPECT_EQ(StatusFromText("1"), Status::kReceivedRead);
  EXPECT_FALSE(StatusFromText("4"));
  EXPECT_FALSE(StatusFromText("ALL"));
}

}  // namespace
}  // namespace quorvalen::sms
