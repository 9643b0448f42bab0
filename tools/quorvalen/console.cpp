// The console session and its posix driver.
#include "console.h"

#include <poll.h>
#include <unistd.h>

#include <deque>
#include <nlohmann/json.hpp>

#include "quorvalen/byte_text.h"
#include "quorvalen/error.h"
#include "quorvalen/posix_platform.h"
#include "quorvalen/properties.h"

namespace quorvalen::tool {

using Json = nlohmann::ordered_json;

namespace {

Json ValueToJson(const PropertyValue& value) {
  if (auto* b = std::get_if<bool>(&value)) return *b;
  if (auto* i = std::get_if<int32_t>(&value)) return *i;
  return Latin1ToUtf8(std::get<std::string>(value));
}

std::string Dump(const Json& j) { return j.dump(-1, ' ', true); }

}  // namespace

ConsoleSession::ConsoleSession(Quorvalen& control, EventLoop& loop, std::FILE* out)
    : control_(control), loop_(loop), out_(out) {
  control_.OnAck([this](const std::string& command, const std::string& answer) {
    Json j;
    j["command"] = Latin1ToUtf8(command);
    j["answer"] = Latin1ToUtf8(answer);
    Print(Dump(j));
  });
}

void ConsoleSession::Print(const std::string& json_line) {
  std::fputs(json_line.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void ConsoleSession::PrintError(const std::string& what) {
  Json j;
  j["error"] = Latin1ToUtf8("line " + std::to_string(line_number_) + ": " + what);
  Print(Dump(j));
}

bool ConsoleSession::Idle() { return control_.StackCount() <= 0; }

bool ConsoleSession::Drain(int64_t timeout_ms) {
  return loop_.RunUntil([this] { return Idle(); }, timeout_ms);
}

void ConsoleSession::HandleLine(const std::string& line) {
  ++line_number_;
  try {
    if (!line.empty() && line[0] == '{') {
      HandleJson(line);
    } else {
      control_.Command(line);
    }
  } catch (const Error& e) {
    PrintError(e.description + " (error " + std::to_string(e.number) + ")");
  }
}

void ConsoleSession::HandleJson(const std::string& line) {
  Json request;
  try {
    request = Json::parse(line);
  } catch (const Json::exception& e) {
    PrintError(std::string("malformed JSON: ") + e.what());
    return;
  }
  if (!request.is_object()) {
    PrintError("a request is a JSON object");
    return;
  }
  auto text_of = [&](const char* key, std::string& out) {
    const Json& v = request[key];
    if (!v.is_string()) {
      PrintError(std::string("\"") + key + "\" takes a string");
      return false;
    }
    auto bytes = Utf8ToLatin1(v.get<std::string>());
    if (!bytes) {
      PrintError(std::string("\"") + key + "\" holds a character above U+00FF");
      return false;
    }
    out = *bytes;
    return true;
  };
  auto count_of = [&](const char* key, int64_t& out) {
    const Json& v = request[key];
    if (!v.is_number_integer() || v.get<int64_t>() < 0) {
      PrintError(std::string("\"") + key + "\" takes a whole number of 0 or more");
      return false;
    }
    out = v.get<int64_t>();
    return true;
  };

  if (request.contains("command")) {
    std::string command;
    if (text_of("command", command)) control_.Command(command);
  } else if (request.contains("set")) {
    std::string name;
    if (!text_of("set", name)) return;
    if (!request.contains("value")) {
      PrintError("\"set\" needs a \"value\"");
      return;
    }
    const Json& v = request["value"];
    PropertyValue value;
    if (v.is_boolean()) {
      value = v.get<bool>();
    } else if (v.is_number_integer()) {
      int64_t n = v.get<int64_t>();
      if (n < INT32_MIN || n > INT32_MAX) {
        PrintError("\"value\" does not fit 32 bits");
        return;
      }
      value = static_cast<int32_t>(n);
    } else if (v.is_string()) {
      std::string bytes;
      if (!text_of("value", bytes)) return;
      value = bytes;
    } else {
      PrintError("\"value\" takes a string, an integer or a Boolean");
      return;
    }
    std::string refused = SetProperty(control_, name, value);
    if (!refused.empty()) PrintError(refused);
  } else if (request.contains("get")) {
    std::string name;
    if (!text_of("get", name)) return;
    auto value = GetProperty(control_, name);
    if (!value) {
      PrintError("unknown property \"" + name + "\"");
      return;
    }
    Json j;
    j["property"] = Latin1ToUtf8(name);
    j["value"] = ValueToJson(*value);
    Print(Dump(j));
  } else if (request.contains("wait")) {
    if (request["wait"] != "idle") {
      PrintError("\"wait\" knows only \"idle\"");
      return;
    }
    int64_t timeout = 60000;
    if (request.contains("timeout_ms") && !count_of("timeout_ms", timeout)) return;
    Json j;
    j["idle"] = Drain(timeout);
    Print(Dump(j));
  } else if (request.contains("sleep_ms")) {
    int64_t ms = 0;
    if (count_of("sleep_ms", ms)) loop_.RunFor(ms);
  } else {
    PrintError("unknown request: expected \"command\", \"set\", \"get\", \"wait\" or \"sleep_ms\"");
  }
}

bool ApplySettings(Quorvalen& control, const std::vector<std::string>& settings) {
  for (const std::string& setting : settings) {
    const auto split = SplitSetting(setting);
    const std::string refused = split ? SetPropertyText(control, split->first, split->second)
                                      : "--set takes Name=Value, not \"" + setting + "\"";
    if (!refused.empty()) {
      std::fprintf(stderr, "quorvalen console: %s\n", refused.c_str());
      return false;
    }
  }
  return true;
}

int RunConsole(const ConsoleOptions& options) {
  if (options.virtual_world) return RunVirtualConsole(options);
  PosixPlatform platform;
  Quorvalen control(platform);
  if (!ApplySettings(control, options.settings)) return 2;
  std::unique_ptr<SimulatedPhoneHandle> phone;
  if (options.sim) {
    std::string device, obex, error;
    phone = StartSimulatedPhone(control, options, &device, &error, &obex);
    if (!phone) {
      std::fprintf(stderr, "quorvalen console: cannot start the simulated phone: %s\n",
                   error.c_str());
      return 1;
    }
    if (control.ComType() == kComInfrared) {
      platform.Infrared(device, obex);
    } else {
      platform.DevicePath(control.CommPort(), device);
    }
  } else if (!options.port.empty()) {
    platform.DevicePath(control.CommPort(), options.port);
  }
  if (!options.irda_comm.empty()) platform.Infrared(options.irda_comm, options.irda_obex);
  ConsoleSession session(control, platform.Loop(), stdout);

  // Standard input is read by the loop, so the control keeps running while
  // no request comes; lines are carried out in order, one at a time.
  std::deque<std::string> lines;
  std::string partial;
  bool end_of_input = false;
  PosixEventLoop& loop = platform.Loop();
  PosixEventLoop::WatchId watch = 0;
  watch = loop.Watch(STDIN_FILENO, POLLIN, [&](short) {
    char buffer[4096];
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) return;
      if (!partial.empty()) lines.push_back(std::move(partial));
      partial.clear();
      end_of_input = true;
      loop.Unwatch(watch);
      return;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        if (!partial.empty() && partial.back() == '\r') partial.pop_back();
        lines.push_back(std::move(partial));
        partial.clear();
      } else {
        partial += buffer[i];
      }
    }
  });
  while (true) {
    loop.RunUntil([&] { return !lines.empty() || end_of_input; }, INT32_MAX);
    while (!lines.empty()) {
      std::string line = std::move(lines.front());
      lines.pop_front();
      session.HandleLine(line);
    }
    if (end_of_input && lines.empty()) break;
  }
  if (!session.Drain(options.drain_ms)) {
    std::fprintf(stderr, "quorvalen console: the queue did not drain within %lld ms\n",
                 static_cast<long long>(options.drain_ms));
  }
  return 0;
}

}  // namespace quorvalen::tool
