// The simulated phone: the phone's side of every exchange the control can
// start, as a state machine fed with the bytes that reach it and the line
// speed they came at. Where it lives (the far end of a virtual serial line,
// or the master side of a pseudo-terminal) is its PhoneLine.
//
// Modes:
//  - AT mode: echo, one command line from "AT"/"at" to a carriage return,
//    answers framed by CR LF, the final "OK" or "ERROR". The commands
//    (sim/at_commands.cpp) include short messages and the phonebook, kept
//    in a MessageStore.
//  - Raw OBEX mode: entered by "AT^SQWE=0" then "AT^SQWE=3" (family 0), or
//    by the standard "AT+CPROT=0" (every family, answered "CONNECT");
//    OBEX packets travel unframed; left by "+++" between silences, and,
//    when entered by "AT+CPROT=0", by the host letting go of the line.
//  - BFB mode (families 1 and 2): entered by "AT^SBFB=1"; only frames
//    travel: the interface and speed frames, AT lines in type 06 frames,
//    and OBEX packets in data blocks, each acknowledged before the answer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "quorvalen/sim/faults.h"
#include "quorvalen/sim/file_store.h"
#include "quorvalen/sim/message_store.h"
#include "quorvalen/sim/obex_server.h"
#include "quorvalen/sim/transcript.h"

namespace quorvalen::sim {

class AtCommands;

// How the phone is reached. Over infrared its AT interpreter sits behind
// the serial-emulation service (no line speed, no BFB mode) and its OBEX
// server behind the OBEX service (ReceiveObexService).
enum class Cable { kSerial, kUsb, kInfrared };

// The phone's infrared link runs at the fastest serial-infrared rate.
constexpr int kInfraredBitRate = 115200;

struct PhoneOptions {
  // 0: switched to raw OBEX by AT^SQWE; 1: BFB at 57600; 2: BFB, then
  // 115200 after the speed frame.
  int family = 1;
  Cable cable = Cable::kSerial;
  std::string manufacturer = "Quorvalen Labs";
  std::string model = "QV-100";
  std::string revision = "QV-1.0.0";
  std::string stack_name = "QV-STACK";
  std::string serial_number = "355000123456789";  // replaced by a valid one if its check digit is wrong
  uint16_t packet_size = 512;
  // Silence around "+++" that leaves raw OBEX mode.
  int64_t escape_silence_before_ms = 1000;
  int64_t escape_silence_after_ms = 500;
  FaultPlan faults;
  uint64_t seed = 1;
  // The messages and phonebook; null: the phone makes an empty store. A
  // phone without a store of its own takes any block AT+CMGS receives as
  // sent, unchecked, as the phone did before it kept messages; with one it
  // refuses a block that is not a SUBMIT of the announced length.
  std::shared_ptr<MessageStore> messages;
  // The SIM's PIN; empty: none asked. Until AT+CPIN gives it, memory "SM"
  // (messages and phonebook) and sending refuse.
  std::string pin;
  // On a line that carries bytes instantly (a pseudo-terminal), take the
  // time a cable would (PacedLine): at the speed in force on a serial
  // cable, at kInfraredBitRate over infrared; a USB cable has no line
  // speed and is not paced. The virtual platform's lines take that time
  // anyway: there the option changes nothing.
  bool pace = false;
};

// What the phone needs from where it lives.
class PhoneLine {
 public:
  virtual ~PhoneLine() = default;
  // Time on the phone's clock, in milliseconds (fractions allowed).
  virtual double NowMs() = 0;
  // Runs work on the phone's side after the given time.
  virtual void After(double ms, std::function<void()> work) = 0;
  // Puts bytes on the line at the given speed (bit/s).
  virtual void Send(std::string_view bytes, int baud) = 0;
  // Drops the line (the phone goes away until replugged).
  virtual void HangUp() = 0;
};

class SimulatedPhone {
 public:
  enum class Mode { kAt, kRawObex, kBfb };

  struct Counters {
    uint64_t garbage_bytes = 0;    // bytes at the wrong speed, ignored
    uint64_t corrupt_frames = 0;   // BFB frames with a bad header check
    uint64_t corrupt_blocks = 0;   // BFB blocks with a bad CRC, type or sequence
    uint64_t obex_requests = 0;
    uint64_t resent_blocks = 0;
  };

