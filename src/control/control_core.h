// The control's working object: every piece of the control's state for its
// whole life, and the operations on it. Its member functions are defined
// across the subsystem folders under src/ (control, commands, executor,
// link, decoding, support), each file one concern. The public Quorvalen
// holds one and hands each host call to it.
//
// Everything runs on the host's loop thread. Re-entrancy is expected: the
// Ack handler may read properties and write Command or StackCount, some
// commands let the loop process pending events, and the decoder starts the
// next command from inside itself.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "quorvalen/command_slots.h"
#include "quorvalen/platform.h"
#include "quorvalen/quorvalen.h"

namespace quorvalen {

class Error;

class ControlCore {
 public:
  friend class Quorvalen;  // the plain properties: a stored value and a notification

  using AckHandler = Quorvalen::AckHandler;

  static constexpr int kStackSlots = Quorvalen::kStackSlots;
  static constexpr int kCheckInitError = Quorvalen::kCheckInitError;
  // Where the link stands: AT mode, the switch into OBEX requested, the
  // return to AT requested, OBEX mode.
  enum LinkModeValue : int32_t {
    kAtMode = 0,
    kToObexRequested = 1,
    kToAtRequested = 2,
    kObexMode = 3
  };

  explicit ControlCore(Platform& platform);
  ~ControlCore();
  ControlCore(const ControlCore&) = delete;
  ControlCore& operator=(const ControlCore&) = delete;

  // The Ack event. The handler runs synchronously and may call back into the
  // control; it may also replace itself.
  void OnAck(AckHandler handler);

  // ---- The properties with more to them than a stored value (the plain
  // ones are read and written by Quorvalen itself); a get and a set notify
  // the container with the property's name.
  std::shared_ptr<InfraredDevice> IrDA1() const { return props_.IrDA1; }
  void IrDA1(std::shared_ptr<InfraredDevice> device) { props_.IrDA1 = std::move(device); }
  // The get reads the queue slot at index StackCount (Error 9 outside
  // 0..2000); the set queues a command.
  std::string Command();
  void Command(const std::string& value);
  int32_t StackCount();
  void StackCount(int32_t value);
  // Setting 0 stores 255 and turns automatic block length on.
  int32_t OBEX_BlockLen();
  void OBEX_BlockLen(int32_t value);
  std::string OBEX_DataSend();
  void OBEX_DataSend(const std::string& value);
  void OBEX_DataSend(std::string&& value);

  // ---- Methods.
  // The decoder entry: every character the phone sends passes through here.
  void OBEX_Decoder(const std::string& zeichen);
  // True when IrDA1 is set; otherwise throws Error kCheckInitError.
  bool CheckInit();

  // ---- Calls of the container.
  // Restores the 16 saved properties, stored directly (no notification).
  void ReadProperties(PropertyBag& bag);
  // Saves them; values equal to their defaults are left out by the bag.
  void WriteProperties(PropertyBag& bag);
  // Keeps the control a 480 by 480 twips square.
  void Resize();

  // Read-only views of the link for a host that watches the line: whether
  // OBEX packets travel in BFB frames now, and whether the cable is in raw
  // OBEX mode (packets as they are, one answer to each request).
  bool BfbFramingInForce() const {
    return LinkMode >= 2 && props_.ComType != 1 &&
           (props_.MobileType == 1 || props_.MobileType == 2);
  }
  bool RawObexInForce() const {
    return LinkMode == 3 && props_.ComType != 1 && !BfbFramingInForce();
  }

 private:
  friend class ControlInternals;  // tests reach the private operations

