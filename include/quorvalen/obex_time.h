// Times as OBEX folder listings give them: "20260307T140509", optionally
// with a final 'Z'. Phones keep their own clock without a time zone, so a
// time is counted here as seconds since 1970 read as if it were UTC.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvalen {

// Years are kept within 0000 to 9999.
std::string WriteObexTime(int64_t seconds);
// Nothing when the text is not such a time.
std::optional<int64_t> ReadObexTime(std::string_view text);

}  // namespace quorvalen
