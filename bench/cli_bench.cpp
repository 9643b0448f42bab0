// The wall time of `quorvalen ls` against quorvalen-phone --sample on a
// pseudo-terminal, from start to exit. Cold (a command with a trace is
// never held, so each opens and closes its own connection), split by the
// trace into the opening (the probe), the switch into OBEX mode (finding
// the family included), the listing, and the closing (back to AT mode,
// port closed): most of it is the waits the probe and the switch
// prescribe. Warm: the commands after the first, on the connection the
// first left held. Paced: a 1 MiB GET on the held connection against the
// phone paced like a cable, beside the time the bytes that crossed the line
// (the phone's transcript counts them: the file, OBEX's packet heads, BFB's
// frames and acknowledgements, the requests) take at the BFB speed.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/phone_process.h"

namespace {

// The stamp of the first trace line at or after from whose text begins
// with prefix, or -1.
long Stamp(const std::vector<std::string>& lines, size_t& from, const std::string& prefix) {
  for (; from < lines.size(); ++from) {
    if (lines[from].size() > 9 && lines[from].compare(9, prefix.size(), prefix) == 0) {
      return std::stol(lines[from].substr(0, 9));
    }
  }
  return -1;
}

void BM_LsWallTime(benchmark::State& state) {
  quorvalen::PhoneProcess phone({"--sample"});
  if (phone.Device().empty()) {
    state.SkipWithError("quorvalen-phone did not start");
    return;
  }
  const std::string trace = "/tmp/quorvalen-ls-bench-" + std::to_string(getpid()) + ".log";
  const std::string command = std::string(QUORVALEN_CLI) + " --port " + phone.Device() +
                              " --trace " + trace + " ls / > /dev/null";
  double opening = 0, switching = 0, listing = 0, closing = 0;
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("quorvalen ls failed");
    std::vector<std::string> lines;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    size_t at = 0;
    const long open_start = Stamp(lines, at, " COM>    :SPEC>OPEN");
    const long opened = Stamp(lines, at, " OPEN Port");
    const long listing_start = Stamp(lines, at, " OBEX>   :DIR:");
    const long listed = Stamp(lines, at, " >OBEX   :A0");
    const long closed = Stamp(lines, at, " CLOSE Port");
    if (open_start < 0 || opened < 0 || listing_start < 0 || listed < 0 || closed < 0) {
      state.SkipWithError("the trace does not show the whole road");
      break;
    }
    opening += opened - open_start;
    switching += listing_start - opened;
    listing += listed - listing_start;
    closing += closed - listed;
  }
  std::remove(trace.c_str());
  const double n = static_cast<double>(state.iterations());
  state.counters["opening_ms"] = opening / n;
  state.counters["switching_ms"] = switching / n;
  state.counters["listing_ms"] = listing / n;
  state.counters["closing_ms"] = closing / n;
}
BENCHMARK(BM_LsWallTime)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// Runs a command and returns its wall time in seconds (-1 when it failed).
double Timed(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return status == 0 ? took.count() : -1;
}

