#pragma once
// Test support for the call-flow helper: the conference-service fixture (alice logged in to the
// fake server, her HX_ConfManager over the real transport) with a helper whose client-object
// parts are the test's: the manager and shared state of the fixture, a real format selector,
// media-format adapter and chat manager, and hooks that record what the helper asked of the
// client object (Invite, the hang-up of failed streams, capabilities, the media handshake).

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/chat/chat_managers.h"
#include "core/client/best_media_format.h"
#include "core/client/capabilities.h"
#include "core/conference/conf_manager.h"
#include "core/conference/conf_service_test_util.h"
#include "core/conference/conference_helper.h"
#include "core/conference/model/conference.h"
#include "core/media/format/media_format_adapter.h"
#include "core/transport/servers_list.h"

namespace hx::testing {

class RecordingHelper : public HX_ConferenceHelper {
 public:
  RecordingHelper(HX_ConfManager* manager, ServiceClient* client)
      : m_manager(manager),
        m_client(client),
        m_selector(std::make_shared<HX_BestMediaFormat>()),
        m_formats(std::make_shared<HX_MediaFormatManagerAdapter>()),
        m_chat(std::make_shared<HX_ChatManager>(client->session, client->fsm.get())) {}
  ~RecordingHelper() override { stopConfHelperJobs(); }

  HXFSMShared* getFSM() const override { return m_client->fsm.get(); }
  HX_ClientManager* clientManager() const override { return nullptr; }
  HX_ConfManager* confManager() const override { return m_manager; }
  HXConsoleClient* consoleClient() const override { return nullptr; }
  std::shared_ptr<HX_ContactsManager> contactsManager() const override { return nullptr; }
  void OnReleaseHardwareSender() override {}
  void OnReleaseHardwareReceiver(const char*) override {}
  void OnRequestAudioRecord(const HX_ClientCaps&, std::shared_ptr<HXAudioRecordBase>&) override {}
  void OnRequestVideoRender(const char*, const HX_ClientCaps&,
                            std::shared_ptr<HXVideoRenderBase>&) override {}
  void OnRequestMediaManagerAdapter(
      std::shared_ptr<HX_MediaFormatManagerAdapter>& adapter) override {
    adapter = m_formats;
  }
  void OnRequestMeetingCaps(const char*, const char*, HX_ClientCaps&) override {}
  HXCapabilites GetCapabilites() override { return _GetCapabilites(nullptr, false); }

  bool Invite(const char* peer) override {
    Note("Invite " + std::string(peer));
    if (m_refuse.count(peer) != 0) return false;
    return InvitePeer(peer);
  }
  bool hangupConferenceOnStreamUnavail(ConferenceLock& lock) override {
    Note("hangup " + (lock ? lock->getSID() : std::string()));
    return true;
  }
  std::shared_ptr<HX_TransportSession> transport() const override { return m_client->session; }
  std::shared_ptr<HX_ServersList> serversList() const override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      hook = m_serverSearchHook;
    }
    if (hook) hook();
    return m_servers;
  }
  std::shared_ptr<HX_BestMediaFormat> mediaSelector() const override { return m_selector; }
  std::shared_ptr<HX_MediaFormatManagerAdapter> mediaFormatManager() const override {
    return m_formats;
  }
  std::shared_ptr<HX_ChatManager> chatManager() const override { return m_chat; }
  void onConfCountChange(uint32_t, uint32_t, uint32_t) override {}
  HXCapabilites _GetCapabilites(HX_Conference* conference, bool group) override {
    Note("caps " + std::string(group ? "group" : "call"));
    HXCapabilites caps;
    caps.level = conference != nullptr ? 40 : 0;
    caps.sndWidth = 640;
    return caps;
  }
  void MediaHandshakeReady(HX_Conference_Type type, HX_GroupConf_SubType subType, const char* peer,
                           const char* SID, const char* key) override {
    Note("handshake " + std::to_string(type) + " " + std::to_string(subType) + " " + peer + " " +
         SID + " " + key);
  }

  // The answers of Invite: refused for these peers.
  void Refuse(const std::string& peer) { m_refuse.insert(peer); }
  // Runs `hook` whenever the helper asks for the servers list (while it searches a media server).
  void SetServerSearchHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_serverSearchHook = std::move(hook);
  }
  void SetServersList(std::shared_ptr<HX_ServersList> servers) { m_servers = std::move(servers); }
  std::vector<std::string> Notes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_notes;
  }
  void ClearNotes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_notes.clear();
  }
  HX_BestMediaFormat& selector() { return *m_selector; }
  HX_MediaFormatManagerAdapter& formats() { return *m_formats; }
  HX_ChatManager& chat() { return *m_chat; }

 private:
  void Note(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_notes.push_back(line);
  }

  HX_ConfManager* const m_manager;
  ServiceClient* const m_client;
  std::shared_ptr<HX_BestMediaFormat> m_selector;
  std::shared_ptr<HX_MediaFormatManagerAdapter> m_formats;
  std::shared_ptr<HX_ChatManager> m_chat;
  std::shared_ptr<HX_ServersList> m_servers;
  std::set<std::string> m_refuse;
  mutable std::mutex m_mutex;
  std::vector<std::string> m_notes;
  std::function<void()> m_serverSearchHook;
};

