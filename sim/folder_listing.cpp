// Generation of the x-obex/folder-listing document.
#include "sim/folder_listing.h"

#include <algorithm>

#include "quorvalen/obex_time.h"
#include "quorvalen/xml_text.h"

namespace quorvalen::sim {

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
    xml += XmlEscaped(entry.name);
    xml += '"';
    if (!entry.folder) xml += " size=\"" + std::to_string(entry.size) + '"';
    xml += " modified=\"" + WriteObexTime(entry.modified) + '"';
    xml +=
        " user-perm=\"" + XmlEscaped(entry.attributes.empty() ? "RW" : entry.attributes) + "\"/>\n";
  }
  xml += "</folder-listing>\n";
  return xml;
}

}  // namespace quorvalen::sim
