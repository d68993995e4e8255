#include "core/streams/media_stream_net_handler.h"

#include "core/streams/media_stream_base.h"
#include "core/streams/media_stream_connection.h"

namespace {

// The owner's stream lock guards the connection; a handler without an owner is not in use yet.
class OwnerLock {
 public:
  explicit OwnerLock(HX_MediaStreamBase* owner)
      : m_lock(owner != nullptr ? &owner->getStreamLock() : nullptr) {
    if (m_lock != nullptr) m_lock->Lock();
  }
  ~OwnerLock() {
    if (m_lock != nullptr) m_lock->Unlock();
  }
  OwnerLock(const OwnerLock&) = delete;
  OwnerLock& operator=(const OwnerLock&) = delete;

 private:
  HXLock* const m_lock;
};

}  // namespace

HX_MediaStreamRegularConnection::~HX_MediaStreamRegularConnection() = default;

void HX_MediaStreamRegularConnection::onReadySend() {
  if (m_netHandler != nullptr) m_netHandler->onReadySend(this);
}

HX_MediaStreamTrialConnection::~HX_MediaStreamTrialConnection() = default;

void HX_MediaStreamNetHandler::setConnection(HX_MediaStreamRegularConnection* connection) {
  OwnerLock lock(m_owner);
  m_connection = connection;
}

HX_MediaStreamRegularConnection* HX_MediaStreamNetHandler::connection() const {
  OwnerLock lock(m_owner);
  return m_connection;
}

bool HX_MediaStreamNetHandler::closeConnection() {
  OwnerLock lock(m_owner);
  HX_MediaStreamRegularConnection* connection = m_connection;
  if (connection == nullptr) return false;
  m_connection = nullptr;
  connection->connRecycle();
  return true;
}

HX_MediaStreamRegularConnection* HX_MediaStreamNetHandler::createStreamFromConnected(
    HX_MediaStreamTrialConnection* trial) {
  OwnerLock lock(m_owner);
  m_connection = createRegularFromTrial(trial);
  return m_connection;
}

bool HX_MediaStreamNetHandler::isReconnectRequired(const HXIfIpAddrContainer& addresses,
                                                   const HXSockAddr& local) {
  OwnerLock lock(m_owner);
  return m_connection != nullptr && m_connection->isReconnectRequired(addresses, local);
}

void HX_MediaStreamNetHandler::runConnection() {
  OwnerLock lock(m_owner);
  if (m_connection != nullptr) m_connection->start();
}

bool HX_MediaStreamNetHandler::onConnectionBreak(HX_MediaStreamRegularConnection* connection) {
  {
    OwnerLock lock(m_owner);
    if (connection == nullptr || connection != m_connection) return false;
    m_connection = nullptr;
  }
  // The owner reconnects, which may wait for the handshake manager: not under the stream lock.
  if (m_owner != nullptr) m_owner->onConnectionBreak(connection);
  return true;
}
