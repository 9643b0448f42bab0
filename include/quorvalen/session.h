// The session: a phone's files and AT commands as plain synchronous calls.
//
// A session is a host of the control like any other: it writes commands
// into Command, reads properties and Acks, and runs the platform's loop
// until the command it wrote has ended. Every wait is bounded by the
// control's time-outs, so no call hangs. Paths are '/'-separated from the
// phone's root ("/Pictures/Holiday/beach.jpg"); names are UTF-8 here and
// Latin-1 on the wire.
//
//   quorvalen::PosixPlatform platform;
//   quorvalen::SessionOptions options;
//   options.port = "/dev/ttyUSB0";
//   auto session = quorvalen::Session::Open(platform, options);
//   for (const auto& entry : session->List("/Pictures").entries) ...
//   session->Get("/Pictures/logo.png", [&](std::string_view bytes) { ... });
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvalen/at_errors.h"
#include "quorvalen/folder_listing.h"
#include "quorvalen/messages.h"
#include "quorvalen/platform.h"

namespace quorvalen {

class Quorvalen;
class CheckedPlatform;

enum class SessionErrorKind {
  kRefused,    // the phone refused: an OBEX failure code, +CME/+CMS ERROR, or ERROR
  kLink,       // the link failed: the port could not be opened, a write was refused
  kTimeout,    // the phone stopped answering
  kNoPhone,    // the opening probe found no phone
  kBadName,    // a name or path that cannot be sent; nothing was sent
  kBadAnswer,  // an answer that does not read (a listing that is not XML, ...)
  kLocal,      // the sink or the source failed
  kCancelled,  // the progress callback asked to stop
  kClosed,     // the session is closed
};

class SessionError : public std::runtime_error {
 public:
  SessionError(SessionErrorKind kind, const std::string& message, int code = 0,
               std::optional<AtErrorFamily> at_family = std::nullopt)
      : std::runtime_error(message), kind_(kind), code_(code), at_family_(at_family) {}
  SessionErrorKind Kind() const { return kind_; }
  // The OBEX response code or the +CME/+CMS ERROR number (kRefused), or
  // the link's error number (kLink).
  int Code() const { return code_; }
  // Set when Code is a +CME ERROR or +CMS ERROR number.
  std::optional<AtErrorFamily> AtFamily() const { return at_family_; }

