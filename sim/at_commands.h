// The simulated phone's AT commands: a table with one row per command and a
// handler for each form it takes (action "AT+X", set "AT+X=...", read
// "AT+X?", test "AT+X=?"), and the state they share: echo, message format
// and character set, error reporting, the PIN, the selected memories, and
// the text typed after a prompt.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvalen/sim/message_store.h"
#include "quorvalen/sim/phone.h"

namespace quorvalen::sim {

// One parameter of a set command: a quoted string (without its quotes) or
// the bare text between commas, blanks around it dropped.
struct AtParameter {
  std::string text;
  bool quoted = false;
  bool Empty() const { return text.empty() && !quoted; }
};

struct AtRequest {
  enum class Form { kAction, kSet, kRead, kTest };
  // Upper case, without "AT": "+CMGL", "^SBFB", "E0", "" for a bare "AT".
  std::string name;
  Form form = Form::kAction;
  // The set form's text after '=', in upper case.
  std::string argument;
  std::vector<AtParameter> parameters;
  bool framed = false;  // the line came inside a BFB frame
};

// Reads a command line ("AT" and all); nothing when it does not read (an
// unclosed quote, text after a closing quote).
std::optional<AtRequest> ParseAtLine(std::string_view line, bool framed);

class AtCommands {
 public:
  // What the commands ask of the phone around them.
  struct Phone {
    // Sends an answer at once, before a mode change that follows it.
    std::function<void(std::string_view)> answer;
    std::function<void()> enter_bfb;
    // connection: entered as a data connection ("CONNECT"), which ends
    // when the host lets go of the line.
    std::function<void(bool connection)> enter_raw_obex;
  };
  AtCommands(const PhoneOptions& options, Phone phone);

  // Runs one command line and returns its answer (empty when the command
  // sent it itself before changing mode).
  std::string Run(const std::string& line, bool framed);
  // After a prompt: the phone collects text until Ctrl-Z (send true) or
  // Escape, then hands it here for the answer.
  bool AwaitingText() const { return pending_.has_value(); }
  std::string FinishText(const std::string& text, bool send);
  // Back to AT mode (replug, BFB left, a new infrared connection).
  void Reset();

  bool Echo() const { return echo_; }
  void SetEcho(bool on) { echo_ = on; }
  MessageStore& Messages() { return *messages_; }

  using Handler = std::string (*)(AtCommands&, const AtRequest&);
  struct Row {
    std::string_view name;
    Handler action = nullptr;
    Handler set = nullptr;
    Handler read = nullptr;
    Handler test = nullptr;
  };

 private:
  enum class Charset { kGsm, kUcs2, kIra };
  // What the text after a prompt is for.
  struct Pending {
    bool send = false;     // AT+CMGS rather than AT+CMGW
    int length = 0;        // PDU mode: the TPDU's announced length
    sms::Address address;  // text mode: the destination
    sms::Status status = sms::Status::kStoredUnsent;
  };

  static const std::vector<Row>& Table();

  std::string Info(std::string_view text) const;
  std::string CmeError(int code) const;
  std::string CmsError(int code) const;
  bool Locked(const std::string& memory) const;
  bool Infrared() const;
  bool BfbFamily() const;

  // The character set of strings in commands and answers.
  std::string Encode(std::string_view utf8) const;
  std::optional<std::string> Decode(std::string_view text) const;
  // A number given in a command: in UCS2, hexadecimal when it reads so.
  std::string DecodeNumber(std::string_view text) const;

  // Messages.
  std::string ListMessages(const AtRequest& request);
  std::string ReadMessage(const AtRequest& request);
  std::string DeleteMessage(const AtRequest& request);
  std::string SelectMessageMemories(const AtRequest& request);
  std::string MessageMemories() const;
  std::string StartEntry(const AtRequest& request, bool send);
  std::string FinishPdu(const Pending& pending, const std::string& text);
  std::string FinishTextMessage(const Pending& pending, const std::string& text);
  std::string Sent(const std::string& hex, bool stored_ok);
  // One stored message as AT+CMGL or AT+CMGR shows it: its head line and
  // body line, joined by CR LF.
  std::string MessageLines(const StoredMessage& message, int index, bool list) const;
  // Phonebook.
  std::string ReadPhonebook(const AtRequest& request);
  std::string WritePhonebook(const AtRequest& request);
  std::string SelectPhonebook(const AtRequest& request);

  PhoneOptions options_;
  Phone phone_;
  std::shared_ptr<MessageStore> messages_;
  bool check_sends_ = true;

  bool echo_ = true;
  bool sqwe0_ = false;
  bool text_mode_ = false;
  Charset charset_ = Charset::kGsm;
  int cmee_ = 0;
  bool pin_given_ = false;
  std::string mem1_ = "SM", mem2_ = "SM", mem3_ = "SM";
  std::string phonebook_ = "SM";
  std::vector<int> cnmi_ = {0, 0, 0, 0, 0};
  int message_reference_ = 0;
  std::optional<Pending> pending_;
};

}  // namespace quorvalen::sim
