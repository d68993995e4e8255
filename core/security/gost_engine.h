#pragma once
// Whether OpenSSL offers an engine named "gost" that can serve the GOST 28147-89 cipher. The
// secure handshake asks when it starts: a client then prefers GOST, a server offers it.
// By default the answer comes from OpenSSL; a host or a test may decide it instead. Thread-safe.

#include <functional>

namespace hx {

// Installs the probe that answers; an empty probe restores the question to OpenSSL.
void SetGostEngineProbe(std::function<bool()> probe);

// The probe's answer.
bool GostEngineAvailable();

}  // namespace hx
