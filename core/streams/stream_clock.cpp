#include "core/streams/stream_clock.h"

#include "core/base/tick_clock.h"

HX_TickSource HX_CoreTickSource() {
  return [] { return hx::GetTickCount(); };
}
