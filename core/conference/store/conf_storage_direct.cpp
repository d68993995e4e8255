// The conference store's handling of direct connections between clients: the outcome of the
// TCP streams supervisor's pings.
#include "core/conference/store/conf_storage.h"
#include "core/transport/ping_record.h"
#include "core/transport/zero_handshake_ping.h"

void HX_ConfStorage::onDirectConnectPingDone(const HXZeroHandshakeSimple* ping) {
  if (ping == nullptr) return;
  ConferenceLock lock;
  if (!getConferenceLock(lock, ping->GetConference())) return;
  lock->directConnectTcpSave(lock, ping->GetTo(), ping->GetResult() == hx::ping::kResultSuccess,
                             ping->GetTrialId(), ping->GetLocalAddr(), ping->GetRemoteAddr());
}
