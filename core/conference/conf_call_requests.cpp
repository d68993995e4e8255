#include "core/conference/conf_call_requests.h"

#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"
#include "core/net/address/sock_addr.h"

void HX_ConfCallRequests::SendConnectFailure(ConferenceLock& lock) {
  m_calls.Record("SendConnectFailure", lock ? lock->getSID() : std::string());
}

bool HX_ConfCallRequests::HangupWithFlags(ConferenceLock& lock, uint32_t flags) {
  m_calls.Record("HangupWithFlags", lock ? lock->getSID() : std::string(), flags);
  if (m_hangupReleases.load()) lock.Unlock();
  return true;
}

void HX_ConfCallRequests::SendConnectionInfo(const char* caller, const char* sid) {
  m_calls.Record("SendConnectionInfo", caller, sid);
}

void HX_ConfCallRequests::onTransportLocalBindUpdated(const HXSockAddr& address) {
  m_calls.Record("onTransportLocalBindUpdated", address.strBind());
}
