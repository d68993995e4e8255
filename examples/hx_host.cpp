// hx_host: a host program that embeds the client core and talks to a conferencing server.
//
// It is the platform subclass of the client application object and runs the client's whole life:
// it creates the application, starts it without connecting (the network loop, the avatar
// downloader, the network type), connects to the server (the transport handshake and the secure
// handshake), logs a user in (the per-user databases open), logs out, disconnects and shuts the
// client down, waiting for the network loop. It prints each step as the client object reports it:
// the server update, every session state beside every change of the client's coarse state, the
// login result and the logout. It exits with 0 when all of that worked.
//
//   hx_host                          a fake server is started in-process on 127.0.0.1, with a
//                                    throwaway certificate authority made for this run and a
//                                    test user
//   hx_host HOST PORT ROOT.pem [LOGIN PASSWORD]
//                                    a real server, whose certificate chains to ROOT.pem
//   hx_host --proxy PHOST:PPORT ...  either of the above through an HTTP proxy (what the device's
//                                    system proxy setting would give); no credentials helper is
//                                    installed, so a proxy that asks for authentication fails the
//                                    connect. A local server is reached directly all the same.
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "core/client/console_client.h"
#include "core/net/loop/zserver.h"
#include "core/net/proxy/proxy_list.h"
#include "core/net/socket/common_socket.h"
#include "core/security/root_certificate.h"
#include "core/transport/transport.h"
#include "core/contacts/contact_managers.h"
#include "core/contacts/stores/contact_storage.h"
#include "testing/fake_server/fake_abook.h"
#include "testing/fake_server/fake_server.h"
#include "testing/fake_server/fake_services.h"

namespace {

constexpr int kWaitSeconds = 20;
constexpr char kServerId[] = "127.0.0.1#vcs";

// --- A throwaway certificate authority for the in-process server.

struct Pem {
  std::string certificate;
  std::string key;
};

std::string ToPem(int (*write)(BIO*, void*), void* object) {
  BIO* bio = BIO_new(BIO_s_mem());
  write(bio, object);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<size_t>(size));
  BIO_free(bio);
  return text;
}

bool AddExtension(X509* certificate, X509* issuer, const char* name, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_nconf(nullptr, &context, name, value);
  const bool added = extension != nullptr && X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// A certificate for `common_name`, signed by `issuer` (self-signed when null), valid from an hour
// ago for a day. A server certificate carries the extension "1.2" that marks conferencing servers.
bool MakeCertificate(const char* common_name, const Pem* issuer, long serial, Pem& made) {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  X509* certificate = X509_new();
  X509* issuer_certificate = nullptr;
  EVP_PKEY* issuer_key = nullptr;
  bool ok = key != nullptr && certificate != nullptr;
  if (ok && issuer != nullptr) {
    BIO* bio = BIO_new_mem_buf(issuer->certificate.data(), static_cast<int>(issuer->certificate.size()));
    issuer_certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    bio = BIO_new_mem_buf(issuer->key.data(), static_cast<int>(issuer->key.size()));
    issuer_key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ok = issuer_certificate != nullptr && issuer_key != nullptr;
  }
  if (ok) {
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer_certificate : certificate;
    X509_set_issuer_name(certificate, X509_get_subject_name(signer));
    ok = issuer == nullptr ? AddExtension(certificate, signer, "basicConstraints", "critical,CA:TRUE") &&
                                 AddExtension(certificate, signer, "keyUsage", "critical,keyCertSign,cRLSign")
                           : AddExtension(certificate, signer, "basicConstraints", "CA:FALSE") &&
                                 AddExtension(certificate, signer, "1.2", "ASN1:UTF8String:361");
    ok = ok && X509_sign(certificate, issuer != nullptr ? issuer_key : key, EVP_sha256()) > 0;
  }
  if (ok) {
    made.certificate = ToPem([](BIO* bio, void* object) { return PEM_write_bio_X509(bio, static_cast<X509*>(object)); },
                             certificate);
    made.key = ToPem([](BIO* bio, void* object) {
      return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(object), nullptr, nullptr, 0, nullptr, nullptr);
    }, key);
  }
  X509_free(issuer_certificate);
  EVP_PKEY_free(issuer_key);
  X509_free(certificate);
  EVP_PKEY_free(key);
  return ok;
}

