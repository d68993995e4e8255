// HX_ConferenceHelper: the object, the conference-count listener, the helper's jobs, rooms, the
// saved peers, conference creation, the ping and the invitations sent.
#include "core/conference/conference_helper.h"

#include "core/base/ios_log.h"
#include "core/base/stored_task.h"
#include "core/client/best_media_format.h"
#include "core/client/capabilities.h"
#include "core/client/fsm_shared.h"
#include "core/conference/conf_manager.h"
#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"
#include "core/media/format/media_format_adapter.h"
#include "core/net/loop/zserver.h"
#include "core/transport/session.h"

HX_ConferenceHelper::HX_ConferenceHelper()
    : m_listenerHandle(&m_listener, [](hx::ConfStorageListener*) {}) {}

HX_ConferenceHelper::~HX_ConferenceHelper() { stopConfHelperJobs(); }

bool HX_ConferenceHelper::initConfHelperConfStorageListener() {
  HX_ConfStorage* store = confStore();
  if (store == nullptr) return false;
  store->addListener(m_listenerHandle);
  return true;
}

HX_ConfStorage* HX_ConferenceHelper::confStore() const {
  HX_ConfManager* manager = confManager();
  return manager != nullptr ? manager->confStorage() : nullptr;
}

std::string HX_ConferenceHelper::myLogin() const {
  const std::shared_ptr<HX_TransportSession> session = transport();
  if (!session) return std::string();
  const HX_TransportSessionData& data = *session;
  return data.getLogin();
}

// ---- jobs

// One job of the helper: runs the stored call, then strikes itself from the helper's list, so
// that the list holds only jobs still pending or running.
class HX_ConferenceHelper::Job : public HXStoredTask {
 public:
  Job(HX_ConferenceHelper* owner, HXStoredTask* call) : m_owner(owner), m_call(call) {}
  void Execute() override {
    m_call->Execute();
    m_owner->jobDone(this);
  }

 private:
  HX_ConferenceHelper* const m_owner;
  const std::unique_ptr<HXStoredTask> m_call;
};

bool HX_ConferenceHelper::scheduleJob(HXStoredTask* task, uint32_t delayMs, const char* name,
                                      bool urgent) {
  // Held while the job is handed over, so that a job that runs at once finds itself listed.
  std::lock_guard<std::mutex> lock(m_jobsMutex);
  if (m_stopping) {
    delete task;
    return false;
  }
  auto* job = new Job(this, task);
  const uint32_t id = urgent ? HXZServer::ScheduleUrgentJob(job, delayMs, name)
                             : HXZServer::ScheduleJob(job, delayMs, name);
  if (id == 0) return false;
  m_jobs.emplace(job, id);
  return true;
}

void HX_ConferenceHelper::jobDone(const Job* job) {
  std::lock_guard<std::mutex> lock(m_jobsMutex);
  m_jobs.erase(job);
}

void HX_ConferenceHelper::stopConfHelperJobs() {
  std::map<const Job*, uint32_t> jobs;
  {
    std::lock_guard<std::mutex> lock(m_jobsMutex);
    m_stopping = true;
    jobs.swap(m_jobs);
  }
  // A job that is running is waited for; one that it schedules meanwhile is refused.
  for (const auto& [job, id] : jobs) HXZServer::UnScheduleJob(id, true, true);
}

void HX_ConferenceHelper::setDelaysForTest(const Delays& delays) {
  m_pingMs = delays.ping;
  m_dcCheckMs = delays.dcCheck;
  m_dcAcceptMs = delays.dcAccept;
  m_guiAcceptMs = delays.guiAccept;
}

// ---- rooms

bool HX_ConferenceHelper::createRoom(const char* name, const char* password, bool flag,
                                     const std::set<std::string>& peers, bool audioOnly,
                                     int maxParticipants, int duration, HX_Conference_Type type,
                                     HX_GroupConf_SubType subType) {
  HX_ConfManager* manager = confManager();
  if (manager == nullptr) return false;
  const std::string own = myLogin();
  if (const std::shared_ptr<HX_BestMediaFormat> selector = mediaSelector()) {
    HXFSMShared* fsm = getFSM();
    selector->SetConfMediaFormat(own.c_str(), own.c_str(), fsm != nullptr ? fsm->GetSVCMode() : 0);
  }
  ResetPeers();
  SavePeers(peers);
  return manager->CreateConference(name, password, maxParticipants, duration, type, subType,
                                   flag ? 0 : 1, audioOnly);
}

template <conference::type kType>
bool HX_ConferenceHelper::CreateConferenceRoom(const char* name, const char* password, bool flag,
                                               const std::set<std::string>& peers, bool audioOnly) {
  static_assert(kType >= 0 && kType <= 3, "a room is of kind 0 to 3");
  if constexpr (kType == 0) {
    return createRoom("", "", flag, peers, audioOnly, 2, 30, 0, 0);
  } else {
    constexpr HX_GroupConf_SubType kSubTypes[] = {0, 0, 1, 3};
    return createRoom(name, password, flag, peers, audioOnly, 16, 36000, 5, kSubTypes[kType]);
  }
}

