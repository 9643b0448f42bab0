// GET and PUT through the control and the simulated phone (BFB at 115200)
// in virtual time: the CPU each costs per megabyte, and the goodput on the
// virtual line as a share of the line's byte rate.
#include <benchmark/benchmark.h>

#include "quorvalen/quorvalen.h"
#include "quorvalen/virtual_platform.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "big_file.h"

namespace {

using namespace quorvalen;

constexpr double kLineBytesPerSecond = 115200.0 / 10.0;  // 8 data bits, start and stop

struct Bench {
  explicit Bench(size_t file_bytes) {
    auto store = quorvalen::bench::StoreWithBigFile(file_bytes);
    store->Write({}, "small.bin", sim::SampleBytes(2, 4096));
    store_ = store.get();
    sim::PhoneOptions options;
    options.family = 2;
    phone = std::make_unique<sim::VirtualPhone>(platform, 1, options, std::move(store));
    phone->Line().KeepTraffic(false);
    control.MobileType(2);
    control.OnAck([this](const std::string& c, const std::string& a) {
      if (c.rfind("OBEX>", 0) == 0) last_answer = a, last_command = c;
    });
  }
  // Runs one command to its end; false when it did not end well.
  bool Do(const std::string& command) {
    last_command.clear();
    control.Command(command);
    platform.Loop().RunUntil([&] { return control.StackCount() == 0 && !last_command.empty(); },
                             100'000'000);
    return last_command == command && last_answer.rfind("A0", 0) == 0;
  }

  VirtualPlatform platform;
  std::unique_ptr<sim::VirtualPhone> phone;
  sim::MemoryStore* store_;
  Quorvalen control{platform};
  std::string last_command, last_answer;
};

void Transfer(benchmark::State& state, bool get, bool automatic) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  double virtual_seconds = 0;
  int32_t block_len = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Bench b(bytes);
    b.control.Command("SPEC>OPEN");
    bool ok = b.Do("OBEX>CD :/");
    if (automatic) {
      b.control.OBEX_BlockLen(0);
      ok = ok && b.Do("OBEX>GET:small.bin");  // the block length learns the phone's packets
    }
    const std::string data = get ? std::string() : sim::SampleBytes(3, bytes);
    if (!get) b.control.OBEX_DataSend(data);
    const int64_t start = b.platform.Loop().NowNs();
    state.ResumeTiming();
    ok = ok && b.Do(get ? "OBEX>GET:big.bin" : "OBEX>PUT:up.bin");
    state.PauseTiming();
    virtual_seconds += static_cast<double>(b.platform.Loop().NowNs() - start) / 1e9;
    block_len = b.control.OBEX_BlockLen();
    if (get && b.control.OBEX_DataRead().size() != bytes) ok = false;
    std::string stored;
    if (!get && (b.store_->Read({}, "up.bin", stored) != sim::StoreStatus::kOk || stored != data)) {
      ok = false;
    }
    if (!ok) state.SkipWithError("the transfer did not end well");
    state.ResumeTiming();
  }
  const double goodput = static_cast<double>(bytes) * state.iterations() / virtual_seconds;
  state.counters["goodput_of_line"] = goodput / kLineBytesPerSecond;
  state.counters["virtual_s"] = virtual_seconds / state.iterations();
  state.counters["block_len"] = block_len;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_Get(benchmark::State& state) { Transfer(state, true, false); }
void BM_Put(benchmark::State& state) { Transfer(state, false, false); }
void BM_GetAutoBlockLen(benchmark::State& state) { Transfer(state, true, true); }
void BM_PutAutoBlockLen(benchmark::State& state) { Transfer(state, false, true); }

BENCHMARK(BM_Get)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Put)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetAutoBlockLen)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PutAutoBlockLen)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
