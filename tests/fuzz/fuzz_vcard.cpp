// The vCard reader: any bytes in, cards and problems out, never a crash.
// Every card read must come back the same from Write and Read, and write
// the same text again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quorvalen/vcard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace vcard = quorvalen::vcard;
  vcard::ReadResult result =
      vcard::Read(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const vcard::Card& card : result.cards) {
    std::string written = vcard::Write(card);
    vcard::ReadResult again = vcard::Read(written);
    if (!again.problems.empty() || again.cards.size() != 1 || !(again.cards.front() == card)) {
      std::abort();
    }
    if (vcard::Write(again.cards.front()) != written) std::abort();
  }
  return 0;
}
