#pragma once
// HX_ConferenceHelper: the call flow's part of the client application object. It answers as the
// manager holder that the shared state forwards to, reacts to the conference service's signals
// the client object connects to it, and registers its conference-count listener with the
// conference store. So far its reactions do nothing, and the call-flow operations the client
// object calls (AcceptPeer, OpenConferenceP2P, OpenConferenceMulti, InvitePeer) only record what
// they were asked (helperCalls(), one line per call); the call flow grows them.
//
// Thread safety: the handlers and operations run on the threads that call them; the record is
// locked.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/base/call_record.h"
#include "core/client/manager_holder.h"
#include "core/client/meeting_tools.h"
#include "core/conference/store/conf_storage.h"

class HX_ConfManager;

class HX_ConferenceHelper : public virtual ManagerHolderBase, public HX_MeetingToolsFactory {
 public:
  HX_ConferenceHelper();
  ~HX_ConferenceHelper() override;

  // Handlers of the conference service's signals.
  virtual void OnConferenceCreated(const char* conference, HX_ConferenceCreated_Result result);
  virtual void OnConferenceDeleted(const char* conference, HX_ConferenceDeleted_Result result);
  virtual void OnRoleEventOccured(const char* conference, int role);
  virtual void OnInviteReceived(const char* conference, const char* peer);
  // A peer offers a direct connection for the conference `sid` (the client service's signal).
  virtual void OnTryAcceptDirect(const char* sid);

  // Call flow: accepts the call of `peer` in the conference with the numeric id `conferenceId`.
  virtual void AcceptPeer(std::string peer, int32_t conferenceId);
  // Opens the media of the private call with `peer`, confirmed as `sid` with the stream key `key`.
  virtual void OpenConferenceP2P(std::string peer, std::string sid, std::string key);
  // Opens the media of the group conference `sid` with the stream key `key`.
  virtual void OpenConferenceMulti(std::string sid, std::string key);
  // Invites `peer` to a call; whether the request went out (false so far).
  virtual bool InvitePeer(const char* peer);
  const hx::CallRecord& helperCalls() const { return m_helperCalls; }

  // Registers the helper's conference-count listener with the store of `confManager()`; false
  // without a conference manager.
  bool initConfHelperConfStorageListener();

  // Conference counts the listener was told last (requested, joined, deleted).
  virtual void onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted);

 private:
  class Listener : public hx::ConfStorageListener {
   public:
    explicit Listener(HX_ConferenceHelper* owner) : m_owner(owner) {}
    void onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted) override {
      m_owner->onConfCountChange(requested, joined, deleted);
    }

   private:
    HX_ConferenceHelper* const m_owner;
  };
  std::shared_ptr<Listener> m_listener;
  hx::CallRecord m_helperCalls;
};
