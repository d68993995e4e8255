#pragma once
// McastRelay: the server's multicast media relay, faked for tests. It joins the groups that
// senders send to (what the server announces in "SenderConnected") and re-sends every datagram
// it receives there to the groups of the receivers (announced in "ReceiverConnected"), writing
// each receiver's own key into the 14-byte head at offset 10. Written apart from the client: its
// head and checksum code are its own, so that a mistake in the client's is seen here.
//
// It can also misbehave, each with its own knob: drop, duplicate, reorder (swap neighbours),
// delay, spoil the checksum or the key, and cut datagrams short. Faults are drawn from a seeded
// generator, so a run is repeatable.
//
// Threads: the relay runs its own thread from construction to destruction; every public
// operation may be called from any thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace hx::testing {

class McastRelay {
 public:
  struct Faults {
    double drop = 0;       // share of datagrams dropped (per receiver)
    double duplicate = 0;  // share sent twice
    double reorder = 0;    // share held back and sent after the next one
    uint32_t delayMs = 0;  // every datagram waits this long
    double spoilChecksum = 0;
    double spoilKey = 0;
    double cut = 0;  // share sent short (a random length below the full one)
    uint32_t seed = 1;
  };
  struct Counters {
    uint64_t received = 0;   // datagrams that arrived from senders
    uint64_t malformed = 0;  // of those, with a head that does not hold
    uint64_t sent = 0;       // datagrams sent to receivers
  };

  McastRelay();
  ~McastRelay();
  McastRelay(const McastRelay&) = delete;
  McastRelay& operator=(const McastRelay&) = delete;

  // Joins `group` (IPv4 or IPv6 text) at `port` on the interface that has `localAddress`; false
  // when the socket cannot be made, bound or joined.
  bool joinSenderGroup(const std::string& group, uint16_t port, const std::string& localAddress);
  // Adds a receiver: its group, port and key; datagrams leave on the interface of `localAddress`.
  bool addReceiverGroup(const std::string& group, uint16_t port, uint32_t key,
                        const std::string& localAddress);
  void setFaults(const Faults& faults);
  Counters counters() const;

  // The relay's own head code: the payload length and checksum that a head must carry.
  static uint8_t Checksum(const uint8_t* payload, size_t length);
  static bool HeadHolds(const uint8_t* datagram, size_t size);

 private:
  struct Receiver {
    int handle = -1;
    std::vector<uint8_t> address;  // sockaddr bytes
    uint32_t key = 0;
  };
  struct Pending {
    int64_t due = 0;
    size_t receiver = 0;
    std::vector<uint8_t> datagram;
  };

  void run();
  void relay(const uint8_t* datagram, size_t size);
  void schedule(size_t receiver, std::vector<uint8_t> datagram, int64_t now);
  void sendDue(int64_t now);
  bool chance(double share);

  mutable std::mutex m_mutex;
  std::vector<int> m_senderSockets;
  std::vector<Receiver> m_receivers;
  std::deque<Pending> m_pending;
  std::vector<std::vector<uint8_t>> m_held;  // per receiver: a datagram held for reordering
  Faults m_faults;
  std::mt19937 m_random{1};
  Counters m_counters;
  int m_wake[2] = {-1, -1};
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace hx::testing
