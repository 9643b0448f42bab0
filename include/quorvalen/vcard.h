// Contacts as vCards: written as vCard 3.0 (RFC 2426), read from 2.1, 3.0
// and 4.0 (RFC 6350) with line folding, quoted-printable, CHARSET
// parameters and escaped values. Pure functions of their arguments; no I/O.
// Texts here are UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvalen::vcard {

struct Telephone {
  std::string number;
  // Lower-case type names as given ("cell", "home", "work", "voice", "fax",
  // "pref", ...); 2.1's bare parameters (TEL;CELL:) and 4.0's quoted lists
  // (TYPE="cell,voice") read the same.
  std::vector<std::string> types;
  bool operator==(const Telephone&) const = default;
};

struct Card {
  // FN; when a card has none, the reader makes it from N.
  std::string formatted_name;
  // N: family, given, additional, prefixes, suffixes (missing ones empty).
  std::vector<std::string> name;
  std::vector<Telephone> telephones;
  std::vector<std::string> emails;
  std::string organization;  // ORG, its components joined by "; "
  std::string note;
  bool operator==(const Card&) const = default;
};

// One vCard 3.0 for the card: BEGIN, VERSION:3.0, FN, N, TEL;TYPE=...,
// EMAIL, ORG, NOTE, END, lines ended by CR LF and folded at 75 octets
// without splitting a UTF-8 character; commas, semicolons, backslashes and
// line breaks escaped.
std::string Write(const Card& card);

// The cards of a text holding any number of vCards of versions 2.1, 3.0
// and 4.0 (CR LF or LF line ends, a UTF-8 byte-order mark ignored).
// Properties it does not know are skipped. A card that does not read (no
// END, a line without a colon) is reported in problems, with its line
// number, and skipped; the others are kept. 2.1 values in
// QUOTED-PRINTABLE (with soft line breaks) and CHARSET=ISO-8859-1,
// windows-1252 or UTF-8 become UTF-8; another charset is a problem of that
// card. Never reads outside the input.
struct ReadResult {
  std::vector<Card> cards;
  std::vector<std::string> problems;
};
ReadResult Read(std::string_view text);

}  // namespace quorvalen::vcard
