#pragma once
// Test support for the presence manager: a transport session that keeps every request a manager
// composes (service, destination server and body) instead of sending it, and a fixture with the
// test platform's client object (its shared state, conference store and contacts manager) and a
// presence manager of the test's own on that session, which the test puts in state 5 or not.
//
// Thread safety: the kept requests are locked; everything else runs on the test's thread.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/client/fsm_shared.h"
#include "core/client/manager_holder.h"
#include "core/conference/conf_manager.h"
#include "core/contacts/addressbook/contacts_manager.h"
#include "core/contacts/presence/presence_manager.h"
#include "core/net/socket/native_socket_details.h"
#include "core/transport/session.h"
#include "core/wire/client_message.h"
#include "testing/presence_recorder.h"
#include "testing/test_console_client.h"

namespace hx::testing {

struct SentRequest {
  std::string service;
  std::string server;  // the destination server, "" for none
  HX_Container body;
  std::string method;
};

class KeepingSession : public HX_TransportSession {
 public:
  uint32_t GetNextSequence() override { return ++m_sequence; }
  HXZNativeSocketDetails GetTransportAddress() const override { return HXZNativeSocketDetails(); }
  bool getLocalBind(HXSockAddr&) const override { return false; }
  std::shared_ptr<HX_TransportConnectionParam> getConnectionParam() const override { return nullptr; }
  bool Login(const char*, const char*, bool, bool) override { return false; }
  bool Logout(bool, bool) override { return false; }
  bool QueuePacket(HX_ClientMessage* message) override {
    std::unique_ptr<HX_ClientMessage> owned(message);
    SentRequest sent;
    sent.service = owned->DstService() != nullptr ? owned->DstService() : "";
    sent.server = owned->DstServer() != nullptr ? owned->DstServer() : "";
    const uint8_t* body = nullptr;
    const uint32_t length = owned->Body(&body);
    if (!sent.body.Deserialize(body, length)) return false;
    sent.body.GetValue("Method", sent.method);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sent.push_back(std::move(sent));
    return true;
  }
  const char* TransportCid() const override { return ""; }
  const char* TransportSid() const override { return ""; }
  void shutdown() override {}
  void onTrSessionStateChanged(int32_t, int32_t) override {}
  bool onLogin(const char*, int32_t, const char*, const char*) override { return false; }
  void onAcceptorsListUpdated(const HXZAcceptorInfo&) override {}

  std::vector<SentRequest> Sent() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sent;
  }
  size_t Count(const std::string& method) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const SentRequest& sent : m_sent) n += sent.method == method;
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sent.clear();
  }

 private:
  uint32_t m_sequence = 0;
  mutable std::mutex m_mutex;
  std::vector<SentRequest> m_sent;
};

// The client object's part for a presence manager under test: hands it the test's conference
// manager and contacts manager.
class TestHolder : public ManagerHolderBase {
 public:
  HXFSMShared* getFSM() const override { return fsm; }
  HX_ClientManager* clientManager() const override { return nullptr; }
  HX_ConfManager* confManager() const override { return cm; }
  HXConsoleClient* consoleClient() const override { return nullptr; }
  std::shared_ptr<HX_ContactsManager> contactsManager() const override { return contacts; }
  HXFSMShared* fsm = nullptr;
  HX_ConfManager* cm = nullptr;
  std::shared_ptr<HX_ContactsManager> contacts;
};

class PresenceFixture : public ::testing::Test {
 protected:
  static constexpr const char* kMe = "me@test.invalid";
  // Short enough to wait for in a test.
  static constexpr int64_t kTestIntervalMs = 50;

  void SetUp() override {
    client = std::make_unique<TestConsoleClient>();
    client->CreateApplication();
    fsm = client->getFSM();
    cm = client->confManager();
    cm->getConfTransport()->SetLogin(kMe);
    session = std::make_shared<KeepingSession>();
    session->setStateTrs(HX_TransportSession::eLoggedIn);
    presence = std::make_unique<HX_PresenceManager>(session, fsm, kTestIntervalMs);
    recorder.ConnectAll(*presence);
  }
  void TearDown() override {
    recorder.Disconnect();
    presence.reset();
    client.reset();
  }

  bool Parse(HX_Container message) { return presence->ParseIncomimgMessage(message); }

  std::unique_ptr<TestConsoleClient> client;
  HXFSMShared* fsm = nullptr;
  HX_ConfManager* cm = nullptr;
  std::shared_ptr<KeepingSession> session;
  std::unique_ptr<HX_PresenceManager> presence;
  PresenceRecorder recorder;
};

}  // namespace hx::testing
