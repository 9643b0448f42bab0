// The soak: the session against the simulated phone in virtual time, with
// seeded faults and disturbances, doing a random mix of operations and
// checking after each one that it ended in time, that a success is
// byte-exact on the other side, that a failure left the phone's files as
// they were (or, when the answer was lost, as they would be after it), and
// that the session goes on or says it is closed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quorvalen::soak {

struct Config {
  int mobile_type = 1;
  int com_type = 0;         // 0 cable, 1 infrared, 2 USB
  bool auto_block = false;  // OBEX_BlockLen 0 (automatic) or 255
  // The phone re-sends an answer the host did not acknowledge (after
  // 500 ms); off, a lost block is found only by the host.
  bool resend = true;
  std::string Name() const;
};

// Every configuration the soak covers.
std::vector<Config> AllConfigs();

struct Result {
  int operations = 0;
  int successes = 0;
  std::map<std::string, int> failures;     // by kind
  std::map<std::string, int> disturbances;  // replugs, stalls, reboots, hang-ups
  std::map<std::string, int> faults;        // seeds that drew each fault
  uint64_t resent_blocks = 0;               // the phone's re-sent answers
  // GETs and PUTs the phone did not refuse, and those of them completed
  // byte-exact, by the cable fault the
  // seed drew ("none" without one); those the world disturbed (a reboot,
  // a stall, a hang-up) are counted apart, as "disturbed".
  struct Transfers {
    int tried = 0;
    int completed = 0;
  };
  std::map<std::string, Transfers> transfers;
  Transfers undisturbed;  // all of them but the disturbed, once each
  int reopenings = 0;
  // Broken promises: each is a line saying what and where.
  std::vector<std::string> problems;
  double virtual_seconds = 0;
};

// One run: a phone and a session for seed, count operations. With a
// transcript and trace path, the phone's transcript and the control's
// trace are written there (for replaying a failing seed).
Result Run(uint64_t seed, int count, const Config& config, const std::string& record_to = {});

}  // namespace quorvalen::soak
