// A GET of 1 MB over infrared in virtual time, at the infrared rates: the
// goodput as a share of the air's byte rate. The control fetches received
// bytes only when Timer4 polls, every 100 ms, so each response packet of
// the phone costs at least one poll: the phone's packet size over 100 ms
// bounds the goodput, whatever the rate.
#include <benchmark/benchmark.h>

#include "big_file.h"
#include "quorvalen/quorvalen.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/virtual_platform.h"

namespace {

using namespace quorvalen;

void BM_InfraredGet(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  const int rate = static_cast<int>(state.range(1));
  const int packet = static_cast<int>(state.range(2));
  double virtual_seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    VirtualPlatform platform;
    auto store = quorvalen::bench::StoreWithBigFile(bytes);
    sim::PhoneOptions options;
    options.packet_size = static_cast<uint16_t>(packet);
    sim::VirtualInfraredPhone phone(platform, options, std::move(store));
    phone.Link().Rate(rate);
    Quorvalen control(platform);
    control.ComType(kComInfrared);
    std::string last;
    control.OnAck([&](const std::string& c, const std::string& a) {
      if (c.rfind("OBEX>", 0) == 0) last = c + " " + a.substr(0, 2);
    });
    control.Command("SPEC>OPEN");
    control.Command("OBEX>CD :/");
    platform.Loop().RunUntil([&] { return last == "OBEX>CD :/ A0"; }, 600000);
    const int64_t start = platform.Loop().NowNs();
    state.ResumeTiming();
    control.Command("OBEX>GET:big.bin");
    platform.Loop().RunUntil([&] { return last.rfind("OBEX>GET:big.bin", 0) == 0; }, 100000000);
    state.PauseTiming();
    virtual_seconds += static_cast<double>(platform.Loop().NowNs() - start) / 1e9;
    if (last != "OBEX>GET:big.bin A0" || control.OBEX_DataRead().size() != bytes) {
      state.SkipWithError("the GET did not end well");
    }
    state.ResumeTiming();
  }
  const double goodput = static_cast<double>(bytes) * state.iterations() / virtual_seconds;
  state.counters["goodput_of_air"] = goodput / (rate / 10.0);
  state.counters["bytes_per_s"] = goodput;
  state.counters["virtual_s"] = virtual_seconds / state.iterations();
}
BENCHMARK(BM_InfraredGet)
    ->Args({1 << 20, 115200, 512})
    ->Args({1 << 20, 9600, 512})
    ->Args({1 << 20, 115200, 4096})
    ->Unit(benchmark::kMillisecond);

}  // namespace
