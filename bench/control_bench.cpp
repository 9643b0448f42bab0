// The control's own cost in virtual time: idling, and AT commands against a
// phone that answers at once.
#include <benchmark/benchmark.h>

#include "quorvalen/quorvalen.h"
#include "quorvalen/virtual_platform.h"

namespace {

using quorvalen::LineSettings;
using quorvalen::Quorvalen;
using quorvalen::VirtualPlatform;

// Idle: the executor timer runs (it never stops once a command was written)
// but nothing is queued. Reports the events per 100 ms of virtual time.
void BM_IdleControl(benchmark::State& state) {
  uint64_t host_events = 0, world_events = 0, ticks = 0;
  for (auto _ : state) {
    state.PauseTiming();
    VirtualPlatform platform;
    Quorvalen control(platform);
    control.Command("SPEC>NOTHING");  // starts the timer; ends at once
    platform.Loop().RunFor(200);
    auto before = platform.Loop().Count();
    state.ResumeTiming();
    platform.Loop().RunFor(60000);
    state.PauseTiming();
    auto after = platform.Loop().Count();
    host_events += after.host_events - before.host_events;
    world_events += after.world_events - before.world_events;
    ticks += after.timer_ticks - before.timer_ticks;
    state.ResumeTiming();
  }
  const double periods = 600.0 * state.iterations();
  state.counters["ticks_per_100ms"] = ticks / periods;
  state.counters["host_events_per_100ms"] = host_events / periods;
  state.counters["world_events"] = static_cast<double>(world_events);
}
BENCHMARK(BM_IdleControl)->Unit(benchmark::kMicrosecond);

constexpr int kQueueLimit = 1000;
// N AT commands, the host keeping at most 1000 queued, against a phone that
// answers "OK" the moment a line is complete.
void BM_AtCommands(benchmark::State& state) {
  const int total = static_cast<int>(state.range(0));
  for (auto _ : state) {
    VirtualPlatform platform;
    auto& line = platform.AddLine(1);
    line.OnFarReceive([&](std::string_view bytes, const LineSettings&) {
      for (char c : bytes) {
        if (c == '\r') line.FarWrite("OK\r\n");
      }
    });
    Quorvalen control(platform);
    int pushed = 0, answered = 0;
    bool open = false;
    control.OnAck([&](const std::string& command, const std::string& answer) {
      if (command == "SPEC>OPEN") open = answer == "OK";
      if (command == "AT" && answer == "OK") ++answered;
      if (command == "STACK-" && open && pushed < total) {
        ++pushed;
        control.Command("AT");
      }
    });
    control.Command("SPEC>OPEN");
    platform.Loop().RunUntil([&] { return open; }, 10000);
    for (; pushed < std::min(total, kQueueLimit); ++pushed) control.Command("AT");
    platform.Loop().RunUntil([&] { return answered == total; }, INT64_MAX / 2000000);
    if (answered != total) state.SkipWithError("not every command was answered");
  }
  state.SetItemsProcessed(state.iterations() * total);
}
BENCHMARK(BM_AtCommands)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
