#include "core/client/abstract_manager.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "core/base/container.h"
#include "core/base/ios_log.h"
#include "core/base/lock.h"
#include "core/transport/session.h"
#include "core/wire/client_message.h"
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

// The additional string of every request the client composes.
constexpr char kRequestAddString[] = "52";

}  // namespace

HX_AbstractManager::HX_AbstractManager(const char* serviceName,
                                       std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : ManagerHolderRedirect(fsm), m_transport(std::move(transport)) {
  RegisterServiceHandler(serviceName);
}

HX_AbstractManager::~HX_AbstractManager() { UnregisterServiceHandler(); }

bool HX_AbstractManager::RegisterServiceHandler(const char* name) {
  ServiceTable& table = Table();
  HXAutoLock guard(table.lock);
  m_serviceName.fill('\0');
  if (name != nullptr) std::strncpy(m_serviceName.data(), name, m_serviceName.size() - 1);
  table.handlers[hx::NameHash(m_serviceName.data())] = this;
  return true;
}

bool HX_AbstractManager::UnregisterServiceHandler() {
  ServiceTable& table = Table();
  HXAutoLock guard(table.lock);
  // Only our own entry: a manager registered later under the same hash keeps serving.
  const auto found = table.handlers.find(hx::NameHash(m_serviceName.data()));
  if (found != table.handlers.end() && found->second == this) table.handlers.erase(found);
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

bool HX_AbstractManager::Dispatch(const char* service, HX_Container& message, bool* found) {
  // The lock is held across the call so that the manager cannot be destroyed under it.
  HXAutoLock guard(Table().lock);
  HX_AbstractManager* manager = GetServiceHandler(service);
  if (found != nullptr) *found = manager != nullptr;
  return manager != nullptr && manager->ParseIncomimgMessage(message);
}

const char* HX_AbstractManager::ReturnBroker(const char* id) {
  if (id == nullptr) return nullptr;
  const char* at = std::strchr(id, '@');
  return at != nullptr ? at + 1 : nullptr;
}

bool HX_AbstractManager::ComposeSend(const HX_Container& body, const char* service, const char* user,
                                     const char* server, uint32_t timeLimitMs) {
  if (m_transport == nullptr) return false;
  uint8_t* bytes = nullptr;
  size_t size = 0;
  if (!body.SerializeAlloc(bytes, size) || size == 0 || size > UINT32_MAX) {
    std::free(bytes);
    return false;
  }
  const uint32_t sequence = m_transport->GetNextSequence();
  const char* cid = m_transport->TransportCid();
  auto* message =
      new HX_ClientMessage(m_serviceName.data(), kRequestAddString, service, timeLimitMs, bytes,
                           static_cast<uint32_t>(size), sequence, cid, user, nullptr, server, nullptr);
  std::free(bytes);
  return m_transport->QueuePacket(message);
}
