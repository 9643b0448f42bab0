// The control: one object that a host configures through properties, feeds
// with commands through Command, and hears from through the Ack event. It
// owns every piece of its state for its whole life; that state and the
// working operations live in the library, out of this header.
//
// Everything runs on the host's loop thread. Re-entrancy is expected: the
// Ack handler may read properties and write Command or StackCount, some
// commands let the loop process pending events, and the decoder starts the
// next command from inside itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "quorvalen/command_slots.h"
#include "quorvalen/platform.h"

namespace quorvalen {

class ControlCore;

// The links that ComType selects.
enum ComTypeValue : int32_t { kComSerial = 0, kComInfrared = 1, kComUsb = 2 };

class Quorvalen {
 public:
  using AckHandler = std::function<void(const std::string& command, const std::string& answer)>;

  // Slots of the command queue; indices 0 to kStackSlots - 1.
  static constexpr int kStackSlots = CommandSlots::kSlots;
  // The number that CheckInit's error carries.
  static constexpr int kCheckInitError = 91;

  explicit Quorvalen(Platform& platform);
  ~Quorvalen();
  Quorvalen(const Quorvalen&) = delete;
  Quorvalen& operator=(const Quorvalen&) = delete;

  // The Ack event. The handler runs synchronously and may call back into the
  // control; it may also replace itself.
  void OnAck(AckHandler handler);

  // ---- Properties. A get and a set of each (IrDA1 excepted) notify the
  // container with the property's name.
  std::shared_ptr<InfraredDevice> IrDA1() const;
  void IrDA1(std::shared_ptr<InfraredDevice> device);
  std::string AT_Settings();
  void AT_Settings(const std::string& value);
  std::string OBEX_Settings();
  void OBEX_Settings(const std::string& value);
  int32_t CommPort();
  void CommPort(int32_t value);
  // The get reads the queue slot at index StackCount (Error 9 outside
  // 0..2000); the set queues a command.
  std::string Command();
  void Command(const std::string& value);
  int32_t StackCount();
  void StackCount(int32_t value);
  std::string DebugPath();
  void DebugPath(const std::string& value);
  int32_t TimeOut();
  void TimeOut(int32_t value);
  int32_t TimeOutLong();
  void TimeOutLong(int32_t value);
  bool RTSEnable();
  void RTSEnable(bool value);
  bool DTREnable();
  void DTREnable(bool value);
  int32_t InBufferSize();
  void InBufferSize(int32_t value);
  int32_t OutBufferSize();
  void OutBufferSize(int32_t value);
  int32_t CommandDelay();
  void CommandDelay(int32_t value);
  int32_t HexDelay();
  void HexDelay(int32_t value);
  int32_t OBEX_ConnectType();
  void OBEX_ConnectType(int32_t value);
  int32_t MobileType();
  void MobileType(int32_t value);
  int32_t ComType();
  void ComType(int32_t value);
  // Setting 0 stores 255 and turns automatic block length on.
  int32_t OBEX_BlockLen();
  void OBEX_BlockLen(int32_t value);
  std::string OBEX_DataRead();
  void OBEX_DataRead(const std::string& value);
  std::string OBEX_DataSend();
  void OBEX_DataSend(const std::string& value);
  // Takes the bytes over without a copy: a large file is held once.
  void OBEX_DataSend(std::string&& value);
  std::string AT_DataRead();
  void AT_DataRead(const std::string& value);

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
  bool BfbFramingInForce() const;
  bool RawObexInForce() const;

 private:
  friend class ControlInternals;  // tests reach the working object

  std::unique_ptr<ControlCore> core_;
};

}  // namespace quorvalen
