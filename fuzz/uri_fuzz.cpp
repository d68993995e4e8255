// Splits URIs with HXUri::set. A failure must leave an error code whose position lies within the
// text (at most its length). A URI with scheme and host must read back from its own `str` with
// the same host and port.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/wire/uri_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  HXUri uri;
  const bool ok = uri.set(text);
  size_t position = 0;
  const HXUriError::ECode code = uri.error(&position);
  if (!ok) {
    if (code == HXUriError::eNone || position > text.size()) std::abort();
    return 0;
  }
  if (code != HXUriError::eNone) std::abort();
  if (uri.is_port() && uri.port() == 0) std::abort();
  if (uri.is_scheme() && uri.is_host()) {
    HXUri again;
    if (!again.set(uri.str())) std::abort();
    if (again.host() != uri.host() || again.port() != uri.port() ||
        again.scheme() != uri.scheme()) {
      std::abort();
    }
  }
  return 0;
}
