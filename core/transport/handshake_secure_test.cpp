#include "core/transport/handshake_secure.h"

#include <gtest/gtest.h>

#include "core/security/certificate.h"
#include "core/security/root_certificate.h"
#include "core/transport/scripted_socket_test_util.h"
#include "core/transport/transport_test_pki.h"
#include "testing/fake_server/message_cipher.h"
#include "testing/fake_server/secure_server_side.h"

namespace {

using hx::testing::TestCert;

HX_Certificate Load(const TestCert& cert) {
  HX_Certificate certificate;
  EXPECT_TRUE(certificate.SetCert(cert.cert_pem.c_str(), static_cast<uint32_t>(cert.cert_pem.size()),
                                  HX_STORAGE_MEMORY));
  return certificate;
}

TEST(HandshakeSecure, ServerCertificateChecks) {
  HX_REQUIRE_TRANSPORT_PKI(pki);
  const std::string sid = hx::testing::kTestServerId;
  struct Case {
    const char* what;
    const TestCert* cert;
    std::string server_id;
    int32_t result;
  } cases[] = {
      {"valid", &pki->server, sid, 0},
      {"other common name", &pki->other_name, sid, 12},
      {"other common name, no server id to compare", &pki->other_name, "", 0},
      {"server id differs in length only", &pki->server, sid + "x", 12},
      {"no extension", &pki->no_extension, sid, 13},
      {"extension of 360", &pki->low_extension, sid, 13},
      {"expired", &pki->expired, sid, 9},
      {"not yet valid", &pki->not_yet_valid, sid, 10},
  };
  for (const Case& c : cases) {
    const HX_Certificate certificate = Load(*c.cert);
    EXPECT_EQ(HXHelperHandshakeSecure::CheckServerCertificate(&certificate, c.server_id), c.result) << c.what;
  }
  EXPECT_EQ(HXHelperHandshakeSecure::CheckServerCertificate(nullptr, sid), 11);
  const HX_Certificate empty;
  EXPECT_EQ(HXHelperHandshakeSecure::CheckServerCertificate(&empty, sid), 11);
}

// Runs the client's handshake against the fake server's side of it, the server's packets cut
// into segments of `segment` bytes that reach the client one readiness event each. Returns the
// client's last answer (keepGoing when it stalled).
int32_t RunAgainstServer(HXHelperHandshakeSecure& client, hx::testing::SecureServerSide& server,
                         size_t segment) {
  hx::testing::ScriptedSocket socket;
  std::vector<uint8_t> unread_by_server;
  size_t sent_seen = 0;
  for (int event = 0; event < 100000; ++event) {
    const std::vector<uint8_t>& sent = socket.Sent();
    unread_by_server.insert(unread_by_server.end(), sent.begin() + sent_seen, sent.end());
    sent_seen = sent.size();
    size_t consumed = 0;
    std::vector<std::vector<uint8_t>> packets;
    server.Advance(unread_by_server.data(), unread_by_server.size(), consumed, packets);
    unread_by_server.erase(unread_by_server.begin(), unread_by_server.begin() + consumed);
    for (const std::vector<uint8_t>& packet : packets) socket.ArriveInSegments(packet, segment);

    // As a poll reports them: readable and writable in the same pass.
    const bool readable = socket.Unread() > 0;
    const bool writable = socket.ReadyToSendRequested();
    if (!readable && !writable) return HXZADataManager::keepGoing;  // stalled
    int32_t answer = readable ? client.OnReadyRecvImp(&socket, &socket) : HXZADataManager::keepGoing;
    if (answer == HXZADataManager::keepGoing && writable) answer = client.OnReadySendImp(&socket, &socket);
    if (answer != HXZADataManager::keepGoing) return answer;
  }
  return HXZADataManager::keepGoing;
}

// Packets may span any number of readiness events; the ciphers agreed on match the server's.
TEST(HandshakeSecure, CompletesWhateverTheSegmentsAndAgreesOnCiphers) {
  HX_REQUIRE_TRANSPORT_PKI(pki);
  hx::SetBuiltInRootCertificate(pki->root.cert_pem);
  for (size_t segment : {size_t{1}, size_t{7}, size_t{4096}}) {
    hx::testing::SecureServerSide server;
    ASSERT_TRUE(server.Start(pki->Identity(pki->server)));
    auto param = std::make_shared<HX_TransportConnectionParam>();
    param->setSID(hx::testing::kTestServerId);
    HXHelperHandshakeSecure client;
    client.InitHandshake(param);
    ASSERT_EQ(RunAgainstServer(client, server, segment), HXZADataManager::done) << segment;
    EXPECT_EQ(client.GetResult(), 0);
    EXPECT_EQ(client.GetSecureState(), HX_SH_FINISHED);
    ASSERT_EQ(client.GetSymCryptBlockSize(), 16u);

    hx::testing::MessageCipher server_cipher;
    ASSERT_TRUE(server_cipher.SetKeys(server.read_key(), server.write_key()));
    const std::vector<uint8_t> message(35, 0x61);
    std::vector<uint8_t> cipher(64);
    uint32_t size = static_cast<uint32_t>(cipher.size());
    ASSERT_NE(client.Encrypt(message.data(), 35, cipher.data(), size), nullptr);
    EXPECT_EQ(size, 48u);
    std::vector<uint8_t> plain;
    std::string problem;
    ASSERT_TRUE(server_cipher.DecipherMessage(cipher.data(), size, plain, problem)) << problem;
    EXPECT_EQ(plain, message);
  }
}

// A certificate the client refuses: the client's error message still reaches the server, though
// the server's next packets are already waiting.
TEST(HandshakeSecure, RefusalIsSentToTheServer) {
  HX_REQUIRE_TRANSPORT_PKI(pki);
  hx::SetBuiltInRootCertificate(pki->root.cert_pem);
  hx::testing::SecureServerSide server;
  ASSERT_TRUE(server.Start(pki->Identity(pki->expired)));
  HXHelperHandshakeSecure client;
  client.InitHandshake(std::make_shared<HX_TransportConnectionParam>());
  EXPECT_EQ(RunAgainstServer(client, server, 4096), HXZADataManager::failed);
  EXPECT_EQ(client.GetResult(), 5);
  EXPECT_EQ(client.GetSecureState(), HX_SH_FAILED);
  EXPECT_EQ(server.client_error().value_or(0), 5u);
}

// Before the handshake produced ciphers the shield refuses to work rather than pass bytes.
TEST(HandshakeSecure, ShieldWithoutCiphersFails) {
  HXHelperHandshakeSecure handshake;
  handshake.InitHandshake(std::make_shared<HX_TransportConnectionParam>());
  const uint8_t data[4] = {1, 2, 3, 4};
  uint8_t out[32];
  uint32_t size = sizeof out;
  EXPECT_EQ(handshake.Encrypt(data, sizeof data, out, size), nullptr);
  size = sizeof out;
  EXPECT_EQ(handshake.Decrypt(data, sizeof data, out, size, true), nullptr);
  EXPECT_EQ(handshake.GetSymCryptBlockSize(), 0u);
  EXPECT_EQ(handshake.GetSecureState(), HX_SH_RECEIVE);
}

}  // namespace
