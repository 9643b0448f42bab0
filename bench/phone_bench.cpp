// The simulated phone serving a GET in virtual time to a minimal host that
// speaks BFB by hand: the phone's cost per megabyte, and its peak memory.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include "big_file.h"
#include "quorvalen/bfb.h"
#include "quorvalen/byte_text.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/sim/paced_line.h"
#include "quorvalen/virtual_platform.h"

namespace {

using namespace quorvalen;

// The OBEX packets in the data blocks of received frames; acknowledgements
// and the rest of an incomplete frame stay for later.
class BlockReader {
 public:
  void Feed(const std::string& bytes) { buffer_ += bytes; }
  bool NextPacket(std::string* packet) {
    while (buffer_.size() - at_ >= 3) {
      size_t n = static_cast<uint8_t>(buffer_[at_ + 1]);
      if (buffer_.size() - at_ < 3 + n) break;
      block_.append(buffer_, at_ + 3, n);
      at_ += 3 + n;
      if (block_.size() == 2 && static_cast<uint8_t>(block_[0]) == 0x01) {
        block_.clear();
        continue;
      }
      if (block_.size() >= 5) {
        size_t length = (static_cast<uint8_t>(block_[3]) << 8) | static_cast<uint8_t>(block_[4]);
        if (block_.size() == length + 7) {
          *packet = block_.substr(5, length);
          block_.clear();
          buffer_.erase(0, at_);
          at_ = 0;
          return true;
        }
      }
    }
    return false;
  }

 private:
  std::string buffer_;
  size_t at_ = 0;
  std::string block_;
};

void BM_PhoneServesGet(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  uint64_t packets = 0;
  for (auto _ : state) {
    state.PauseTiming();
    VirtualPlatform platform;
    auto store = quorvalen::bench::StoreWithBigFile(bytes);
    sim::PhoneOptions options;
    options.family = 2;
    sim::VirtualPhone phone(platform, 1, options, std::move(store));
    phone.Line().KeepTraffic(false);
    auto port = platform.CreateSerialPort();
    port->PortOpen(true);
    auto exchange = [&](const std::string& out) {
      port->Output(out);
      platform.Loop().RunFor(20);
      return port->Input();
    };
    exchange("AT^SBFB=1\r");
    port->Settings("56000,n,8,1");
    exchange(HexToText("02010314"));
    exchange(HexToText("010A0BC03131353230300DD22B"));
    port->Settings("115200,n,8,1");
    int sequence = 0;
    BlockReader reader;
    std::string packet;
    auto request = [&](const std::string& p) -> uint8_t {
      port->Output(BuildBfbFrames(p, sequence++ % 256));
      for (int ms = 0; !reader.NextPacket(&packet); ++ms) {
        if (ms > 10000) return 0;  // no answer: the run is broken
        platform.Loop().RunFor(1);
        reader.Feed(port->Input());
      }
      return static_cast<uint8_t>(packet[0]);
    };
    request(HexToText("80001A100040064600136B01CB31410611D49A770050DA3F471F"));
    state.ResumeTiming();

    size_t received = 0;
    // GET big.bin: a Name header of 7 characters in UTF-16 and a terminator.
    uint8_t code = request(HexToText("830016010013") + HexToText("006200690067002E00620069006E0000"));
    for (;;) {
      ++packets;
      received += packet.size();
      if (code != 0x90) break;
      code = request(HexToText("830003"));
    }
    if (code != 0xA0 || received < bytes) state.SkipWithError("the file did not arrive whole");
    state.PauseTiming();
    state.counters["virtual_s"] = static_cast<double>(platform.Loop().NowMs()) / 1000.0;
    state.ResumeTiming();
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
  state.counters["packets"] = static_cast<double>(packets) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_PhoneServesGet)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

// What pacing costs the paced phone (quorvalen-phone --pace): answers of
// 512 bytes through a paced line at 115200 bit/s, sixteen bytes a chunk,
// on the virtual clock; the line below only counts what reaches it.
class CountingLine : public sim::PhoneLine {
 public:
  explicit CountingLine(VirtualEventLoop& loop) : loop_(loop) {}
  double NowMs() override { return static_cast<double>(loop_.NowNs()) / 1e6; }
  void After(double ms, std::function<void()> work) override {
    loop_.After(static_cast<int64_t>(ms * 1e6), VirtualEventLoop::Domain::kWorld, std::move(work));
  }
  void Send(std::string_view bytes, int) override { sent += bytes.size(); }
  void HangUp() override {}
  size_t sent = 0;

 private:
  VirtualEventLoop& loop_;
};

void BM_PacedLineCarries(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0));
  const std::string answer(512, 'x');
  for (auto _ : state) {
    VirtualEventLoop loop;
    CountingLine line(loop);
    sim::PacedLine paced(line);
    for (size_t queued = 0; queued < bytes; queued += answer.size()) paced.Send(answer, 115200);
    loop.Run();
    if (line.sent != bytes) state.SkipWithError("bytes went missing");
    state.counters["virtual_s"] = static_cast<double>(loop.NowMs()) / 1000.0;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_PacedLineCarries)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
