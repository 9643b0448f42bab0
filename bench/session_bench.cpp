// The session's GET in virtual time against the simulated phone (BFB at
// 115200): CPU time per size, and the peak memory of the GET itself (the
// phone's store holds the file once, its server streams from a copy; the
// session must add no whole copy of its own).
#include <benchmark/benchmark.h>

#include <fstream>

#include "quorvalen/session.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "big_file.h"
#include "quorvalen/virtual_platform.h"

namespace {

using namespace quorvalen;

// The process's peak resident memory since the last reset, in bytes.
int64_t PeakResident() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
  }
  return -1;
}
void ResetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

void BM_SessionGet(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  int64_t peak = 0, before = 0;
  for (auto _ : state) {
    state.PauseTiming();
    VirtualPlatform platform;
    sim::PhoneOptions options;
    options.family = 2;
    auto store = quorvalen::bench::StoreWithBigFile(bytes, 5);
    sim::VirtualPhone phone(platform, 1, options, std::move(store));
    phone.Line().KeepTraffic(false);
    SessionOptions session_options;
    session_options.mobile_type = 2;
    auto session = Session::Open(platform, session_options);
    session->List("/");  // in OBEX mode, the size known for progress
    ResetPeakResident();
    before = PeakResident();
    uint64_t got = 0;
    state.ResumeTiming();
    session->Get("/big.bin", [&](std::string_view chunk) { got += chunk.size(); });
    state.PauseTiming();
    peak = std::max(peak, PeakResident());
    if (got != bytes) state.SkipWithError("the file did not arrive whole");
    session.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["peak_MB"] = static_cast<double>(peak) / (1 << 20);
  state.counters["peak_over_file"] = static_cast<double>(peak) / static_cast<double>(bytes);
  state.counters["before_MB"] = static_cast<double>(before) / (1 << 20);
}
BENCHMARK(BM_SessionGet)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
