// The fake server behind TLS and through the secure handshake, driven by a raw client: the
// client's role of the handshake and its ciphers come from the core, the bytes from the test.

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "core/security/gost_engine.h"
#include "core/security/root_certificate.h"
#include "core/security/secure_handshake.h"
#include "testing/fake_server/fake_server.h"
#include "testing/fake_server/raw_test_client.h"
#include "testing/test_pki.h"
#include "testing/test_support.h"

namespace hx::testing {
namespace {

using namespace raw;  // NOLINT: the raw client and its worked bytes

// The request and reply of the worked example with the secure bit (version 25, reply version
// 25): the bit adds 16 to the head checksum and so to the packed word's bits 5-12.
Bytes SecureRequestAbc() {
  Bytes request = kRequestAbc;
  request[16] = 0x39;
  request[17] = 0xf1;
  return request;
}

Bytes SecureReplyAbc() {
  Bytes reply = kReplyAbc;
  reply[16] = 0xf9;
  reply[17] = 0x12;
  return reply;
}

struct Pki {
  TempDir dir;
  TestCert root, intermediate, server, foreign_root, tls;
};

// Made once: key generation is slow.
Pki* SharedPki() {
  static std::unique_ptr<Pki> shared = [] {
    const std::string openssl = FindTool("openssl");
    if (openssl.empty()) return std::unique_ptr<Pki>();
    auto made = std::make_unique<Pki>();
    TestPki pki(openssl, made->dir.path());
    made->root = pki.MakeRoot("Fake Server Test Root");
    made->intermediate = pki.MakeIntermediate(made->root, "Fake Server Test Intermediate");
    made->server = pki.MakeLeaf(made->intermediate, "127.0.0.1#vcs");
    made->foreign_root = pki.MakeRoot("Fake Server Test Root");
    made->tls = pki.MakeLeaf(made->root, "127.0.0.1");
    return made;
  }();
  return shared.get();
}

// Runs the client's role of the secure handshake over `client` until it ends.
HX_SecureHandshakeState RunClientHandshake(RawClient& client, HX_SecureHandshake& handshake) {
  for (;;) {
    const HX_SecureHandshakeState next = handshake.Next();
    uint8_t* packet = nullptr;
    uint32_t size = 0;
    if (next == HX_SH_SEND) {
      if (!handshake.PreparePacket(packet, size)) return HX_SH_FAILED;
      client.Send(Bytes(packet, packet + size));
      handshake.FreePacket(packet);
    } else if (next == HX_SH_RECEIVE) {
      if (!handshake.PreparePacket(packet, size)) return HX_SH_FAILED;
      const Bytes bytes = client.Read(size);
      std::memcpy(packet, bytes.data(), bytes.size());
      const bool processed = bytes.size() == size && handshake.ProcessPacket(packet, size);
      handshake.FreePacket(packet);
      if (!processed) return HX_SH_FAILED;
    } else {
      return next;
    }
  }
}

Bytes Encrypt(HX_SymmetricCrypt& cipher, const Bytes& plain) {
  Bytes out(plain.size() + 16);
  uint32_t size = static_cast<uint32_t>(out.size());
  EXPECT_TRUE(cipher.Encrypt(plain.data(), static_cast<uint32_t>(plain.size()), out.data(), size));
  out.resize(size);
  return out;
}

Bytes Decrypt(HX_SymmetricCrypt& cipher, const Bytes& enciphered) {
  Bytes out(enciphered.size() + 16);
  uint32_t size = static_cast<uint32_t>(out.size());
  if (!cipher.Decrypt(enciphered.data(), static_cast<uint32_t>(enciphered.size()), out.data(),
                      size)) {
    return {};
  }
  out.resize(size);
  return out;
}

// The cipher bytes that a message of `size` bytes takes.
size_t CipherSize(size_t size) { return 16 * (size / 16 + 1); }

class FakeServerSecureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pki_ = SharedPki();
    if (pki_ == nullptr) {
      if (RunningUnderCi()) FAIL() << "required tool missing: openssl";
      GTEST_SKIP() << "tool not installed: openssl";
    }
    ASSERT_TRUE(pki_->server.ok() && pki_->tls.ok());
    SetBuiltInRootCertificate(pki_->root.cert_pem);
    SetGostEngineProbe([] { return false; });
    ConnectionSettings settings;
    settings.handshake_reply.secure = true;
    settings.secure_identity = {pki_->server.cert_pem, {pki_->intermediate.cert_pem},
                                pki_->server.key_pem};
    server_.SetConnectionSettings(settings);
    ASSERT_TRUE(server_.Start());
  }
  void TearDown() override {
    SetBuiltInRootCertificate("");
    SetGostEngineProbe(nullptr);
  }