// --- The host's side: the platform subclass of the client object.

const char* StateName(int32_t state) {
  switch (state) {
    case 0: return "stopped";
    case 1: return "not connected";
    case 2: return "not connected, session kept for an automatic login";
    case 3: return "connected";
    case 4: return "logging in";
    case 5: return "logged in";
    default: return "?";
  }
}

const char* FsmName(hx::fsm state) {
  switch (state) {
    case hx::fsm::stopped: return "stopped";
    case hx::fsm::disconnected: return "not connected";
    case hx::fsm::connected: return "connected, not logged in";
    case hx::fsm::logged_in: return "logged in";
    case hx::fsm::conference_pending: return "conference being set up";
    case hx::fsm::in_conference: return "in a conference";
  }
  return "?";
}

// What a platform layer supplies: identity, a working folder, and the hooks it is told through.
// Each hook prints what happened; the main thread waits on the recorded values.
class HostClient : public HXConsoleClient {
 public:
  explicit HostClient(std::string dir) : m_dir(std::move(dir)) {}

  const char* GetAppDefaultDomain() override { return "example.test"; }
  void UpdateEnvironment() override {}
  const char* GetAppName() override { return "hx_host"; }
  const char* GetAppVersion() override { return "1.0"; }
  HX_ClientType GetClientType() override { return 7; }
  using HXConsoleClient::GetCapabilites;
  HXCapabilites GetCapabilites(bool) override { return HXCapabilites(); }
  audio::platform GetAudioPlatform() override { return 0; }
  const char* GetWorkingDir() override { return m_dir.c_str(); }
  DnsList GetLocalDNSList() override { return {}; }
  void UpdateLoginManager() override {}
  void UpdateConferenceManager() override {}
  void UpdatePresenceManager() override {}
  void UpdateContactsManager() override {}
  void UpdateChatManager() override {}
  void UpdateNetConfigManager() override {}
  void OnSysBenchmarkComplete(HX_SysPerformanceState&) override {}
  void OnReleaseHardwareSender() override {}
  void OnReleaseHardwareReceiver(const char*) override {}
  void OnRequestAudioRecord(const HX_ClientCaps&, std::shared_ptr<HXAudioRecordBase>&) override {}
  void OnRequestVideoRender(const char*, const HX_ClientCaps&, std::shared_ptr<HXVideoRenderBase>&) override {}

  void onTrSessionStateChanged(int32_t oldState, int32_t newState) override {
    std::printf("Session state %d -> %d (%s)\n", oldState, newState, StateName(newState));
    // The client's own reaction prints the coarse state's changes that follow from this one.
    HXConsoleClient::onTrSessionStateChanged(oldState, newState);
    Changed();
  }
  void OnFSMStateChanged(hx::fsm newState, hx::fsm oldState) override {
    std::printf("  client state %d -> %d (%s)\n", static_cast<int>(oldState), static_cast<int>(newState),
                FsmName(newState));
    HXConsoleClient::OnFSMStateChanged(newState, oldState);
  }
  void OnLogin(const char* login, int32_t result, const char* key, const char* appId) override {
    HXConsoleClient::OnLogin(login, result, key, appId);
    std::printf("Login result %d for %s; user databases %s\n", result, login != nullptr ? login : "",
                isUserDbOpen() ? "open" : "not open");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_loginResult = result;
    m_changed.notify_all();
  }
  void OnLogout(int result, int cause) override {
    HXConsoleClient::OnLogout(result, cause);
    std::printf("Logged out: result %d, cause %d; user databases %s\n", result, cause,
                isUserDbOpen() ? "open" : "closed");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_loggedOut = true;
    m_changed.notify_all();
  }
  void OnServerUpdate(bool service, const char* serverId, unsigned short port, int result, bool login, bool keepAlive) {
    std::printf("Server update: result %d, server id \"%s\", port %u%s%s%s\n", result, serverId, port,
                service ? ", service server" : "", login ? ", login under way" : "", keepAlive ? ", keep-alive" : "");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (result == 0) m_serverUpdated = true;
    m_changed.notify_all();
  }
  // Waits until the connection's first steps are done (the server update comes last).
  bool WaitServerUpdate() {
    return Wait([&] { return m_serverUpdated; });
  }
  void OnServerLost(const char* name, unsigned short port, bool autoLogin) {
    std::printf("Server unavailable: %s:%u%s\n", name, port, autoLogin ? " (automatic login possible)" : "");
  }

