// The message PDU decoder: any bytes in, a PDU or an error out. A decoded
// PDU must encode to one that decodes to the same message, and encoding is
// stable from then on (the data coding octet and the header's order are
// made canonical by the first encoding, so only the second must repeat).
// The bytes are tried as hex text and, to reach past the hex check more
// often, as the octets of a PDU.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "quorvalen/byte_text.h"
#include "quorvalen/sms.h"

namespace {

using namespace quorvalen::sms;

bool SameMessage(const Pdu& a, const Pdu& b) {
  return a.type == b.type && a.address == b.address && a.text == b.text && a.data == b.data &&
         a.coding == b.coding && a.message_class == b.message_class &&
         a.concatenation == b.concatenation && a.protocol_id == b.protocol_id && a.time == b.time &&
         a.discharge_time == b.discharge_time && a.status == b.status &&
         a.message_reference == b.message_reference && a.validity == b.validity &&
         a.status_report_request == b.status_report_request && a.more_messages == b.more_messages &&
         a.reply_path == b.reply_path;
}

void Check(std::string_view hex) {
  const Decoded decoded = DecodePdu(hex);
  if (!decoded.pdu) {
    if (decoded.error.empty()) std::abort();
    return;
  }
  const Encoded encoded = EncodePdu(*decoded.pdu);
  const Decoded again = DecodePdu(encoded.hex);
  if (!again.pdu || !SameMessage(*decoded.pdu, *again.pdu)) std::abort();
  const Encoded stable = EncodePdu(*again.pdu);
  if (stable.hex != encoded.hex || stable.tpdu_length != encoded.tpdu_length) std::abort();
  if (encoded.tpdu_length * 2 > static_cast<int>(encoded.hex.size())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Check(bytes);
  Check(quorvalen::TextToHex(bytes));
  return 0;
}
