// quorvalen config: the settings file ($XDG_CONFIG_HOME/quorvalen/settings),
// which holds the control's properties as its own property-bag file does,
// plus the Port. A value equal to the control's default is left out, as
// the control leaves it out when it saves (but for MobileType, whose
// absence means "found from the phone"). Values are checked against what
// each setting may hold before they are written.
#include <sys/stat.h>

#include "cli.h"
#include "connection.h"
#include "hold.h"
#include "quorvalen/error.h"
#include "quorvalen/properties.h"
#include "quorvalen/virtual_platform.h"

namespace quorvalen::tool {
namespace {

std::string Text(const PropertyValue& value) {
  if (auto* b = std::get_if<bool>(&value)) return *b ? "True" : "False";
  if (auto* i = std::get_if<int32_t>(&value)) return std::to_string(*i);
  return std::get<std::string>(value);
}

// Makes the folders above path.
void MakeParents(const std::string& path) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    ::mkdir(path.substr(0, at).c_str(), 0777);
  }
}

}  // namespace

int RunConfig(Cli& cli, const std::string& action, const std::vector<std::string>& args) {
  FilePropertyBag bag(SettingsPath());
  try {
    bag.Load();
  } catch (const Error& e) {
    cli.Error(e.description);
    return kExitLocal;
  }
  if (action == "path") {
    std::fprintf(cli.out, "%s\n", bag.Path().c_str());
    return kExitDone;
  }
  if (action == "list") {
    for (const auto& [name, value] : bag.Entries()) {
      std::fprintf(cli.out, "%s=%s\n", name.c_str(), value.c_str());
    }
    return kExitDone;
  }
  const size_t wanted = action == "set" ? 2 : 1;
  if (args.size() != wanted) {
    cli.Error("config " + action + (wanted == 2 ? " takes NAME VALUE" : " takes NAME"));
    return kExitUsage;
  }
  const std::string& name = args[0];
  if (!IsSettingName(name)) {
    cli.Error(SettingProblem(name, {}));
    return kExitUsage;
  }
  // The control's defaults, from a control that nothing has touched.
  VirtualPlatform platform;
  Quorvalen control(platform);
  const PropertyValue fallback = name == "Port"      ? PropertyValue(std::string())
                                 : name == "Retries" ? PropertyValue(int32_t{kDefaultRetries})
                                 : name == "Hold"    ? PropertyValue(int32_t{kDefaultHoldSeconds})
                                                     : *GetProperty(control, name);
  if (action == "get") {
    for (const auto& [key, value] : bag.Entries()) {
      if (key == name) {
        std::fprintf(cli.out, "%s\n", value.c_str());
        return kExitDone;
      }
    }
    // Without a family of its own the session asks the phone; the
    // control's 0 would not be the truth.
    std::fprintf(cli.out, "%s\n",
                 name == "MobileType" ? "unset: found from the phone" : Text(fallback).c_str());
    return kExitDone;
  }
  // A family set to 0 is kept: without one the family is found from the
  // phone, which is not the same.
  const PropertyValue left_out = name == "MobileType" ? PropertyValue(int32_t{-1}) : fallback;
  PropertyValue value = left_out;
  if (action == "set") {
    if (std::string why = SettingProblem(name, args[1]); !why.empty()) {
      cli.Error(why);
      return kExitUsage;
    }
    value = name == "Port"      ? PropertyValue(args[1])
            : name == "Retries" ? PropertyValue(static_cast<int32_t>(std::stoi(args[1])))
                                : *ParsePropertyText(control, name, args[1]);
  }
  try {
    bag.WriteProperty(name, value, left_out);
    MakeParents(bag.Path());
    bag.Save();
  } catch (const Error& e) {
    cli.Error(e.description);
    return kExitLocal;
  }
  return kExitDone;
}

}  // namespace quorvalen::tool