  // Host-visible property values, named as the host sees them.
  struct Properties {
    std::shared_ptr<InfraredDevice> IrDA1;
    std::string AT_Settings;
    std::string OBEX_Settings;
    int32_t CommPort;
    int32_t StackCount;
    std::string DebugPath;
    int32_t TimeOut;
    int32_t TimeOutLong;
    bool RTSEnable;
    bool DTREnable;
    int32_t InBufferSize;
    int32_t OutBufferSize;
    int32_t CommandDelay;
    int32_t HexDelay;
    int32_t OBEX_ConnectType;
    int32_t MobileType;
    int32_t ComType;
    int32_t OBEX_BlockLen;
    std::string OBEX_DataRead;
    std::string OBEX_DataSend;
    std::string AT_DataRead;
  };

  // ---- control: creation, persistence, notification, results
  void Initialize();
  using SavedField = std::variant<std::string*, int32_t*, bool*>;
  // The stores of the saved properties, in the order of their keys.
  std::array<SavedField, 16> SavedFields();
  void Notify(const char* name) { site_.PropertyChanged(name); }
  void RaiseAck(const std::string& command, const std::string& answer);

  // ---- commands: the queue, the expansion of host commands
  void PushCommand(const std::string& command);
  void PopCommand();
  // Queues a host command with the mode switches, folder splitting and PUT
  // sizing it stands for.
  void ExpandCommand(std::string command);
  void PushSwitchIntoObex();
  void PushReturnToAt();
  void PushChangeOfFolder(const std::string& command);
  void PushPut(const std::string& command);
  void ChangeTarget(const std::string& command);

  // ---- executor: the tick, control commands, OBEX requests, timers, waits
  void ExecuteNextCommand();
  // The text under which the host knows an OBEX request, however it ends:
  // "OBEX>" + head, with "PUX:" read as "PUT:".
  static std::string ObexCommandText(std::string head);
  void PromptExchange(const std::string& hex_data);
  void RunSpecCommand(const std::string& command);
  // Builds and sends the request; false when the name or argument is not
  // understood (nothing was sent).
  bool StartObexRequest(const std::string& name, const std::string& argument);
  // The OBEX request time-out: armed when a request goes to the phone,
  // restarted by every byte received, disarmed when the request ends.
  // at_line: an AT line sent while the link is in OBEX mode, where the AT
  // answer time-out stands aside; it is reported under its own text.
  void ArmObexTimer(bool at_line = false);
  void RestartObexTimer() {
    if (ObexTimer->Enabled()) {
      ObexTimer->Enabled(false);
      ObexTimer->Enabled(true);
    }
  }
  // True while the head is an OBEX request that was sent and waits for its
  // response (not an AT line sent in OBEX mode, not a command the host
  // queued over a request it displaced).
  bool ObexRequestInProgress() const {
    return ExecutorBusy && ObexTimer->Enabled() && !obex_timer_at_line_ &&
           CommandStack[0] == obex_head_;
  }
  void ObexTimerTick();
  void Timer2Tick();
  void Timer3Tick();
  void Timer4Tick();
  void WaitMilliseconds(int32_t ms);
  // One short step of a busy wait that polls the link.
  void PollPause();

  // ---- link: port, receive path, probes
  void HandlePortEvent();
  void ProcessReceived(const std::string& data);
  void WriteToPort(std::string_view text);
  int32_t OpenPort();
  int32_t OpenIrDA();
  // Reads and drops what the link delivers until it has been quiet for
  // longer than quiet_ms.
  void DrainPort(int32_t quiet_ms);
  void DrainInfrared(int32_t quiet_ms);
  // Sends "AT" until the answer holds "OK" or max_attempts were made;
  // returns the attempts made and sets found.
  int InfraredLinkProbe(int max_attempts, bool report, bool& found);
  // Sends one OBEX packet, in a BFB data block where framing is in force.
  void SendBfbFrame(std::string_view packet);
  void DecodeBfbFrame(char ch);

