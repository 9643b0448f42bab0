// The control's properties by name, for hosts that take settings as text
// (a settings file, a command line) or JSON.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quorvalen/platform.h"
#include "quorvalen/quorvalen.h"

namespace quorvalen {

// The value of a property, or nothing for a name the control does not have.
// Reading Command may throw Error (StackCount out of range).
std::optional<PropertyValue> GetProperty(Quorvalen& control, const std::string& name);

// Sets a property; an empty result means done, otherwise it says why not
// (unknown name, wrong type). Writing Command may throw Error.
std::string SetProperty(Quorvalen& control, const std::string& name, const PropertyValue& value);

// Reads a value given as text ("Name=Value" on a command line) in the type
// the property has: integers in decimal, Booleans as true/false/True/False/1/0.
std::optional<PropertyValue> ParsePropertyText(Quorvalen& control, const std::string& name,
                                               const std::string& text);

// Sets a property from its text; empty when done, otherwise why not: an
// unknown property, a value that does not read as the property's type.
std::string SetPropertyText(Quorvalen& control, const std::string& name, const std::string& text);

// "Name=Value" into its name and value; nothing when there is no "=" or no
// name before it.
std::optional<std::pair<std::string, std::string>> SplitSetting(const std::string& text);

const std::vector<std::string>& PropertyNames();

}  // namespace quorvalen