  // A client whose plain handshake asked for and got the secure one.
  std::unique_ptr<RawClient> AskedForSecure() {
    auto client = std::make_unique<RawClient>(server_.port());
    EXPECT_TRUE(client->Send(SecureRequestAbc()));
    EXPECT_EQ(client->Read(kReplyAbc.size()), SecureReplyAbc());
    return client;
  }

  void ExpectNoViolations() {
    for (const std::string& violation : server_.Violations()) ADD_FAILURE() << violation;
  }

  Pki* pki_ = nullptr;
  FakeServer server_;
};

TEST_F(FakeServerSecureTest, EnciphersEveryMessageAfterTheSecureHandshake) {
  server_.SetServiceHandler("AUTH", [](FakeConnection& connection, const ReceivedMessage& m) {
    connection.Reply(m, WithMethod("LoginResult"));
  });
  auto client = AskedForSecure();
  HX_SecureHandshake handshake(1, HX_SECURE_HANDSHAKE_CLIENT);
  ASSERT_EQ(RunClientHandshake(*client, handshake), HX_SH_FINISHED)
      << handshake.GetHandshakeErrorCode();
  std::unique_ptr<HX_SymmetricCrypt> write = handshake.GetWriteSymmetricCrypt();
  std::unique_ptr<HX_SymmetricCrypt> read = handshake.GetReadSymmetricCrypt();
  ASSERT_TRUE(write && read);
  auto connection = server_.WaitForConnection(kWaitMs);
  ASSERT_TRUE(connection && connection->WaitForPhase(ConnectionPhase::kMessages, kWaitMs));

  // A request arriving one byte at a time, then a ping: both deciphered and answered in kind.
  client->SendByteByByte(Encrypt(*write, ServiceRequest(1, "Login")));
  const Bytes reply = HandBuiltMessage(0x81, 1, 20000, {"", "AUTH", "", "abc", "AUTH", "", "", "", ""},
                                       Serialized(WithMethod("LoginResult")));
  EXPECT_EQ(Decrypt(*read, client->Read(CipherSize(reply.size()))), reply);
  ASSERT_TRUE(client->Send(Encrypt(*write, kPing)));
  Bytes pong = kPing;
  pong[0] = 0x81;
  pong[1] = 0x02;
  EXPECT_EQ(Decrypt(*read, client->Read(CipherSize(pong.size()))), pong);

  ASSERT_TRUE(server_.WaitForMessage([](const auto& m) { return m.control; }, kWaitMs));
  EXPECT_EQ(server_.Messages().front().method, "Login");
  ExpectNoViolations();
}

TEST_F(FakeServerSecureTest, ClientRefusingTheCertificateIsNoBreach) {
  SetBuiltInRootCertificate(pki_->foreign_root.cert_pem);
  auto client = AskedForSecure();
  HX_SecureHandshake handshake(1, HX_SECURE_HANDSHAKE_CLIENT);
  EXPECT_EQ(RunClientHandshake(*client, handshake), HX_SH_FAILED);
  EXPECT_EQ(handshake.GetHandshakeErrorCode(), HX_SH_ERROR_CERTIFICATE);
  EXPECT_TRUE(client->WaitForEnd());
  auto connection = server_.WaitForConnection(kWaitMs);
  ASSERT_TRUE(connection && connection->WaitForPhase(ConnectionPhase::kClosed, kWaitMs));
  EXPECT_EQ(connection->client_secure_error(), std::optional<uint32_t>(HX_SH_ERROR_CERTIFICATE));
  ExpectNoViolations();
}

