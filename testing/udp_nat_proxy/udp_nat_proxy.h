#pragma once
// UdpNatProxy: a NAT that rewrites UDP sources, in user space, for tests of peers behind one.
//
// The inside host sends to the proxy's inner address. For every inside source the proxy opens an
// outer socket of its own (the mapping: one outer port per inside source) and sends from it to the
// one destination it was made for; datagrams that reach an outer socket go back to its inside
// source from the inner address. So the destination sees the outer address as the source, and the
// inside host sees the inner address. Per test it can also:
//   - drop unsolicited inbound datagrams: those from an address the mapping never sent to (the
//     default, as a port-restricted NAT does);
//   - change a mapping: a new outer socket on a new port, the old one closed;
//   - drop the next N datagrams, delay them, or send extra copies, per direction.
//
// One thread of its own forwards; every public call is thread-safe.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/net/address/sock_addr.h"

namespace hx::testing {

enum class NatDirection { kOutbound = 0, kInbound = 1 };  // inside to outside, and back

struct NatCounters {
  uint64_t forwarded[2] = {0, 0};  // datagrams passed on (each counted once, however many copies)
  uint64_t dropped[2] = {0, 0};    // by dropNext
  uint64_t unsolicited = 0;        // inbound from an address the mapping never sent to
};

class UdpNatProxy {
 public:
  // `inner`: where the inside host sends (port 0 picks a free one); `outerHost`: the address the
  // outer sockets bind to, each on a free port; `destination`: where outbound datagrams go.
  UdpNatProxy(const HXSockAddr& inner, const HXSockAddr& outerHost, const HXSockAddr& destination);
  ~UdpNatProxy();
  UdpNatProxy(const UdpNatProxy&) = delete;
  UdpNatProxy& operator=(const UdpNatProxy&) = delete;

  // Binds the inner socket and starts forwarding; false when a socket cannot be made.
  bool start();
  HXSockAddr innerAddress() const;
  // The outer address of an inside source's mapping; empty when it has none yet.
  HXSockAddr outerAddressFor(const HXSockAddr& insideSource) const;

  void setDropUnsolicited(bool on);
  // Moves the mapping to a new outer port and returns the new outer address (empty when the
  // source has no mapping). Datagrams to the old port are lost from then on.
  HXSockAddr remap(const HXSockAddr& insideSource);
  void dropNext(NatDirection direction, uint32_t count);
  void setDelay(NatDirection direction, uint32_t ms);
  void setExtraCopies(NatDirection direction, uint32_t copies);
  NatCounters counters() const;

 private:
  struct Mapping;
  struct Delayed;
  using Clock = std::chrono::steady_clock;

  void run();
  // Forward or hold back one datagram; called with the lock held.
  void pass(NatDirection direction, Mapping& mapping, const HXSockAddr& to,
            std::vector<uint8_t> data);
  void sendNow(NatDirection direction, const HXSockAddr& insideSource, const HXSockAddr& to,
               const std::vector<uint8_t>& data);
  void onInner();
  void onOuter(Mapping& mapping);
  void sendDue();
  void applyRemaps();
  void wake();
  int openOuter(HXSockAddr& bound) const;

  const HXSockAddr m_outerHost;
  const HXSockAddr m_destination;
  HXSockAddr m_inner;
  int m_innerFd = -1;
  int m_wakeFd = -1;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};

  mutable std::mutex m_mutex;
  std::condition_variable m_remapped;
  // Keyed by the inside source's text form.
  std::map<std::string, std::unique_ptr<Mapping>> m_mappings;
  std::vector<std::string> m_remapRequests;
  uint64_t m_remapsDone = 0;
  std::multimap<Clock::time_point, Delayed> m_delayed;  // by due time, equal ones in arrival order
  bool m_dropUnsolicited = true;
  uint32_t m_dropNext[2] = {0, 0};
  uint32_t m_delayMs[2] = {0, 0};
  uint32_t m_extraCopies[2] = {0, 0};
  NatCounters m_counters;
};

}  // namespace hx::testing
