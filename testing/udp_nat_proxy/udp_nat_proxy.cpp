#include "testing/udp_nat_proxy/udp_nat_proxy.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>

namespace hx::testing {

struct UdpNatProxy::Mapping {
  HXSockAddr insideSource;
  HXSockAddr outer;
  int fd = -1;
  // Where this mapping has sent to: inbound datagrams from anywhere else are unsolicited.
  std::set<std::string> contacted;
};

struct UdpNatProxy::Delayed {
  NatDirection direction;
  HXSockAddr insideSource;
  HXSockAddr to;
  std::vector<uint8_t> data;
};

namespace {

constexpr size_t kMaxDatagram = 65536;

// Receives one datagram with its source; false when nothing could be read.
bool receive(int fd, std::vector<uint8_t>& data, HXSockAddr& from) {
  data.resize(kMaxDatagram);
  sockaddr_storage source{};
  socklen_t length = sizeof(source);
  const ssize_t n = ::recvfrom(fd, data.data(), data.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&source), &length);
  if (n < 0) return false;
  data.resize(static_cast<size_t>(n));
  return from.set(ip::Proto::udp, reinterpret_cast<sockaddr*>(&source), length);
}

int bindUdp(HXSockAddr& address) {
  const int fd = ::socket(address.sysFamily(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::bind(fd, address.sockaddr(), address.sa_len()) != 0 || !address.setFromLiveLocal(fd)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

UdpNatProxy::UdpNatProxy(const HXSockAddr& inner, const HXSockAddr& outerHost,
                         const HXSockAddr& destination)
    : m_outerHost(outerHost), m_destination(destination), m_inner(inner) {}

UdpNatProxy::~UdpNatProxy() {
  m_stop = true;
  if (m_thread.joinable()) {
    wake();
    m_thread.join();
  }
  for (auto& [key, mapping] : m_mappings) ::close(mapping->fd);
  if (m_innerFd >= 0) ::close(m_innerFd);
  if (m_wakeFd >= 0) ::close(m_wakeFd);
}

bool UdpNatProxy::start() {
  m_inner.setProto(ip::Proto::udp);
  m_innerFd = bindUdp(m_inner);
  m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_innerFd < 0 || m_wakeFd < 0) return false;
  m_thread = std::thread([this] { run(); });
  return true;
}

HXSockAddr UdpNatProxy::innerAddress() const { return m_inner; }

HXSockAddr UdpNatProxy::outerAddressFor(const HXSockAddr& insideSource) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_mappings.find(insideSource.strBind());
  return found == m_mappings.end() ? HXSockAddr() : found->second->outer;
}

void UdpNatProxy::setDropUnsolicited(bool on) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_dropUnsolicited = on;
}

HXSockAddr UdpNatProxy::remap(const HXSockAddr& insideSource) {
  const std::string key = insideSource.strBind();
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_mappings.count(key) == 0) return HXSockAddr();
  // The forwarding thread polls the old socket: only it may close it.
  m_remapRequests.push_back(key);
  const uint64_t target = m_remapsDone + m_remapRequests.size();
  wake();
  m_remapped.wait(lock, [&] { return m_remapsDone >= target || m_stop; });
  auto found = m_mappings.find(key);
  return found == m_mappings.end() ? HXSockAddr() : found->second->outer;
}

void UdpNatProxy::dropNext(NatDirection direction, uint32_t count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_dropNext[static_cast<int>(direction)] = count;
}

void UdpNatProxy::setDelay(NatDirection direction, uint32_t ms) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_delayMs[static_cast<int>(direction)] = ms;
}

void UdpNatProxy::setExtraCopies(NatDirection direction, uint32_t copies) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_extraCopies[static_cast<int>(direction)] = copies;
}

NatCounters UdpNatProxy::counters() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_counters;
}

void UdpNatProxy::wake() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof(one));
}

int UdpNatProxy::openOuter(HXSockAddr& bound) const {
  bound = m_outerHost;
  bound.setProto(ip::Proto::udp);
  bound.setPort(0);
  return bindUdp(bound);
}