TEST_F(FakeServerSecureTest, UnreadableKeyMessageIsABreach) {
  auto client = AskedForSecure();
  const Bytes size_word = client->Read(4);
  ASSERT_EQ(size_word.size(), 4u);
  const uint32_t certificate_size = size_word[0] | size_word[1] << 8 | size_word[2] << 16;
  ASSERT_EQ(client->Read(certificate_size).size(), certificate_size);
  ASSERT_EQ(client->Read(4 + 4 * 10).size(), 44u);  // the offer: N = 10, then 1 and zeros
  ASSERT_TRUE(client->Send({20, 0, 0, 0}));         // a key message of 20 bytes of junk
  ASSERT_TRUE(client->Send(Bytes(20, 0xAB)));
  EXPECT_TRUE(client->WaitForEnd());
  auto connection = server_.WaitForConnection(kWaitMs);
  ASSERT_TRUE(connection);
  EXPECT_EQ(connection->secure_error(), HX_SH_ERROR_BAD_SIZE);
  const auto violations = server_.Violations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0], "connection 1: secure handshake failed with error 3");
}

// A blocking TLS client over a raw socket.
class TlsClient {
 public:
  explicit TlsClient(uint16_t port) : socket_(port), context_(SSL_CTX_new(TLS_client_method())) {
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, socket_.fd());
    connected_ = socket_.connected() && SSL_connect(ssl_) == 1;
    ERR_clear_error();
  }
  ~TlsClient() {
    SSL_free(ssl_);
    SSL_CTX_free(context_);
  }
  bool connected() const { return connected_; }
  bool Send(const Bytes& bytes) {
    return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) ==
           static_cast<int>(bytes.size());
  }
  Bytes Read(size_t size) {
    Bytes bytes(size);
    size_t got = 0;
    while (got < size) {
      const int n = SSL_read(ssl_, bytes.data() + got, static_cast<int>(size - got));
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }

 private:
  RawClient socket_;
  SSL_CTX* context_;
  SSL* ssl_ = nullptr;
  bool connected_ = false;
};

TEST_F(FakeServerSecureTest, ServesBehindTls) {
  FakeServerOptions options;
  options.tls_certificate_path = pki_->tls.cert_path;
  options.tls_private_key_path = pki_->tls.key_path;
  FakeServer tls_server(options);
  ASSERT_TRUE(tls_server.Start());

  TlsClient client(tls_server.port());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Send(kRequestAbc));
  EXPECT_EQ(client.Read(kReplyAbc.size()), kReplyAbc);
  ASSERT_TRUE(client.Send(kPing));
  EXPECT_EQ(client.Read(kPing.size()).size(), kPing.size());
  EXPECT_TRUE(tls_server.Violations().empty());

  // Over TLS the client must not ask for the secure handshake as well.
  TlsClient asking(tls_server.port());
  ASSERT_TRUE(asking.connected());
  ASSERT_TRUE(asking.Send(SecureRequestAbc()));
  EXPECT_EQ(asking.Read(kReplyAbc.size()), kReplyAbc);
  EXPECT_EQ(tls_server.Violations(),
            std::vector<std::string>{"connection 2: secure handshake asked for over TLS"});

  FakeServerOptions unusable;
  unusable.tls_certificate_path = pki_->tls.cert_path;
  unusable.tls_private_key_path = pki_->server.key_path;  // not the certificate's key
  FakeServer refused(unusable);
  std::string error;
  EXPECT_FALSE(refused.Start(&error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace hx::testing
