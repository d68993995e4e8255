#include "core/security/root_certificate.h"

#include <mutex>

namespace hx {
namespace {

std::mutex& RootMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& Root() {
  static std::string root;
  return root;
}

}  // namespace

void SetBuiltInRootCertificate(std::string pem) {
  std::lock_guard<std::mutex> lock(RootMutex());
  Root() = std::move(pem);
}

std::string BuiltInRootCertificate() {
  std::lock_guard<std::mutex> lock(RootMutex());
  return Root();
}

}  // namespace hx
