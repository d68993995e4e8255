#include "core/streams/listener_tcp.h"

#include "core/base/stored_task.h"
#include "core/net/loop/zserver.h"
#include "core/streams/listener_socket_tcp.h"

using hx::streams::ListenerSocketTCP;

class HX_ListenerTCP::BindTask : public HXStoredTask {
 public:
  BindTask(std::shared_ptr<Guard> guard, uint32_t socketId)
      : m_guard(std::move(guard)), m_socketId(socketId) {}
  void Execute() override {
    std::lock_guard<std::mutex> lock(m_guard->mutex);
    if (m_guard->listener != nullptr) m_guard->listener->bindSocket(m_socketId);
  }

 private:
  const std::shared_ptr<Guard> m_guard;
  const uint32_t m_socketId;
};

HX_ListenerTCP::HX_ListenerTCP(HX_NetListener* owner)
    : ListenerSocketHolder(owner), m_guard(std::make_shared<Guard>()) {
  m_guard->listener = this;
}

HX_ListenerTCP::~HX_ListenerTCP() {
  {
    std::lock_guard<std::mutex> lock(m_guard->mutex);
    m_guard->listener = nullptr;
  }
  stopListener();
}

std::vector<HXSockAddr> HX_ListenerTCP::getListenerBindings() {
  HXAutoLock lock(m_lock);
  std::vector<HXSockAddr> bindings;
  for (const auto& [id, socket] : m_sockets) {
    if (socket->state() == ListenerSocketTCP::kBound) bindings.push_back(socket->getBoundAddress());
  }
  return bindings;
}

void HX_ListenerTCP::stopListener() {
  HXAutoLock lock(m_lock);
  for (const auto& [id, socket] : m_sockets) socket->stop();
  m_sockets.clear();
}

int HX_ListenerTCP::reBindImpNL(const HXIpIfAddrSet& interfaces) {
  for (auto it = m_sockets.begin(); it != m_sockets.end();) {
    if (isInIfaddrList(it->second->getBoundAddress(), interfaces)) {
      ++it;
    } else {
      it->second->stop();
      it = m_sockets.erase(it);
    }
  }
  int added = 0;
  for (const HXIpIfListItem& item : interfaces) {
    bool kept = false;
    for (const auto& [id, socket] : m_sockets) {
      kept = kept || socket->getBoundAddress().HXAIpAddressBase::cmp(item) == 0;
    }
    if (!kept && addListenerNL(HXSockAddr(ip::Proto::tcp, item, 0))) ++added;
  }
  return added;
}

bool HX_ListenerTCP::addListenerNL(const HXSockAddr& address) {
  ListenerSocketTCP* socket = ListenerSocketTCP::create(address.sysFamily());
  const uint32_t id = nextIdNL();
  if (id == 0 || !socket->start(address)) {
    socket->stop();
    return false;
  }
  socket->setSocketId(id);
  // Entered before the job is handed over: the job looks the socket up under this lock.
  m_sockets.emplace(id, socket);
  if (!HXZServer::ScheduleNetworkJob(new BindTask(m_guard, id), 0)) {
    m_sockets.erase(id);
    socket->stop();
    return false;
  }
  m_lastId = id;
  return true;
}

uint32_t HX_ListenerTCP::nextIdNL() const {
  uint32_t id = m_lastId;
  do {
    ++id;
    if (id == 0 || id == UINT32_MAX) continue;
    if (m_sockets.count(id) == 0) return id;
  } while (id != m_lastId);
  return 0;
}

void HX_ListenerTCP::bindSocket(uint32_t socketId) {
  bool complete = false;
  {
    HXAutoLock lock(m_lock);
    const auto found = m_sockets.find(socketId);
    if (found == m_sockets.end()) return;
    ListenerSocketTCP* socket = found->second;
    if (!socket->bindAndListen()) {
      socket->stop();
      m_sockets.erase(found);
    }
    complete = state() == kBinding;
    for (const auto& [id, kept] : m_sockets) {
      complete = complete && kept->state() == ListenerSocketTCP::kBound;
    }
    if (complete) setBoundNL();
  }
  if (complete) publishBound();
}