template bool HX_ConferenceHelper::CreateConferenceRoom<0>(const char*, const char*, bool,
                                                           const std::set<std::string>&, bool);
template bool HX_ConferenceHelper::CreateConferenceRoom<1>(const char*, const char*, bool,
                                                           const std::set<std::string>&, bool);
template bool HX_ConferenceHelper::CreateConferenceRoom<2>(const char*, const char*, bool,
                                                           const std::set<std::string>&, bool);
template bool HX_ConferenceHelper::CreateConferenceRoom<3>(const char*, const char*, bool,
                                                           const std::set<std::string>&, bool);

bool HX_ConferenceHelper::ResetPeers() {
  HXAutoLock guard(m_peersLock);
  m_savedPeers.clear();
  return true;
}

bool HX_ConferenceHelper::SavePeers(const std::set<std::string>& peers) {
  HXAutoLock guard(m_peersLock);
  m_savedPeers.insert(peers.begin(), peers.end());
  return true;
}

bool HX_ConferenceHelper::RestorePeers() {
  // The set is taken out first: Invite takes the store's lock, and the creation handler calls
  // this with that lock held, so the class lock is never held while waiting for the store.
  std::set<std::string> peers;
  {
    HXAutoLock guard(m_peersLock);
    peers.swap(m_savedPeers);
  }
  for (const std::string& peer : peers) {
    if (!Invite(peer.c_str())) break;
  }
  return true;
}

// ---- conference created, ping

void HX_ConferenceHelper::OnConferenceCreated(const char* SID, HX_ConferenceCreated_Result result) {
  HX_ConfStorage* store = confStore();
  if (result != 1 || SID == nullptr || store == nullptr) return;
  ConferenceLock lock;
  if (!store->getConferenceLock(lock, std::string(SID))) return;
  if (const std::shared_ptr<HX_MediaFormatManagerAdapter> formats = mediaFormatManager()) {
    formats->SetHQAutoMode(true);
  }
  if (const std::shared_ptr<HX_BestMediaFormat> selector = mediaSelector()) {
    selector->ResetVideoFormatChange();
  }
  m_sendTotal = 0;
  m_sendRate = 0;
  m_recvTotal = 0;
  m_recvRate = 0;
  HX_Conference* conference = lock.conference();
  const HXCapabilites caps = _GetCapabilites(conference, conference->getType() != 0);
  if (const std::shared_ptr<HX_BestMediaFormat> selector = mediaSelector()) {
    const std::string own = myLogin();
    selector->SetPeerMediaFormat(own.c_str(), caps.MakeCaps());
    selector->SetConfMediaFormat(own.c_str(), conference->owner().c_str(),
                                 conference->getSvcMode());
  }
  conference->SetMyCaps(caps);
  scheduleJob(HXCallback::Save(this, &HX_ConferenceHelper::OnPingConference, conference->getId()),
              m_pingMs.load(), nullptr, true);
  RestorePeers();
}

void HX_ConferenceHelper::OnPingConference(int id) {
  HX_ConfStorage* store = confStore();
  HX_ConfManager* manager = confManager();
  if (store == nullptr || manager == nullptr) return;
  HXAutoLock guard(store->StorageLock());
  HX_Conference* conference = store->getConferenceNL(id);
  if (conference == nullptr || conference->getState() == conference::kStateDeleted) return;
  manager->PingConference(conference->getSID().c_str(), myLogin().c_str());
  scheduleJob(HXCallback::Save(this, &HX_ConferenceHelper::OnPingConference, id), m_pingMs.load(),
              nullptr, true);
}

// ---- invitations sent

bool HX_ConferenceHelper::InvitePeer(const char* peer) {
  HX_ConfStorage* store = confStore();
  HX_ConfManager* manager = confManager();
  if (store == nullptr || manager == nullptr || peer == nullptr) return false;
  HXAutoLock guard(store->StorageLock());
  HX_Conference* conference =
      store->getConferenceByPeerNL(peer, HX_ConfStorage::kAnyGroupConference);
  if (conference == nullptr) conference = store->activeConferenceNL();
  if (conference == nullptr) return false;
  if (conference->getType() == 0) return manager->InvitePeer2Call(conference, peer);
  if (conference->isGroupConf()) return manager->InvitePeer2Group(conference, peer);
  return false;
}

// ---- statistics

void HX_ConferenceHelper::OnSendStatisticsUpdate(long total, unsigned long rate) {
  m_sendTotal += total;
  m_sendRate += rate;
}

void HX_ConferenceHelper::OnRecvStatisticsUpdate(const char*, long total, unsigned long rate) {
  m_recvTotal += total;
  m_recvRate += rate;
}
