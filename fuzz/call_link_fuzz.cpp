// Parses call links, with and without the flag that tolerates unknown variables. A failure must
// leave an error code whose position lies within the text (at most its length: some errors point
// just past a host that runs to the end). A link that parses must hold only servers with hosts,
// and every host a port.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/transport/call_link.h"

namespace {

void Parse(const std::string& text, bool ignore_unknown) {
  HXUriProtocol link(ignore_unknown);
  const bool ok = link.parseUri(text);
  size_t position = 0;
  const HXUriError::ECode code = link.error(&position);
  if (!ok && code == HXUriError::eNone) std::abort();
  if (code != HXUriError::eNone && position > text.size()) std::abort();
  if (!ok) return;
  if (code != HXUriError::eNone && code != HXUriError::eUnknownVar) std::abort();
  for (const auto& server : link.getServerList().getServers()) {
    if (server.hosts.empty()) std::abort();
    for (const auto& host : server.hosts) {
      if (host.getPort() == 0 || host.getServerId() != server.serverId) std::abort();
    }
  }
  for (const auto& variable : link.getVarList()) {
    if (variable.namePos > text.size() || variable.valuePos > text.size()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Parse(text, false);
  Parse(text, true);
  return 0;
}
