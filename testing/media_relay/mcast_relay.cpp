#include "testing/media_relay/mcast_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace hx::testing {
namespace {

constexpr size_t kHead = 14;
constexpr size_t kMaxDatagram = 65536;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool Parse(const std::string& text, uint16_t port, sockaddr_storage& out, socklen_t& length) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(text.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  std::memcpy(&out, found->ai_addr, found->ai_addrlen);
  length = found->ai_addrlen;
  freeaddrinfo(found);
  return true;
}

// The index of the interface that has `address`, 0 when none has.
unsigned InterfaceOf(const sockaddr_storage& address) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  unsigned index = 0;
  for (ifaddrs* i = list; i != nullptr && index == 0; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != address.ss_family) continue;
    const bool same =
        address.ss_family == AF_INET
            ? std::memcmp(&reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr,
                          &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, 4) == 0
            : std::memcmp(&reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr,
                          &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, 16) == 0;
    if (same) index = if_nametoindex(i->ifa_name);
  }
  freeifaddrs(list);
  return index;
}

// Points the socket's multicast output at the interface of `local`.
bool SetOutput(int handle, const sockaddr_storage& local) {
  if (local.ss_family == AF_INET) {
    const in_addr address = reinterpret_cast<const sockaddr_in*>(&local)->sin_addr;
    return setsockopt(handle, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address) == 0;
  }
  const unsigned index = InterfaceOf(local);
  return index != 0 &&
         setsockopt(handle, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) == 0;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

uint8_t McastRelay::Checksum(const uint8_t* payload, size_t length) {
  unsigned sum = 172;
  for (size_t at = 0; at < length; at += 234) sum += payload[at];
  return static_cast<uint8_t>(sum & 0xFF);
}

bool McastRelay::HeadHolds(const uint8_t* datagram, size_t size) {
  if (size < kHead) return false;
  const size_t head = datagram[8];
  const size_t payload = Le16(datagram);
  if (head < kHead || head + payload > size) return false;
  return datagram[7] == Checksum(datagram + head, payload);
}

McastRelay::McastRelay() {
  if (pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) m_wake[0] = m_wake[1] = -1;
  m_thread = std::thread([this] { run(); });
}

McastRelay::~McastRelay() {
  m_stop.store(true);
  if (m_wake[1] != -1) (void)!write(m_wake[1], "x", 1);
  m_thread.join();
  for (int handle : m_senderSockets) close(handle);
  for (const Receiver& r : m_receivers) close(r.handle);
  for (int handle : m_wake) {
    if (handle != -1) close(handle);
  }
}

bool McastRelay::joinSenderGroup(const std::string& group, uint16_t port,
                                 const std::string& localAddress) {
  sockaddr_storage groupAddress{};
  sockaddr_storage local{};
  socklen_t groupLength = 0;
  socklen_t localLength = 0;
  if (!Parse(group, port, groupAddress, groupLength) ||
      !Parse(localAddress, 0, local, localLength)) {
    return false;
  }
  const int handle = socket(groupAddress.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (handle == -1) return false;
  const int on = 1;
  bool ok = setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
            bind(handle, reinterpret_cast<sockaddr*>(&groupAddress), groupLength) == 0;
  if (ok && groupAddress.ss_family == AF_INET) {
    ip_mreq request{};
    request.imr_multiaddr = reinterpret_cast<sockaddr_in*>(&groupAddress)->sin_addr;
    request.imr_interface = reinterpret_cast<sockaddr_in*>(&local)->sin_addr;
    ok = setsockopt(handle, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0;
  } else if (ok) {
    ipv6_mreq request{};
    request.ipv6mr_multiaddr = reinterpret_cast<sockaddr_in6*>(&groupAddress)->sin6_addr;
    request.ipv6mr_interface = InterfaceOf(local);
    ok = setsockopt(handle, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request) == 0;
  }
  if (!ok) {
    close(handle);
    return false;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_senderSockets.push_back(handle);
  if (m_wake[1] != -1) (void)!write(m_wake[1], "x", 1);
  return true;
}

bool McastRelay::addReceiverGroup(const std::string& group, uint16_t port, uint32_t key,
                                  const std::string& localAddress) {
  sockaddr_storage groupAddress{};
  sockaddr_storage local{};
  socklen_t groupLength = 0;
  socklen_t localLength = 0;
  if (!Parse(group, port, groupAddress, groupLength) ||
      !Parse(localAddress, 0, local, localLength) || groupAddress.ss_family != local.ss_family) {
    return false;
  }
  const int handle = socket(groupAddress.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (handle == -1) return false;
  if (!SetOutput(handle, local)) {
    close(handle);
    return false;
  }
  Receiver receiver;
  receiver.handle = handle;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&groupAddress);
  receiver.address.assign(bytes, bytes + groupLength);
  receiver.key = key;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_receivers.push_back(std::move(receiver));
  m_held.emplace_back();
  return true;
}

void McastRelay::setFaults(const Faults& faults) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_faults = faults;
  m_random.seed(faults.seed);
}

McastRelay::Counters McastRelay::counters() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_counters;
}

bool McastRelay::chance(double share) {
  return share > 0 && std::uniform_real_distribution<double>(0, 1)(m_random) < share;
}

void McastRelay::run() {
  std::vector<uint8_t> datagram(kMaxDatagram);
  while (!m_stop.load()) {
    std::vector<pollfd> items;
    int timeout = 100;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      items.push_back({m_wake[0], POLLIN, 0});
      for (int handle : m_senderSockets) items.push_back({handle, POLLIN, 0});
      if (!m_pending.empty()) {
        timeout = static_cast<int>(std::max<int64_t>(0, m_pending.front().due - NowMs()));
      }
    }
    poll(items.data(), items.size(), timeout);
    if ((items[0].revents & POLLIN) != 0) {
      char drain[64];
      while (read(m_wake[0], drain, sizeof drain) > 0) {
      }
    }
    for (size_t i = 1; i < items.size(); ++i) {
      if ((items[i].revents & POLLIN) == 0) continue;
      const ssize_t n = recv(items[i].fd, datagram.data(), datagram.size(), 0);
      if (n >= 0) relay(datagram.data(), static_cast<size_t>(n));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    sendDue(NowMs());
  }
}

void McastRelay::relay(const uint8_t* datagram, size_t size) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_counters.received;
  if (!HeadHolds(datagram, size)) {
    ++m_counters.malformed;
    return;
  }
  const int64_t now = NowMs();
  for (size_t r = 0; r < m_receivers.size(); ++r) {
    std::vector<uint8_t> copy(datagram, datagram + size);
    uint32_t key = m_receivers[r].key;
    if (chance(m_faults.spoilKey)) key ^= 0x5A5A5A5A;
    for (int i = 0; i < 4; ++i) copy[10 + i] = static_cast<uint8_t>(key >> (8 * i));
    if (chance(m_faults.spoilChecksum)) copy[7] = static_cast<uint8_t>(copy[7] + 1);
    if (chance(m_faults.cut)) {
      copy.resize(std::uniform_int_distribution<size_t>(0, copy.size() - 1)(m_random));
    }
    if (chance(m_faults.drop)) continue;
    const bool twice = chance(m_faults.duplicate);
    if (m_held[r].empty() && chance(m_faults.reorder)) {
      m_held[r] = std::move(copy);
      continue;
    }
    if (twice) schedule(r, copy, now);
    schedule(r, std::move(copy), now);
    if (!m_held[r].empty()) {
      schedule(r, std::move(m_held[r]), now);
      m_held[r].clear();
    }
  }
  sendDue(now);
}

void McastRelay::schedule(size_t receiver, std::vector<uint8_t> datagram, int64_t now) {
  m_pending.push_back({now + m_faults.delayMs, receiver, std::move(datagram)});
}

void McastRelay::sendDue(int64_t now) {
  while (!m_pending.empty() && m_pending.front().due <= now) {
    const Pending& p = m_pending.front();
    const Receiver& r = m_receivers[p.receiver];
    if (sendto(r.handle, p.datagram.data(), p.datagram.size(), 0,
               reinterpret_cast<const sockaddr*>(r.address.data()),
               static_cast<socklen_t>(r.address.size())) >= 0) {
      ++m_counters.sent;
    }
    m_pending.pop_front();
  }
}

}  // namespace hx::testing
