#include "core/conference/conf_call_requests.h"

#include "core/net/address/sock_addr.h"

void HX_ConfCallRequests::onTransportLocalBindUpdated(const HXSockAddr& address) {
  m_calls.Record("onTransportLocalBindUpdated", address.strBind());
}
