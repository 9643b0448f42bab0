// Saving and restoring the 16 properties kept with the container.
#include "quorvalen/basic_platform.h"
#include "control/control_core.h"

namespace quorvalen {
namespace {

// The saved keys, in the order they are read and written, with the defaults
// the bag returns for a missing key and leaves out on saving.
struct SavedKey {
  const char* name;
  PropertyValue default_value;
};

const SavedKey kSavedKeys[] = {
    {"AT_Settings", std::string("19200,n,8,1")},
    {"OBEX_Settings", std::string("56000,n,8,1")},
    {"CommPort", int32_t{1}},
    {"DebugPath", std::string()},
    {"TimeOut", int32_t{20000}},
    {"TimeOutLong", int32_t{40000}},
    {"RTSEnable", true},
    {"DTREnable", true},
    {"InBufferSize", int32_t{4096}},
    {"OutBufferSize", int32_t{2048}},
    {"CommandDelay", int32_t{10}},
    {"HexDelay", int32_t{150}},
    {"OBEX_ConnectType", int32_t{0}},
    {"MobileType", int32_t{0}},
    {"ComType", int32_t{0}},
    {"OBEX_BlockLen", int32_t{255}},
};

}  // namespace

std::array<ControlCore::SavedField, 16> ControlCore::SavedFields() {
  return {&props_.AT_Settings,      &props_.OBEX_Settings, &props_.CommPort,
          &props_.DebugPath,        &props_.TimeOut,       &props_.TimeOutLong,
          &props_.RTSEnable,        &props_.DTREnable,     &props_.InBufferSize,
          &props_.OutBufferSize,    &props_.CommandDelay,  &props_.HexDelay,
          &props_.OBEX_ConnectType, &props_.MobileType,    &props_.ComType,
          &props_.OBEX_BlockLen};
}

void ControlCore::ReadProperties(PropertyBag& bag) {
  // Values are stored directly: no notification, no trace, and a saved
  // OBEX_BlockLen of 0 stays 0 with automatic block length off. A failing
  // key ends the pass; the keys before it stay loaded.
  auto fields = SavedFields();
  for (size_t i = 0; i < fields.size(); ++i) {
    const SavedKey& key = kSavedKeys[i];
    PropertyValue value = ConvertPropertyValue(bag.ReadProperty(key.name, key.default_value),
                                               key.default_value, key.name);
    std::visit([&](auto* store) { *store = std::get<std::decay_t<decltype(*store)>>(value); },
               fields[i]);
  }
}

void ControlCore::WriteProperties(PropertyBag& bag) {
  auto fields = SavedFields();
  for (size_t i = 0; i < fields.size(); ++i) {
    PropertyValue value = std::visit([](auto* store) { return PropertyValue(*store); }, fields[i]);
    bag.WriteProperty(kSavedKeys[i].name, value, kSavedKeys[i].default_value);
  }
}

}  // namespace quorvalen
