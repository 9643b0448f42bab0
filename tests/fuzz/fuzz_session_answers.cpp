// Arbitrary phone bytes under a session: a phone that passes the opening
// probe and then answers everything with slices of the input. Every call
// ends, in a result or a SessionError, and none hangs.
#include <cstdint>
#include <string>

#include "quorvalen/session.h"
#include "quorvalen/virtual_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvalen;
  if (size < 2) return 0;
  VirtualPlatform platform;
  VirtualSerialLine& line = platform.AddLine(1);
  std::string_view answers(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t slice = 1 + data[0] % 96;
  bool opened = false;
  std::string heard;
  line.OnFarReceive([&](std::string_view bytes, const LineSettings&) {
    heard.append(bytes);
    if (!opened) {
      // The probe's "AT" and "AT+CGMM" get their "OK".
      if (heard.find('\r') != std::string::npos) {
        line.FarWrite("OK\r\n");
        heard.clear();
      }
      return;
    }
    const size_t n = std::min(slice, answers.size());
    line.FarWrite(answers.substr(0, n));
    answers.remove_prefix(n);
  });
  SessionOptions options;
  options.mobile_type = data[0] % 3;
  options.settings = {{"TimeOut", "400"}, {"TimeOutLong", "800"}};
  std::unique_ptr<Session> session;
  try {
    session = Session::Open(platform, options);
  } catch (const SessionError&) {
    return 0;
  }
  opened = true;
  auto attempt = [&](auto call) {
    if (!session->IsOpen()) return;
    try {
      call();
    } catch (const SessionError&) {
    }
  };
  attempt([&] { session->List("/Pictures"); });
  attempt([&] { session->Get("/a.txt", [](std::string_view) {}); });
  attempt([&] { session->At("AT+CGMI"); });
  attempt([&] { session->Memory(); });
  attempt([&] { session->Put([](char*, size_t) { return size_t{0}; }, 0, "/b.txt"); });
  return 0;
}