  bool WaitState(int32_t state) {
    return Wait([&] { return getStateTrs() == state; });
  }
  // The coarse state follows the session state on the same thread, right after it.
  bool WaitFsm(hx::fsm state) {
    for (int i = 0; i < kWaitSeconds * 100; ++i) {
      if (getFSM()->GetFSMState() == state) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // Waits for the login result (it follows the state 5 in which the session is logged in).
  bool WaitLoginResult() {
    return Wait([&] { return m_loginResult != -1; }) && m_loginResult == 0;
  }
  bool WaitLoggedOut() {
    return Wait([&] { return m_loggedOut; });
  }

 private:
  void Changed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed.notify_all();
  }
  template <typename Done>
  bool Wait(Done done) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(kWaitSeconds), done);
  }

  const std::string m_dir;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  int32_t m_loginResult = -1;
  bool m_loggedOut = false;
  bool m_serverUpdated = false;
};

std::string ReadFile(const char* path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

int Fail(const std::string& what) {
  std::printf("FAILED: %s\n", what.c_str());
  return 1;
}

// Prints the contact list once the address book has answered (or after a few seconds).
void PrintContactList(HXConsoleClient& client) {
  HX_ContactStorage* store = client.getFSM();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (client.contactCache()->GetBookHash(HX_AB_CONTACTS) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const HX_ContactStorage::ContactSet& contacts = store->LockContactList();
  std::printf("Contact list (%zu):\n", contacts.size());
  for (const hx::Contact& contact : contacts) {
    std::printf("  %s \"%s\" status %d%s\n", contact.peerId.c_str(), contact.displayName.c_str(),
                static_cast<int>(contact.status), (contact.flags & hx::Contact::NOT_EDITABLE) != 0 ? " (fixed)" : "");
  }
  store->UnlockContactList();
}

}  // namespace

int main(int argc, char** argv) {
  std::string proxy;
  if (argc >= 3 && std::string(argv[1]) == "--proxy") {
    proxy = argv[2];
    argv[2] = argv[0];
    argv += 2;
    argc -= 2;
  }
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  std::string login = "guest@example.test";
  std::string password = "guest-password";
  std::unique_ptr<hx::testing::FakeServer> fake;
  std::unique_ptr<hx::testing::FakeServices> services;
  std::unique_ptr<hx::testing::FakeAbook> abook;
  if (argc >= 4) {
    host = argv[1];
    port = static_cast<uint16_t>(std::atoi(argv[2]));
    hx::SetBuiltInRootCertificate(ReadFile(argv[3]));
    if (argc >= 6) {
      login = argv[4];
      password = argv[5];
    }
  } else {
    std::printf("Making a throwaway certificate authority and a server certificate for %s\n", kServerId);
    Pem root;
    Pem server;
    if (!MakeCertificate("hx_host example root", nullptr, 1, root) ||
        !MakeCertificate(kServerId, &root, 2, server)) {
      return Fail("cannot make the certificates");
    }
    hx::SetBuiltInRootCertificate(root.certificate);
    hx::testing::FakeServerOptions options;
    options.connection.handshake_reply.secure = true;
    options.connection.handshake_reply.server_id = kServerId;
    options.connection.secure_identity = {server.certificate, {}, server.key};
    fake = std::make_unique<hx::testing::FakeServer>(options);
    std::string error;
    if (!fake->Start(&error)) return Fail("the fake server did not start: " + error);
    services = std::make_unique<hx::testing::FakeServices>(*fake, kServerId);
    hx::testing::FakeAccount account;
    account.login = login;
    account.password = password;
    services->AddAccount(account);
    abook = std::make_unique<hx::testing::FakeAbook>(
        *fake, [&services](int connection) { return services->LoggedInUser(connection); });
    abook->SetContacts(login,
                       {{"ann@example.test", "Ann Example", "ann", true}, {"bob@example.test", "Bob Example", "bob", false}},
                       1);
    port = fake->port();
    // The fake server speaks the protocol over plain TCP, where the transport runs its own secure
    // handshake; a real server may take TLS first.
    HXZCommonSocket::SetDenyTLS(true);
    std::printf("Fake server listening on %s:%u, with the test user %s\n", host.c_str(), port, login.c_str());
  }

  char dirTemplate[] = "/tmp/hx_host.XXXXXX";
  const char* made = mkdtemp(dirTemplate);
  if (made == nullptr) return Fail("no working folder");
  const std::string dir = std::string(made) + "/";

  int status = 0;
  HXZServer* loop = nullptr;
  {
    HostClient client(dir);
    loop = client.networkServer();
    client.CreateApplication();
    std::printf("Client object created, working folder %s\n", dir.c_str());
    client.connectResult.Connect(&client, &HostClient::OnServerUpdate);
    client.serverUnavailable.Connect(&client, &HostClient::OnServerLost);
    // Wi-Fi, as a platform reports it; not connecting yet.
    if (loop == nullptr || !client.Start(0x8004, false)) return Fail("the client did not start");
    std::printf("Client started: network loop running, network type Wi-Fi, client state %d (%s)\n",
                static_cast<int>(client.getFSM()->GetFSMState()), FsmName(client.getFSM()->GetFSMState()));
    if (!proxy.empty()) {
      const size_t colon = proxy.rfind(':');
      const int proxy_port = colon == std::string::npos ? 0 : std::atoi(proxy.c_str() + colon + 1);
      if (colon == std::string::npos || proxy_port <= 0 || proxy_port > 65535) {
        return Fail("the proxy must be given as HOST:PORT");
      }
      loop->acquireProxyList()->addProxyDescriptor(std::make_shared<HX_ProxyDescriptorFqdn>(
          proxy.substr(0, colon), static_cast<uint16_t>(proxy_port), kProxyHttp));
      std::printf("HTTP proxy %s\n", proxy.c_str());
    }

    std::printf("Connecting to %s:%u (%s)\n", host.c_str(), port,
                HXZCommonSocket::TlsDenied.load()
                    ? "plain TCP: the transport handshake, then the secure handshake"
                    : "TLS, then the transport handshake; a server without TLS gets plain TCP and the secure "
                      "handshake");
    if (!client.ConnectServer(host.c_str(), port)) {
      status = Fail("the connect request was refused");
    } else if (!client.WaitState(HX_TransportSession::eConnected) || !client.WaitServerUpdate()) {
      status = Fail("not connected");
    } else {
      std::printf("Logging in as %s\n", login.c_str());
      if (!client.Login(login.c_str(), password.c_str(), true, true)) {
        status = Fail("the login request could not be sent");
      } else if (!client.WaitLoginResult() || !client.WaitState(HX_TransportSession::eLoggedIn) ||
                 !client.WaitFsm(hx::fsm::logged_in)) {
        status = Fail("not logged in");
      } else {
        std::printf("Logged in: login \"%s\", server id \"%s\", domain \"%s\"\n", client.getLogin().c_str(),
                    client.getSid().c_str(), client.getDomain().c_str());
        PrintContactList(client);
        std::printf("Logging out\n");
        client.Logout(true, false);
        if (!client.WaitLoggedOut() || !client.WaitState(HX_TransportSession::eConnected) ||
            !client.WaitFsm(hx::fsm::connected)) {
          status = Fail("the logout did not end");
        }
      }
    }
    std::printf("Disconnecting\n");
    client.DisconnectServer();
    if (!client.WaitState(HX_TransportSession::eNoConnection) || !client.WaitFsm(hx::fsm::stopped)) {
      status = Fail("not disconnected");
    }
    if (auto connection = client.connection()) connection->DisconnectServer();
    // Waits for the network loop: its last jobs may still reach the client object.
    std::printf("Shutting down\n");
    if (!client.Shutdown(true)) status = Fail("the network loop did not end");
    std::printf("Client shut down: client state %d (%s)\n", static_cast<int>(client.getFSM()->GetFSMState()),
                FsmName(client.getFSM()->GetFSMState()));
    client.connectResult.Disconnect(&client, &HostClient::OnServerUpdate);
    client.serverUnavailable.Disconnect(&client, &HostClient::OnServerLost);
  }
  delete loop;
  abook.reset();
  services.reset();
  fake.reset();
  std::filesystem::remove_all(dir);
  if (status == 0) std::printf("OK\n");
  return status;
}