void UdpNatProxy::run() {
  while (!m_stop) {
    std::vector<pollfd> fds{{m_wakeFd, POLLIN, 0}, {m_innerFd, POLLIN, 0}};
    std::vector<Mapping*> polled;
    int timeout = -1;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      for (auto& [key, mapping] : m_mappings) {
        fds.push_back({mapping->fd, POLLIN, 0});
        polled.push_back(mapping.get());
      }
      if (!m_delayed.empty()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_delayed.begin()->first -
                                                                       Clock::now());
        timeout = static_cast<int>(std::max<int64_t>(0, wait.count()));
      }
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = ::read(m_wakeFd, &count, sizeof(count));
    }
    if (fds[1].revents != 0) onInner();
    for (size_t i = 0; i < polled.size(); ++i) {
      if (fds[i + 2].revents != 0) onOuter(*polled[i]);
    }
    sendDue();
    applyRemaps();
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_remapped.notify_all();
}

void UdpNatProxy::onInner() {
  std::vector<uint8_t> data;
  HXSockAddr source;
  if (!receive(m_innerFd, data, source)) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  std::unique_ptr<Mapping>& mapping = m_mappings[source.strBind()];
  if (!mapping) {
    auto created = std::make_unique<Mapping>();
    created->insideSource = source;
    created->fd = openOuter(created->outer);
    if (created->fd < 0) {
      m_mappings.erase(source.strBind());
      return;
    }
    mapping = std::move(created);
  }
  mapping->contacted.insert(m_destination.strBind());
  pass(NatDirection::kOutbound, *mapping, m_destination, std::move(data));
}

void UdpNatProxy::onOuter(Mapping& mapping) {
  std::vector<uint8_t> data;
  HXSockAddr from;
  if (!receive(mapping.fd, data, from)) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_dropUnsolicited && mapping.contacted.count(from.strBind()) == 0) {
    ++m_counters.unsolicited;
    return;
  }
  pass(NatDirection::kInbound, mapping, mapping.insideSource, std::move(data));
}

void UdpNatProxy::pass(NatDirection direction, Mapping& mapping, const HXSockAddr& to,
                       std::vector<uint8_t> data) {
  const int d = static_cast<int>(direction);
  if (m_dropNext[d] > 0) {
    --m_dropNext[d];
    ++m_counters.dropped[d];
    return;
  }
  ++m_counters.forwarded[d];
  const uint32_t copies = 1 + m_extraCopies[d];
  for (uint32_t i = 0; i < copies; ++i) {
    if (m_delayMs[d] == 0) {
      sendNow(direction, mapping.insideSource, to, data);
    } else {
      const auto due = Clock::now() + std::chrono::milliseconds(m_delayMs[d]);
      m_delayed.emplace(due, Delayed{direction, mapping.insideSource, to, data});
    }
  }
}

// Outbound datagrams leave from the mapping's outer socket as it is at sending time, so a delayed
// one follows a mapping change; inbound ones leave from the inner socket. Called with the lock
// held.
void UdpNatProxy::sendNow(NatDirection direction, const HXSockAddr& insideSource,
                          const HXSockAddr& to, const std::vector<uint8_t>& data) {
  int fd = m_innerFd;
  if (direction == NatDirection::kOutbound) {
    auto found = m_mappings.find(insideSource.strBind());
    if (found == m_mappings.end()) return;
    fd = found->second->fd;
  }
  ::sendto(fd, data.data(), data.size(), 0, to.sockaddr(), to.sa_len());
}

void UdpNatProxy::sendDue() {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto now = Clock::now();
  while (!m_delayed.empty() && m_delayed.begin()->first <= now) {
    const Delayed& next = m_delayed.begin()->second;
    sendNow(next.direction, next.insideSource, next.to, next.data);
    m_delayed.erase(m_delayed.begin());
  }
}

void UdpNatProxy::applyRemaps() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_remapRequests.empty()) return;
  for (const std::string& key : m_remapRequests) {
    Mapping& mapping = *m_mappings.at(key);
    HXSockAddr outer;
    const int fd = openOuter(outer);
    if (fd >= 0) {
      // Opened before the old one closes, so the new port cannot be the old one again.
      ::close(mapping.fd);
      mapping.fd = fd;
      mapping.outer = outer;
      mapping.contacted.clear();
    }
    ++m_remapsDone;
  }
  m_remapRequests.clear();
  m_remapped.notify_all();
}

}  // namespace hx::testing
