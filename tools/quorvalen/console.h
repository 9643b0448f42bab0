// The console: requests in on standard input, one per line, and every Ack
// out as a JSON line. It is the scriptable front door to the control.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvalen/platform.h"
#include "quorvalen/quorvalen.h"
#include "quorvalen/sim/phone.h"

namespace quorvalen::tool {

// In every JSON string, byte value N is the code point N (U+0000 to U+00FF),
// so byte text round-trips (Latin1ToUtf8 and Utf8ToLatin1).

// Carries out the requests of one console run on a control and its loop.
class ConsoleSession {
 public:
  ConsoleSession(Quorvalen& control, EventLoop& loop, std::FILE* out);

  // One input line, without its line end. A line beginning with '{' is a
  // JSON request; any other line is written to Command as it stands.
  void HandleLine(const std::string& line);
  // No command queued and none in progress.
  bool Idle();
  // Lets the queue drain for at most timeout_ms; true when it did.
  bool Drain(int64_t timeout_ms);

 private:
  void HandleJson(const std::string& line);
  void Print(const std::string& json_line);
  void PrintError(const std::string& what);

  Quorvalen& control_;
  EventLoop& loop_;
  std::FILE* out_;
  long line_number_ = 0;
};

struct ConsoleOptions {
  std::string port;
  std::vector<std::string> settings;  // "Name=Value"
  int64_t drain_ms = 60000;
  bool sim = false;            // the simulated phone on a pseudo-terminal
  bool virtual_world = false;  // control and simulated phone on the virtual clock
  std::string sim_root;        // the phone serves this directory (else its sample tree)
  int sim_family = -1;         // the phone's family (else the control's MobileType)
  std::string irda_comm;       // the infrared services' devices (ComType 1)
  std::string irda_obex;
};

// Applies "Name=Value" settings; false (with a message on standard error)
// on the first one that cannot be applied.
bool ApplySettings(Quorvalen& control, const std::vector<std::string>& settings);

// Runs the console on the posix platform (with the simulated phone on a
// pseudo-terminal for --sim); returns the exit code.
int RunConsole(const ConsoleOptions& options);
// Runs the console and the simulated phone on the virtual clock.
int RunVirtualConsole(const ConsoleOptions& options);

// A simulated phone running beside the console; it stops when destroyed.
class SimulatedPhoneHandle {
 public:
  virtual ~SimulatedPhoneHandle() = default;
};
// Over infrared (ComType 1) the phone serves its OBEX service at
// *obex_path, its serial-emulation service at *device_path.
std::unique_ptr<SimulatedPhoneHandle> StartSimulatedPhone(Quorvalen& control,
                                                          const ConsoleOptions& options,
                                                          std::string* device_path,
                                                          std::string* error,
                                                          std::string* obex_path = nullptr);
// A simulated phone that agrees with these settings: the family of the
// MobileType (1 when it names none), the cable or the air of the ComType.
sim::PhoneOptions PhoneAgreeingWith(int mobile_type, int com_type);
// The same for a phone described by its options, serving root (or its
// sample tree when root is empty).
std::unique_ptr<SimulatedPhoneHandle> StartSimulatedPhone(const sim::PhoneOptions& options,
                                                          const std::string& root,
                                                          std::string* device_path,
                                                          std::string* error,
                                                          std::string* obex_path = nullptr);

}  // namespace quorvalen::tool
