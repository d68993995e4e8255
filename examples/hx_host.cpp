// hx_host: a host program that embeds the client core and talks to a conferencing server.
//
// It starts the network loop, connects the transport to the server, completes the transport
// handshake and the secure handshake, sends one request to the server's "ECHO" service, waits for
// the answer and disconnects, printing each step. It exits with 0 when all of that worked.
//
//   hx_host                          a fake server is started in-process on 127.0.0.1, with a
//                                    throwaway certificate authority made for this run
//   hx_host HOST PORT ROOT.pem       a real server, whose certificate chains to ROOT.pem
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
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "core/base/container.h"
#include "core/client/abstract_manager.h"
#include "core/net/loop/zserver.h"
#include "core/net/proxy/proxy_list.h"
#include "core/net/socket/common_socket.h"
#include "core/security/root_certificate.h"
#include "core/transport/transport.h"
#include "core/wire/client_message.h"
#include "testing/fake_server/fake_server.h"

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

// --- The host's side.

// Waits for the transport's news on the host's thread.
class Outcome {
 public:
  void Connected(HX_TransportConnectionParam param, const char* host, int result, bool) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_result = result;
    if (result == 0) {
      m_text = "server " + std::string(host) + ", server id \"" + param.getSID() + "\", client id \"" +
               param.getCID() + "\"";
    } else {
      m_text = "server update code " + std::to_string(result);
    }
    m_changed.notify_all();
  }
  void Lost(const char* address, unsigned short port, long reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lost = true;
    if (!m_text.empty()) m_text += ", then ";
    m_text += std::string(address) + ":" + std::to_string(port) + " unavailable, reason " +
              std::to_string(reason);
    m_changed.notify_all();
  }
  void Answered(const std::string& method) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answer = method;
    m_changed.notify_all();
  }

  // Waits for the connect attempt to end: connected, or failed (a failed attempt ends with the
  // unavailable report, after its server update when there is one). The wait runs a little
  // longer than the connect's own time limit, so that the transport's own report of it comes.
  bool WaitConnected(std::string& text) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(kWaitSeconds + 2), [&] { return m_result == 0 || m_lost; });
    text = m_text.empty() ? "no report from the transport" : m_text;
    return m_result == 0 && !m_lost;
  }
  bool WaitAnswer(std::string& answer) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(kWaitSeconds), [&] { return !m_answer.empty() || m_lost; });
    answer = m_lost ? m_text : m_answer;
    return !m_answer.empty();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_result = -1;
  bool m_lost = false;
  std::string m_text;
  std::string m_answer;
};

// The host's own service: the server's answers to its requests come back here.
class HostService : public HX_AbstractManager {
 public:
  explicit HostService(Outcome& outcome) : HX_AbstractManager("HOST"), m_outcome(outcome) {}
  bool ParseIncomimgMessage(HX_Container& message) override {
    std::string method;
    message.GetValue("Method", method);
    m_outcome.Answered(method);
    return true;
  }

 private:
  Outcome& m_outcome;
};

HX_ClientMessage* EchoRequest(HXZTransport& transport, const char* text) {
  HX_Container body;
  body.AddValue("Method", text);
  uint8_t* bytes = nullptr;
  size_t size = 0;
  if (!body.SerializeAlloc(bytes, size)) return nullptr;
  auto* message = new HX_ClientMessage("HOST", "52", "ECHO", 20000, bytes, static_cast<uint32_t>(size),
                                       transport.GetNextSequence(), transport.getConnectionParam()->getCID().c_str(),
                                       nullptr, nullptr, nullptr, nullptr);
  std::free(bytes);
  return message;
}

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
  std::unique_ptr<hx::testing::FakeServer> fake;
  if (argc >= 4) {
    host = argv[1];
    port = static_cast<uint16_t>(std::atoi(argv[2]));
    hx::SetBuiltInRootCertificate(ReadFile(argv[3]));
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
    fake->SetServiceHandler("ECHO", [](hx::testing::FakeConnection& connection, const hx::testing::ReceivedMessage& m) {
      HX_Container answer;
      answer.AddValue("Method", ("echo: " + m.method).c_str());
      connection.Reply(m, answer);
    });
    port = fake->port();
    // The fake server speaks the protocol over plain TCP, where the transport runs its own secure
    // handshake; a real server may take TLS first.
    HXZCommonSocket::SetDenyTLS(true);
    std::printf("Fake server listening on %s:%u\n", host.c_str(), port);
  }

  HXZServer* loop = HXZServer::installNetworkManager();
  if (loop == nullptr || loop->startServerLoop() != 0) return Fail("the network loop did not start");
  std::printf("Network loop running\n");
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

  int status = 0;
  {
    Outcome outcome;
    HostService service(outcome);
    HXZTransport transport;
    transport.sigServerUpdate.Connect(&outcome, &Outcome::Connected);
    transport.sigServerUnavailable.Connect(&outcome, &Outcome::Lost);

    auto param = std::make_shared<HX_TransportConnectionParam>();
    param->setServerAddress(host, port);
    std::printf("Connecting to %s:%u (%s)\n", host.c_str(), port,
                HXZCommonSocket::TlsDenied.load()
                    ? "plain TCP: the transport handshake, then the secure handshake"
                    : "TLS, then the transport handshake; a server without TLS gets plain TCP and the secure "
                      "handshake");
    std::string text;
    if (!transport.ConnectServer(param, kWaitSeconds * 1000)) {
      status = Fail("the connect could not start");
    } else if (!outcome.WaitConnected(text)) {
      status = Fail("not connected: " + text);
    } else {
      std::printf("Connected: %s\n", text.c_str());
      transport.QueuePacket(EchoRequest(transport, "hello from hx_host"));
      std::printf("Sent \"hello from hx_host\" to the service ECHO\n");
      std::string answer;
      if (!outcome.WaitAnswer(answer)) {
        status = Fail("no answer: " + answer);
      } else {
        std::printf("Answer from ECHO: \"%s\"\n", answer.c_str());
      }
    }
    transport.DisconnectServer();
    std::printf("Disconnected\n");
  }
  loop->Shutdown();
  delete loop;
  if (status == 0) std::printf("OK\n");
  return status;
}