// The conference-service fixture with a helper wired as the client object wires it.
class HelperFixture : public ConfServiceFixture {
 public:
  void SetUp() override {
    ConfServiceFixture::SetUp();
    if (HasFatalFailure()) return;
    helper = std::make_unique<RecordingHelper>(cm.get(), m_client);
    m_client->fsm->setManagerHolder(helper.get());
    HX_ConferenceHelper::Delays delays;
    delays.ping = 50;
    delays.dcCheck = 50;
    delays.dcAccept = 50;
    delays.guiAccept = 50;
    helper->setDelaysForTest(delays);
    HX_ConferenceHelper* h = helper.get();
    cm->conferenceCreated.Connect(h, &HX_ConferenceHelper::OnConferenceCreated);
    cm->InviteReceivedSignal.Connect(h, &HX_ConferenceHelper::OnInviteReceived);
    cm->RoleEventSignal.Connect(h, &HX_ConferenceHelper::OnRoleEventOccured);
    helper->initConfHelperConfStorageListener();
  }
  void TearDown() override {
    if (helper) helper->stopConfHelperJobs();
    if (cm) cm->ResetSignals();
    if (m_client != nullptr) m_client->fsm->setManagerHolder(nullptr);
    cm.reset();
    helper.reset();
    ConfServiceFixture::TearDown();
  }

  // The request of `method` number `index` (from 0) the server received, waited for.
  HX_Container Nth(const std::string& method, size_t index = 0) {
    ReceivedMessage found;
    EXPECT_TRUE(Request(method, &found, index)) << method << " #" << index;
    return found.body;
  }
  // Sends a "Ping" for `marker` and waits for it: everything the client queued before has
  // reached the server by then (one connection, in order).
  void Flush(const std::string& marker) {
    const size_t before = MarkerCount(marker);
    ASSERT_TRUE(cm->PingConference(marker.c_str(), "flush"));
    ASSERT_TRUE(WaitFor([&] { return MarkerCount(marker) > before; }, kTransportWaitMs));
  }
  size_t CountFor(const std::string& method, const std::string& sid) {
    size_t n = 0;
    for (const auto& m : m_server->Messages()) {
      n += m.method == method && TextOf(m.body, "Conference") == sid ? 1 : 0;
    }
    return n;
  }
  // A private call from bob that the server delivers to alice ("Invite"), with the given
  // direct-connection value; the conference's SID.
  std::string InviteFromBob(const std::string& sid, int32_t direct) {
    HX_Container invite;
    invite.AddValue("Method", "Invite");
    invite.AddValue("Conference", sid.c_str());
    invite.AddValue("Name", kBob);
    invite.AddValue("CallId", kAlice);
    invite.AddValue("DisplayName", "Bob");
    invite.AddValue("DirectConnect", direct);
    EXPECT_TRUE(m_conference->SendToUser(kAlice, invite));
    EXPECT_TRUE(WaitFor(
        [&] {
          ConferenceLock lock;
          return cm->getConferenceLock(lock, sid);
        },
        kTransportWaitMs));
    return sid;
  }
  bool Exists(const std::string& sid) {
    ConferenceLock lock;
    return cm->getConferenceLock(lock, sid);
  }

  std::unique_ptr<RecordingHelper> helper;

 private:
  size_t MarkerCount(const std::string& marker) { return CountFor("Ping", marker); }
};

}  // namespace hx::testing
