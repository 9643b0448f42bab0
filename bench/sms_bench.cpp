// Short messages: the decoding of stored PDUs, as listing a phone's
// messages does it, in MB/s of hex text; and the session listing a store of
// N messages in virtual time, against the time its answer takes on the line
// at the AT speed.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "quorvalen/session.h"
#include "quorvalen/sim/attachments.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/sim/message_store.h"
#include "quorvalen/sms.h"
#include "quorvalen/virtual_platform.h"

namespace {

using namespace quorvalen::sms;

// A phone's store in miniature: short texts and parts of long ones, in
// 7-bit and UCS-2, a sent message, a status report and an 8-bit part.
std::vector<std::string> SampleStore() {
  Pdu deliver;
  deliver.service_centre = AddressOf("+491710760000");
  deliver.address = AddressOf("+4917012345678");
  deliver.time = Timestamp{2026, 12, 7, 15, 50, 31, 4};

  std::vector<Pdu> pdus;
  Pdu short_text = deliver;
  short_text.text = "See you at 8? Bring the [blue] folder, please.";
  pdus.push_back(short_text);

  std::string story;
  for (int i = 0; i < 12; ++i)
    story += "The quick brown fox jumps over the lazy dog; {x} costs 5 €. ";
  for (const Pdu& part : SplitText(deliver, story, 0x42)) pdus.push_back(part);

  Pdu ucs2 = deliver;
  ucs2.coding = Coding::kUcs2;
  ucs2.address = AddressOf("Bank");
  std::string russian;
  for (int i = 0; i < 6; ++i) russian += "Привет! Встречаемся в 8 у входа 😀. ";
  for (const Pdu& part : SplitText(ucs2, russian, 0x1234, true)) pdus.push_back(part);
  Pdu greeting = ucs2;
  greeting.text = "Καλημέρα 👍";
  pdus.push_back(greeting);

  Pdu sent;
  sent.type = PduType::kSubmit;
  sent.address = AddressOf("+4412345678");
  sent.validity = 0xA7;
  sent.text = "On my way.";
  pdus.push_back(sent);

  Pdu report;
  report.type = PduType::kStatusReport;
  report.address = sent.address;
  report.time = Timestamp{2026, 12, 7, 15, 51, 2, 4};
  report.discharge_time = Timestamp{2026, 12, 7, 15, 51, 9, 4};
  pdus.push_back(report);

  Pdu binary = deliver;
  binary.coding = Coding::kEightBit;
  std::string data;
  for (int i = 0; i < 200; ++i) data += static_cast<char>(i * 31);
  for (const Pdu& part : SplitData(binary, data, 7)) pdus.push_back(part);

  std::vector<std::string> hexes;
  for (const Pdu& pdu : pdus) hexes.push_back(EncodePdu(pdu).hex);
  return hexes;
}

void BM_SmsDecode(benchmark::State& state) {
  const std::vector<std::string> store = SampleStore();
  size_t bytes = 0;
  for (const std::string& hex : store) bytes += hex.size();
  for (auto _ : state) {
    for (const std::string& hex : store) {
      Decoded decoded = DecodePdu(hex);
      if (!decoded.pdu) state.SkipWithError(decoded.error.c_str());
      benchmark::DoNotOptimize(decoded);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["pdus"] = static_cast<double>(store.size());
}
BENCHMARK(BM_SmsDecode);

// The session lists N messages of one memory (one AT+CMGL). Counters: the
// virtual time of the listing, the line time of every byte the phone sent
// for it at 19200 bit/s (ten bits a byte), and their ratio.
void BM_SmsList(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  std::vector<std::string> singles;
  for (const std::string& hex : SampleStore()) {
    if (!DecodePdu(hex).pdu->concatenation) singles.push_back(hex);
  }
  double virtual_ms = 0;
  double line_ms = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto store = std::make_shared<quorvalen::sim::MessageStore>();
    auto& memory = store->Messages("ME");
    memory.size = count;
    for (int i = 1; i <= count; ++i) {
      memory.slots[i] = {Status::kReceivedRead, singles[static_cast<size_t>(i) % singles.size()]};
    }
    quorvalen::VirtualPlatform platform;
    quorvalen::sim::PhoneOptions options;
    options.messages = store;
    quorvalen::sim::VirtualPhone phone(platform, 1, options,
                                       std::make_unique<quorvalen::sim::SampleStore>());
    quorvalen::SessionOptions session_options;
    session_options.mobile_type = 1;
    auto session = quorvalen::Session::Open(platform, session_options);
    // The bytes on the line are counted once; kept on every run they would
    // weigh on the host's time as the count grows.
    const bool count_bytes = line_ms == 0;
    phone.Line().KeepTraffic(count_bytes);
    const size_t sent_before = phone.Line().FarWritten().size();
    const int64_t start = platform.Time().MonotonicMs();
    state.ResumeTiming();
    const auto messages = session->Messages("ME");
    state.PauseTiming();
    if (messages.size() != static_cast<size_t>(count)) state.SkipWithError("messages missing");
    virtual_ms = static_cast<double>(platform.Time().MonotonicMs() - start);
    if (count_bytes) {
      line_ms =
          static_cast<double>(phone.Line().FarWritten().size() - sent_before) * 10 * 1000 / 19200;
    }
    session.reset();
    state.ResumeTiming();
  }
  state.counters["virtual_s"] = virtual_ms / 1000;
  state.counters["line_s"] = line_ms / 1000;
  state.counters["virtual_over_line"] = virtual_ms / line_ms;
}
BENCHMARK(BM_SmsList)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
