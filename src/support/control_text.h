// Small pieces of text the control's subsystems share.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorvalen {

// The infrared device's service texts: serial emulation for AT mode, OBEX
// for OBEX mode.
inline constexpr char kIrCommService[] =
    "DEVICENAME=\"GENERIC\",DEVICETYPE=GSM,SERVICE=IrComm,KEEP_ON_HOLD=0";
inline constexpr char kIrObexService[] =
    "DEVICENAME=\"GENERIC\",DEVICETYPE=GSM,SERVICE=IrOBEX,KEEP_ON_HOLD=0";

// The leading decimal number of a text (blanks skipped, a sign allowed);
// 0 when there is none. Values beyond 32 bits are held at the limit.
int32_t LeadingNumber(std::string_view text);

}  // namespace quorvalen
