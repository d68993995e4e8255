#include "core/client/abstract_manager.h"

#include <cstdint>
#include <cstring>
#include <map>

#include "core/base/ios_log.h"
#include "core/base/lock.h"
#include "core/wire/name_hash.h"

namespace {

// Built on first use, so that managers made during static initialisation find it.
struct ServiceTable {
  HXLock lock;
  std::map<uint32_t, HX_AbstractManager*> handlers;
};

ServiceTable& Table() {
  static ServiceTable table;
  return table;
}

}  // namespace

HX_AbstractManager::HX_AbstractManager(const char* serviceName) { RegisterServiceHandler(serviceName); }

HX_AbstractManager::~HX_AbstractManager() { UnregisterServiceHandler(); }

bool HX_AbstractManager::RegisterServiceHandler(const char* name) {
  m_serviceName.fill('\0');
  if (name != nullptr) std::strncpy(m_serviceName.data(), name, m_serviceName.size() - 1);
  ServiceTable& table = Table();
  HXAutoLock guard(table.lock);
  table.handlers[hx::NameHash(m_serviceName.data())] = this;
  return true;
}

bool HX_AbstractManager::UnregisterServiceHandler() {
  ServiceTable& table = Table();
  HXAutoLock guard(table.lock);
  table.handlers.erase(hx::NameHash(m_serviceName.data()));
  return true;
}

HX_AbstractManager* HX_AbstractManager::GetServiceHandler(const char* service) {
  if (service == nullptr || service[0] == '\0') {
    ios_log("Service is empty");
    return nullptr;
  }
  ServiceTable& table = Table();
  HXAutoLock guard(table.lock);
  const auto found = table.handlers.find(hx::NameHash(service));
  if (found == table.handlers.end()) {
    ios_log("Service %s not found", service);
    return nullptr;
  }
  return found->second;
}
