// The session's GET and PUT in virtual time against the simulated phone
// (BFB at 115200): CPU time per size, and the peak memory of the transfer.
//
// GET: the process's peak resident memory (the phone's store holds the
// file once, its server streams from a copy; the session must add no whole
// copy of its own).
//
// PUT: the control holds the data to send whole, so the PUT's own figure is
// at least the file once; nothing more may hold it. The phone in the same
// process holds the file too (its server gathers the body, its store keeps
// a copy), so the figure is taken from the heap by owner: every allocation
// made while the phone handles bytes from the line is the phone's, every
// other one (session, control, guard, virtual line, the benchmark's source,
// which makes its bytes as asked and holds none) is the host's.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>

#include "big_file.h"
#include "quorvalen/session.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/virtual_platform.h"

// Heap in use by owner (0 the host, 1 the phone) and its peak since the
// last reset, kept by the global allocation functions below.
namespace heap {
bool in_phone = false;
std::atomic<int64_t> live[2];
std::atomic<int64_t> peak[2];
struct alignas(16) Header {
  size_t size;
  bool phone;
};
void Count(bool phone, int64_t delta) {
  const int64_t now = live[phone] += delta;
  if (now > peak[phone]) peak[phone] = now;
}
void ResetPeaks() {
  for (int owner : {0, 1}) peak[owner] = live[owner].load();
}
}  // namespace heap

void* operator new(size_t size) {
  void* block = std::malloc(sizeof(heap::Header) + size);
  if (!block) throw std::bad_alloc();
  auto* header = new (block) heap::Header{size, heap::in_phone};
  heap::Count(header->phone, static_cast<int64_t>(size));
  return header + 1;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  auto* header = static_cast<heap::Header*>(p) - 1;
  heap::Count(header->phone, -static_cast<int64_t>(header->size));
  std::free(header);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

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

// The bytes moved, and the peak memory in MB and over the file's size.
void PeakCounters(benchmark::State& state, size_t bytes, int64_t peak) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["peak_MB"] = static_cast<double>(peak) / (1 << 20);
  state.counters["peak_over_file"] = static_cast<double>(peak) / static_cast<double>(bytes);
}

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
  PeakCounters(state, bytes, peak);
  state.counters["before_MB"] = static_cast<double>(before) / (1 << 20);
}
BENCHMARK(BM_SessionGet)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

// A file's bytes made as they are read: nothing held, the same bytes on
// every reading from the start.
struct MadeBytes {
  static char At(uint64_t i) { return static_cast<char>((i * 2654435761u) >> 13); }
  uint64_t size = 0;
  uint64_t at = 0;
  size_t Read(char* buffer, size_t n) {
    n = static_cast<size_t>(std::min<uint64_t>(n, size - at));
    for (size_t i = 0; i < n; ++i) buffer[i] = At(at + i);
    at += n;
    return n;
  }
};

// Counters:
//   peak_MB         the host's heap at its peak during the PUT, above what
//                   it held when the PUT began: the session's and the
//                   control's memory for the PUT (with the guard's and the
//                   virtual line's packets in flight)
//   peak_over_file  peak_MB over the file's size
//   phone_MB        the phone's heap at its peak, above the start (the
//                   body its server gathered, and its store's copy)
//   process_MB      the process's peak resident memory during the PUT,
//                   above where it stood: host and phone together
void BM_SessionPut(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  int64_t peak = 0, phone = 0, process = 0;
  for (auto _ : state) {
    state.PauseTiming();
    VirtualPlatform platform;
    sim::PhoneOptions options;
    options.family = 2;
    sim::VirtualPhone phone_end(platform, 1, options, std::make_unique<sim::MemoryStore>());
    VirtualSerialLine& line = phone_end.Line();
    line.KeepTraffic(false);
    // The phone's work, as the VirtualPhone does it, marked as the phone's.
    line.OnFarReceive([&](std::string_view received, const LineSettings& sent_with) {
      heap::in_phone = true;
      phone_end.Phone().Receive(received, sent_with.baud);
      heap::in_phone = false;
    });
    SessionOptions session_options;
    session_options.mobile_type = 2;
    auto session = Session::Open(platform, session_options);
    session->List("/");  // in OBEX mode
    MadeBytes source{bytes};
    const Source read = [&](char* buffer, size_t n) { return source.Read(buffer, n); };
    const Restart restart = [&] {
      source.at = 0;
      return true;
    };
    ResetPeakResident();
    const int64_t resident_before = PeakResident();
    const int64_t host_before = heap::live[0];
    const int64_t phone_before = heap::live[1];
    heap::ResetPeaks();
    state.ResumeTiming();
    session->Put(read, bytes, "/big.bin", {}, restart);
    state.PauseTiming();
    peak = std::max(peak, heap::peak[0] - host_before);
    phone = std::max(phone, heap::peak[1] - phone_before);
    process = std::max(process, PeakResident() - resident_before);
    std::string stored;
    phone_end.Store().Read({}, "big.bin", stored);
    bool exact = stored.size() == bytes;
    for (size_t i = 0; exact && i < bytes; ++i) exact = stored[i] == MadeBytes::At(i);
    if (!exact) state.SkipWithError("the file was not stored byte-exact");
    session.reset();
    state.ResumeTiming();
  }
  PeakCounters(state, bytes, peak);
  state.counters["phone_MB"] = static_cast<double>(phone) / (1 << 20);
  state.counters["process_MB"] = static_cast<double>(process) / (1 << 20);
}
BENCHMARK(BM_SessionPut)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
