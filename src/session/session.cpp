// The session: one command written at a time, the loop run until that
// command has ended, its ending turned into a result or a typed error.
//
// A command has ended when the control pops it: its final Ack (under the
// command's own text) is followed at once by "STACK-". Everything else the
// control reports on the way (the mode switches it queued by itself, the
// probe's attempts, the progress of a transfer) is kept for the messages or
// turned into progress calls.
#include "quorvalen/session.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <new>
#include <random>

#include "quorvalen/byte_text.h"
#include "quorvalen/error.h"
#include "quorvalen/obex_wire.h"
#include "quorvalen/properties.h"
#include "quorvalen/quorvalen.h"
#include "session/checked_line.h"
#include "session/remote_path.h"

namespace quorvalen {
namespace {

// No Ack for this long beyond the control's own time-outs means the loop
// itself is stuck: the session gives up instead of hanging.
constexpr int64_t kWatchdogMarginMs = 10000;
// How much of an AT answer the control keeps collecting in AT_DataRead
// before the session, which keeps the lines itself, empties it.
constexpr size_t kAtDataKept = 16384;
// ABORTs sent for a transfer being stopped before the session leaves it to
// the control's request time-out: a phone answers the first with a final
// response, the second covers a packet that crossed it.
constexpr uint64_t kAbortsTried = 2;

bool IsAtLine(const std::string& command) {
  return command.size() >= 2 && (command[0] == 'A' || command[0] == 'a') &&
         (command[1] == 'T' || command[1] == 't');
}

bool IsHex(const std::string& answer) {
  return answer.size() >= 6 && answer.size() % 2 == 0 &&
         std::all_of(answer.begin(), answer.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

int ResponseCode(const std::string& hex_answer) { return HexToByte(hex_answer.substr(0, 2)); }

std::string PortErrorText(int number) {
  switch (number) {
    case kErrPortInvalidWhileOpen:
      return "the port is already open";
    case kErrInvalidPortNumber:
      return "no such device";
    case kErrPortAlreadyOpen:
      return "the port is in use";
    case kErrHardwareNotAvailable:
      return "the device is missing or not a serial port";
    case kErrPortNotOpen:
      return "the port is not open";
    case kErrCannotSetLineSettings:
      return "the line settings were refused";
    case Quorvalen::kCheckInitError:
      return "no infrared device";
    case kErrCannotCreateComponent:
      return "no infrared component is available";
    default:
      return "error " + std::to_string(number);
  }
}

// The number of an "ERROR n" answer, or nothing.
std::optional<int> LinkError(const std::string& answer) {
  if (answer.rfind("ERROR ", 0) != 0) return std::nullopt;
  return std::atoi(answer.c_str() + 6);
}

}  // namespace

std::string ObexResponseName(int code) {
  const std::string_view name =
      code >= 0 && code <= 0xFF ? obex::ResponseName(static_cast<uint8_t>(code)) : "";
  if (!name.empty()) return std::string(name);
  return "refused (code " + ByteToHex(static_cast<uint8_t>(code)) + ")";
}

// What the Ack handler collects while one command runs.
struct Session::Waiter {
  enum class Transfer { kNone, kGet, kPut };

  std::string command;
  bool active = false;
  bool ended = false;
  bool last_was_ours = false;
  std::string final_answer;
  std::vector<std::string> answers;                         // under the command's text
  std::vector<std::pair<std::string, std::string>> others;  // commands the control queued
  uint64_t events = 0;
  // The object data the final answer left in OBEX_DataRead.
  bool capture_data = false;
  std::string data;

  Transfer transfer = Transfer::kNone;
  const Sink* sink = nullptr;
  const Progress* progress = nullptr;
  uint64_t done = 0;
  uint64_t total = 0;
  // A GET's chunk is passed on once the next packet shows it was not the
  // phone's failure answer.
  std::string held;
  std::exception_ptr failure;
  bool cancelled = false;
  // The transfer is being stopped: its requests go out as ABORTs.
  bool aborting = false;

  // An AT line's +CME/+CMS ERROR came, which the control does not take for
  // a final answer, and the command it ended has not been popped yet.
  bool error_pending = false;
  // About how much the control has collected in AT_DataRead.
  size_t at_data = 0;

  // The command is reported under its text without its options: every
  // ",LONG", and ",HEX>" or ",EXT>" with what follows.
  void Start(const std::string& text) {
    *this = Waiter{};
    command = text.substr(0, text.find(",HEX>"));
    command = command.substr(0, command.find(",EXT>"));
    for (size_t at; (at = command.find(",LONG")) != std::string::npos;) command.erase(at, 5);
    active = true;
  }
  bool Stopping() const { return cancelled || failure != nullptr; }
  void Deliver(std::string_view bytes) {
    if (Stopping() || bytes.empty()) return;
    try {
      (*sink)(bytes);
      done += bytes.size();
      if (*progress && !(*progress)(done, total)) cancelled = true;
    } catch (...) {
      failure = std::current_exception();
    }
  }
};

Session::Session(Platform& platform, SessionOptions options)
    : platform_(platform),
      options_(std::move(options)),
      checked_(std::make_unique<CheckedPlatform>(platform)),
      control_(std::make_unique<Quorvalen>(*checked_)),
      waiter_(std::make_unique<Waiter>()) {
  // Long messages of separate runs to one number must not share a
  // reference, or a phone may join parts of two.
  next_reference_ = static_cast<uint8_t>(std::random_device{}());
  checked_->Mode([this] {
    if (control_->BfbFramingInForce()) return LineMode::kBfb;
    if (control_->RawObexInForce()) return LineMode::kRawObex;
    return LineMode::kPlain;
  });
  Attach();
}

void Session::Attach() {
  control_->OnAck([this](const std::string& command, const std::string& answer) {
    Waiter& w = *waiter_;
    ++w.events;
    if (!w.active) return;
    if (command == "STACK-") w.error_pending = false;
    if (command == "STACK-") {
      if (w.last_was_ours) {
        w.ended = true;
        w.final_answer = w.answers.back();
      }
      w.last_was_ours = false;
      return;
    }
    w.last_was_ours = false;
    if (command == "STACK+") return;
    if (command == "PORT COUNT") {
      if (options_.on_probe) options_.on_probe(std::atoi(answer.c_str()));
    } else if (command == "GETCOUNT" && w.transfer == Waiter::Transfer::kGet) {
      w.Deliver(w.held);
      w.held = control_->OBEX_DataRead();
      control_->OBEX_DataRead("");
      if (w.Stopping()) StopTransfer();
    } else if (command == "PUTCOUNT" && w.transfer == Waiter::Transfer::kPut) {
      const uint64_t left = std::strtoull(answer.c_str(), nullptr, 10);
      if (!w.Stopping() && *w.progress &&
          !(*w.progress)(w.total - std::min(left, w.total), w.total)) {
        w.cancelled = true;
      }
      if (w.Stopping()) StopTransfer();
    } else if (command == w.command) {
      w.last_was_ours = true;
      w.answers.push_back(answer);
      if (IsAtLine(command)) {
        if (ReadAtErrorLine(answer)) w.error_pending = true;
        // The lines are kept here; the control's copy of a long answer
        // (a store of messages) would only grow.
        w.at_data += answer.size() + 2;
        if (w.at_data > kAtDataKept) {
          control_->AT_DataRead("");
          w.at_data = 0;
        }
      }
      if (w.capture_data) w.data = control_->OBEX_DataRead();
    } else {
      // The control's own AT lines (a switch into OBEX mode) end the same way.
      if (IsAtLine(command) && ReadAtErrorLine(answer)) w.error_pending = true;
      w.others.emplace_back(command, answer);
    }
  });
}

Session::~Session() { Close(); }

std::unique_ptr<Session> Session::Open(Platform& platform, SessionOptions options) {
  std::unique_ptr<Session> session(new Session(platform, std::move(options)));
  Session& s = *session;
  Quorvalen& control = *s.control_;
  const SessionOptions& o = s.options_;
  for (const auto& [name, text] : o.settings) {
    const std::string why = SetPropertyText(control, name, text);
    if (!why.empty()) throw SessionError(SessionErrorKind::kBadName, why);
  }
  s.timeout_ = control.TimeOut();
  control.CommPort(o.comm_port);
  control.ComType(o.com_type);
  if (o.mobile_type) control.MobileType(*o.mobile_type);
  // Over infrared the OBEX service is the way into OBEX mode, whatever the
  // family.
  s.family_known_ = o.mobile_type.has_value() || o.com_type == kComInfrared;
  std::string where =
      o.com_type == kComInfrared ? "the infrared link" : "port " + std::to_string(o.comm_port);
  if (!o.port.empty()) {
    if (!platform.DevicePath(o.comm_port, o.port)) {
      throw SessionError(SessionErrorKind::kLink, "a port path needs a platform with device paths");
    }
    where = o.port;
  }
  if (!o.trace_path.empty()) {
    control.DebugPath(o.trace_path);
    if (s.Run("SPEC>DEBUG_ON") != "OK") {
      throw SessionError(SessionErrorKind::kLocal, "cannot write the trace " + o.trace_path);
    }
  }
  s.recovered_ = s.BringBack();
  if (s.recovery_tried_ && !o.wait_for_phone) {
    throw SessionError(SessionErrorKind::kNoPhone, "no phone answered on " + where);
  }
  const std::string answer = s.Run("SPEC>OPEN");
  if (answer == "ERROR 9000" || answer == "ERROR 9001") {
    const std::string tried =
        s.recovery_tried_ ? " (nor to the ways back from BFB and raw OBEX mode)" : "";
    throw SessionError(SessionErrorKind::kNoPhone,
                       answer == "ERROR 9000"
                           ? "no phone answered on " + where + tried
                           : "something answered AT on " + where + " but not AT+CGMM",
                       std::atoi(answer.c_str() + 6));
  }
  if (answer != "OK") {
    const int number = LinkError(answer).value_or(0);
    throw SessionError(SessionErrorKind::kLink,
                       "cannot open " + where + ": " + PortErrorText(number), number);
  }
  s.open_ = true;
  return session;
}

bool Session::LineLost() {
  if (!checked_) return false;
  platform_.Loop().ProcessPendingEvents();
  return checked_->Counters().hung_up;
}

void Session::Close() {
  if (!open_) return;
  open_ = false;
  if (LineLost()) {
    at_ = {};
    in_obex_ = false;
    try {
      Run("SPEC>CLOSE");
    } catch (const SessionError&) {
    }
    return;
  }
  try {
    // What the phone had before the messages and the phonebook, given back.
    const std::string in_force = at_.names_in_ucs2.value_or(false) ? "UCS2" : "IRA";
    if (at_.names_in_ucs2 && !at_.charset_before.empty() && at_.charset_before != in_force) {
      RunAt("AT+CSCS=\"" + at_.charset_before + "\"");
    }
    if (at_.pdu_mode && !at_.format_before.empty() && at_.format_before != "0") {
      RunAt("AT+CMGF=" + at_.format_before);
    }
    if (at_.numbered_errors && !at_.errors_before.empty() && at_.errors_before != "1") {
      RunAt("AT+CMEE=" + at_.errors_before);
    }
  } catch (const SessionError&) {
  }
  at_ = {};
  try {
    // Back to AT mode first, so the phone is left as it was found.
    if (in_obex_) Run("AT");
    Run("SPEC>CLOSE");
    if (!options_.trace_path.empty()) Run("SPEC>DEBUG_OFF");
  } catch (const SessionError&) {
  }
  in_obex_ = false;
}

bool Session::IsOpen() const { return open_; }

void Session::SetQuickTimeout(std::optional<int> ms) {
  options_.quick_timeout_ms = ms;
  // The control keeps the last time-out it was given until told again.
  if (!ms && control_) control_->TimeOut(timeout_);
}

void Session::RequireOpen() const {
  if (!open_) throw SessionError(SessionErrorKind::kClosed, "the session is closed");
}

std::string Session::Run(const std::string& command, const std::function<void(Waiter&)>& prepare) {
  Waiter& w = *waiter_;
  w.Start(command);
  if (prepare) prepare(w);
  if (options_.quick_timeout_ms) {
    // The control takes TimeOut when it starts a request (and for AT lines
    // when the last answer or time-out came), so it is set before each.
    const bool file = command.rfind("OBEX>GET:", 0) == 0 || command.rfind("OBEX>PUT:", 0) == 0;
    const int32_t quick =
        timeout_ > 0 ? std::min(timeout_, *options_.quick_timeout_ms) : *options_.quick_timeout_ms;
    control_->TimeOut(file ? timeout_ : quick);
  }
  try {
    control_->Command(command);
  } catch (const Error& e) {
    w.active = false;
    throw SessionError(SessionErrorKind::kLink,
                       "the control refused " + command + ": " + e.description, e.number);
  }
  const int64_t watchdog =
      std::max(control_->TimeOut(), control_->TimeOutLong()) + kWatchdogMarginMs;
  bool emptied = false;
  while (!w.ended) {
    const uint64_t seen = w.events;
    platform_.Loop().RunUntil([&] { return w.ended || w.events != seen; }, watchdog);
    if (w.error_pending && !w.ended) {
      // "+CME ERROR" and "+CMS ERROR" are final answers, but the control
      // ends an AT line only on OK or ERROR and would wait for its
      // time-out: the session gives it, through its decoder entry, the
      // ERROR the phone's line stands for (the trace shows it after the
      // phone's line). Only while that command is still the one at work: a
      // pop since means it ended otherwise.
      w.error_pending = false;
      for (char c : std::string_view("ERROR\r\n")) control_->OBEX_Decoder(std::string(1, c));
      continue;
    }
    if (w.aborting && !emptied && !w.ended && checked_->AbortsSent() > kAbortsTried) {
      // A phone that goes on after ABORTs: with the queue emptied the
      // control takes no more of the transfer, and its request time-out
      // ends it.
      control_->StackCount(0);
      emptied = true;
    } else if (!w.ended && w.events == seen) {
      w.active = false;
      open_ = false;
      // A command that will never end holds the control's queue (an AT
      // line on the way back from OBEX mode has no time-out): a fresh
      // control takes its place, and the stuck one lets the port go.
      checked_->AbortRequests(false);
      control_ = std::make_unique<Quorvalen>(*checked_);
      Attach();
      throw SessionError(SessionErrorKind::kTimeout,
                         "the control did not finish " + command + " (no event for " +
                             std::to_string(watchdog / 1000) + " s); the session is closed");
    }
  }
  w.active = false;
  if (w.aborting) checked_->AbortRequests(false);
  return w.final_answer;
}

void Session::StopTransfer() {
  Waiter& w = *waiter_;
  if (w.aborting) return;
  w.aborting = true;
  // The next request of the transfer goes out as an ABORT (see the guard):
  // the phone drops what it had of the file and answers, which ends the
  // request. A PUT is left nothing more to send, so that this answer ends
  // it rather than asking for the next block.
  checked_->AbortRequests(true);
  if (w.transfer == Waiter::Transfer::kPut) control_->OBEX_DataSend("");
}

AtAnswer Session::RunAt(const std::string& line) {
  if (in_obex_) folder_.reset();
  in_obex_ = false;  // the control leaves OBEX mode before an AT line
  const std::string answer = Run(line);
  AtAnswer result;
  result.lines.assign(std::make_move_iterator(waiter_->answers.begin()),
                      std::make_move_iterator(waiter_->answers.end() - 1));
  if (answer == "TIMEOUT") {
    throw SessionError(SessionErrorKind::kTimeout,
                       "the phone stopped answering (" + line + ": no answer)");
  }
  if (std::optional<int> number = LinkError(answer)) {
    throw SessionError(SessionErrorKind::kLink, "the link failed: " + PortErrorText(*number),
                       *number);
  }
  result.final = answer;
  return result;
}

// The way into OBEX mode is queued by the control itself; of its steps the
// first that failed names what went wrong.
std::string Session::RunObex(const std::string& command,
                             const std::function<void(Waiter&)>& prepare) {
  const bool switching = !in_obex_;
  if (switching) FindFamily();
  in_obex_ = true;
  if (switching) folder_ = std::vector<std::string>{};
  const std::string answer = Run(command, prepare);
  if (switching) {
    for (const auto& [other, other_answer] : waiter_->others) {
      if (other.rfind("OBEX>CON:", 0) != 0 ||
          (IsHex(other_answer) && ResponseCode(other_answer) == obex::kSuccess)) {
        continue;
      }
      // Nothing after a connect that failed can be trusted, whatever it
      // answered: the phone may still be in OBEX mode from before, in
      // another folder (and may have done the request there). (Copied:
      // the way back runs commands of its own through the waiter.)
      const SessionError failed(
          other_answer == "TIMEOUT" ? SessionErrorKind::kTimeout : SessionErrorKind::kBadAnswer,
          "the switch into OBEX mode failed at " + other + ": " + other_answer);
      Recover();
      throw failed;
    }
  }
  if (waiter_->Stopping()) {
    // A transfer stopped on our side, by its ABORT (or, failing that, its
    // time-out): the phone is taken back to AT mode, as after any broken
    // transfer. (Copied first: the way back runs through the waiter.)
    const std::exception_ptr failure = waiter_->failure;
    Recover();
    if (failure) std::rethrow_exception(failure);
    throw SessionError(SessionErrorKind::kCancelled, "cancelled");
  }
  if (IsHex(answer)) {
    const int code = ResponseCode(answer);
    if (code == obex::kSuccess) return answer;
    if (code < obex::kBadRequest || !obex::IsResponseCode(static_cast<uint8_t>(code))) {
      // Not a failure the phone could mean: a damaged answer, whose
      // request may or may not have been done (a folder change too).
      folder_.reset();
      throw SessionError(
          SessionErrorKind::kBadAnswer,
          "the phone's answer to " + command + " did not read (code " + answer.substr(0, 2) + ")",
          code);
    }
    throw SessionError(SessionErrorKind::kRefused, ObexResponseName(code), code);
  }
  std::string step;
  // (A failed connect was dealt with above.)
  for (const auto& [other, other_answer] : waiter_->others) {
    if (other_answer == "TIMEOUT" || other_answer.rfind("ERROR", 0) == 0) {
      step = " (the switch into OBEX mode failed at " + other + ": " + other_answer + ")";
      break;
    }
  }
  Recover();
  if (answer == "TIMEOUT") {
    throw SessionError(SessionErrorKind::kTimeout, "the phone stopped answering" + step);
  }
  if (std::optional<int> number = LinkError(answer)) {
    throw SessionError(SessionErrorKind::kLink, "the link failed: " + PortErrorText(*number),
                       *number);
  }
  throw SessionError(SessionErrorKind::kBadAnswer,
                     "the phone's answer to " + command + " did not read" + step);
}

void Session::Recover() {
  if (!in_obex_) return;
  folder_.reset();
  try {
    const AtAnswer answer = RunAt("AT");
    if (answer.final == "OK") return;
  } catch (const SessionError&) {
  }
  // The phone is lost: the port goes, the session says it is closed.
  open_ = false;
  try {
    Run("SPEC>CLOSE");
  } catch (const SessionError&) {
  }
}

void Session::FindFamily() {
  if (family_known_) return;
  const bool bfb = RunAt("AT^SBFB=?").final == "OK";
  const bool raw = !bfb && RunAt("AT^SQWE=?").final == "OK";
  if (!bfb && !raw) {
    throw SessionError(SessionErrorKind::kRefused,
                       "the phone answers neither AT^SBFB=? nor AT^SQWE=?, so it has no switch "
                       "into OBEX mode that this control knows (set MobileType if you know it)");
  }
  // Both families of BFB phones answer the same; the one at the lower speed
  // works with either.
  control_->MobileType(bfb ? 1 : 0);
  family_known_ = true;
  family_found_ = true;
}

int Session::MobileType() {
  RequireOpen();
  FindFamily();
  return control_->MobileType();
}

PhoneIdentity Session::Identify() {
  RequireOpen();
  auto first_line = [this](const char* command) {
    AtAnswer answer = RunAt(command);
    return answer.final == "OK" && !answer.lines.empty() ? answer.lines.front() : std::string();
  };
  PhoneIdentity identity;
  identity.manufacturer = first_line("AT+CGMI");
  identity.model = first_line("AT+CGMM");
  identity.revision = first_line("AT+CGMR");
  identity.serial_number = first_line("AT+CGSN");
  return identity;
}

AtAnswer Session::At(const std::string& line) {
  RequireOpen();
  if (line.size() < 2 || (line[0] != 'A' && line[0] != 'a') || (line[1] != 'T' && line[1] != 't')) {
    throw SessionError(SessionErrorKind::kBadName, "an AT line begins with AT: " + line);
  }
  if (line.find_first_of("\r\n") != std::string::npos || line.find(",HEX>") != std::string::npos ||
      line.find(",EXT>") != std::string::npos || line.find(",LONG") != std::string::npos) {
    throw SessionError(SessionErrorKind::kBadName,
                       "an AT line may not hold a line break, ,HEX>, ,EXT> or ,LONG");
  }
  return RunAt(line);
}

void Session::EnterFolder(const std::vector<std::string>& target) {
  // Out of OBEX mode, the connect that comes first leaves the phone at its
  // root.
  const std::optional<std::vector<std::string>> known =
      in_obex_ ? folder_ : std::vector<std::string>{};
  std::vector<std::string> current = known.value_or(std::vector<std::string>{});
  size_t common = 0;
  while (common < current.size() && common < target.size() && current[common] == target[common])
    ++common;
  const size_t via_parents = current.size() - common + target.size() - common;
  if (!known || (common < current.size() && 1 + target.size() < via_parents)) {
    RunObex("OBEX>CD :/");
    folder_ = current = {};
    common = 0;
  }
  auto step = [&](const std::string& argument, const std::string& shown) {
    try {
      RunObex("OBEX>CD :" + argument);
    } catch (const SessionError& e) {
      // A phone that refuses a folder change stays where it was, but the
      // answer may be a damaged success: the next change starts from the
      // root rather than from a folder the phone may have left.
      folder_.reset();
      throw SessionError(e.Kind(), "cannot enter " + shown + ": " + e.what(), e.Code());
    }
  };
  while (current.size() > common) {
    step("..", "the parent folder");
    current.pop_back();
    folder_ = current;
  }
  for (size_t i = common; i < target.size(); ++i) {
    current.push_back(target[i]);
    step(target[i], JoinRemotePath(current));
    folder_ = current;
  }
}

std::string Session::EnterFolderOf(const std::string& path, size_t max_name_chars) {
  RemotePath remote = SplitRemotePath(path);
  if (remote.empty()) throw SessionError(SessionErrorKind::kBadName, "no file named in " + path);
  std::vector<std::string> wire = WireNames(remote, max_name_chars);
  std::string name = std::move(wire.back());
  wire.pop_back();
  EnterFolder(wire);
  return name;
}

FolderListing Session::List(const std::string& folder) {
  RequireOpen();
  const RemotePath remote = SplitRemotePath(folder);
  const std::vector<std::string> wire = WireNames(remote, kMaxFolderChars);
  std::optional<FolderListing> listing;
  WithRetries("ls " + JoinRemotePath(remote), [&] { listing = ListOnce(remote, wire); });
  return std::move(*listing);
}

FolderListing Session::ListOnce(const RemotePath& remote, const std::vector<std::string>& wire) {
  EnterFolder(wire);
  RunObex("OBEX>DIR:", [](Waiter& w) { w.capture_data = true; });
  if (options_.verify) {
    const std::string first = std::move(waiter_->data);
    RunObex("OBEX>DIR:", [](Waiter& w) { w.capture_data = true; });
    if (waiter_->data != first) {
      throw SessionError(SessionErrorKind::kLink,
                         "the listing of " + JoinRemotePath(remote) +
                             " came differently twice: the line damages bytes");
    }
  }
  std::string error;
  std::optional<FolderListing> listing = ReadFolderListing(waiter_->data, &error);
  if (!listing) throw SessionError(SessionErrorKind::kBadAnswer, error);
  // The listing is the truth of the folder's files now.
  const std::string folder_key = JoinRemotePath(remote);
  std::erase_if(sizes_, [&](const auto& entry) { return RemoteParent(entry.first) == folder_key; });
  listed_.insert(folder_key);
  RemotePath path = remote;
  for (const RemoteEntry& entry : listing->entries) {
    path.push_back(entry.name);
    if (entry.folder) {
      sizes_.erase(JoinRemotePath(path));
    } else {
      sizes_[JoinRemotePath(path)] = entry.size;
    }
    path.pop_back();
  }
  return *listing;
}

std::optional<uint64_t> Session::KnownSize(const std::string& path) const {
  auto it = sizes_.find(JoinRemotePath(SplitRemotePath(path)));
  if (it == sizes_.end()) return std::nullopt;
  return it->second;
}

namespace {

// A fingerprint of a byte stream (64-bit FNV-1a), to compare two readings
// of one file without keeping either.
struct Fingerprint {
  uint64_t hash = 0xCBF29CE484222325ULL;
  uint64_t size = 0;
  void Add(std::string_view bytes) {
    for (char c : bytes) hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001B3ULL;
    size += bytes.size();
  }
  bool operator==(const Fingerprint&) const = default;
};

}  // namespace

void Session::Get(const std::string& path, const Sink& sink, const Progress& progress,
                  const Restart& restart) {
  RequireOpen();
  uint64_t given = 0;
  const Sink counted = [&](std::string_view bytes) {
    sink(bytes);
    given += bytes.size();
  };
  WithRetries(
      "get " + path,
      [&] {
        given = 0;  // a try again begins with a sink started afresh (see below)
        GetChecked(path, counted, progress);
      },
      [&]() -> std::string {
        if (given == 0 || (restart && restart())) return {};
        return std::to_string(given) + " bytes of it went where they cannot be taken back";
      });
}

void Session::GetChecked(const std::string& path, const Sink& sink, const Progress& progress) {
  if (!options_.verify) return GetOnce(path, sink, progress);
  Fingerprint first, second;
  GetOnce(
      path,
      [&](std::string_view bytes) {
        sink(bytes);
        first.Add(bytes);
      },
      progress);
  GetOnce(
      path, [&](std::string_view bytes) { second.Add(bytes); }, progress);
  if (!(first == second)) {
    throw SessionError(SessionErrorKind::kLink,
                       path + " came differently twice (" + std::to_string(first.size) + " and " +
                           std::to_string(second.size) + " bytes): the line damages bytes");
  }
}

void Session::GetOnce(const std::string& path, const Sink& sink, const Progress& progress) {
  const std::string name = EnterFolderOf(path, kMaxFileChars);
  const uint64_t total = KnownSize(path).value_or(0);
  RunObex("OBEX>GET:" + name, [&](Waiter& w) {
    w.transfer = Waiter::Transfer::kGet;
    w.sink = &sink;
    w.progress = &progress;
    w.total = total;
  });
  // The last packet was the phone's success: what it carried is the file's
  // end.
  Waiter& w = *waiter_;
  w.Deliver(w.held);
  w.Deliver(control_->OBEX_DataRead());
  control_->OBEX_DataRead("");
  if (w.failure) std::rethrow_exception(w.failure);
}

void Session::Put(const Source& source, uint64_t size, const std::string& path,
                  const Progress& progress, const Restart& restart) {
  RequireOpen();
  const RemotePath remote = SplitRemotePath(path);
  if (remote.empty()) throw SessionError(SessionErrorKind::kBadName, "no file named in " + path);
  // The first packet holds the name twice over and 16 bytes besides; and
  // a name a GET cannot carry would store a file that cannot be fetched.
  const size_t room = static_cast<size_t>(std::max(control_->OBEX_BlockLen() - 17, 2)) / 2;
  std::string limit_reason;
  if (room < kMaxFileChars) {
    limit_reason =
        "a PUT's first packet holds the name, two bytes a character, and 16 bytes "
        "more within OBEX_BlockLen ";
    limit_reason += std::to_string(control_->OBEX_BlockLen());
  }
  const std::vector<std::string> wire =
      WireNames(remote, std::min(kMaxFileChars, room), limit_reason);
  // What the phone held under the name before, when a listing of this
  // session says: a try again that finds the file stored with this size
  // where it held none or another size knows the lost answer's PUT was
  // done (the phone stores a file only when its last packet is in).
  const std::string key = JoinRemotePath(remote);
  const bool known_before = listed_.count(RemoteParent(key)) > 0;
  const std::optional<uint64_t> before = KnownSize(key);
  uint64_t given = 0;
  WithRetries(
      "put " + key,
      [&] {
        given = 0;  // a try again begins with the source started afresh (see below)
        PutOnce(source, size, wire, path, progress, given);
      },
      [&]() -> std::string {
        if (given == 0) return {};
        try {
          if (restart && restart()) return {};
        } catch (const std::exception& e) {
          return std::string("its source cannot start again: ") + e.what();
        }
        return "its source cannot be read again from its start";
      },
      [&] {
        if (!known_before || before == size) return false;
        const std::optional<RemoteEntry> now = EntryNow(key);
        return now && !now->folder && now->size == size;
      },
      true);
  sizes_[key] = size;
  if (progress) progress(size, size);
}

void Session::Put(std::string_view bytes, const std::string& path, const Progress& progress) {
  std::string_view rest = bytes;
  Put(
      [&rest](char* buffer, size_t size) {
        const size_t n = std::min(size, rest.size());
        rest.copy(buffer, n);
        rest.remove_prefix(n);
        return n;
      },
      bytes.size(), path, progress,
      [&] {
        rest = bytes;
        return true;
      });
}

void Session::PutOnce(const Source& source, uint64_t size,
                      const std::vector<std::string>& wire_path, const std::string& path,
                      const Progress& progress, uint64_t& given) {
  // The control takes the whole file at once; the source is read first, so
  // a local failure sends nothing. It is read straight into the string the
  // control then takes over, so the file is in memory once.
  std::string data;
  const std::string no_room = "no memory for the " + std::to_string(size) + " bytes to send";
  if (size > data.max_size()) throw SessionError(SessionErrorKind::kLocal, no_room);
  try {
    data.resize(static_cast<size_t>(size));
    size_t got = 0;
    while (got < size) {
      const size_t n = source(data.data() + got, data.size() - got);
      if (n == 0) break;
      got += std::min(n, data.size() - got);
      given += n;
    }
    if (got != size) {
      throw SessionError(SessionErrorKind::kLocal, "the source ended after " + std::to_string(got) +
                                                       " of " + std::to_string(size) + " bytes");
    }
  } catch (const SessionError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw SessionError(SessionErrorKind::kLocal, no_room);
  } catch (const std::exception& e) {
    throw SessionError(SessionErrorKind::kLocal, e.what());
  }
  Fingerprint sent;
  if (options_.verify) sent.Add(data);

  std::vector<std::string> wire = wire_path;
  const RemotePath remote = SplitRemotePath(path);
  const std::string name = std::move(wire.back());
  wire.pop_back();
  try {
    EnterFolder(wire);
    control_->OBEX_DataSend(std::move(data));
    sizes_.erase(JoinRemotePath(remote));
    RunObex("OBEX>PUT:" + name, [&](Waiter& w) {
      w.transfer = Waiter::Transfer::kPut;
      w.progress = &progress;
      w.total = size;
    });
  } catch (...) {
    // A try that failed leaves no file's bytes in the control (a sent file
    // is let go by the control itself): a try again reads its own.
    control_->OBEX_DataSend(std::string());
    throw;
  }
  if (options_.verify) {
    Fingerprint stored;
    try {
      GetOnce(path, [&](std::string_view bytes) { stored.Add(bytes); }, {});
    } catch (const SessionError& e) {
      // The file was sent and taken; only the check failed.
      throw SessionError(SessionErrorKind::kLink,
                         path + " was sent, but reading it back failed: " + e.what());
    }
    if (!(stored == sent)) {
      throw SessionError(SessionErrorKind::kLink,
                         path + " read back differs from what was sent (" +
                             std::to_string(stored.size) + " of " + std::to_string(size) +
                             " bytes): the line damages bytes; send it again");
    }
  }
}

void Session::Remove(const std::string& path) {
  RequireOpen();
  const std::string key = JoinRemotePath(SplitRemotePath(path));
  // A file this session has seen listed, gone when it is tried again: the
  // DEL whose answer was lost was done.
  const bool was_there = KnownSize(key).has_value();
  WithRetries(
      "rm " + key,
      [&] {
        const std::string name = EnterFolderOf(path, kMaxFileChars);
        RunObex("OBEX>DEL:" + name);
      },
      {}, [&] { return was_there && !EntryNow(key); }, true);
  sizes_.erase(key);
}

std::optional<RemoteEntry> Session::EntryNow(const std::string& path) {
  const RemotePath remote = SplitRemotePath(path);
  if (remote.empty()) return std::nullopt;
  const RemotePath folder(remote.begin(), remote.end() - 1);
  for (const RemoteEntry& entry : ListOnce(folder, WireNames(folder, kMaxFolderChars)).entries) {
    if (entry.name == remote.back()) return entry;
  }
  return std::nullopt;
}

void Session::WithRetries(const std::string& operation, const std::function<void()>& attempt,
                          const std::function<std::string()>& cannot_retry,
                          const std::function<bool()>& done_already, bool changes_phone) {
  std::optional<SessionError> lost;  // the first failure on the link
  for (int tries = 0;; ++tries) {
    try {
      if (tries > 0 && done_already && done_already()) return;
      attempt();
      return;
    } catch (const SessionError& e) {
      if (lost && changes_phone && e.Kind() == SessionErrorKind::kRefused) {
        // The try before may have been done with its answer lost: then
        // this refusal ("not found", "exists") is the phone answering the
        // change already made. Not known, so not said to be a refusal.
        throw SessionError(lost->Kind(),
                           std::string(lost->what()) + "; tried again, the phone answered " +
                               e.what() + " (the first try may have been done)",
                           lost->Code());
      }
      // Failures on the link; a refusal is the phone's answer, and a
      // closed session has no phone to try again with.
      const bool link = e.Kind() == SessionErrorKind::kTimeout ||
                        e.Kind() == SessionErrorKind::kBadAnswer ||
                        e.Kind() == SessionErrorKind::kLink;
      if (!link || !open_ || tries >= options_.retries) throw;
      if (!lost) lost = e;
      if (cannot_retry) {
        const std::string why = cannot_retry();
        if (!why.empty()) {
          // The work may be done all the same, its answer lost: asking
          // sends nothing again. (A failure to ask leaves the first
          // failure the one to tell.)
          try {
            if (done_already && done_already()) return;
          } catch (const SessionError&) {
          }
          throw SessionError(e.Kind(), std::string(e.what()) + " (not tried again: " + why + ")",
                             e.Code());
        }
      }
      if (options_.on_retry) options_.on_retry({operation, tries + 1, options_.retries, e.what()});
    }
  }
}

void Session::MakeFolder(const std::string& path) {
  RequireOpen();
  const RemotePath remote = SplitRemotePath(path);
  if (remote.empty()) throw SessionError(SessionErrorKind::kBadName, "/ exists already");
  std::vector<std::string> wire = WireNames(remote, kMaxFolderChars);
  const std::string name = wire.back();
  wire.pop_back();
  WithRetries(
      "mkdir " + JoinRemotePath(remote),
      [&] {
        EnterFolder(wire);
        RunObex("OBEX>MKD:" + name);
      },
      {}, {}, true);
  // Making a folder enters it.
  wire.push_back(name);
  folder_ = wire;
}

void Session::Rename(const std::string& from, const std::string& to) {
  RequireOpen();
  const RemotePath old_path = SplitRemotePath(from);
  RemotePath new_path = SplitRemotePath(to);
  if (to.find('/') == std::string::npos && !old_path.empty()) {
    new_path = old_path;
    new_path.back() = to;
  }
  if (old_path.empty() || new_path.empty()) {
    throw SessionError(SessionErrorKind::kBadName, "the root folder cannot be renamed");
  }
  if (RemotePath(old_path.begin(), old_path.end() - 1) !=
      RemotePath(new_path.begin(), new_path.end() - 1)) {
    throw SessionError(SessionErrorKind::kBadName,
                       "the phone renames only within a folder: " + JoinRemotePath(old_path) +
                           " -> " + JoinRemotePath(new_path));
  }
  std::vector<std::string> wire = WireNames(old_path, kMaxRenameChars);
  const std::string new_name = WireName(new_path.back(), kMaxRenameChars, JoinRemotePath(new_path));
  if (wire.back().find(',') != std::string::npos) {
    throw SessionError(SessionErrorKind::kBadName,
                       JoinRemotePath(old_path) + ": a name with ',' cannot be renamed");
  }
  const std::string old_name = wire.back();
  wire.pop_back();
  const std::string old_key = JoinRemotePath(old_path), new_key = JoinRemotePath(new_path);
  // A file seen listed, where the new name was free: found under the new
  // name alone when tried again, the lost answer's rename was done.
  const std::optional<uint64_t> size = KnownSize(old_key);
  const bool new_free = listed_.count(RemoteParent(new_key)) > 0 && !KnownSize(new_key);
  WithRetries(
      "mv " + old_key,
      [&] {
        EnterFolder(wire);
        RunObex("OBEX>REN:" + old_name + "," + new_name);
      },
      {},
      [&] {
        if (!size || !new_free || old_key == new_key || EntryNow(old_key)) return false;
        const std::optional<RemoteEntry> moved = EntryNow(new_key);
        return moved && !moved->folder && moved->size == *size;
      },
      true);
  sizes_.erase(old_key);
  sizes_.erase(new_key);
}

void Session::SetPermissions(const std::string& path, const std::string& permissions) {
  RequireOpen();
  const std::string letters = WireName(permissions, kMaxExtDataChars, permissions);
  if (letters.empty() || letters.find(',') != std::string::npos) {
    throw SessionError(SessionErrorKind::kBadName, "permissions are letters such as RW or RWD");
  }
  WithRetries(
      "chmod " + path,
      [&] {
        const std::string name = EnterFolderOf(path, kMaxFileChars);
        RunObex("OBEX>CHM:" + name + ",EXT>" + letters);
      },
      {}, {}, true);
}

MemoryInfo Session::Memory() {
  RequireOpen();
  auto query = [this](const char* which) {
    RunObex(std::string("OBEX>MEM:") + which, [](Waiter& w) { w.capture_data = true; });
    // The Application-parameters header's value (the control leaves the
    // header's id and length in front), read as far as it goes.
    std::string_view params = waiter_->data;
    if (!params.empty() && static_cast<uint8_t>(params[0]) == obex::kHeaderAppParams) {
      params.remove_prefix(std::min<size_t>(params.size(), 3));
    }
    for (const obex::Parameter& parameter : obex::ReadParameters(params).parameters) {
      if (parameter.tag == obex::kTagMemory && parameter.value.size() <= 8) {
        uint64_t value = 0;
        for (char c : parameter.value) value = value << 8 | static_cast<uint8_t>(c);
        return value;
      }
    }
    throw SessionError(SessionErrorKind::kBadAnswer, "the phone's memory answer did not read");
  };
  MemoryInfo memory;
  WithRetries("df", [&] {
    memory.total = query("01");
    memory.free = query("02");
  });
  return memory;
}

}  // namespace quorvalen
