// soak: runs the soak for a range of seeds, each seed with its own
// configuration (the seed picks it), and prints what it found.
//
//   soak --seeds 1-100 --count 100 [--config NAME] [--record PREFIX] [--no-resend]
//
// --no-resend: the phone does not re-send an answer the host did not
// acknowledge, so every lost block is the host's to recover from.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "soak/soak.h"

int main(int argc, char** argv) {
  using namespace quorvalen::soak;
  uint64_t first = 1, last = 10;
  int count = 100;
  std::string only, record;
  bool resend = true;
  for (int i = 1; i < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--no-resend") {
      resend = false;
      --i;
      continue;
    }
    const std::string value = i + 1 < argc ? argv[i + 1] : "";
    if (flag == "--seeds") {
      const size_t dash = value.find('-');
      first = std::strtoull(value.c_str(), nullptr, 10);
      last = dash == std::string::npos ? first : std::strtoull(value.c_str() + dash + 1, nullptr, 10);
    } else if (flag == "--count") {
      count = std::atoi(value.c_str());
    } else if (flag == "--config") {
      only = value;
    } else if (flag == "--record") {
      record = value;
    } else {
      std::fprintf(stderr,
                   "usage: soak --seeds A-B --count N [--config NAME] [--record PREFIX] "
                   "[--no-resend]\n");
      return 2;
    }
  }
  const auto configs = AllConfigs();
  const std::clock_t cpu_start = std::clock();
  Result total;
  int problems = 0;
  for (uint64_t seed = first; seed <= last; ++seed) {
    Config config = configs[seed % configs.size()];
    if (!only.empty()) {
      for (const Config& c : configs) {
        if (c.Name() == only) config = c;
      }
    }
    config.resend = resend;
    const Result r = Run(seed, count, config, record);
    total.operations += r.operations;
    total.successes += r.successes;
    total.reopenings += r.reopenings;
    total.virtual_seconds += r.virtual_seconds;
    for (const auto& [k, n] : r.failures) total.failures[k] += n;
    for (const auto& [k, n] : r.disturbances) total.disturbances[k] += n;
    for (const auto& [k, n] : r.faults) total.faults[k] += n;
    total.resent_blocks += r.resent_blocks;
    for (const auto& [k, t] : r.transfers) {
      total.transfers[k].tried += t.tried;
      total.transfers[k].completed += t.completed;
    }
    for (const std::string& p : r.problems) {
      ++problems;
      std::printf("seed %llu %s: %s\n", static_cast<unsigned long long>(seed),
                  config.Name().c_str(), p.c_str());
    }
    if (!r.problems.empty()) {
      std::printf("  replay: build/tests/soak --seeds %llu --count %d --config %s --record "
                  "/tmp/soak-%llu   (writes .transcript and .trace)\n",
                  static_cast<unsigned long long>(seed), count, config.Name().c_str(),
                  static_cast<unsigned long long>(seed));
    }
  }
  const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  std::printf("seeds %llu-%llu: %d operations, %d succeeded, %d reopenings, %d problems\n",
              static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
              total.operations, total.successes, total.reopenings, problems);
  std::printf("failures:");
  for (const auto& [k, n] : total.failures) std::printf(" %s %d", k.c_str(), n);
  std::printf("\ndisturbances:");
  for (const auto& [k, n] : total.disturbances) std::printf(" %s %d", k.c_str(), n);
  std::printf("\nfaults drawn (seeds):");
  for (const auto& [k, n] : total.faults) std::printf(" %s %d", k.c_str(), n);
  std::printf(", answers the phone re-sent %llu",
              static_cast<unsigned long long>(total.resent_blocks));
  std::printf("\ntransfers complete byte-exact (phone re-sends %s), by cable fault:",
              resend ? "on" : "off");
  for (const auto& [k, t] : total.transfers) {
    std::printf(" %s %d/%d (%.0f%%)", k.c_str(), t.completed, t.tried,
                t.tried ? 100.0 * t.completed / t.tried : 0.0);
  }
  std::printf("\nvirtual time %.0f s, CPU time %.1f s\n", total.virtual_seconds, cpu);
  return problems ? 1 : 0;
}