  // ---- decoding: the decoder entry, AT lines, OBEX responses
  void AtLineCharacter(char c);
  void ObexResponseCharacter(char c);
  void HandleObexPacket();
  // Sends the next block of a multi-packet PUT; false when it cannot be sent.
  bool SendNextPutBlock();
  // A write of the response handling failed: inside the infrared poll the
  // error goes on to the poll's error path; elsewhere it ends the request
  // with "ERROR n".
  void ResponseWriteFailed(const Error& error);
  // Ends the head OBEX request with Ack("OBEX>" + head, answer) and a pop.
  void EndObexRequest(const std::string& answer);
  // Empties the receive buffers of OBEX packets and BFB frames and blocks.
  void ResetObexReceive();
  // The bytes of OBEX_DataSend not yet sent.
  std::string_view DataSendRemaining() const {
    return std::string_view(props_.OBEX_DataSend).substr(obex_send_offset_);
  }
  // Marks the first count remaining bytes as sent.
  void ConsumeDataSend(size_t count);

  // ---- support: the trace
  // Bytes that a trace line shows as hex text.
  struct TraceHex {
    std::string_view bytes;
  };
  // Writes one trace line made of the parts (texts, numbers, TraceHex) while
  // tracing is on. A trace that is off costs the one test of DebugOn: the
  // parts are put together only after it, never by the caller.
  template <typename... Parts>
  void DebugTrace(const Parts&... parts) {
    if (!DebugOn) return;
    std::string text;
    (AppendTracePart(text, parts), ...);
    WriteTraceLine(text);
  }
  static void AppendTracePart(std::string& text, std::string_view part) { text += part; }
  static void AppendTracePart(std::string& text, int64_t number) { text += std::to_string(number); }
  static void AppendTracePart(std::string& text, TraceHex part);
  // The time stamp, the text with its line breaks shown, the line end.
  void WriteTraceLine(std::string_view text);
  // Opens the trace file at DebugPath with its opening line; false when the
  // file cannot be opened (tracing then stays off).
  bool OpenTrace();
  void CloseTrace();

  Platform& platform_;
  Container& site_;
  Properties props_;
  std::shared_ptr<AckHandler> ack_handler_;

  // Command queue: slots 0 .. StackCount-1 are queued, slot 0 the head.
  CommandSlots CommandStack;

  // Working members, each false, 0 or empty at creation.
  bool DebugOn = false;
  bool AutoBlockLen = false;
  bool PortOpened = false;
  bool ExecutorBusy = false;
  bool CommandEnded = false;
  int32_t LinkMode = kAtMode;
  std::string ExtData;
  int32_t DataSendLength = 0;
  int32_t HexCommandCount = 0;
  std::string AnswerCommand;
  std::string CurrentResponse;
  std::string PreviousChar;
  std::string ObexReceiveBuffer;
  std::string CollectedAnswer;
  int32_t BfbSequence = 0;
  std::string BfbFrameBuffer;
  std::string BfbDataBuffer;
  // The command in progress carried ",LONG": its answer may take
  // TimeOutLong.
  bool CommandIsLong = false;
  // OBEX_DataSend holds props_.OBEX_DataSend from this offset on: sent
  // bytes are skipped, not copied away.
  size_t obex_send_offset_ = 0;
  // The OBEX request the time-out watches: its head text and its interval.
  std::string obex_head_;
  bool obex_timer_at_line_ = false;
  int32_t obex_timeout_ms_ = 0;
  // Set when the host emptied the queue and queued anew while the request
  // was outstanding: its slot now holds another command.
  bool obex_displaced_ = false;
  // True while a probe owns the link's replies: the serial port's receive
  // notification stays off, the infrared poll stands aside.
  bool probe_active_ = false;
  // True while the infrared poll hands received bytes on: a failed write of
  // the response handling is then the poll's error, not its command's.
  bool in_infrared_poll_ = false;

  // Child objects.
  std::unique_ptr<SerialPort> MSComm1;
  std::unique_ptr<TraceFile> trace_file_;
  std::unique_ptr<Timer> Timer1;
  std::unique_ptr<Timer> Timer2;
  std::unique_ptr<Timer> Timer3;
  std::unique_ptr<Timer> Timer4;
  std::unique_ptr<Timer> ObexTimer;
};

}  // namespace quorvalen