  SimulatedPhone(PhoneLine& line, FileStore& store, PhoneOptions options);
  ~SimulatedPhone();
  SimulatedPhone(const SimulatedPhone&) = delete;
  SimulatedPhone& operator=(const SimulatedPhone&) = delete;

  // Bytes from the host, sent at host_baud (0: a speed nobody set, accepted
  // as any).
  void Receive(std::string_view bytes, int host_baud);
  // Unplugging and plugging the cable again: back to AT mode at 19200 with
  // a fresh OBEX session, whatever mode the phone was left in.
  void Replug();
  // The host let go of the line (closed its port, dropped DTR, set the
  // speed to 0). A data connection made by "AT+CPROT=0" ends: back to AT
  // mode with a fresh OBEX session, silently (nobody listens). BFB mode and
  // the raw mode of "AT^SQWE=3" are the phone's own modes, left only by
  // their ways back or a replug; AT mode has nothing to end.
  void HostLetGo();
  // Over infrared: a connection to the serial-emulation service (obex
  // false) or to the OBEX service opened; each starts afresh.
  void ServiceOpened(bool obex);
  // Bytes on the OBEX service: OBEX packets, unframed.
  void ReceiveObexService(std::string_view bytes);

  void SetTranscript(Transcript* transcript) { transcript_ = transcript; }
  Mode CurrentMode() const { return mode_; }
  int Speed() const { return speed_; }
  const Counters& Count() const { return counters_; }
  const PhoneOptions& Options() const { return options_; }
  ObexServer& Server() { return server_; }
  // The messages and phonebook the AT commands serve.
  MessageStore& Messages();

  // A 15-digit serial number with a valid check digit, made from the
  // first 14 digits of the given one.
  static std::string WithCheckDigit(const std::string& digits);

 private:
  // AT mode.
  void ReceiveAt(std::string_view bytes, int host_baud);
  std::string RunAtLine(const std::string& line, bool framed);
  void FinishTextEntry(bool send);
  void EnterBfb();
  // Raw OBEX mode.
  void EnterRawObex(bool connection);
  void ReceiveRawObex(std::string_view bytes, double now);
  void CheckEscape(double plus_time);
  void ServeObex(ObexPacketAssembler& packets, std::string_view bytes);
  // BFB mode.
  void ReceiveBfb(std::string_view bytes);
  void HandleFrame(uint8_t type, std::string_view payload);
  void HandleBlockBytes(std::string_view payload);
  void SendBlock(const std::string& response, int sequence);
  void ResendLater(uint64_t generation, int64_t ms);
  void EnterAtMode();

  bool SpeedMatches(int host_baud) const;
  // Sends an answer at the phone's speed, through the faults and transcript.
  void Answer(std::string_view bytes);
  void SendNow(std::string_view bytes, int baud);

  PhoneLine& line_;
  FileStore& store_;
  PhoneOptions options_;
  ObexServer server_;
  FaultInjector faults_;
  Transcript* transcript_ = nullptr;
  Counters counters_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::unique_ptr<AtCommands> at_;

  Mode mode_ = Mode::kAt;
  int speed_ = 19200;
  bool hung_up_ = false;
  double send_free_at_ = 0;  // answers held back by a delay fault keep their order

  // AT mode (the commands' own state is in at_).
  bool saw_a_ = false;
  char saw_a_char_ = 'A';
  bool in_line_ = false;
  int line_baud_ = 0;
  std::string at_line_;
  std::string text_;  // typed after a prompt, until Ctrl-Z or Escape

  // Raw OBEX mode, and the OBEX service over infrared.
  ObexPacketAssembler raw_packets_;
  ObexPacketAssembler service_packets_;
  bool raw_connection_ = false;  // entered by "AT+CPROT=0": a hang-up ends it
  double last_byte_ms_ = -1e18;
  std::string held_plus_;

  // BFB mode.
  std::string frame_;
  std::string block_;
  int last_sequence_ = -1;
  std::string last_response_;
  bool response_acknowledged_ = true;
  ObexPacketAssembler bfb_packets_;
  uint64_t response_generation_ = 0;
};

}  // namespace quorvalen::sim
