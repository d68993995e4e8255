#pragma once
// Least stand-ins of the media-stream classes that the conference records point to, until the
// streams themselves land: the send and receive streams, the TCP and UDP streams supervisors and
// the trial UDP direct stream list (an accepted trial connection is already the real interface,
// core/streams/media_stream_connection.h). Each records the calls made to
// it by name, in order, and answers what a test set (the defaults are those of an idle stream
// that shuts down at once).
//
// Thread safety: every object locks its own record and answers, so a test may read them while
// the conference calls the stream from another thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/base/signal.h"
#include "core/streams/conference_statistics.h"
#include "core/streams/stream_signals.h"

class ConferenceLock;

namespace stream {

// The record of calls and the state flags that every stand-in shares.
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

// What the send and receive stream stand-ins have in common: state flags (0: idle; any bit: a
// connection, handshake or shutdown is in progress), a shutdown answer and a statistics block.
class MediaStreamStandIn : public StandInRecord {
 public:
  uint32_t getStateFlags() const;
  void setStateFlags(uint32_t flags);
  // Whether the stream still runs: any state flag set.
  bool isRunning() const { return getStateFlags() != 0; }

  // Shuts the stream down: answers what the test set (true by default); on true the state flags
  // are cleared.
  bool shutdownStream();
  void setShutdownAnswer(bool ok);
  // Runs before every shutdown answers (a test changes the world meanwhile).
  void setShutdownHook(std::function<void()> hook);

  // Copies the block the test set; false when none was set.
  bool getStreamConfStat(TConferenceStatistics& out) const;
  void setStreamConfStatBlock(const std::optional<TConferenceStatistics>& block);

 private:
  uint32_t m_flags = 0;
  bool m_shutdownOk = true;
  std::function<void()> m_shutdownHook;
  std::optional<TConferenceStatistics> m_block;
};

}  // namespace stream

// The send stream's signal table, as the real stream has it.
class HX_SenderBase : public stream::MediaStreamStandIn, public HX_SenderSignals {
 public:
  HX_StreamUnavailableSignal unavailableSignal;
  // Counts the request; answers 1.
  int RequestKeyFrame();
  void SetRoleVideoCapture(bool on);
  void SetRoleAudioCapturer(bool on);
  // The sum of the measured send rates (kbit/s).
  uint32_t GetSendBitrateInfo() const { return m_sendBitrate.load(); }
  void SetSendBitrateInfo(uint32_t rate) { m_sendBitrate.store(rate); }

 private:
  std::atomic<uint32_t> m_sendBitrate{0};
};

// A receive stream's signal table, as the real stream has it.
class HX_ReceiverBase : public stream::MediaStreamStandIn, public HX_ReceiverSignals {
 public:
  HX_ReceiverBase(std::string senderId, std::string receiverId);
  HX_StreamUnavailableSignal unavailableSignal;
  // The rate of all tracks together (kbit/s); the stand-in answers what the test set.
  uint32_t GetRcvBitrateInfo() const { return m_rcvBitrate.load(); }
  void setRcvBitrateInfo(uint32_t rate) { m_rcvBitrate.store(rate); }
  void SetFltrEnabled(uint32_t filter);
  uint32_t GetFltrEnabled() const;
  void setReceiverId(const std::string& id);
  void setSenderId(const std::string& id);
  std::string GetReceiverId() const;
  std::string GetSenderId() const;

 private:
  uint32_t m_filter = 0;
  std::atomic<uint32_t> m_rcvBitrate{0};
  std::string m_senderId;
  std::string m_receiverId;
};

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
