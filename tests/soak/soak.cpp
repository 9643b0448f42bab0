#include "soak/soak.h"

#include <array>
#include <cstdio>
#include <functional>
#include <fstream>
#include <random>

#include "quorvalen/session.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen::soak {
namespace {

const char* KindName(SessionErrorKind kind) {
  switch (kind) {
    case SessionErrorKind::kRefused: return "refused";
    case SessionErrorKind::kLink: return "link";
    case SessionErrorKind::kTimeout: return "timeout";
    case SessionErrorKind::kNoPhone: return "no phone";
    case SessionErrorKind::kBadName: return "bad name";
    case SessionErrorKind::kBadAnswer: return "bad answer";
    case SessionErrorKind::kLocal: return "local";
    case SessionErrorKind::kCancelled: return "cancelled";
    case SessionErrorKind::kClosed: return "closed";
  }
  return "?";
}

// What the store holds at a path: "-" absent, "/" a folder, else "=" and
// the file's bytes.
std::string Look(sim::FileStore& store, const std::string& path) {
  std::vector<std::string> names = SplitRemotePath(path);
  if (names.empty()) return "/";
  const std::string name = names.back();
  names.pop_back();
  sim::Entry entry;
  if (store.Stat(names, name, entry) != sim::StoreStatus::kOk) return "-";
  if (entry.folder) return "/";
  std::string data;
  store.Read(names, name, data);
  return "=" + data;
}

std::string Child(const std::string& folder, const std::string& name) {
  return folder == "/" ? "/" + name : folder + "/" + name;
}

}  // namespace

std::string Config::Name() const {
  return "ComType" + std::to_string(com_type) + "MobileType" + std::to_string(mobile_type) +
         (auto_block ? "Auto" : "Fixed");
}

std::vector<Config> AllConfigs() {
  std::vector<Config> configs;
  for (int com_type : {0, 1, 2}) {
    for (int mobile_type : {0, 1, 2}) {
      if (com_type == 1 && mobile_type != 1) continue;  // infrared has no family
      for (bool automatic : {false, true}) configs.push_back({mobile_type, com_type, automatic});
    }
  }
  return configs;
}

