#pragma once
// Least stand-ins of the media-stream classes that the conference records point to, until they
// land: the UDP streams supervisor and the trial UDP direct stream list (an accepted
// trial connection is already the real interface, core/streams/media_stream_connection.h). Each
// records the calls made to it by name, in order, and answers what a test set.
//
// Thread safety: every object locks its own record and answers, so a test may read them while
// the conference calls the stream from another thread.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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

// The per-store supervisor of direct UDP streams.
class HX_UdpStreamsSupervisor : public stream::StandInRecord {};

namespace hx::streams {

// The conference's list of trial direct UDP streams.
class UdpTrialDirectStreamList : public stream::StandInRecord {
 public:
  // Asks the handler `id` to stop: answers what the test set (true by default).
  bool stopDCHandler(ConferenceLock& lock, uint32_t id);
  void setStopAnswer(bool stops);
  void removeDCHandler(ConferenceLock& lock, uint32_t id);
  void addConfPeerInfo(ConferenceLock& lock, const std::string& peerId);

 private:
  bool m_stops = true;
};

}  // namespace hx::streams
