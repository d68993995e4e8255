// The client application object at run time: start and stop, the coarse state's reactions to the
// transport session and the conference counts, the per-user databases, server-sent limits, calls
// and the network settings.
#include <cppdb/errors.h>

#include <algorithm>
#include <limits>
#include <type_traits>

#include "core/base/ios_log.h"
#include "core/base/stored_task.h"
#include "core/chat/chat_managers.h"
#include "core/client/best_media_format.h"
#include "core/client/console_client.h"
#include "core/client/network_rate.h"
#include "core/client/server_limits.h"
#include "core/client/service_managers.h"
#include "core/conference/conf_call_requests.h"
#include "core/conference/conf_manager.h"
#include "core/contacts/contact_managers.h"
#include "core/contacts/groups/groups_manager.h"
#include "core/contacts/history/last_calls.h"
#include "core/contacts/phones/phones_storage.h"
#include "core/media/format/media_format_adapter.h"
#include "core/media/format/sys_benchmark.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/common_socket.h"
#include "core/streams/sender_base.h"
#include "core/transport/servers_list.h"

namespace {

using State = HX_TransportSession::State;

std::string Text(const char* text) { return text != nullptr ? text : ""; }

// A per-user database whose file can be neither opened nor created anew (a missing or unwritable
// working folder) reports the database error of its recreate step. It stays closed; the user's
// session goes on without it rather than ending the loop thread.
// Answers the open's own answer, true for one that answers nothing.
template <typename Open>
bool OpenQuietly(const char* what, Open open) {
  try {
    if constexpr (std::is_void_v<decltype(open())>) {
      open();
      return true;
    } else {
      return open();
    }
  } catch (const cppdb::cppdb_error& error) {
    ios_log("HXConsoleClient: %s not opened: %s", what, error.what());
    return false;
  }
}

}  // namespace

HX_ConfStorage* HXConsoleClient::confStore() const {
  return m_confManagerPtr != nullptr ? m_confManagerPtr->confStorage() : nullptr;
}

bool HXConsoleClient::scheduleUrgent(HXStoredTask* task, const char* name) {
  if (m_server == nullptr || !m_server->isRunning()) {
    ios_log("HXConsoleClient: %s not scheduled, the network loop does not run", name);
    if (task != nullptr && task->IsAutoDelete()) delete task;
    return false;
  }
  return HXZServer::ScheduleUrgentJob(task, 0, name) != 0;
}

// ---- start and stop

bool HXConsoleClient::Start(hx::network::type type, bool connect) {
  if (m_fsm == nullptr || m_server == nullptr) return false;
  if (!m_server->isRunning() && m_server->startServerLoop() < 0) return false;
  if (m_userDbOpen.load() || openUserDb()) m_contactsManager->UpdatePeersFromCache();
  m_fsm->startAvatarDownloader();
  reset();
  SetNetworkType(static_cast<int32_t>(type), true);
  if (connect) return ConnectLast();
  return true;
}

bool HXConsoleClient::Shutdown(bool wait) {
  if (m_fsm == nullptr || m_server == nullptr) return false;
  SetNetworkType(0, false);
  m_benchmarkConnection.Disconnect();
  m_benchmarkConnection = {};
  m_fsm->stopAvatarDownloader(wait);
  shutdown();
  const bool stopped = m_server->Shutdown();
  if (wait) return m_server->Wait4Done();
  return stopped;
}

// ---- state reactions

void HXConsoleClient::onTrSessionStateChanged(int32_t oldState, int32_t newState) {
  if (m_fsm == nullptr) return;
  HX_ConfStorage* store = confStore();
  auto closeAll = [store] {
    if (store != nullptr) store->closeAllConferences();
  };
  const bool noConference = !isConferencesExist(false);
  const bool oldConnected = isConnected(oldState);
  const bool newConnected = isConnected(newState);
  if (oldState == State::eNoConnection) {
    m_fsm->SetFSMState(hx::fsm::disconnected);
  } else if (newState == State::eNoConnection) {
    closeUserDb();
    closeAll();
    m_fsm->SetFSMState(hx::fsm::stopped);
  } else if (oldConnected && !newConnected) {
    if (noConference) {
      closeAll();
      m_fsm->SetFSMState(hx::fsm::disconnected);
    }
    if (isLoggedIn(newState)) m_contactsManager->DisablePeersFromCache();
  } else if (isLoggedIn(oldState) && !isLoggedIn(newState)) {
    closeAll();
    m_fsm->SetFSMState(newConnected ? hx::fsm::connected : hx::fsm::disconnected);
  } else if (newConnected && !oldConnected) {
    if (noConference) {
      m_fsm->SetFSMState(hx::fsm::connected);
      closeAll();
    }
  } else if (newState == State::eLoggedIn) {
    if (noConference) {
      m_fsm->SetFSMState(hx::fsm::logged_in);
    } else if (transportLocalBindResetTrigger()) {
      HXSockAddr address;
      if (getLocalBind(address)) m_confRequests->onTransportLocalBindUpdated(address);
    }
  }
}

