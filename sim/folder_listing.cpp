// Generation of the x-obex/folder-listing document.
#include "sim/folder_listing.h"

#include <algorithm>
#include <cstdio>

namespace quorvalen::sim {

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string ObexTime(int64_t seconds) {
  // Civil date from days since 1970-01-01 (proleptic Gregorian), so that the
  // result does not depend on the time zone or the C library.
  int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  int64_t of_day = seconds - days * 86400;
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t doe = days - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  year = std::clamp<int64_t>(year, 0, 9999);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d", static_cast<int>(year),
                static_cast<int>(month), static_cast<int>(day), static_cast<int>(of_day / 3600),
                static_cast<int>(of_day / 60 % 60), static_cast<int>(of_day % 60));
  return text;
}

std::string FolderListingXml(std::vector<Entry> entries, bool has_parent) {
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.folder != b.folder) return a.folder;
    return a.name < b.name;
  });
  std::string xml =
      "<?xml version=\"1.0\"?>\n"
      "<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\n"
      "<folder-listing version=\"1.0\">\n";
  if (has_parent) xml += "  <parent-folder/>\n";
  for (const Entry& entry : entries) {
    xml += entry.folder ? "  <folder name=\"" : "  <file name=\"";
    xml += XmlEscape(entry.name);
    xml += '"';
    if (!entry.folder) xml += " size=\"" + std::to_string(entry.size) + '"';
    xml += " modified=\"" + ObexTime(entry.modified) + '"';
    xml +=
        " user-perm=\"" + XmlEscape(entry.attributes.empty() ? "RW" : entry.attributes) + "\"/>\n";
  }
  xml += "</folder-listing>\n";
  return xml;
}

}  // namespace quorvalen::sim
