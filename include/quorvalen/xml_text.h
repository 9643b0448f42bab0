// Text as XML holds it in an attribute or between tags: the five markup
// characters and the line breaks as references; the control characters
// and noncharacters XML 1.0 cannot hold, and malformed UTF-8, as U+FFFD. Shared by the simulated
// phone's folder listings and the command line's message export.
#pragma once

#include <string>
#include <string_view>

namespace quorvalen {

std::string XmlEscaped(std::string_view text);

}  // namespace quorvalen
