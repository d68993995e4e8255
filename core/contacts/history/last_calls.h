#pragma once
// HX_LastCalls: the recorder of the call history. The client object connects twelve of the
// conference service's events to the handlers below; each handler writes its log line, creates a
// row or moves one along its states (see last_calls_db.h) and then emits `lastCallsChanged`, so
// that the host reloads the journal. The one exception: a join sent for a conference that already
// has an invitation row only moves that row on, and emits nothing.
//
// The conference type of a new row is asked through `confTypeRequest` (the client object answers
// with the type of its current conference); with nothing connected it stays 0.
//
// Until the first successful OpenDatabase every database step fails quietly, but the change
// signal is still emitted.
//
// Thread safety: handlers run on the thread that emits the event (the network loop for messages
// from the server, the caller's thread for the user's own commands); host threads list and mark
// rows at the same time. A handler's lookup and the update that follows hold the database's
// recursive lock together, so that no other step (a finish on another thread, say) slips in
// between and changes the row the lookup found. `confTypeRequest` is emitted before that lock is
// taken: its handler takes the conference store's lock, and some events arrive with the store's
// lock already held, so asking under the database lock would take the two locks in both orders.
// `m_lock` only serialises opens. Signals are emitted with no lock of this object held.

#include <string>

#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/conference/conference_type.h"
#include "core/contacts/history/last_calls_db.h"

class HX_LastCalls : public HX_LastCallsDB {
 public:
  HX_LastCalls();
  ~HX_LastCalls() override;

  // Opens the history of `peer` in `dir` (see HX_LastCallsDB::OpenDatabase); emits
  // `lastCallsChanged` after a successful open, also when that peer's file was open already.
  bool OpenDatabase(const char* peer, const char* dir) override;

  // The type of the current conference, as the handler of `confTypeRequest` writes it; 0 when
  // nothing is connected.
  HX_Conference_Type ConfType();

  // "Invite" sent to `peer` / received from `peer`.
  void OnInviteSent(const char* peer, const char* confId);
  void OnInviteReceived(const std::string& confId, const char* peer, const char* displayName);
  // An invitation into a group conference sent to or received from `peer`: it becomes the row of
  // an open request for an invitation exchanged with that peer, or a new row. A received one
  // without an inviter keeps the conference id as the named id of the row.
  void OnInviteToMultiSent(const char* peer, const char* confId, const char* confName);
  void OnInviteToMultiReceived(const std::string& confId, const char* peer,
                               const char* confName);
  // "ReqInvite" sent to `peer` / received from `peer`.
  void OnReqInviteSent(const char* peer);
  void OnReqInviteReceived(const char* userName, const char* peer, const char* displayName);
  // "Accept" sent to / received from `peer`: the call of that conference and peer is joined.
  void OnAcceptSent(const char* peer, const char* confId);
  void OnAcceptReceived(const char* peer, const char* displayName, const char* confId,
                        const char* key);
  // "Join" sent for a conference id or name, and the answer to it.
  void OnJoinSent(const std::string& confIdOrName);
  void OnJoinReceived(const char* namedConfId, const char* confId, const char* confName,
                      const char* owner);
  // "Reject" sent: a received request for an invitation of `peer` ends missed.
  void OnRejectSent(const char* peer, const char* confId, int reason);
  // `id` is the conference id once the server confirmed the conference, else the peer's call id.
  void OnConferenceDeleted(const char* id, HX_ConferenceDeleted_Result result);

  // Asks for the type of the current conference; the value is 0 when emitted.
  hx::Signal1<HX_Conference_Type&> confTypeRequest;

 private:
  HXLock m_lock;
};