void HXConsoleClient::onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted) {
  if (m_fsm == nullptr) return;
  const hx::fsm current = m_fsm->GetFSMState();
  if (current < hx::fsm::logged_in) return;
  const bool pending = requested != 0 || deleted != 0;
  hx::fsm target = hx::fsm::in_conference;
  bool cleanup = false;
  if (joined == 0) {
    switch (getStateTrs()) {
      case State::eConnecting:
      case State::eConnectingAutoLogin:
        target = hx::fsm::disconnected;
        cleanup = pending;
        break;
      case State::eConnected:
      case State::eLoggingIn:
        target = hx::fsm::connected;
        cleanup = pending;
        break;
      case State::eLoggedIn:
        target = pending ? hx::fsm::conference_pending : hx::fsm::logged_in;
        break;
      default:
        target = hx::fsm::stopped;
        cleanup = pending;
        break;
    }
  }
  // Another change that came first wins, and then this one cleans nothing up.
  if (target != current && m_fsm->SetFSMState(target, current) != current) cleanup = false;
  if (cleanup) {
    if (HX_ConfStorage* store = confStore()) store->closeAllConferences();
  }
}

void HXConsoleClient::OnFSMStateChanged(hx::fsm newState, hx::fsm) {
  HX_ConfStorage* store = confStore();
  if (store == nullptr || m_contactsManager == nullptr || m_presenceManager == nullptr) return;
  HXAutoLock lock(store->StorageLock());
  if (newState < hx::fsm::logged_in) {
    m_contactsManager->resetDeferredRequests();
  } else if (newState == hx::fsm::logged_in) {
    m_presenceManager->UpdateStatus(USER_AVAIL, nullptr, true);
    m_contactsManager->resetDeferredRequests();
  } else if (newState == hx::fsm::in_conference) {
    const HX_Conference* active = store->activeConferenceNL();
    const bool host = active != nullptr && active->isGroupConf() &&
                      (active->ownInfo().flags & conference::ParticipantInfoHolder::kOperator) != 0;
    m_presenceManager->UpdateStatus(host ? USER_MULTIHOST : USER_BUSY, nullptr, true);
  }
}

// ---- per-user databases

bool HXConsoleClient::openUserDb() {
  const std::shared_ptr<HX_LoginManager> login = getLoginManager();
  if (m_fsm == nullptr || !login || !login->CanAutoLogin(false)) return false;
  const std::string user = HXFSMShared::GetShortPeerId(getLogin());
  const std::string dir = HXFSMShared::Env()->getWorkingDirStr();
  const char* u = user.c_str();
  const char* d = dir.c_str();
  OpenQuietly("phone book", [&] { m_phones->OpenDatabase(u, d); });
  OpenQuietly("avatar list", [&] { return m_fsm->InitAvatarList(u, d); });
  const bool cacheOpen =
      OpenQuietly("contact cache", [&] { return m_contactCache->OpenDatabase(u, d); });
  m_userDbOpen.store(cacheOpen);
  OpenQuietly("chat database", [&] { m_chatManager->OpenDatabase(u, d); });
  OpenQuietly("groups", [&] { m_groups->OpenDatabase(u, d); });
  OpenQuietly("call history", [&] { m_lastCalls->OpenDatabase(u, d); });
  return m_userDbOpen.load();
}

void HXConsoleClient::closeUserDb() {
  if (m_userDbOpen.exchange(false) && m_contactCache) m_contactCache->Close();
}

// ---- session events

void HXConsoleClient::OnLogin(const char* user, int32_t, const char*, const char*) {
  if (m_fsm == nullptr) return;
  const std::string login = Text(user);
  const std::string shortUser = HXFSMShared::GetShortPeerId(getLogin());
  const std::string dir = HXFSMShared::Env()->getWorkingDirStr();
  const char* u = shortUser.c_str();
  const char* d = dir.c_str();
  const std::string chatPeer = m_fsm->GetPeerId(login, true);
  OpenQuietly("phone book", [&] { m_phones->OpenDatabase(u, d); });
  OpenQuietly("avatar list", [&] { return m_fsm->InitAvatarList(u, d); });
  OpenQuietly("groups", [&] { m_groups->OpenDatabase(u, d); });
  OpenQuietly("call history", [&] { m_lastCalls->OpenDatabase(login.c_str(), d); });
  OpenQuietly("chat database", [&] { m_chatManager->OpenDatabase(chatPeer.c_str(), d); });
  if (OpenQuietly("contact cache", [&] { return m_contactCache->OpenDatabase(u, d); })) {
    m_userDbOpen.store(true);
    m_fsm->DropContactList();
    m_fsm->ClearStatusHolder();
    m_contactsManager->UpdatePeersFromCache();
  }
  const std::string ownName = m_fsm->GetDisplayName();
  m_fsm->peerNameUpdated.Emit(login.c_str(), ownName.c_str(), false);
  m_contactsManager->RequestAddressBooks(login.c_str());
}

