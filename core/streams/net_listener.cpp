#include "core/streams/net_listener.h"

HXZAcceptorInfo HX_NetListener::getAcceptorInfo() const {
  HXAutoLock lock(m_lock);
  return m_info;
}

void HX_NetListener::setAcceptorInfo(const HXZAcceptorInfo& info) {
  HXAutoLock lock(m_lock);
  m_info = info;
}
