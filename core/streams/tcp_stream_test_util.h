#pragma once
// Test support for the TCP media connections and handlers: a stream with the least behaviour (it
// only carries ids and counts lost connections), a trial listener that records every report and
// can turn a successful trial into a regular connection on the loop's thread, and readers of
// socket options.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "core/streams/conference_statistics.h"
#include "core/streams/media_stream_base.h"
#include "core/streams/net_trial_connection.h"

namespace hx::testing {

// Stream client types (1 sender, 2 receiver).
inline constexpr HX_StreamClient_Type kSenderType = 1;
inline constexpr HX_StreamClient_Type kReceiverType = 2;

class IdStream : public HX_MediaStreamBase {
 public:
  explicit IdStream(HX_StreamClient_Type type) : m_type(type) {
    setStreamCapabilites(nullptr, nullptr, "sender-7", "receiver-9");
    setNetworkId("me-3");
  }
  ~IdStream() override { shutdownJobs(); }
  HX_StreamClient_Type getMediaStreamType() const override { return m_type; }
  void onStreamUnavailable(HX_NetTrialConnection*, hx::NetHandshakeConnectResult) override {}
  bool AcquireHardware() override { return true; }
  bool ReleaseHardware() override { return true; }
  void notifyStreamShuttedDown() override {}
  void onStartDataTransfer() override {}
  void onNetConnectionDone() override { connectionDone.fetch_add(1); }
  bool getStreamConfStat(stream::TConferenceStatistics& out) override {
    out.clear();
    return true;
  }

  std::atomic<int> connectionDone{0};

 private:
  const HX_StreamClient_Type m_type;
};

// Records (trial, success) reports; `onDone` runs on the loop's thread inside the report.
class TrialRecorder : public HX_NetTrialConnection::ListenerCallback {
 public:
  void onTrialConnectDone(HX_NetTrialConnection* trial, bool success) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_reports.push_back(success);
    }
    if (onDone) onDone(trial, success);
    count.fetch_add(1);
  }
  std::vector<bool> reports() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
  }

  std::function<void(HX_NetTrialConnection*, bool)> onDone;
  std::atomic<int> count{0};

 private:
  std::mutex m_mutex;
  std::vector<bool> m_reports;
};

inline int IntOption(int handle, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  if (getsockopt(handle, level, name, &value, &length) != 0) return -1;
  return value;
}

}  // namespace hx::testing