void HXConsoleClient::OnLogout(int, int) {
  if (HX_ConfStorage* store = confStore()) store->closeAllConferences();
  closeUserDb();
}

void HXConsoleClient::OnRightsUpdated(int rights) {
  if (m_mediaFormatAdapter) m_mediaFormatAdapter->SetUseHDInput((static_cast<uint32_t>(rights) & 1048576u) != 0);
}

void HXConsoleClient::OnPropertiesUpdated() {
  if (m_fsm == nullptr || !m_mediaFormatAdapter) return;
  const hx::client::ServerLimits limits =
      hx::client::ParseServerLimits(m_fsm->GetProperty("AllowedByServerMaxWxH"), m_fsm->GetProperty("AllowedByServerMaxBW"),
                                    m_fsm->GetProperty("AllowedByServerMaxFPS"));
  m_mediaFormatAdapter->SetResolutionServerLimit(limits.width, limits.height);
  m_mediaFormatAdapter->SetBitrateServerLimit(limits.bitrate);
  m_mediaFormatAdapter->SetFpsServerLimit(limits.fps);
}

void HXConsoleClient::onIfAddrListChanged(const HXIpIfAddrSet&) {
  if (m_server != nullptr) m_server->Rebind(GetLocalDNSList());
}

void HXConsoleClient::OnUpdatePeerIdCache(const char* id, const char* name, bool flag) {
  if (m_contactsManager) m_contactsManager->OnUpdatePeerIdCache(id, name, flag);
}

// ---- calls

bool HXConsoleClient::Accept(const char* peer, const char* conferenceName) {
  HX_ConfStorage* store = confStore();
  if (store == nullptr) return false;
  std::string target;
  int32_t conferenceId = 0;
  {
    ConferenceLock lock;
    const std::string name = Text(conferenceName);
    if (name.empty() || !store->getConferenceLock(lock, name)) {
      if (!store->activeConferenceRLock(lock)) return false;
    }
    const std::string wanted = Text(peer);
    conference::Peer* sole = nullptr;
    if (!wanted.empty() && lock->getPeer(wanted) != nullptr) {
      target = wanted;
    } else if (lock->isVerified() && (sole = lock->getSolePeer()) != nullptr) {
      target = sole->getId();
    } else if (lock->isGroupConf()) {
      target = !lock->owner().empty() ? lock->owner() : lock->getCallId();
    }
    conferenceId = lock->getId();
  }
  if (target.empty()) return false;
  return scheduleUrgent(
      HXCallback::Save(static_cast<HX_ConferenceHelper*>(this), &HX_ConferenceHelper::AcceptPeer, target, conferenceId),
      "OnAccept");
}

bool HXConsoleClient::Invite(const char* peer) { return InvitePeer(peer); }

void HXConsoleClient::OnAccept(const char* peer, const char*, const char* sid, const char* key) {
  PrepareConferenceLimits(false);
  scheduleUrgent(HXCallback::Save(static_cast<HX_ConferenceHelper*>(this), &HX_ConferenceHelper::OpenConferenceP2P,
                                  Text(peer), Text(sid), Text(key)),
                 "OnAccept");
}

void HXConsoleClient::OnConferenceJoinResult(const char* sid, const char*, const char* key, int result) {
  HX_ConfStorage* store = confStore();
  if (result != 0 || sid == nullptr || store == nullptr || m_fsm == nullptr) return;
  {
    ConferenceLock lock;
    if (!store->getConferenceLock(lock, sid)) return;
    HX_Conference* conf = lock.conference();
    const HXCapabilites caps = _GetCapabilites(conf, conf->getType() != 0);
    const std::string own = getLogin();
    m_bestMediaFormat->SetPeerMediaFormat(own.c_str(), caps.MakeCaps());
    m_bestMediaFormat->SetConfMediaFormat(own.c_str(), conf->owner().c_str(), conf->getSvcMode());
    conf->SetMyCaps(caps);
    if (conf->getSID() != conf->getCallId()) {
      HX_TransportEndpointList endpoints;
      const std::shared_ptr<HX_ServersList> servers = serversList();
      if (servers && servers->getServerEpList(conf->getServerId(), endpoints) && !endpoints.empty()) {
        conf->updateServerMediaEPlist(endpoints);
      }
    }
  }
  PrepareConferenceLimits(true);
  scheduleUrgent(HXCallback::Save(static_cast<HX_ConferenceHelper*>(this), &HX_ConferenceHelper::OpenConferenceMulti,
                                  std::string(sid), Text(key)),
                 "OnJoinRcvd");
}

