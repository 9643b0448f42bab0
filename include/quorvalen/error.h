// Numbered errors, raised only where the host would see an error: CheckInit,
// the Command get and set, the property bag, and the link components.
#pragma once

#include <stdexcept>
#include <string>

namespace quorvalen {

// Error numbers in the classic numbering that hosts of serial controls know.
enum ErrorNumber : int {
  kErrOverflow = 6,
  kErrSubscriptOutOfRange = 9,
  kErrTypeMismatch = 13,
  kErrFileAccess = 75,
  kErrObjectNotSet = 91,
  kErrBadFileFormat = 321,
  kErrInvalidPropertyValue = 380,
  kErrCannotCreateComponent = 429,
  kErrPortInvalidWhileOpen = 8000,
  kErrInvalidPortNumber = 8002,
  kErrPortAlreadyOpen = 8005,
  kErrHardwareNotAvailable = 8010,
  kErrPortNotOpen = 8012,
  kErrCannotSetLineSettings = 8015,
  // The infrared link went away (the phone moved out of sight, the device
  // was unplugged).
  kErrLinkLost = 8020,
};

class Error : public std::runtime_error {
 public:
  Error(int number, std::string source, std::string description);

  int number;
  std::string source;
  std::string description;
};

}  // namespace quorvalen
