#include "core/client/client_manager.h"

#include <string>

#include "core/base/container.h"
#include "core/client/protocol_constants.h"
#include "core/wire/name_hash.h"

HX_ClientManager::HX_ClientManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : HX_AbstractManager(CLIENT_SRV, std::move(transport), fsm),
      m_tryAcceptDirectHash(hx::NameHash(TRYACCEPTDIRECT_METHOD)) {}

HX_ClientManager::~HX_ClientManager() { UnregisterServiceHandler(); }

bool HX_ClientManager::TryAcceptDirect(const char* user, const char* sid) {
  if (sid == nullptr) return false;
  HX_Container message;
  message.AddValue(METHOD_PARAM, TRYACCEPTDIRECT_METHOD);
  message.AddValue(NAME_PARAM, sid);
  return ComposeSend(message, CLIENT_SRV, user, nullptr, hx::protocol::kClientRequestTimeLimitMs);
}

bool HX_ClientManager::ParseIncomimgMessage(HX_Container& message) {
  std::string method;
  message.GetValue(METHOD_PARAM, method);
  if (hx::NameHash(method.c_str()) == m_tryAcceptDirectHash) return ParseTryAcceptDirect(message);
  return true;
}

bool HX_ClientManager::ParseTryAcceptDirect(const HX_Container& message) {
  std::string sid;
  if (message.GetValue(NAME_PARAM, sid)) directAcceptSignal.Emit(sid.c_str());
  return true;
}
