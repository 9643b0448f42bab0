// Throughput of the byte/hex conversions against a memcpy of the same input.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "quorvalen/byte_text.h"

namespace {

std::string RandomBytes(size_t n) {
  std::mt19937 rng(42);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

void BM_TextToHex(benchmark::State& state) {
  const std::string input = RandomBytes(state.range(0));
  for (auto _ : state) {
    std::string hex = quorvalen::TextToHex(input);
    benchmark::DoNotOptimize(hex.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_HexToText(benchmark::State& state) {
  // The input is state.range(0) bytes of hex text.
  const std::string input = quorvalen::TextToHex(RandomBytes(state.range(0) / 2));
  for (auto _ : state) {
    std::string bytes = quorvalen::HexToText(input);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Memcpy(benchmark::State& state) {
  const std::string input = RandomBytes(state.range(0));
  std::string out(input.size(), '\0');
  for (auto _ : state) {
    std::memcpy(out.data(), input.data(), input.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_TextToHex)->Arg(1 << 20)->Arg(16 << 20);
BENCHMARK(BM_HexToText)->Arg(1 << 20)->Arg(16 << 20);
BENCHMARK(BM_Memcpy)->Arg(1 << 20)->Arg(16 << 20);
