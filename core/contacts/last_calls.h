#pragma once
// HX_LastCalls: the call history. The client object connects its handlers to the conference
// service's signals of the same events. So far each handler only counts the event it was given
// and OpenDatabase only records what it was asked (the history database comes with the contacts
// subsystem); the conference-type request signal lets the history ask the client object the type
// of a conference.
//
// Thread safety: handlers run on the threads of the signals; the counters are atomic and the
// record locked.

#include <atomic>
#include <cstdint>
#include <string>

#include "core/base/call_record.h"
#include "core/base/signal.h"
#include "core/conference/conference_type.h"

class HX_LastCalls {
 public:
  HX_LastCalls() = default;
  virtual ~HX_LastCalls() = default;
  HX_LastCalls(const HX_LastCalls&) = delete;
  HX_LastCalls& operator=(const HX_LastCalls&) = delete;

  // Opens the history database of `user` in `dir`.
  virtual void OpenDatabase(const char* user, const char* dir) { m_calls.Record("OpenDatabase", user, dir); }
  const hx::CallRecord& calls() const { return m_calls; }

  virtual void OnReqInviteReceived(const char* user, const char* requester, const char* displayName) {
    Count();
    (void)user;
    (void)requester;
    (void)displayName;
  }
  virtual void OnAcceptSent(const char* peer, const char* conference) {
    Count();
    (void)peer;
    (void)conference;
  }
  virtual void OnAcceptReceived(const char* peer, const char* displayName, const char* conference, const char* key) {
    Count();
    (void)peer;
    (void)displayName;
    (void)conference;
    (void)key;
  }
  virtual void OnJoinReceived(const char* callId, const char* conference, const char* name, const char* user) {
    Count();
    (void)callId;
    (void)conference;
    (void)name;
    (void)user;
  }
  virtual void OnJoinSent(const std::string& conference) {
    Count();
    (void)conference;
  }
  virtual void OnInviteSent(const char* peer, const char* conference) {
    Count();
    (void)peer;
    (void)conference;
  }
  virtual void OnInviteToMultiSent(const char* peer, const char* conference, const char* topic) {
    Count();
    (void)peer;
    (void)conference;
    (void)topic;
  }
  virtual void OnInviteReceived(const std::string& conference, const char* caller, const char* displayName) {
    Count();
    (void)conference;
    (void)caller;
    (void)displayName;
  }
  virtual void OnInviteToMultiReceived(const std::string& conference, const char* inviter, const char* topic) {
    Count();
    (void)conference;
    (void)inviter;
    (void)topic;
  }
  virtual void OnConferenceDeleted(const char* conference, HX_ConferenceDeleted_Result result) {
    Count();
    (void)conference;
    (void)result;
  }
  virtual void OnReqInviteSent(const char* peer) {
    Count();
    (void)peer;
  }
  virtual void OnRejectSent(const char* peer, const char* conference, int cause) {
    Count();
    (void)peer;
    (void)conference;
    (void)cause;
  }

  // How many events reached the handlers.
  uint32_t eventCount() const { return m_events.load(); }

  // Asks for the type of the conference being recorded.
  hx::Signal1<HX_Conference_Type&> confTypeRequestSignal;

 private:
  void Count() { m_events.fetch_add(1); }
  std::atomic<uint32_t> m_events{0};
  hx::CallRecord m_calls;
};