// A phone and a folder of held connections of the benchmark's own; the
// first command (not timed) leaves the holder the timed ones run on.
struct HeldPhone {
  explicit HeldPhone(std::vector<std::string> args) : phone(std::move(args)) {
    char dir[] = "/tmp/quorvalen-held-bench-XXXXXX";
    folder = ::mkdtemp(dir);
    quorvalen::HoldConnectionsIn(folder);
    port = std::string(QUORVALEN_CLI) + " --port " + phone.Device() + " ";
  }
  ~HeldPhone() {
    quorvalen::ReleaseHeldConnections();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  quorvalen::PhoneProcess phone;
  std::filesystem::path folder;
  std::string port;
};

void BM_LsWarm(benchmark::State& state) {
  HeldPhone held({"--sample"});
  if (Timed(held.port + "ls / > /dev/null") < 0) state.SkipWithError("the first ls failed");
  for (auto _ : state) {
    const double seconds = Timed(held.port + "ls / > /dev/null");
    if (seconds < 0) state.SkipWithError("quorvalen ls failed");
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(BM_LsWarm)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

// 100 GETs of small files, one command each, on the held connection: the
// time of all 100.
void BM_Get100Warm(benchmark::State& state) {
  HeldPhone held({"--sample"});
  const std::string out = (held.folder / "logo.png").string();
  const std::string get = held.port + "get -f /Pictures/logo.png " + out + " 2>/dev/null";
  if (Timed(get) < 0) state.SkipWithError("the first get failed");
  for (auto _ : state) {
    double all = 0;
    for (int i = 0; i < 100; ++i) {
      const double seconds = Timed(get);
      if (seconds < 0) state.SkipWithError("quorvalen get failed");
      all += seconds;
    }
    state.SetIterationTime(all);
  }
}
BENCHMARK(BM_Get100Warm)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The bytes each way in a transcript's lines from offset on.
std::pair<uint64_t, uint64_t> CrossedBytes(const std::string& path, std::streamoff offset) {
  std::ifstream in(path);
  in.seekg(offset);
  uint64_t to_host = 0, to_phone = 0;
  for (std::string line; std::getline(in, line);) {
    // "000012.345 phone>host 0D0A4F4B0D0A  ..OK.."
    if (line.size() < 23) continue;
    const std::string direction = line.substr(11, 10);
    const size_t end = line.find(' ', 22);
    const uint64_t bytes = (end == std::string::npos ? line.size() - 22 : end - 22) / 2;
    if (direction == "phone>host") to_host += bytes;
    if (direction == "host>phone") to_phone += bytes;
  }
  return {to_host, to_phone};
}

// range(0): the family (2: BFB at 115200, 1: BFB at 57600).
void BM_PacedGet1MiB(benchmark::State& state) {
  const int family = static_cast<int>(state.range(0));
  const double baud = family == 2 ? 115200 : 57600;
  char dir[] = "/tmp/quorvalen-paced-bench-XXXXXX";
  const std::filesystem::path root = ::mkdtemp(dir);
  {
    std::ofstream file(root / "big.bin", std::ios::binary);
    for (uint32_t i = 0, x = 1; i < (1u << 20); ++i) {
      x = x * 1103515245u + 12345u;
      file.put(static_cast<char>(x >> 24));
    }
  }
  const std::string transcript = (root / "transcript.txt").string();
  HeldPhone held({"--pace", "--family", std::to_string(family), "--root", root.string(),
                  "--transcript", transcript});
  // The family named: found from the phone, a BFB phone is taken for
  // family 1, at 57600.
  const std::string port = held.port + "--mobile-type " + std::to_string(family) + " ";
  const std::string get = port + "get -f /big.bin " + (held.folder / "big.bin").string();
  if (Timed(port + "ls / > /dev/null") < 0) state.SkipWithError("the first ls failed");
  double line_seconds = 0, seconds = 0;
  for (auto _ : state) {
    const std::streamoff offset =
        static_cast<std::streamoff>(std::filesystem::file_size(transcript));
    const double took = Timed(get);
    if (took < 0) state.SkipWithError("quorvalen get failed");
    const auto [to_host, to_phone] = CrossedBytes(transcript, offset);
    line_seconds = static_cast<double>(to_host + to_phone) * 10 / baud;
    seconds = took;
    state.SetIterationTime(took);
    state.counters["to_host_bytes"] = static_cast<double>(to_host);
    state.counters["to_phone_bytes"] = static_cast<double>(to_phone);
  }
  state.counters["line_s"] = line_seconds;
  state.counters["file_line_s"] = (1 << 20) * 10 / baud;
  state.counters["over_line"] = line_seconds > 0 ? seconds / line_seconds : 0;
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}
BENCHMARK(BM_PacedGet1MiB)
    ->Arg(2)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