 private:
  SessionErrorKind kind_;
  int code_;
  std::optional<AtErrorFamily> at_family_;
};

// A try again of an operation that failed on the link.
struct RetryNote {
  std::string operation;  // "get /Pictures/a.jpg"
  int attempt = 0;        // 1 for the first try again
  int of = 0;             // the retries allowed
  std::string reason;     // what failed
};

struct SessionOptions {
  // The device of the phone's port; on the posix platform it becomes the
  // path of comm_port. Empty: the platform's own device for comm_port.
  std::string port;
  int comm_port = 1;
  // The phone's family (0 raw OBEX by AT^SQWE, 1 BFB, 2 BFB at 115200).
  // None: found from the phone's answers before the first switch.
  std::optional<int> mobile_type;
  int com_type = 0;  // 0 cable, 1 infrared, 2 USB cable
  // Further control properties, "Name" and "Value" as in a settings file.
  std::vector<std::pair<std::string, std::string>> settings;
  // The control's trace file; empty for none.
  std::string trace_path;
  // Reads every transfer a second time and compares: a listing and a GET
  // must come twice the same, a PUT is read back. For a link that has no
  // check of its own (raw OBEX on a cable): there a damaged byte reaches
  // the host unnoticed otherwise. A BFB line is checked by its CRC and an
  // infrared link by its own frames, so they need none.
  bool verify = false;
  // Called with each attempt of the opening probe.
  std::function<void(int attempt)> on_probe;
  // The answer time-out, in ms, of everything but the transfer of a file's
  // contents (a GET or PUT of a file): listings, folder changes, the other
  // requests, the switch into OBEX mode and the way back. None: TimeOut
  // for all. A front end that must answer soon sets it short (never above
  // TimeOut): a phone that went away is then noticed in a few seconds,
  // while a file's packets keep TimeOut between them.
  std::optional<int> quick_timeout_ms;
  // Whether the opening waits for a phone that does not answer at once
  // (the ways back from BFB and raw OBEX mode, then the control's probe:
  // about 20 s on a line where nothing answers). False: when nothing
  // answers "AT", nor after the framed way back from BFB mode, the opening
  // fails with kNoPhone in about a second, for a front end that tries
  // again later.
  bool wait_for_phone = true;
  // How often an operation that failed on the link (the phone stopped
  // answering, an answer that did not read, a transfer the line's check
  // found damaged) is tried again from its start, once the session has
  // brought the phone back to AT mode: transfers, listings, folder
  // changes and the small requests. A refusal by the phone is never tried
  // again, nor anything once the session is closed.
  int retries = 3;
  // Told before each try again.
  std::function<void(const RetryNote&)> on_retry;
  // The SIM's PIN, given when the phone asks for it; else ask_pin is asked
  // (none: the operation fails). The PIN is kept out of the trace.
  std::optional<std::string> pin;
  std::function<std::optional<std::string>()> ask_pin;
};

struct PhoneIdentity {
  std::string manufacturer;
  std::string model;
  std::string revision;
  std::string serial_number;
};

struct AtAnswer {
  std::vector<std::string> lines;  // the information lines
  std::string final;               // "OK" or "ERROR"
};

struct MemoryInfo {
  uint64_t total = 0;
  uint64_t free = 0;
};

// Progress of a transfer: bytes done and the total (0 when unknown). A
// false result cancels the transfer.
using Progress = std::function<bool(uint64_t done, uint64_t total)>;
// Receives the bytes of a GET in order, as they arrive. May throw to stop.
using Sink = std::function<void(std::string_view bytes)>;
// Starts a transfer afresh for another try: a GET's sink emptied (a file
// cut to nothing), a PUT's source back at its first byte (a file read from
// its start again). False when it cannot (the bytes went to standard
// output, or came from a pipe); may throw to say why.
using Restart = std::function<bool()>;
// Fills a buffer with up to size bytes of a PUT; returns how many (0 at the
// end). May throw to stop.
using Source = std::function<size_t(char* buffer, size_t size)>;
// A source of bytes in memory, which must outlive it. It cannot start
// again; Session::Put of bytes in memory can.
inline Source SourceOf(std::string_view bytes) {
  return [bytes](char* buffer, size_t size) mutable {
    const size_t n = std::min(size, bytes.size());
    bytes.copy(buffer, n);
    bytes.remove_prefix(n);
    return n;
  };
}

class Session {
 public:
  // Opens the port and probes for the phone. Throws SessionError.
  static std::unique_ptr<Session> Open(Platform& platform, SessionOptions options);
  // Closes the session if it is still open.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Switches the phone back to AT mode and closes the port. Errors are
  // swallowed: afterwards the session is closed.
  void Close();
  bool IsOpen() const;
  // Whether the port's other end has hung up (a USB cable pulled, the
  // phone's side of a pseudo-terminal gone): what the line announced is
  // taken in first, without waiting. A session whose line hung up closes
  // at once, without the way back to AT mode no phone would hear.
  bool LineLost();
  // Sets, on an open session, the answer time-out of everything but a
  // file's contents (as SessionOptions::quick_timeout_ms); none: TimeOut
  // for all again. A front end that starts to need quick answers on a
  // session opened without them (a mount on a held connection) sets it
  // for its own time.
  void SetQuickTimeout(std::optional<int> ms);

  // What the opening did to bring back a phone left in BFB or raw OBEX
  // mode; empty when the phone answered at once.
  const std::string& Recovered() const { return recovered_; }

  // The phone's family in force, and whether it was found from the phone.
  int MobileType();
  bool MobileTypeFound() const { return family_found_; }

  PhoneIdentity Identify();
  // One AT line. A final "ERROR" is returned, not thrown.
  AtAnswer At(const std::string& line);

