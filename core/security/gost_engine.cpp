#include "core/security/gost_engine.h"

// The engine interface is deprecated in OpenSSL 3 but still the only way to reach the "gost"
// engine that provides the cipher.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/engine.h>
#include <openssl/err.h>

#include <mutex>

namespace hx {
namespace {

std::mutex& ProbeMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<bool()>& Probe() {
  static std::function<bool()> probe;
  return probe;
}

// Looks the engine up and makes it the default for ciphers, as using it would need.
bool AskOpenssl() {
  bool available = false;
  if (ENGINE* engine = ENGINE_by_id("gost")) {
    available = ENGINE_set_default_ciphers(engine) == 1;
    ENGINE_free(engine);
  }
  ERR_clear_error();  // a missing engine leaves errors behind that nobody else should see
  return available;
}

}  // namespace

void SetGostEngineProbe(std::function<bool()> probe) {
  std::lock_guard<std::mutex> lock(ProbeMutex());
  Probe() = std::move(probe);
}

bool GostEngineAvailable() {
  std::function<bool()> probe;
  {
    std::lock_guard<std::mutex> lock(ProbeMutex());
    probe = Probe();
  }
  return probe ? probe() : AskOpenssl();
}

}  // namespace hx
