// What each setting may hold. The control stores whatever it is given; a
// value it cannot work with shows only later, as an operation that fails
// far from its cause (a family it has no switch for waits out a time-out,
// a time-out of 0 never ends a request). So a value is checked here, once,
// where the settings file is written and where it is read.
#include <charconv>
#include <cstdint>
#include <limits>

#include "connection.h"
#include "quorvalen/line_settings.h"

namespace quorvalen::tool {
namespace {

enum class Kind { kNumber, kBoolean, kLine, kText };

struct Rule {
  const char* name;
  Kind kind;
  int32_t min = 0;
  int32_t max = std::numeric_limits<int32_t>::max();
  // A value outside min..max that is allowed all the same (OBEX_BlockLen's
  // 0, automatic).
  int32_t also = -1;
  const char* takes = "";  // as a person reads it
};

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// The properties the control saves with its container, and the command
// line's own: Port, Retries (how often an operation that failed on the
// link is tried again) and Hold (how long a connection is held after a
// command).
constexpr Rule kRules[] = {
    {"Port", Kind::kText},
    {"Retries", Kind::kNumber, 0, 100, -1, "a number of tries again, 0 to 100"},
    {"Hold", Kind::kNumber, 0, 86400, -1,
     "seconds a connection is held after a command, 0 (none) to 86400"},
    {"AT_Settings", Kind::kLine, 0, 0, -1, "line settings such as 19200,n,8,1"},
    {"OBEX_Settings", Kind::kLine, 0, 0, -1, "line settings such as 56000,n,8,1"},
    {"CommPort", Kind::kNumber, 1, 255, -1, "a port number from 1 to 255"},
    {"DebugPath", Kind::kText},
    {"TimeOut", Kind::kNumber, 1, kMax, -1, "milliseconds, more than 0"},
    {"TimeOutLong", Kind::kNumber, 1, kMax, -1, "milliseconds, more than 0"},
    {"RTSEnable", Kind::kBoolean, 0, 0, -1, "True or False"},
    {"DTREnable", Kind::kBoolean, 0, 0, -1, "True or False"},
    {"InBufferSize", Kind::kNumber, 1, kMax, -1, "bytes, more than 0"},
    {"OutBufferSize", Kind::kNumber, 1, kMax, -1, "bytes, more than 0"},
    {"CommandDelay", Kind::kNumber, 0, kMax, -1, "milliseconds, 0 or more"},
    {"HexDelay", Kind::kNumber, 0, kMax, -1, "milliseconds, 0 or more"},
    {"OBEX_ConnectType", Kind::kNumber, 0, 1, -1,
     "0 (the file-browsing service) or 1 (the IrMC sync service)"},
    {"MobileType", Kind::kNumber, 0, 2, -1,
     "0 (switched by AT^SQWE), 1 (BFB) or 2 (BFB at 115200)"},
    {"ComType", Kind::kNumber, 0, 2, -1, "0 (cable), 1 (infrared) or 2 (USB cable)"},
    // Below 32 bytes the first packet of a PUT has no room for a name.
    {"OBEX_BlockLen", Kind::kNumber, 32, 65535, 0, "0 (automatic) or bytes from 32 to 65535"},
};

const Rule* RuleOf(const std::string& name) {
  for (const Rule& rule : kRules) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

}  // namespace

bool IsSettingName(const std::string& name) { return RuleOf(name) != nullptr; }

std::string SettingProblem(const std::string& name, const std::string& value) {
  const Rule* rule = RuleOf(name);
  if (!rule) {
    return "unknown setting \"" + name +
           "\" (Port, Retries, Hold, or one of the control's saved properties: MobileType, "
           "ComType, TimeOut, "
           "...)";
  }
  bool good = true;
  switch (rule->kind) {
    case Kind::kText:
      return {};
    case Kind::kBoolean:
      good = value == "True" || value == "False" || value == "true" || value == "false" ||
             value == "1" || value == "0";
      break;
    case Kind::kLine:
      good = ParseLineSettings(value).has_value();
      break;
    case Kind::kNumber: {
      int32_t number = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
      good = !value.empty() && ec == std::errc() && end == value.data() + value.size() &&
             ((number >= rule->min && number <= rule->max) || number == rule->also);
      break;
    }
  }
  if (good) return {};
  return name + " takes " + rule->takes + ", not \"" + value + "\"";
}

}  // namespace quorvalen::tool
