#include "quorvalen/error.h"

#include <utility>

namespace quorvalen {

Error::Error(int number, std::string source, std::string description)
    : std::runtime_error(description),
      number(number),
      source(std::move(source)),
      description(std::move(description)) {}

}  // namespace quorvalen