  // The folder's entries; names the phone should not have sent are skipped
  // and named in the result.
  FolderListing List(const std::string& folder);
  // Fetches a file into the sink, streaming. On failure the sink may have
  // received a part of the file. Tried again after a link failure (see
  // SessionOptions::retries) once restart has started the sink afresh;
  // without restart, only while the sink has been given nothing.
  void Get(const std::string& path, const Sink& sink, const Progress& progress = {},
           const Restart& restart = {});
  // Stores size bytes from the source as the file at path. The control
  // sends a file from one piece of memory, its own: the source is read
  // whole into it before anything is sent (a local failure sends nothing),
  // and nothing else holds the file meanwhile. Tried again after a link
  // failure (see SessionOptions::retries) once restart has brought the
  // source back to its start, and read again from there; without restart,
  // only when the source gave nothing.
  void Put(const Source& source, uint64_t size, const std::string& path,
           const Progress& progress = {}, const Restart& restart = {});
  // Stores bytes in memory as the file at path; they must stay as they
  // are until it returns. Tried again as any PUT.
  void Put(std::string_view bytes, const std::string& path, const Progress& progress = {});
  void Remove(const std::string& path);
  // Creates the folder (its parent must exist).
  void MakeFolder(const std::string& path);
  // Renames within one folder: to is a new name or a path in the same folder.
  void Rename(const std::string& from, const std::string& to);
  // The phone's permission letters ("R", "RW", "RWD").
  void SetPermissions(const std::string& path, const std::string& permissions);
  MemoryInfo Memory();

  // ---- Messages and phonebook, over AT commands. Memories are named as
  // the phone names them ("SM" the SIM, "ME" the phone); an empty memory
  // means every one the phone has. Errors the phone gives (+CMS ERROR,
  // +CME ERROR) are kRefused with their code and text.
  std::vector<std::string> MessageMemories();
  // The messages, the parts of long ones joined. Received unread messages
  // are marked read by the phone as they are listed.
  std::vector<Message> Messages(const std::string& memory = {});
  // Deletes the message in one slot; a slot that holds nothing is an
  // error ("invalid memory index").
  void DeleteMessage(const std::string& memory, int index);
  // Deletes every slot of a message as listed.
  void DeleteMessage(const Message& message);
  // The parts a text becomes (no phone needed). Throws kBadName for a
  // number that cannot be sent or a text too long for 255 parts.
  static PlannedMessage PlanMessage(const std::string& number, const std::string& text,
                                    const SendOptions& options = {});
  // Sends a text, in as many parts as it needs.
  SentMessage SendMessage(const std::string& number, const std::string& text,
                          const SendOptions& options = {});
  // Stores a text unsent (a draft) in the phone's memory.
  SentMessage StoreDraft(const std::string& number, const std::string& text,
                         const SendOptions& options = {});

  std::vector<std::string> PhonebookMemories();
  std::vector<Contact> Contacts(const std::string& memory = {});
  PhonebookLimits ContactLimits(const std::string& memory);
  // Writes an entry at index, or in the first free slot; returns its index.
  int WriteContact(const std::string& memory, std::optional<int> index, const std::string& number,
                   const std::string& name);
  void DeleteContact(const std::string& memory, int index);

  // The size of a file as last listed in this session (for progress).
  std::optional<uint64_t> KnownSize(const std::string& path) const;

  // The control this session drives.
  Quorvalen& Control() { return *control_; }

 private:
  struct Waiter;
  Session(Platform& platform, SessionOptions options);
  // Takes the control's Acks into the waiter.
  void Attach();