void HXConsoleClient::OnRestrictBitrateReceived(const conference::ServerBitrateControl& control) {
  HX_MediaFormatManagerAdapter* adapter = m_mediaFormatAdapter.get();
  if (adapter == nullptr) return;
  // The values come from the network: a negative rate is no limit the adapter could take (as an
  // unsigned it would lift every limit), so only positive ones are applied.
  auto rate = [](int32_t value) { return value > 0; };
  if (rate(control.confLimit)) adapter->SetBitrateConferenceLimit(static_cast<uint32_t>(control.confLimit));
  if (rate(control.videoLimit)) adapter->SetBitrateConferenceVideoLimit(static_cast<uint32_t>(control.videoLimit));
  if (rate(control.dsLimit)) adapter->SetBitrateConferenceDsLimit(static_cast<uint32_t>(control.dsLimit));
  if (rate(control.baseLimit)) adapter->SetBitrateBaseConferenceLimit(static_cast<uint32_t>(control.baseLimit));
  if (rate(control.baseMaxLimit)) {
    adapter->SetBitrateBaseMaxConferenceLimit(static_cast<uint32_t>(control.baseMaxLimit));
  }
  if (control.fpsLimit > 0) {
    // Frames per second x 100, kept within what the adapter takes.
    const int64_t fps100 = static_cast<int64_t>(control.fpsLimit) * 100;
    adapter->SetFpsConferenceLimit(
        static_cast<uint32_t>(std::min<int64_t>(fps100, std::numeric_limits<int32_t>::max())));
  }
  if (control.videoResolutionLimit > 0) {
    adapter->SetResolutionConferenceVideoLimit(static_cast<uint32_t>(control.videoResolutionLimit));
  }
  if (control.dsResolutionLimit > 0) {
    adapter->SetResolutionConferenceDsLimit(static_cast<uint32_t>(control.dsResolutionLimit));
  }
}

void HXConsoleClient::OnUpdateConnectionInfo(const char* caller, const char* sid) {
  if (m_confManagerPtr != nullptr) m_confManagerPtr->SendConnectionInfo(caller, sid);
}

void HXConsoleClient::PrepareConferenceLimits(bool group) {
  HX_MediaFormatManagerAdapter* adapter = m_mediaFormatAdapter.get();
  if (adapter == nullptr) return;
  adapter->SetBitrateConferenceLimit(20480);
  adapter->SetBitrateConferenceVideoLimit(group ? 640 : 20480);
  adapter->SetBitrateConferenceDsLimit(group ? 640 : 20480);
  adapter->SetBitrateBaseConferenceLimit(group ? 640 : 20480);
  adapter->SetBitrateBaseMaxConferenceLimit(group ? 640 : 20480);
  adapter->SetFpsConferenceLimit(group ? 1500 : 6000);
  if (group) {
    adapter->SetResolutionConferenceVideoLimit(3600);
    adapter->SetResolutionConferenceDsLimit(8100);
  }
}

bool HXConsoleClient::hangupConferenceOnStreamUnavail(ConferenceLock& lock) {
  HX_ConfStorage* store = confStore();
  if (store == nullptr || m_confManagerPtr == nullptr || !lock) return false;
  m_confManagerPtr->SendConnectFailure(lock.conference());
  m_confManagerPtr->HangupWithFlags(lock, 0);
  if (lock.isLocked() && lock) return store->DeleteConference(lock, false, true);
  return false;
}

void HXConsoleClient::SetCameraPause(bool pause) {
  HX_ConfStorage* store = confStore();
  if (store == nullptr) return;
  HXAutoLock lock(store->StorageLock());
  HX_Conference* active = store->activeConferenceNL();
  if (active == nullptr) return;
  const std::shared_ptr<HX_SenderBase> sender = active->Sender();
  if (sender) sender->pauseVideoSignal.Emit(pause);
}

// ---- network settings

void HXConsoleClient::SetNetworkTLS(bool on) {
  HXZCommonSocket::SetDefaultTlsMode(on ? HXTLSHandler::modeFallbackPlain : HXTLSHandler::modeFailConnection);
}

bool HXConsoleClient::SetNetworkCustomRate(hx::network::type type, uint32_t sendRate, uint32_t receiveRate) {
  hx::network::rate[hx::network::kCustomRate].set(sendRate, receiveRate);
  SetNetworkType(static_cast<int32_t>(type | hx::network::kPlatformFlag), false);
  return true;
}
