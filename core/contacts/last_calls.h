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

  virtual void OnReqInviteReceived(const char* conference, const char* peer) {
    Count();
    (void)conference;
    (void)peer;
  }
  virtual void OnAcceptSent(const char* conference, const char* peer) {
    Count();
    (void)conference;
    (void)peer;
  }
  virtual void OnAcceptReceived(const char* conference, const char* peer) {
    Count();
    (void)conference;
    (void)peer;
  }
  virtual void OnJoinReceived(const char* conference, const char* peer) {
    Count();
    (void)conference;
    (void)peer;
  }
  virtual void OnJoinSent(const char* conference, const char* peer) {
    Count();
    (void)conference;
    (void)peer;
  }
  virtual void OnInviteSent(const char* conference, const char* peer) {
    Count();
    (void)conference;
    (void)peer;
  }
  virtual void OnInviteToMultiSent(const char* conference, const char* peer) {
    Count();
    (void)conference;
    (void)peer;
  }
  virtual void OnInviteReceived(const char* conference, const char* peer) {
    Count();
    (void)conference;
    (void)peer;
  }
  virtual void OnInviteToMultiReceived(const char* conference, const char* peer) {
    Count();
    (void)conference;
    (void)peer;
  }
  virtual void OnConferenceDeleted(const char* conference, HX_ConferenceDeleted_Result result) {
    Count();
    (void)conference;
    (void)result;
  }
  virtual void OnReqInviteSent(const char* conference, const char* peer) {
    Count();
    (void)conference;
    (void)peer;
  }
  virtual void OnRejectSent(const char* conference, const char* peer) {
    Count();
    (void)conference;
    (void)peer;
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
