#pragma once
// Least stand-ins of the media-stream classes that the conference records point to, until they
// land: the trial UDP direct stream list (an accepted
// trial connection is already the real interface, core/streams/media_stream_connection.h). Each
// records the calls made to it by name, in order, and answers what a test set.
//
// Thread safety: every object locks its own record and answers, so a test may read them while
// the conference calls the stream from another thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/streams/udp_direct_hello.h"
#include "core/streams/udp_direct_trial_connection.h"
#include "core/streams/udp_handlers.h"
#include "core/streams/udp_socket_descriptor.h"

class ConferenceLock;

namespace stream {

// The record of calls that every stand-in shares.
class StandInRecord {
 public:
  virtual ~StandInRecord() = default;

  // Every call so far, by name (some with an argument after a space), in order.
  std::vector<std::string> calls() const;
  size_t callCount(const std::string& name) const;

 protected:
  void record(const std::string& call);
  mutable std::mutex m_mutex;

 private:
  std::vector<std::string> m_calls;
};

}  // namespace stream

namespace hx::streams {

// The conference's list of trial direct UDP streams.
class UdpTrialDirectStreamList : public stream::StandInRecord {
 public:
  // Asks the handler `id` to stop: answers what the test set (true by default).
  bool stopDCHandler(ConferenceLock& lock, uint32_t id);
  void setStopAnswer(bool stops);
  void removeDCHandler(ConferenceLock& lock, uint32_t id);
  void addConfPeerInfo(ConferenceLock& lock, const std::string& peerId);
  // Takes one finished attempt; false refuses it.
  using TakeAttempt = std::function<bool(const udp::TrialDirectConnection& connection,
                                         std::shared_ptr<UdpDirectHandler>& handler)>;
  // Records "getAttempts <peer>", hands the peer's finished attempts (as the test added them) to
  // `take`, releases the handlers it refuses and forgets all of the peer's attempts.
  void getAttempts(ConferenceLock& lock, const std::string& peerName, const TakeAttempt& take);
  void addFinishedAttempt(const udp::TrialDirectConnection& connection,
                          std::shared_ptr<UdpDirectHandler> handler);
  // Records "onHelloFromUnknownSource <participant> <source>".
  void onHelloFromUnknownSource(ConferenceLock& lock, const udp::HelloRequestData& hello,
                                UDPListenerSocketDescriptor* descriptor,
                                const UDPListenerSocketDescriptor::MsgDescriptor& message);

 private:
  struct Attempt {
    udp::TrialDirectConnection connection;
    std::shared_ptr<UdpDirectHandler> handler;
  };
  bool m_stops = true;
  std::vector<Attempt> m_attempts;
};

}  // namespace hx::streams
