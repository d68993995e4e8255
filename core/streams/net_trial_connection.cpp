#include "core/streams/net_trial_connection.h"

HX_NetConnectionBase::~HX_NetConnectionBase() = default;

HX_NetTrialConnection::ListenerCallback::~ListenerCallback() = default;

HX_NetTrialConnection::~HX_NetTrialConnection() = default;

void HX_NetTrialConnection::reportTrialDone(bool success) {
  if (ListenerCallback* listener = m_listener.load()) listener->onTrialConnectDone(this, success);
}
