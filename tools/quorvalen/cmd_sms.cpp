// quorvalen sms: the phone's short messages listed, exported, deleted, sent
// and stored as drafts.
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <iterator>
#include <sstream>

#include "cli.h"
#include "local_file.h"
#include "message_export.h"

namespace quorvalen::tool {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string MemoryOf(const std::string& option) {
  return option == "all" || option == "ALL" ? "" : option;
}

namespace {

size_t TerminalWidth(std::FILE* out) {
  winsize size{};
  if (::isatty(::fileno(out)) && ::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col) {
    return size.ws_col;
  }
  return 0;
}

// The text on one line: line breaks shown as " / ", other control
// characters (which could drive the terminal: any sender may put them in a
// message) as U+FFFD, cut to width characters with "…" when it is longer.
std::string OneLine(const std::string& text, size_t width) {
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      line += " / ";
    } else if (c != '\r') {
      line += c;
    }
  }
  line = Printable(line);
  if (width == 0) return line;
  size_t characters = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
    if (++characters > width) {
      line.resize(i);
      // Back to the start of a character before adding the ellipsis.
      return line + "\xE2\x80\xA6";
    }
  }
  return line;
}

std::string TimeColumn(const Message& message) {
  if (!message.pdu.time) return "-";
  const std::string iso = message.pdu.time->Iso();  // 2026-12-07T15:50:31+01:00
  return iso.substr(0, 10) + " " + iso.substr(11, 5) + " " + iso.substr(19);
}

// The text a send or write takes: the argument, or standard input for "-"
// or none (one final line break dropped).
std::string TextArgument(const std::optional<std::string>& text) {
  if (text && *text != "-") return *text;
  std::string all;
  std::string error;
  if (!ReadLocalFile("-", &all, &error)) throw SessionError(SessionErrorKind::kLocal, error);
  if (!all.empty() && all.back() == '\n') all.pop_back();
  if (!all.empty() && all.back() == '\r') all.pop_back();
  return all;
}

std::string CodingText(sms::Coding coding) {
  switch (coding) {
    case sms::Coding::kGsm7:
      return "7-bit";
    case sms::Coding::kEightBit:
      return "8-bit";
    case sms::Coding::kUcs2:
      return "UCS-2";
  }
  return "7-bit";
}

}  // namespace

