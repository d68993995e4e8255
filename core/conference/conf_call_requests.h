#pragma once
// HX_ConfCallRequests: what the client object asks of the conference service beyond its signals:
// the report of a media connection that failed, the hang-up, the answer with the client's
// connection information, and the store's reaction to a new local address of the signalling
// connection. Until the conference service does them, this stand-in records each request
// (calls()) and answers what a test set.
//
// Thread safety: the record is locked and the answers atomic; callers hold the conference lock
// they pass in.

#include <atomic>
#include <cstdint>

#include "core/base/call_record.h"

class ConferenceLock;
class HXSockAddr;

class HX_ConfCallRequests {
 public:
  HX_ConfCallRequests() = default;
  virtual ~HX_ConfCallRequests() = default;
  HX_ConfCallRequests(const HX_ConfCallRequests&) = delete;
  HX_ConfCallRequests& operator=(const HX_ConfCallRequests&) = delete;

  // Tells the server that the media of the locked conference could not be connected.
  virtual void SendConnectFailure(ConferenceLock& lock);
  // Hangs the locked conference up. A hang-up that deleted the conference itself releases the
  // lock (setHangupReleases); the stand-in keeps it by default.
  virtual bool HangupWithFlags(ConferenceLock& lock, uint32_t flags);
  // Answers the server's request for the client's connection information.
  virtual void SendConnectionInfo(const char* caller, const char* sid);

  // The signalling connection's local address changed while a conference is joined.
  virtual void onTransportLocalBindUpdated(const HXSockAddr& address);

  void setHangupReleases(bool releases) { m_hangupReleases.store(releases); }
  const hx::CallRecord& calls() const { return m_calls; }

 private:
  hx::CallRecord m_calls;
  std::atomic<bool> m_hangupReleases{false};
};
