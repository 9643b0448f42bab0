// The extended error codes of TS 27.007 (+CME ERROR) and TS 27.005
// (+CMS ERROR) with their standard texts.
#include "quorvalen/at_errors.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <utility>

namespace quorvalen {
namespace {

using Entry = std::pair<int, std::string_view>;

constexpr std::array kCmeErrors = {
    Entry{0, "phone failure"},
    Entry{1, "no connection to phone"},
    Entry{2, "phone-adaptor link reserved"},
    Entry{3, "operation not allowed"},
    Entry{4, "operation not supported"},
    Entry{5, "PH-SIM PIN required"},
    Entry{6, "PH-FSIM PIN required"},
    Entry{7, "PH-FSIM PUK required"},
    Entry{10, "SIM not inserted"},
    Entry{11, "SIM PIN required"},
    Entry{12, "SIM PUK required"},
    Entry{13, "SIM failure"},
    Entry{14, "SIM busy"},
    Entry{15, "SIM wrong"},
    Entry{16, "incorrect password"},
    Entry{17, "SIM PIN2 required"},
    Entry{18, "SIM PUK2 required"},
    Entry{20, "memory full"},
    Entry{21, "invalid index"},
    Entry{22, "not found"},
    Entry{23, "memory failure"},
    Entry{24, "text string too long"},
    Entry{25, "invalid characters in text string"},
    Entry{26, "dial string too long"},
    Entry{27, "invalid characters in dial string"},
    Entry{30, "no network service"},
    Entry{31, "network timeout"},
    Entry{32, "network not allowed - emergency calls only"},
    Entry{40, "network personalization PIN required"},
    Entry{41, "network personalization PUK required"},
    Entry{42, "network subset personalization PIN required"},
    Entry{43, "network subset personalization PUK required"},
    Entry{44, "service provider personalization PIN required"},
    Entry{45, "service provider personalization PUK required"},
    Entry{46, "corporate personalization PIN required"},
    Entry{47, "corporate personalization PUK required"},
    Entry{100, "unknown"},
};

constexpr std::array kCmsErrors = {
    Entry{300, "ME failure"},
    Entry{301, "SMS service of ME reserved"},
    Entry{302, "operation not allowed"},
    Entry{303, "operation not supported"},
    Entry{304, "invalid PDU mode parameter"},
    Entry{305, "invalid text mode parameter"},
    Entry{310, "SIM not inserted"},
    Entry{311, "SIM PIN required"},
    Entry{312, "PH-SIM PIN required"},
    Entry{313, "SIM failure"},
    Entry{314, "SIM busy"},
    Entry{315, "SIM wrong"},
    Entry{316, "SIM PUK required"},
    Entry{317, "SIM PIN2 required"},
    Entry{318, "SIM PUK2 required"},
    Entry{320, "memory failure"},
    Entry{321, "invalid memory index"},
    Entry{322, "memory full"},
    Entry{330, "SMSC address unknown"},
    Entry{331, "no network service"},
    Entry{332, "network timeout"},
    Entry{340, "no +CNMA acknowledgement expected"},
    Entry{500, "unknown error"},
};

template <typename Table>
std::string_view Find(const Table& table, int code) {
  for (const auto& [number, text] : table) {
    if (number == code) return text;
  }
  return {};
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string_view AtErrorText(AtErrorFamily family, int code) {
  // +CMS codes below 300 repeat the network's cause values and those from
  // 512 on belong to the maker of the phone: neither has a text here.
  return family == AtErrorFamily::kCme ? Find(kCmeErrors, code) : Find(kCmsErrors, code);
}

std::optional<int> AtErrorCode(AtErrorFamily family, std::string_view text) {
  text = Trim(text);
  auto find = [&](const auto& table) -> std::optional<int> {
    for (const auto& [number, name] : table) {
      if (SameText(name, text)) return number;
    }
    return std::nullopt;
  };
  return family == AtErrorFamily::kCme ? find(kCmeErrors) : find(kCmsErrors);
}

std::optional<AtErrorLine> ReadAtErrorLine(std::string_view line) {
  AtErrorLine result;
  if (line.rfind("+CME ERROR:", 0) == 0) {
    result.family = AtErrorFamily::kCme;
  } else if (line.rfind("+CMS ERROR:", 0) == 0) {
    result.family = AtErrorFamily::kCms;
  } else {
    return std::nullopt;
  }
  const std::string_view rest = Trim(line.substr(11));
  const bool numeric =
      !rest.empty() && rest.size() <= 5 &&
      std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (numeric) {
    result.code = std::atoi(std::string(rest).c_str());
    result.text = std::string(AtErrorText(result.family, *result.code));
    if (result.text.empty()) result.text = "error " + std::string(rest);
  } else {
    result.code = AtErrorCode(result.family, rest);
    result.text = std::string(rest);
  }
  return result;
}

std::string AtErrorAnswer(AtErrorFamily family, int code, int cmee) {
  const std::string head = family == AtErrorFamily::kCme ? "+CME ERROR: " : "+CMS ERROR: ";
  const std::string_view text = AtErrorText(family, code);
  if (cmee == 2 && !text.empty()) return head + std::string(text);
  return head + std::to_string(code);
}

}  // namespace quorvalen