std::vector<std::pair<std::string, int>> SlotArguments(const std::vector<std::string>& args,
                                                       const std::string& memory) {
  std::vector<std::pair<std::string, int>> slots;
  for (const std::string& arg : args) {
    std::string where = memory;
    std::string numbers = arg;
    if (const size_t colon = arg.find(':'); colon != std::string::npos) {
      where = arg.substr(0, colon);
      numbers = arg.substr(colon + 1);
      for (char& c : where) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      const bool letters =
          std::all_of(where.begin(), where.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
      if (!letters || where == "ALL") where.clear();
    }
    std::stringstream in(numbers);
    bool any = false;
    for (std::string item; std::getline(in, item, ',');) {
      char* end = nullptr;
      const long index = std::strtol(item.c_str(), &end, 10);
      if (item.empty() || *end != '\0' || index < 0 || index > 1000000) {
        throw SessionError(SessionErrorKind::kBadName,
                           "\"" + arg + "\" is not an index (such as 3, 3,4,5 or ME:3)");
      }
      slots.emplace_back(where, static_cast<int>(index));
      any = true;
    }
    if (!any || where.empty()) {
      throw SessionError(SessionErrorKind::kBadName,
                         "\"" + arg + "\" is not an index (such as 3, 3,4,5 or ME:3)");
    }
  }
  return slots;
}

int RunSmsLs(Cli& cli, const SmsOptions& options) {
  try {
    const std::vector<Message> messages = cli.Phone().Messages(MemoryOf(options.memory));
    if (options.json) {
      std::fprintf(cli.out, "%s\n", MessagesJson(messages).c_str());
      return kExitDone;
    }
    const size_t width = TerminalWidth(cli.out);
    for (const Message& message : messages) {
      const std::string head = message.memory + " " + JoinedIndexes(message.indexes);
      const std::string status(sms::StatusText(message.status));
      char start[160];
      std::snprintf(start, sizeof start, "%-10s %-10s %-16s %-22s ", head.c_str(), status.c_str(),
                    Printable(message.pdu.address.text).c_str(), TimeColumn(message).c_str());
      const size_t used = std::string_view(start).size();
      const std::string text = OneLine(MessageBody(message), width > used ? width - used : 0);
      std::fprintf(cli.out, "%s%s\n", start, text.c_str());
    }
    return kExitDone;
  } catch (const SessionError& e) {
    return cli.Fail(e, "sms ls");
  }
}

int RunSmsExport(Cli& cli, const SmsOptions& options) {
  std::vector<Message> messages;
  std::vector<Contact> contacts;
  try {
    messages = cli.Phone().Messages(MemoryOf(options.memory));
    if (options.format == "xml") {
      try {
        contacts = cli.Phone().Contacts();
      } catch (const SessionError& e) {
        // The messages are read already: they are written all the same.
        cli.Note(std::string("the phonebook could not be read (") + e.what() +
                 "): names are \"(Unknown)\"");
      }
    }
  } catch (const SessionError& e) {
    return cli.Fail(e, "sms export");
  }
  const int64_t now = NowMs();
  const std::string text =
      options.format == "xml" ? ExportXml(messages, contacts, now) : ExportJsonLines(messages, now);
  try {
    WriteLocalFile(options.file, text, cli.out);
  } catch (const std::exception& e) {
    cli.Error(e.what());
    return kExitLocal;
  }
  if (cli.verbose || options.file != "-") {
    cli.Note("exported " + std::to_string(messages.size()) + " messages" +
             (options.file == "-" ? "" : " to " + options.file));
  }
  return kExitDone;
}

int RunSmsRm(Cli& cli, const SmsOptions& options) {
  CopyRun run(cli);
  if (!options.exported.empty() && !options.indexes.empty()) {
    cli.Error("sms rm: indexes or --exported FILE, not both");
    return kExitUsage;
  }
  if (!options.exported.empty()) {
    std::vector<ExportedMessage> exported;
    try {
      std::string text;
      std::string error;
      if (!ReadLocalFile(options.exported, &text, &error)) {
        cli.Error(error);
        return kExitLocal;
      }
      exported = ReadExport(text);
    } catch (const std::exception& e) {
      cli.Error(options.exported + ": " + e.what());
      return kExitUsage;
    }
    size_t removed = 0;
    size_t kept = 0;
    try {
      for (const Message& message : cli.Phone().Messages(MemoryOf(options.memory))) {
        bool held = false;
        for (const ExportedMessage& entry : exported) held = held || SameMessage(message, entry);
        if (!held) {
          ++kept;
          continue;
        }
        const std::string what = message.memory + ":" + JoinedIndexes(message.indexes);
        bool done = false;
        if (!run.Step(what, [&] {
              cli.Phone().DeleteMessage(message);
              done = true;
            })) {
          return run.status;
        }
        if (!done) continue;
        ++removed;
        if (cli.verbose)
          cli.Note("removed " + message.memory + ":" + JoinedIndexes(message.indexes));
      }
    } catch (const SessionError& e) {
      return cli.Fail(e, "sms rm");
    }
    cli.Note("removed " + std::to_string(removed) + " messages that " + options.exported +
             " holds; " + std::to_string(kept) + " others kept");
    return run.status;
  }
  std::vector<std::pair<std::string, int>> slots;
  try {
    slots =
        SlotArguments(options.indexes, MemoryOf(options.memory).empty() ? "SM" : options.memory);
  } catch (const SessionError& e) {
    return cli.Fail(e);
  }
  if (slots.empty()) {
    cli.Error("sms rm: name the indexes to delete, or --exported FILE");
    return kExitUsage;
  }
  for (const auto& slot : slots) {
    const std::string& memory = slot.first;
    const int index = slot.second;
    const std::string what = memory + ":" + std::to_string(index);
    if (!run.Step(what, [&] {
          cli.Phone().DeleteMessage(memory, index);
          if (cli.verbose) cli.Note("removed " + what);
        })) {
      break;
    }
  }
  return run.status;
}

int RunSmsSend(Cli& cli, const SmsOptions& options, bool draft) {
  SendOptions send;
  if (options.unicode) send.coding = sms::Coding::kUcs2;
  if (draft) send.memory = MemoryOf(options.memory);
  try {
    const std::string text = TextArgument(options.text);
    if (options.dry_run) {
      const PlannedMessage plan = Session::PlanMessage(options.number, text, send);
      for (size_t i = 0; i < plan.parts.size(); ++i) {
        const sms::Pdu& part = plan.parts[i];
        const size_t characters = sms::Utf8ToUcs2(part.text).size() / 2;
        std::fprintf(cli.out, "part %zu of %zu: %s, %zu characters, %d octets: %s\n", i + 1,
                     plan.parts.size(), CodingText(plan.coding).c_str(), characters,
                     plan.encoded[i].tpdu_length, plan.encoded[i].hex.c_str());
      }
      return kExitDone;
    }
    if (draft) {
      const SentMessage stored = cli.Phone().StoreDraft(options.number, text, send);
      cli.Note("stored as a draft at " +
               (stored.memory.empty() ? std::string() : stored.memory + ":") +
               JoinedIndexes(stored.indexes));
    } else {
      const SentMessage sent = cli.Phone().SendMessage(options.number, text, send);
      cli.Note("sent to " + options.number + " in " + std::to_string(sent.references.size()) +
               (sent.references.size() == 1 ? " part" : " parts") + " (reference " +
               JoinedIndexes(sent.references) + ")");
    }
    return kExitDone;
  } catch (const SessionError& e) {
    return cli.Fail(e, draft ? "sms write" : "sms send");
  }
}

}  // namespace quorvalen::tool
