// The control's timers and its busy wait.
#include "quorvalen/quorvalen.h"

namespace quorvalen {

// A busy wait: no tick, received data or host call is handled until it
// returns. It ends at the first clock reading past start + ms.
void Quorvalen::WaitMilliseconds(int32_t ms) {
  if (ms <= 0) return;
  Clock& clock = platform_.Time();
  const int64_t end = clock.MonotonicMs() + ms;
  while (clock.MonotonicMs() <= end) clock.WaitUntil(end + 1);
}

}  // namespace quorvalen
