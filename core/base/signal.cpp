#include "core/base/signal.h"

#include <cstdio>
#include <cstdlib>

#include "core/base/ios_log.h"

namespace hx::detail {

void SignalChangedDuringEmission(const char* operation) {
  // The log output may be discarded, so the reason also goes to standard error before the abort.
  ios_log("Signal %s during its emission", operation);
  std::fprintf(stderr, "Signal %s during its emission\n", operation);
  std::abort();
}

}  // namespace hx::detail
