#pragma once
// HX_PresenceManager: the client side of the presence service "PRESENCE". It publishes the own
// status and extended statuses (call forwarding among them), takes in the status lists the server
// pushes about other users into the status store and the contact store of the shared state, and
// asks for a complete list when its sequence tracker sees one lost. It also applies the
// participant lists of conferences ("SendPartsList") to the conference store and refreshes the
// contacts manager's display-name cache from them.
//
// The manager keeps no statuses of its own; the stores lock themselves. The only state here is
// the status-list tracker, which is thread-safe.
//
// Thread safety: incoming messages are handled on the network loop thread; the public operations
// may be called from any thread. Signals are emitted on the network loop thread without any lock
// held, delegates in connection order; they are connected before messages flow. A participant list
// is applied under the conference store's lock, which is released before anything leaves the
// manager: the signals and the contacts manager's name-cache updates (whose own signals reach
// subscribers that may need the conference store from another thread).

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/base/signal.h"
#include "core/base/user_list.h"
#include "core/base/variant.h"
#include "core/client/abstract_manager.h"
#include "core/conference/model/participant_info.h"
#include "core/contacts/presence/call_forwarding.h"
#include "core/contacts/stores/contact.h"

class HX_Container;

class HX_PresenceManager : public HX_AbstractManager {
 public:
  using ExtStatusMap = std::map<std::string, HX_Variant>;
  using PeerIdSet = std::set<conference::PeerId>;

  // The least time between two re-requests of the complete status list.
  static constexpr int64_t kStatusListIntervalMs = 30000;

  // Registers "PRESENCE". `statusListIntervalMs` is the status-list tracker's check interval
  // (the tracker adds a random 0 to 999 ms).
  HX_PresenceManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                     int64_t statusListIntervalMs = kStatusListIntervalMs);
  ~HX_PresenceManager() override;

  // True when "Method" names one of "UpdateStatus", "GetAllUserStatus" or "SendPartsList" (the
  // message is then handled), false otherwise.
  bool ParseIncomimgMessage(HX_Container& message) override;

  // Publishes the own status, with `ext` as its extended statuses when that container serialises
  // to something. Only while the transport session is logged in (state 5): otherwise false,
  // nothing sent and the own status unchanged. With `remember` the shared state keeps `status` as
  // the own status. The result of ComposeSend.
  bool UpdateStatus(HX_UserPresence_Status status, const HX_Container* ext, bool remember);
  // The complete status list; the statuses arrive as "UpdateStatus" messages.
  bool GetAllUserStatus();
  // Asks "CONFERENCE" at the conference's server for its complete participant list.
  bool GetAllPartList(const char* conference);

  // Publish own extended statuses: the status store's entry of the own login changes (only when it
  // exists), and the change is sent with the current own status whatever the session's state.
  // Nothing is sent when the change serialises to nothing (an empty binary, a variant of no kind).
  void SetExtStatus(const char* name, const HX_Variant& value);
  void SetExtStatus(const char* name, bool value);
  void SetExtStatus(const char* name, int value);
  void SetExtStatus(const char* name, long long value);
  void SetExtStatus(const char* name, const std::string& value);
  void SetExtStatus(const char* name, const void* data, size_t length);
  void SetExtStatusMap(const ExtStatusMap& values);
  // Sends one "DelExtSt" entry per name, its value the full key name.
  void EraseExtStatus(const char* name);
  void EraseExtStatus(const std::vector<std::string>& names);

  // Publishes the own forwarding settings: a forwarding (or timeout) without a type (or timeout)
  // or without a target is published as the removal of both its keys. UpdateStatus's result.
  bool setCallForwarding(const hx::CallForwardingStatus& status);
  // A user's forwarding settings from the status store; a type above 2 reads as 0, a negative
  // timeout as 0. True when at least one of the four keys is known.
  bool getCallFwdStatus(const std::string& user, hx::CallForwardingStatus& out) const;

  // Writes one variant into `container` by its kind: booleans, 32-bit integers (signed or not),
  // 64-bit integers (signed or not), strings, non-empty binaries; nothing for any other kind.
  static void addExtStatusValue(HX_Container& container, const char* name, const HX_Variant& value);

  // The status-list tracker's check interval, its random part included.
  int64_t StatusListCheckInterval() const { return statusListTracker.CheckInterval(); }

  // Start of every incoming "UpdateStatus": (false, complete list).
  hx::Signal2<bool, bool> beginPresenceListUpdate;
  // End of every incoming "UpdateStatus": (false).
  hx::Signal1<bool> endPresenceListUpdate;
  // One user's status changed: (null, user id, null, status, 1).
  hx::Signal5<const char*, const char*, const char*, HX_UserPresence_Status, int> setPeerStatus;
  // The active conference's participants changed: its new id list.
  hx::Signal1<const PeerIdSet&> conferenceIdListChanged;
  // The same event: (conference number, what the list added or removed).
  hx::Signal2<int, std::shared_ptr<conference::ParticipantListUpdateInfo>> conferencePeersUpdated;
  // Users whose listed video type differs from the one their conference holds.
  hx::Signal1<const std::set<std::string>&> peersVideoTypeChanged;
  // A user's extended statuses arrived: (user id, the user's whole map).
  hx::Signal2<const char*, const ExtStatusMap&> extStatusChanged;

 private:
  bool ParseUpdateStatus(HX_Container& message);
  bool ParseAllUserStatus(HX_Container& message);
  bool ParseParticipantList_44925(HX_Container& message);
  // Sends `change` as the "ExtSt" of an "UpdateStatus" with the current own status, when it
  // serialises to something.
  void PublishExtStatus(const HX_Container& change);
  std::string OwnLogin() const;

  HX_UserList statusListTracker;
};