Result Run(uint64_t seed, int count, const Config& config, const std::string& record_to) {
  std::mt19937_64 rng(seed);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
  Result result;

  VirtualPlatform platform;
  sim::PhoneOptions phone_options;
  phone_options.family = config.mobile_type;
  phone_options.cable = config.com_type == 2 ? sim::Cable::kUsb : sim::Cable::kSerial;
  phone_options.seed = seed;
  sim::FaultPlan& faults = phone_options.faults;
  faults.drop = std::array<double, 3>{0, 0.002, 0.01}[pick(3)];
  faults.corrupt = std::array<double, 2>{0, 0.0005}[pick(2)];
  faults.duplicate = std::array<double, 2>{0, 0.003}[pick(2)];
  faults.garbage = std::array<double, 2>{0, 0.003}[pick(2)];
  faults.delay = std::array<double, 2>{0, 0.01}[pick(2)];
  if (config.com_type == 1) {
    // The infrared link checks and repeats its own frames: what reaches
    // the host is late or cut off, never damaged, doubled or lost.
    faults.drop = faults.corrupt = faults.duplicate = faults.garbage = 0;
  }
  faults.delay_ms = 300;
  faults.resend_ms = config.resend ? 500 : 0;
  std::vector<std::string> drawn;
  for (const auto& [name, p] : {std::pair<const char*, double>{"drop", faults.drop},
                                {"corrupt", faults.corrupt},
                                {"duplicate", faults.duplicate},
                                {"garbage", faults.garbage},
                                {"delay", faults.delay}}) {
    if (p > 0) {
      ++result.faults[name];
      drawn.push_back(name);
    }
  }
  if (drawn.empty()) drawn.push_back("none");
  auto owned = std::make_unique<sim::SampleStore>();
  sim::SampleStore& store = *owned;
  std::unique_ptr<sim::VirtualPhone> cable;
  std::unique_ptr<sim::VirtualInfraredPhone> air;
  if (config.com_type == 1) {
    air = std::make_unique<sim::VirtualInfraredPhone>(platform, phone_options, std::move(owned));
  } else {
    cable = std::make_unique<sim::VirtualPhone>(platform, 1, phone_options, std::move(owned));
  }
  sim::SimulatedPhone& phone = cable ? cable->Phone() : air->Phone();
  sim::Transcript transcript;
  std::FILE* transcript_file = nullptr;
  if (!record_to.empty()) {
    transcript_file = std::fopen((record_to + ".transcript").c_str(), "w");
    if (transcript_file) transcript.WriteTo(transcript_file);
    phone.SetTranscript(&transcript);
  }
  auto listening = [&](bool on) { cable ? cable->Listening(on) : air->Listening(on); };
  auto replug = [&] { cable ? cable->Replug() : air->Replug(); };
  auto unplug = [&] { cable ? cable->Unplug() : air->Link().Lose(); };

  SessionOptions options;
  options.mobile_type = config.mobile_type;
  options.com_type = config.com_type;
  // Raw OBEX on a cable is the one link with no check of its own.
  options.verify = config.mobile_type == 0 && config.com_type != 1;
  options.settings = {{"TimeOut", "3000"},
                      {"TimeOutLong", "6000"},
                      {"OBEX_BlockLen", config.auto_block ? "0" : "255"}};
  std::unique_ptr<Session> session;
  // Each opening writes its trace from the beginning: one file per opening.
  int openings = 0;
  auto open = [&]() {
    for (int attempt = 0; attempt < 3 && !session; ++attempt) {
      if (!record_to.empty()) options.trace_path = "trace" + std::to_string(openings++);
      try {
        session = Session::Open(platform, options);
      } catch (const SessionError&) {
        replug();  // a phone left dead: plugged in again
      }
    }
    ++result.reopenings;
    if (!session) result.problems.push_back("the session cannot be opened again");
    return session != nullptr;
  };
  if (!open()) return result;
  result.reopenings = 0;

  const std::vector<std::string> folders = {"/", "/Documents", "/Music", "/Music/Soak"};
  const std::vector<std::string> names = {"a.bin", "b.bin", "c d.txt", "\xC3\xA9t\xC3\xA9.bin",
                                          "Soak"};
  const int64_t start_ns = platform.Loop().NowNs();
  for (int op = 0; op < count && session; ++op) {
    // Now and then the world does something to the phone during the next
    // operation.
    const int64_t soon = static_cast<int64_t>(pick(3000)) * 1'000'000;
    int disturbed_before = 0;
    for (const auto& [what, n] : result.disturbances) disturbed_before += n;
    if (chance(0.02)) {
      ++result.disturbances["reboot"];
      platform.Loop().After(soon, VirtualEventLoop::Domain::kWorld, [&] { phone.Replug(); });
    } else if (chance(0.02)) {
      ++result.disturbances["stall"];
      const int64_t length = (2000 + pick(6000)) * 1'000'000LL;
      platform.Loop().After(soon, VirtualEventLoop::Domain::kWorld, [&] { listening(false); });
      platform.Loop().After(soon + length, VirtualEventLoop::Domain::kWorld,
                            [&] { listening(true); });
    } else if (chance(0.01)) {
      ++result.disturbances["hang-up"];
      platform.Loop().After(soon, VirtualEventLoop::Domain::kWorld, [&] { unplug(); });
    }

    const std::string folder = folders[pick(folders.size())];
    // Mostly something the folder holds, so that gets, renames and
    // removals find what they name; now and then a name it may not hold.
    std::vector<sim::Entry> held;
    store.List(SplitRemotePath(folder), held);
    std::string name = names[pick(names.size())];
    if (!held.empty() && chance(0.7)) name = held[pick(held.size())].name;
    const std::string path = Child(folder, name);
    const std::string other = Child(folder, names[pick(names.size())]);
    const int what = pick(100);
    std::string label, expected, expected_other;
    const std::string before = Look(store, path);
    const std::string before_other = Look(store, other);
    std::string got;
    std::string data;
    bool checks_get = false;
    bool transfer = false;
    std::function<void()> call;
    if (what < 15) {
      label = "ls " + folder;
      call = [&] {
        const FolderListing listing = session->List(folder);
        std::vector<sim::Entry> entries;
        store.List(SplitRemotePath(folder), entries);
        if (listing.entries.size() != entries.size()) {
          result.problems.push_back(label + ": the listing has " +
                                    std::to_string(listing.entries.size()) + " entries, the store " +
                                    std::to_string(entries.size()));
        }
      };
    } else if (what < 40 && before != "/") {
      label = "get " + path;
      checks_get = transfer = true;
      call = [&] { session->Get(path, [&](std::string_view bytes) { got += bytes; }); };
    } else if (what < 65) {
      const size_t sizes[] = {0, 1, 229, 230, 1000, 5000, 40000, 100000, 300 * 1024};
      data = sim::SampleBytes(static_cast<uint32_t>(seed * 1000 + op), sizes[pick(9)]);
      label = "put " + path + " (" + std::to_string(data.size()) + " bytes)";
      expected = "=" + data;
      transfer = true;
      call = [&] { session->Put(data, path); };
    } else if (what < 73) {
      label = "mv " + path + " " + other;
      expected = path == other ? before : "-";
      expected_other = before;
      call = [&] { session->Rename(path, SplitRemotePath(other).back()); };
    } else if (what < 81) {
      label = "rm " + path;
      expected = "-";
      call = [&] { session->Remove(path); };
    } else if (what < 85) {
      label = "mkdir " + path;
      expected = "/";
      call = [&] { session->MakeFolder(path); };
    } else if (what < 95) {
      label = "at";
      call = [&] { session->At(pick(2) ? "AT+CGMM" : "AT+CSQ"); };
    } else {
      label = "df";
      call = [&] { session->Memory(); };
    }

    const int64_t t0 = platform.Loop().NowNs();
    bool ok = false;
    std::string kind, message;
    int code = 0;
    try {
      call();
      ok = true;
    } catch (const SessionError& e) {
      kind = KindName(e.Kind());
      code = e.Code();
      message = e.what();
    }
    const double seconds = static_cast<double>(platform.Loop().NowNs() - t0) / 1e9;
    ++result.operations;
    const std::string where = "op " + std::to_string(op) + " " + label;
    // A transfer may take twice the time its bytes need on the slowest
    // line (19200 bit/s, 1920 bytes a second), read twice when verified;
    // anything else ends within its time-outs and the way back; each for
    // every try.
    const double bytes = static_cast<double>(data.size() + 300 * 1024 * checks_get) *
                         (options.verify ? 2 : 1);
    const double bound = (120 + bytes / 960) * (1 + options.retries);
    if (seconds > bound) {
      result.problems.push_back(where + ": took " + std::to_string(seconds) + " s (a hang)");
    }
    const std::string after = Look(store, path);
    const std::string after_other = Look(store, other);
    // A refusal is the phone's answer about a name the mix made up: the
    // measure is of transfers the phone would have done.
    if (transfer && kind != "refused" && kind != "bad name") {
      int disturbed_after = 0;
      for (const auto& [what, n] : result.disturbances) disturbed_after += n;
      const bool exact = ok && after == (checks_get ? "=" + got : expected);
      const bool disturbed = disturbed_after != disturbed_before;
      for (const std::string& fault : disturbed ? std::vector<std::string>{"disturbed"} : drawn) {
        ++result.transfers[fault].tried;
        result.transfers[fault].completed += exact;
      }
      if (!disturbed) {
        ++result.undisturbed.tried;
        result.undisturbed.completed += exact;
      }
    }
    if (ok) {
      ++result.successes;
      if (checks_get && after != "=" + got) {
        result.problems.push_back(where + ": a success whose bytes differ from the phone's (" +
                                  std::to_string(got.size()) + " bytes got, the phone holds " +
                                  (after.size() > 1 ? std::to_string(after.size() - 1) : after) + ")");
      }
      if (!expected.empty() && after != expected) {
        result.problems.push_back(where + ": succeeded but the phone holds something else");
      }
      if (label.rfind("mv ", 0) == 0 && path != other && after_other != expected_other) {
        result.problems.push_back(where + ": renamed, but the new name does not hold the file");
      }
    } else {
      // Refusals by the phone's answer: mostly names the mix makes up.
      ++result.failures[kind == "refused" ? kind + " (" + ObexResponseName(code) + ")" : kind];
      // A refusal changes nothing; a lost answer may hide an operation done
      // whole, never half of one.
      const bool unknown = kind != "refused" && kind != "bad name";
      if (after != before && !(unknown && !expected.empty() && after == expected)) {
        result.problems.push_back(where + ": failed (" + kind + ": " + message + ") but changed the phone's " +
                                  "files: " + (after.size() > 1 ? std::to_string(after.size() - 1) +
                                  " bytes" : after));
      }
      if (label.rfind("mv ", 0) == 0 && after_other != before_other &&
          !(unknown && after_other == expected_other)) {
        result.problems.push_back(where + ": failed (" + kind + ") but changed the new name");
      }
    }
    if (!session->IsOpen()) {
      session.reset();
      // The world calms down before the phone is opened again.
      platform.Loop().RunFor(10000);
      listening(true);
      if (!open()) break;
    }
  }
  result.virtual_seconds = static_cast<double>(platform.Loop().NowNs() - start_ns) / 1e9;
  result.resent_blocks = phone.Count().resent_blocks;
  session.reset();
  if (!record_to.empty()) {
    std::ofstream trace(record_to + ".trace", std::ios::binary);
    for (int i = 0; i < openings; ++i) trace << platform.Files()["trace" + std::to_string(i)];
  }
  if (transcript_file) std::fclose(transcript_file);
  return result;
}

}  // namespace quorvalen::soak
