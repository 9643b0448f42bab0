#include "quorvalen/basic_platform.h"

#include <charconv>

#include "quorvalen/error.h"

namespace quorvalen {

void ComponentRegistry::Register(const std::string& program_id, Creator creator) {
  creators_[program_id] = std::move(creator);
}

std::shared_ptr<Component> ComponentRegistry::Create(const std::string& program_id) {
  auto it = creators_.find(program_id);
  if (it == creators_.end()) {
    throw Error(kErrCannotCreateComponent, "ComponentRegistry",
                "ActiveX component can't create object: nothing is registered as \"" + program_id +
                    "\"");
  }
  return it->second();
}

PropertyValue ConvertPropertyValue(const PropertyValue& stored, const PropertyValue& default_value,
                                   const std::string& name) {
  if (stored.index() == default_value.index()) return stored;
  auto mismatch = [&]() {
    return Error(kErrTypeMismatch, "PropertyBag", "Type mismatch reading property " + name);
  };
  if (std::holds_alternative<std::string>(default_value)) {
    if (auto* b = std::get_if<bool>(&stored)) return std::string(*b ? "True" : "False");
    return std::to_string(std::get<int32_t>(stored));
  }
  if (std::holds_alternative<int32_t>(default_value)) {
    if (auto* b = std::get_if<bool>(&stored)) return static_cast<int32_t>(*b ? -1 : 0);
    const std::string& text = std::get<std::string>(stored);
    int32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) throw mismatch();
    return value;
  }
  // Boolean default.
  if (auto* i = std::get_if<int32_t>(&stored)) return *i != 0;
  const std::string& text = std::get<std::string>(stored);
  if (text == "True") return true;
  if (text == "False") return false;
  throw mismatch();
}

PropertyValue MemoryPropertyBag::ReadProperty(const std::string& name,
                                              const PropertyValue& default_value) {
  accessed_.push_back(name);
  if (auto f = failures_.find(name); f != failures_.end()) {
    throw Error(f->second, "MemoryPropertyBag", "Cannot read property " + name);
  }
  auto it = values_.find(name);
  if (it == values_.end()) return default_value;
  return ConvertPropertyValue(it->second, default_value, name);
}

void MemoryPropertyBag::WriteProperty(const std::string& name, const PropertyValue& value,
                                      const PropertyValue& default_value) {
  accessed_.push_back(name);
  if (auto f = failures_.find(name); f != failures_.end()) {
    throw Error(f->second, "MemoryPropertyBag", "Cannot write property " + name);
  }
  if (value == default_value) {
    values_.erase(name);
  } else {
    values_[name] = value;
  }
}

void MemoryPropertyBag::FailOn(const std::string& name, int error_number) {
  failures_[name] = error_number;
}

void RecordingContainer::PropertyChanged(const std::string& name) {
  modified_ = true;
  ++notification_count_;
  if (notifications_.size() < kMaxLog) notifications_.push_back(name);
}

void RecordingContainer::RequestSize(int width, int height) {
  width_ = width;
  height_ = height;
}

InfraredService InfraredServiceOf(const std::string& settings) {
  // The other fields describe the device and are taken as they are.
  const size_t at = settings.find("SERVICE=");
  if (at == std::string::npos) return InfraredService::kNone;
  const std::string service = settings.substr(at + 8, settings.find(',', at) - at - 8);
  if (service == "IrComm") return InfraredService::kIrComm;
  if (service == "IrOBEX") return InfraredService::kIrObex;
  return InfraredService::kNone;
}

}  // namespace quorvalen
