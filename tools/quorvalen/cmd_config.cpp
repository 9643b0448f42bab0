// quorvalen config: the settings file ($XDG_CONFIG_HOME/quorvalen/settings),
// which holds the control's properties as its own property-bag file does,
// plus the Port. A value equal to the control's default is left out, as
// the control leaves it out when it saves.
#include <sys/stat.h>

#include "cli.h"
#include "connection.h"
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
    cli.Error("unknown setting \"" + name + "\" (Port, or one of the control's properties: " +
              "MobileType, ComType, TimeOut, ...)");
    return kExitUsage;
  }
  // The control's defaults, from a control that nothing has touched.
  VirtualPlatform platform;
  Quorvalen control(platform);
  const PropertyValue fallback =
      name == "Port" ? PropertyValue(std::string()) : *GetProperty(control, name);
  if (action == "get") {
    for (const auto& [key, value] : bag.Entries()) {
      if (key == name) {
        std::fprintf(cli.out, "%s\n", value.c_str());
        return kExitDone;
      }
    }
    std::fprintf(cli.out, "%s\n", Text(fallback).c_str());
    return kExitDone;
  }
  PropertyValue value = fallback;
  if (action == "set") {
    std::optional<PropertyValue> parsed =
        name == "Port" ? PropertyValue(args[1]) : ParsePropertyText(control, name, args[1]);
    if (!parsed) {
      cli.Error(name + " takes " + (fallback.index() == 0 ? "True or False" : "a number") +
                ", not \"" + args[1] + "\"");
      return kExitUsage;
    }
    value = *parsed;
  }
  try {
    bag.WriteProperty(name, value, fallback);
    MakeParents(bag.Path());
    bag.Save();
  } catch (const Error& e) {
    cli.Error(e.description);
    return kExitLocal;
  }
  return kExitDone;
}

}  // namespace quorvalen::tool
