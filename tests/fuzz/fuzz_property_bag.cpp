// Arbitrary bytes as a settings file (the control's property bag on disk):
// it loads or fails with a numbered error, and what loads saves and loads
// back the same.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "quorvalen/error.h"
#include "quorvalen/posix_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/quorvalen-fuzz-bag-" + std::to_string(getpid());
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  quorvalen::FilePropertyBag bag(path);
  try {
    bag.Load();
  } catch (const quorvalen::Error& e) {
    if (e.number == 0 || e.description.empty()) std::abort();
    return 0;
  }
  const auto entries = bag.Entries();
  for (const auto& [name, value] : entries) {
    // Every value reads back in any of the three types or fails cleanly.
    for (const quorvalen::PropertyValue& fallback :
         {quorvalen::PropertyValue(false), quorvalen::PropertyValue(int32_t{0}),
          quorvalen::PropertyValue(std::string())}) {
      try {
        bag.ReadProperty(name, fallback);
      } catch (const quorvalen::Error&) {
      }
    }
  }
  try {
    bag.Save();
  } catch (const quorvalen::Error&) {
    return 0;  // a name that cannot be written back is refused, not mangled
  }
  quorvalen::FilePropertyBag again(path);
  again.Load();
  if (again.Entries() != entries) std::abort();
  return 0;
}
