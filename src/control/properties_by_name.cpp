// Name-based access to the control's properties.
#include <charconv>
#include <functional>
#include <map>

#include "quorvalen/properties.h"

namespace quorvalen {
namespace {

struct Accessor {
  std::function<PropertyValue(Quorvalen&)> get;
  std::function<void(Quorvalen&, const PropertyValue&)> set;
  size_t type;  // index of the alternative in PropertyValue
};

template <typename T, typename Get, typename Set>
Accessor Make(Get get, Set set) {
  return Accessor{[get](Quorvalen& q) { return PropertyValue(get(q)); },
                  [set](Quorvalen& q, const PropertyValue& v) { set(q, std::get<T>(v)); },
                  PropertyValue(T{}).index()};
}

// One entry per property: its name, and how to read and write it.
#define QV_PROPERTY(Type, Name)                                         \
  {                                                                     \
#Name, Make < Type>([](Quorvalen& q) { return q.Name(); },          \
                        [](Quorvalen& q, const Type& v) { q.Name(v); }) \
  }

const std::map<std::string, Accessor>& Table() {
  static const std::map<std::string, Accessor> table = {
      QV_PROPERTY(std::string, AT_Settings),
      QV_PROPERTY(std::string, OBEX_Settings),
      QV_PROPERTY(int32_t, CommPort),
      QV_PROPERTY(std::string, Command),
      QV_PROPERTY(int32_t, StackCount),
      QV_PROPERTY(std::string, DebugPath),
      QV_PROPERTY(int32_t, TimeOut),
      QV_PROPERTY(int32_t, TimeOutLong),
      QV_PROPERTY(bool, RTSEnable),
      QV_PROPERTY(bool, DTREnable),
      QV_PROPERTY(int32_t, InBufferSize),
      QV_PROPERTY(int32_t, OutBufferSize),
      QV_PROPERTY(int32_t, CommandDelay),
      QV_PROPERTY(int32_t, HexDelay),
      QV_PROPERTY(int32_t, OBEX_ConnectType),
      QV_PROPERTY(int32_t, MobileType),
      QV_PROPERTY(int32_t, ComType),
      QV_PROPERTY(int32_t, OBEX_BlockLen),
      QV_PROPERTY(std::string, OBEX_DataRead),
      QV_PROPERTY(std::string, OBEX_DataSend),
      QV_PROPERTY(std::string, AT_DataRead),
  };
  return table;
}
#undef QV_PROPERTY

const char* TypeName(size_t index) {
  return index == 0 ? "a Boolean" : index == 1 ? "an integer" : "a string";
}

}  // namespace

std::optional<PropertyValue> GetProperty(Quorvalen& control, const std::string& name) {
  auto it = Table().find(name);
  if (it == Table().end()) return std::nullopt;
  return it->second.get(control);
}

std::string SetProperty(Quorvalen& control, const std::string& name, const PropertyValue& value) {
  auto it = Table().find(name);
  if (it == Table().end()) return "unknown property \"" + name + "\"";
  if (value.index() != it->second.type) {
    return "property " + name + " takes " + TypeName(it->second.type);
  }
  it->second.set(control, value);
  return {};
}

std::string SetPropertyText(Quorvalen& control, const std::string& name, const std::string& text) {
  auto it = Table().find(name);
  if (it == Table().end()) return "unknown property \"" + name + "\"";
  const std::optional<PropertyValue> value = ParsePropertyText(control, name, text);
  if (!value) {
    return "property " + name + " takes " + TypeName(it->second.type) + ", not \"" + text + "\"";
  }
  return SetProperty(control, name, *value);
}

std::optional<std::pair<std::string, std::string>> SplitSetting(const std::string& text) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return std::nullopt;
  return std::pair{text.substr(0, eq), text.substr(eq + 1)};
}

std::optional<PropertyValue> ParsePropertyText(Quorvalen&, const std::string& name,
                                               const std::string& text) {
  auto it = Table().find(name);
  if (it == Table().end()) return std::nullopt;
  switch (it->second.type) {
    case 0:
      if (text == "true" || text == "True" || text == "1") return PropertyValue(true);
      if (text == "false" || text == "False" || text == "0") return PropertyValue(false);
      return std::nullopt;
    case 1: {
      int32_t v = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
      if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
      }
      return PropertyValue(v);
    }
    default:
      return PropertyValue(text);
  }
}

const std::vector<std::string>& PropertyNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> n;
    for (const auto& [name, accessor] : Table()) n.push_back(name);
    return n;
  }();
  return names;
}

}  // namespace quorvalen