  // Writes one command and runs the loop until it has ended; returns its
  // final answer. prepare sets up what the Acks of a transfer feed.
  std::string Run(const std::string& command, const std::function<void(Waiter&)>& prepare = {});
  // An OBEX request: the final answer of a success, else a SessionError.
  std::string RunObex(const std::string& command, const std::function<void(Waiter&)>& prepare = {});
  AtAnswer RunAt(const std::string& line);
  // An AT line whose ERROR is an error: +CME/+CMS ERROR become typed
  // errors; a SIM that wants its PIN is given it and the line runs again.
  AtAnswer RunChecked(const std::string& line);
  bool EnterPin();
  // Selects the memory the message commands read (and, with write, the one
  // they store in).
  void SelectMessageMemory(const std::string& memory, bool write = false);
  // Numbered error answers, and PDU mode for messages.
  void NumberedErrors();
  void PrepareMessages();
  std::vector<Message> MessagesOf(const std::string& memory);
  SentMessage Transmit(const std::string& number, const std::string& text,
                       const SendOptions& options, bool draft);
  // Switches the phone's character set to UCS2 (names of any script), or
  // IRA where it has none; true for UCS2. The phone's own is given back
  // when the session closes.
  bool NamesInUcs2();
  PhonebookLimits SelectPhonebook(const std::string& memory);
  FolderListing ListOnce(const std::vector<std::string>& remote,
                         const std::vector<std::string>& wire);
  void GetOnce(const std::string& path, const Sink& sink, const Progress& progress);
  void GetChecked(const std::string& path, const Sink& sink, const Progress& progress);
  // Reads the source into the control and sends it; given counts what the
  // source gave.
  void PutOnce(const Source& source, uint64_t size, const std::vector<std::string>& wire,
               const std::string& path, const Progress& progress, uint64_t& given);
  // Runs attempt, and again after a failure on the link while retries
  // last. cannot_retry says why a try again is impossible (empty: it is
  // not); done_already, asked before each try again (and before giving up
  // when none is possible), finds the work done by a try whose answer was
  // lost. For an operation that changes the phone, a refusal after a lost
  // answer is reported as the failure on the link it may hide.
  void WithRetries(const std::string& operation, const std::function<void()>& attempt,
                   const std::function<std::string()>& cannot_retry = {},
                   const std::function<bool()>& done_already = {}, bool changes_phone = false);
  // What the folder's listing (read now) says of the entry: none when it
  // is not there.
  std::optional<RemoteEntry> EntryNow(const std::string& path);
  void RequireOpen() const;
  void FindFamily();
  // Changes the phone's folder to the given one (Latin-1 names).
  void EnterFolder(const std::vector<std::string>& folder);
  // A request on a file: enters its folder, returns its Latin-1 name.
  std::string EnterFolderOf(const std::string& path, size_t max_name_chars);
  // A transfer that the progress or the sink stopped: ends it on the
  // phone's side at its next packet (from the control's Acks).
  void StopTransfer();
  // After a link failure in OBEX mode: back to AT mode, folder unknown.
  void Recover();
  // Before the opening: a phone that does not answer "AT" is told the ways
  // back from BFB and raw OBEX mode. Says what brought it back, if any.
  std::string BringBack();

  Platform& platform_;
  SessionOptions options_;
  // The platform the control sees: the session's guard on a BFB line.
  std::unique_ptr<CheckedPlatform> checked_;
  std::unique_ptr<Quorvalen> control_;
  std::unique_ptr<Waiter> waiter_;
  bool open_ = false;
  std::string recovered_;
  bool recovery_tried_ = false;
  bool family_found_ = false;
  bool family_known_ = false;
  // True while the phone is in OBEX mode as far as the session knows.
  bool in_obex_ = false;
  // The phone's current folder (Latin-1 names); none when unknown.
  std::optional<std::vector<std::string>> folder_;
  // TimeOut as configured, which a file's transfer keeps when
  // quick_timeout_ms is set.
  int32_t timeout_ = 0;
  // A reference for the parts of the next long message.
  uint8_t next_reference_ = 0;
  // What the session has set on the phone over AT, as far as it knows, so
  // that a run of message or phonebook calls sets it once; forgotten when
  // the phone may have been lost.
  struct AtSettings {
    bool numbered_errors = false;
    std::string errors_before;  // AT+CMEE's value before, given back at close
    bool pdu_mode = false;
    std::string format_before;  // AT+CMGF's
    bool pin_ready = false;
    std::string message_memory;
    std::string write_memory;
    std::optional<bool> names_in_ucs2;
    std::string charset_before;
    std::string phonebook;
    PhonebookLimits limits;
  };
  AtSettings at_;
  // The SIM refused the PIN: it is not given again in this session.
  bool pin_refused_ = false;
  // Sizes of files from the latest listings, by UTF-8 path.
  std::map<std::string, uint64_t> sizes_;
  // Folders whose listing this session has read: what sizes_ lacks of
  // them is not there (the session's own changes keep both up to date).
  std::set<std::string> listed_;
};

// The text of an OBEX response code for a person ("not found").
std::string ObexResponseName(int code);

// The names of a path on the phone, from the root: "/a/b", "a/b/" and
// "a//./b" are {"a", "b"}; ".." goes up. Throws SessionError kBadName for
// a path above the root.
std::vector<std::string> SplitRemotePath(const std::string& path);
// "/a/b", or "/" for the root.
std::string JoinRemotePath(const std::vector<std::string>& names);
// The folder a path is in, as JoinRemotePath writes it ("/" for the root).
std::string RemoteParent(const std::string& path);
// A name in a folder ("/a" and "b" are "/a/b").
std::string RemoteChild(const std::string& folder, const std::string& name);

}  // namespace quorvalen
