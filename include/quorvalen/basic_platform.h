// Platform pieces that need no operating system: the component registry, a
// property bag in memory, a container that records what the control asks of
// it, a beeper that counts, and what every infrared device shares. Both
// platforms and the tools use them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "quorvalen/platform.h"

namespace quorvalen {

// The two infrared services; a settings text names one by its SERVICE=
// value ("IrComm", "IrOBEX").
enum class InfraredService { kNone, kIrComm, kIrObex };
InfraredService InfraredServiceOf(const std::string& settings);

// What an infrared device on a link of its own shares: the port-like
// settings (modem lines, handshaking, thresholds, input mode, buffer
// sizes) mean nothing to it, so it takes them and changes nothing.
class InfraredDeviceBase : public InfraredDevice {
 public:
  void RTSEnable(bool) override {}
  void DTREnable(bool) override {}
  void Handshaking(int) override {}
  void InputLen(int) override {}
  void RThreshold(int) override {}
  void SThreshold(int) override {}
  void InputMode(int) override {}
  void InBufferSize(int) override {}
  void OutBufferSize(int) override {}
  void EOFEnable(bool) override {}
};

class ComponentRegistry : public ObjectFactory {
 public:
  void Register(const std::string& program_id, Creator creator) override;
  std::shared_ptr<Component> Create(const std::string& program_id) override;

 private:
  std::map<std::string, Creator> creators_;
};

// Keeps values as written. A value read with a default of another type is
// converted where the text allows it (Error kErrTypeMismatch otherwise).
class MemoryPropertyBag : public PropertyBag {
 public:
  PropertyValue ReadProperty(const std::string& name, const PropertyValue& default_value) override;
  void WriteProperty(const std::string& name, const PropertyValue& value,
                     const PropertyValue& default_value) override;

  // Makes every later read or write of this key fail with the given error
  // number, as a broken store would.
  void FailOn(const std::string& name, int error_number);

  const std::map<std::string, PropertyValue>& Values() const { return values_; }
  std::map<std::string, PropertyValue>& Values() { return values_; }
  // Keys in the order of the reads and writes made, failed ones included.
  const std::vector<std::string>& Accessed() const { return accessed_; }

 private:
  std::map<std::string, PropertyValue> values_;
  std::map<std::string, int> failures_;
  std::vector<std::string> accessed_;
};

// Converts a stored value to the type of the default (used by both bags).
// Throws Error kErrTypeMismatch when the text does not convert.
PropertyValue ConvertPropertyValue(const PropertyValue& stored, const PropertyValue& default_value,
                                   const std::string& name);

// A container that remembers the notifications and the size asked for.
class RecordingContainer : public Container {
 public:
  void PropertyChanged(const std::string& name) override;
  void RequestSize(int width, int height) override;

  bool Modified() const { return modified_; }
  void ClearModified() { modified_ = false; }
  // The names notified, oldest first; the log keeps the first kMaxLog.
  static constexpr size_t kMaxLog = 100000;
  const std::vector<std::string>& Notifications() const { return notifications_; }
  void ClearNotifications() { notifications_.clear(); }
  long long NotificationCount() const { return notification_count_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  // Simulates the user dragging the control to another size.
  void SetSize(int width, int height) { width_ = width, height_ = height; }

 private:
  bool modified_ = false;
  std::vector<std::string> notifications_;
  long long notification_count_ = 0;
  int width_ = 0;
  int height_ = 0;
};

class CountingBeeper : public Beeper {
 public:
  void Beep() override { ++count_; }
  int Count() const { return count_; }

 private:
  int count_ = 0;
};

}  // namespace quorvalen
