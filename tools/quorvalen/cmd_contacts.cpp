// quorvalen contacts: the phone's phonebook listed, exported as vCards,
// filled from vCards, and entries deleted.
#include <algorithm>
#include <map>
#include <set>

#include "cli.h"
#include "local_file.h"
#include "message_export.h"
#include "quorvalen/vcard.h"

namespace quorvalen::tool {
namespace {

vcard::Card CardOf(const Contact& contact) {
  vcard::Card card;
  card.formatted_name = contact.name.empty() ? contact.number : contact.name;
  card.name = {"", contact.name, "", "", ""};
  card.telephones.push_back({contact.number, {"cell"}});
  return card;
}

}  // namespace

int RunContactsLs(Cli& cli, const ContactOptions& options) {
  try {
    const std::vector<Contact> contacts = cli.Phone().Contacts(MemoryOf(options.memory));
    if (options.json) {
      std::fprintf(cli.out, "%s\n", ContactsJson(contacts).c_str());
      return kExitDone;
    }
    for (const Contact& c : contacts) {
      std::fprintf(cli.out, "%-3s %4d  %-20s %s\n", c.memory.c_str(), c.index,
                   Printable(c.number).c_str(), Printable(c.name).c_str());
    }
    return kExitDone;
  } catch (const SessionError& e) {
    return cli.Fail(e, "contacts ls");
  }
}

int RunContactsExport(Cli& cli, const ContactOptions& options) {
  std::vector<Contact> contacts;
  try {
    contacts = cli.Phone().Contacts(MemoryOf(options.memory));
  } catch (const SessionError& e) {
    return cli.Fail(e, "contacts export");
  }
  std::string text;
  for (const Contact& contact : contacts) text += vcard::Write(CardOf(contact));
  try {
    WriteLocalFile(options.file, text, cli.out);
    if (options.file != "-") {
      cli.Note("exported " + std::to_string(contacts.size()) + " contacts to " + options.file);
    }
  } catch (const std::exception& e) {
    cli.Error(e.what());
    return kExitLocal;
  }
  return kExitDone;
}

// Each number of each card becomes an entry in the first free slot of the
// memory. What the phone cannot hold is named and skipped before anything
// is written for it.
int RunContactsImport(Cli& cli, const ContactOptions& options) {
  std::string text;
  std::string error;
  if (!ReadLocalFile(options.file, &text, &error)) {
    cli.Error(error);
    return kExitLocal;
  }
  const vcard::ReadResult read = vcard::Read(text);
  CopyRun run(cli);
  for (const std::string& problem : read.problems) {
    cli.Error(options.file + ": " + problem);
    run.Keep(kExitUsage);
  }
  const std::string memory = MemoryOf(options.memory).empty() ? "ME" : options.memory;
  std::set<int> used;
  PhonebookLimits limits;
  try {
    limits = cli.Phone().ContactLimits(memory);
    for (const Contact& contact : cli.Phone().Contacts(memory)) used.insert(contact.index);
  } catch (const SessionError& e) {
    return cli.Fail(e, "contacts import");
  }
  int next = limits.first;
  size_t written = 0;
  for (const vcard::Card& card : read.cards) {
    for (const vcard::Telephone& telephone : card.telephones) {
      std::string number;
      for (char c : telephone.number) {
        if (c != ' ' && c != '-' && c != '(' && c != ')' && c != '.' && c != '/') number += c;
      }
      const std::string what = card.formatted_name + " (" + telephone.number + ")";
      while (used.count(next)) ++next;
      if (next > limits.last) {
        cli.Error(what + ": the phonebook " + memory + " is full");
        run.Keep(kExitRefused);
        return run.status;
      }
      const bool go_on = run.Step(what, [&] {
        cli.Phone().WriteContact(memory, next, number, card.formatted_name);
        used.insert(next);
        ++written;
        if (cli.verbose) cli.Note("wrote " + what + " at " + memory + ":" + std::to_string(next));
      });
      if (!go_on) return run.status;
    }
  }
  cli.Note("imported " + std::to_string(written) + " entries into " + memory);
  return run.status;
}

int RunContactsRm(Cli& cli, const ContactOptions& options) {
  CopyRun run(cli);
  std::vector<std::pair<std::string, int>> slots;
  try {
    slots =
        SlotArguments(options.indexes, MemoryOf(options.memory).empty() ? "SM" : options.memory);
  } catch (const SessionError& e) {
    return cli.Fail(e);
  }
  for (const auto& slot : slots) {
    const std::string& memory = slot.first;
    const int index = slot.second;
    const std::string what = memory + ":" + std::to_string(index);
    if (!run.Step(what, [&] { cli.Phone().DeleteContact(memory, index); })) break;
  }
  return run.status;
}

}  // namespace quorvalen::tool
