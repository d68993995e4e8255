#include "core/security/secure_handshake.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/security/gost_engine.h"
#include "core/security/root_certificate.h"
#include "core/security/shared_test_pki.h"
#include "testing/test_pki.h"
#include "testing/test_support.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's allocation hooks (declared in clang's sanitizer/allocator_interface.h,
// which gcc does not ship).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                          void (*free_hook)(const volatile void*));
#define HX_HAS_MALLOC_HOOKS 1
#else
#define HX_HAS_MALLOC_HOOKS 0
#endif

namespace {

using Bytes = std::vector<uint8_t>;
using hx::testing::TestCert;

void PutU32(Bytes& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t GetU32(const Bytes& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

Bytes Word(uint32_t value) {
  Bytes out;
  PutU32(out, value);
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A certificate message as its sender forms it: a size word and a container of binary entries.
Bytes CertificateMessage(const std::vector<std::pair<std::string, const TestCert*>>& entries) {
  HX_Container container;
  for (const auto& [name, cert] : entries)
    EXPECT_TRUE(container.AddValue(name, HX_CNT_BINARY_VT, cert->cert_pem.data(), cert->cert_pem.size()));
  uint8_t* serialised = nullptr;
  size_t size = 0;
  EXPECT_TRUE(container.SerializeAlloc(serialised, size));
  Bytes out = Word(static_cast<uint32_t>(size));
  out.insert(out.end(), serialised, serialised + size);
  std::free(serialised);
  return out;
}

// A certificate message that packs small and unpacks to `unpacked` bytes and more: the server's
// certificate followed by a chain entry of zeros.
Bytes InflatedCertificateMessage(const TestCert& certificate, size_t unpacked) {
  HX_Container container;
  EXPECT_TRUE(container.AddValue("Certificate", HX_CNT_BINARY_VT, certificate.cert_pem.data(),
                                 certificate.cert_pem.size()));
  const std::string zeros(unpacked, '\0');
  EXPECT_TRUE(container.AddValue("Certificate Chain", HX_CNT_BINARY_VT, zeros.data(), zeros.size()));
  uint8_t* serialised = nullptr;
  size_t size = 0;
  EXPECT_TRUE(container.SerializeAlloc(serialised, size));
  EXPECT_LE(size, 65536u) << "must pass the size bound of the body";
  Bytes out = Word(static_cast<uint32_t>(size));
  out.insert(out.end(), serialised, serialised + size);
  std::free(serialised);
  return out;
}

// A version-1 algorithm offer: N and the N words.
Bytes Offer(std::vector<uint32_t> words) {
  Bytes out = Word(static_cast<uint32_t>(words.size()));
  for (uint32_t word : words) PutU32(out, word);
  return out;
}

Bytes ErrorMessage(uint32_t code) { return Concat({Word(4), Word(code)}); }

// Plays the owner of one handshake: sends the packets it forms into `outbox` and feeds it the
// bytes of `inbox`, as a connection would.
struct Owner {
  Owner(int version, int type) : handshake(version, type) {}

  // Drives the handshake as far as the received bytes allow. Returns the last answer of Next, or
  // HX_SH_FAILED when a call failed; HX_SH_RECEIVE means it waits for more bytes.
  HX_SecureHandshakeState Run() {
    for (;;) {
      if (pending != nullptr) {
        if (inbox.size() < pending_size) return HX_SH_RECEIVE;
        std::memcpy(pending, inbox.data(), pending_size);
        inbox.erase(inbox.begin(), inbox.begin() + pending_size);
        const bool processed = handshake.ProcessPacket(pending, pending_size);
        handshake.FreePacket(pending);
        if (!processed) return HX_SH_FAILED;
        continue;
      }
      const HX_SecureHandshakeState next = handshake.Next();
      if (next == HX_SH_SEND) {
        uint8_t* packet = nullptr;
        uint32_t size = 0;
        if (!handshake.PreparePacket(packet, size)) return HX_SH_FAILED;
        outbox.insert(outbox.end(), packet, packet + size);
        handshake.FreePacket(packet);
      } else if (next == HX_SH_SEND_CERTIFICATE) {
        outbox.insert(outbox.end(), certificate_message.begin(), certificate_message.end());
      } else if (next == HX_SH_RECEIVE) {
        if (!handshake.PreparePacket(pending, pending_size)) return HX_SH_FAILED;
      } else {
        return next;
      }
    }
  }

  HX_SecureHandshake handshake;
  Bytes certificate_message;
  Bytes inbox;
  Bytes outbox;
  uint8_t* pending = nullptr;
  uint32_t pending_size = 0;
};

struct Outcome {
  HX_SecureHandshakeState client;
  HX_SecureHandshakeState server;
};

// Runs both sides against each other until neither moves.
Outcome Exchange(Owner& client, Owner& server) {
  Outcome outcome{};
  for (int round = 0; round < 16; ++round) {
    outcome.client = client.Run();
    server.inbox.insert(server.inbox.end(), client.outbox.begin(), client.outbox.end());
    const bool client_sent = !client.outbox.empty();
    client.outbox.clear();
    outcome.server = server.Run();
    client.inbox.insert(client.inbox.end(), server.outbox.begin(), server.outbox.end());
    const bool server_sent = !server.outbox.empty();
    server.outbox.clear();
    if (!client_sent && !server_sent && round > 0) break;
  }
  return outcome;
}

struct Pki : hx::security_testing::TestPkiBase {
  TestCert server, client, foreign_root, foreign_server, expired, not_yet_valid;
};

Pki* SharedPki() {
  return hx::security_testing::SharedTestPki<Pki>([](Pki& made) {
    auto& pki = *made.pki;
    made.server = pki.MakeLeaf(made.intermediate, "server#as");
    made.client = pki.MakeLeaf(made.intermediate, "client#1");
    made.foreign_root = pki.MakeRoot("Test Root");
    made.foreign_server = pki.MakeLeaf(made.foreign_root, "server#as");
    made.expired =
        pki.MakeLeaf(made.intermediate, "server#as", hx::security_testing::ExpiredValidity());
    made.not_yet_valid =
        pki.MakeLeaf(made.intermediate, "server#as", hx::security_testing::NotYetValidValidity());
  });
}

class SecureHandshakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pki_ = SharedPki();
    if (pki_ == nullptr) {
      if (hx::testing::RunningUnderCi()) FAIL() << "required tool missing: openssl";
      GTEST_SKIP() << "tool not installed: openssl";
    }
    hx::SetBuiltInRootCertificate(pki_->root.cert_pem);
    hx::SetGostEngineProbe([] { return false; });
    HX_SecureHandshake::SetImprovedSecurityState(false);
  }
  void TearDown() override {
    hx::SetBuiltInRootCertificate("");
    hx::SetGostEngineProbe(nullptr);
    HX_SecureHandshake::SetImprovedSecurityState(false);
  }

  static std::unique_ptr<HX_PKey> Key(const TestCert& cert) {
    auto key = std::make_unique<HX_PKey>();
    EXPECT_TRUE(key->SetPrivateKey(cert.key_pem.c_str(), HX_STORAGE_MEMORY, nullptr));
    return key;
  }

  // The server's certificate and `entries` chain entries, the first of them the intermediate.
  std::vector<std::pair<std::string, const TestCert*>> ChainOf(size_t entries) const {
    std::vector<std::pair<std::string, const TestCert*>> message = {{"Certificate", &pki_->server}};
    for (size_t i = 0; i < entries; ++i) {
      message.emplace_back("Certificate Chain", i == 0 ? &pki_->intermediate : &pki_->foreign_root);
    }
    return message;
  }

  Bytes ServerCertificateMessage() const {
    return CertificateMessage({{"Certificate", &pki_->server}, {"Certificate Chain", &pki_->intermediate}});
  }

  std::unique_ptr<Owner> Server(int version, const TestCert& identity) {
    auto server = std::make_unique<Owner>(version, HX_SECURE_HANDSHAKE_SERVER);
    server->certificate_message =
        CertificateMessage({{"Certificate", &identity}, {"Certificate Chain", &pki_->intermediate}});
    EXPECT_TRUE(server->handshake.SetPrivateKey(Key(identity).get()));
    return server;
  }

  std::unique_ptr<Owner> Client(int version) {
    auto client = std::make_unique<Owner>(version, HX_SECURE_HANDSHAKE_CLIENT);
    if (version == 2) {
      client->certificate_message =
          CertificateMessage({{"Certificate", &pki_->client}, {"Certificate Chain", &pki_->intermediate}});
      EXPECT_TRUE(client->handshake.SetPrivateKey(Key(pki_->client).get()));
    }
    return client;
  }

  // Both directions carry data: what one side writes the other reads.
  static void ExpectCiphersPair(HX_SecureHandshake& client, HX_SecureHandshake& server, uint32_t key_length) {
    std::unique_ptr<HX_SymmetricCrypt> client_write = client.GetWriteSymmetricCrypt();
    std::unique_ptr<HX_SymmetricCrypt> client_read = client.GetReadSymmetricCrypt();
    std::unique_ptr<HX_SymmetricCrypt> server_write = server.GetWriteSymmetricCrypt();
    std::unique_ptr<HX_SymmetricCrypt> server_read = server.GetReadSymmetricCrypt();
    ASSERT_TRUE(client_write && client_read && server_write && server_read);
    EXPECT_EQ(client.GetWriteSymmetricCrypt(), nullptr) << "handed out once";
    EXPECT_EQ(server.GetReadSymmetricCrypt(), nullptr) << "handed out once";
    for (HX_SymmetricCrypt* crypt : {client_write.get(), client_read.get(), server_write.get(), server_read.get()}) {
      EXPECT_EQ(crypt->GetKeyLen(), key_length);
      EXPECT_EQ(crypt->GetCipherMode(), HX_CIPHER_MODE_ECB);
    }
    const std::string message = "a transport message of some length";
    for (auto [writer, reader] : {std::pair{client_write.get(), server_read.get()},
                                  std::pair{server_write.get(), client_read.get()}}) {
      Bytes cipher(64), plain(64);
      uint32_t cipher_size = 64, plain_size = 64;
      ASSERT_TRUE(writer->Encrypt(reinterpret_cast<const uint8_t*>(message.data()),
                                  static_cast<uint32_t>(message.size()), cipher.data(), cipher_size));
      ASSERT_TRUE(reader->Decrypt(cipher.data(), cipher_size, plain.data(), plain_size));
      EXPECT_EQ(std::string(plain.begin(), plain.begin() + plain_size), message);
    }
    // The two directions use different keys.
    Bytes one(32), two(32);
    uint32_t one_length = 0, two_length = 0;
    ASSERT_TRUE(client_write->GetKey(32, one.data(), one_length));
    ASSERT_TRUE(client_read->GetKey(32, two.data(), two_length));
    EXPECT_NE(one, two);
  }

  // Feeds a client the bytes a server sent and runs it as far as they go.
  static HX_SecureHandshakeState RunClientOn(Owner& client, const Bytes& server_bytes) {
    client.inbox = server_bytes;
    return client.Run();
  }

  Pki* pki_ = nullptr;
};

TEST_F(SecureHandshakeTest, Version1CompletesWithEitherSecurityLevel) {
  for (bool improved : {false, true}) {
    SCOPED_TRACE(improved ? "improved security" : "standard security");
    HX_SecureHandshake::SetImprovedSecurityState(improved);
    std::unique_ptr<Owner> client = Client(1);
    std::unique_ptr<Owner> server = Server(1, pki_->server);

    server->Run();  // certificate message and offer
    const Bytes server_bytes = server->outbox;
    const Bytes offer(server_bytes.begin() + static_cast<long>(server->certificate_message.size()), server_bytes.end());
    EXPECT_EQ(offer, improved ? Offer({0, 11, 1, 0, 0, 0, 0, 0, 0, 0, 0}) : Offer({0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));

    client->inbox = server_bytes;
    server->outbox.clear();
    ASSERT_EQ(client->Run(), HX_SH_FINISHED) << client->handshake.GetHandshakeErrorCode();
    // The key message: L, the envelope algorithm 1, K, the sealed key, the IV, the sealed key block.
    const Bytes key_message = client->outbox;
    const uint32_t cipher_length = improved ? 80 : 48;  // key blocks of 76 and 44 bytes, padded
    ASSERT_EQ(key_message.size(), 4u + 24 + 256 + cipher_length);
    EXPECT_EQ(GetU32(key_message, 0), 24 + 256 + cipher_length);
    EXPECT_EQ(GetU32(key_message, 4), 1u);
    EXPECT_EQ(GetU32(key_message, 8), 256u);

    server->inbox = key_message;
    ASSERT_EQ(server->Run(), HX_SH_FINISHED) << server->handshake.GetHandshakeErrorCode();
    EXPECT_EQ(client->handshake.GetHandshakeErrorCode(), 0);
    ExpectCiphersPair(client->handshake, server->handshake, improved ? 32 : 16);

    std::shared_ptr<HX_Certificate> peer = client->handshake.CloneCertificate();
    ASSERT_NE(peer, nullptr);
    std::string common_name;
    ASSERT_TRUE(peer->GetSubjectEntry("commonName", common_name));
    EXPECT_EQ(common_name, "server#as");
    uint32_t size = 0;
    EXPECT_FALSE(client->handshake.GetCertificate(nullptr, size));
    EXPECT_EQ(size, pki_->server.cert_pem.size());
    Bytes pem(size);
    ASSERT_TRUE(client->handshake.GetCertificate(pem.data(), size));
    EXPECT_EQ(std::string(pem.begin(), pem.end()), pki_->server.cert_pem);
  }
}

TEST_F(SecureHandshakeTest, Version2AuthenticatesBothSides) {
  std::unique_ptr<Owner> client = Client(2);
  std::unique_ptr<Owner> server = Server(2, pki_->server);
  const Outcome outcome = Exchange(*client, *server);
  ASSERT_EQ(outcome.client, HX_SH_FINISHED) << client->handshake.GetHandshakeErrorCode();
  ASSERT_EQ(outcome.server, HX_SH_FINISHED) << server->handshake.GetHandshakeErrorCode();
  EXPECT_EQ(client->handshake.GetVersion(), 2);
  ExpectCiphersPair(client->handshake, server->handshake, 16);
  std::string common_name;
  ASSERT_NE(server->handshake.CloneCertificate(), nullptr);
  ASSERT_TRUE(server->handshake.CloneCertificate()->GetSubjectEntry("commonName", common_name));
  EXPECT_EQ(common_name, "client#1");
  ASSERT_TRUE(client->handshake.CloneCertificate()->GetSubjectEntry("commonName", common_name));
  EXPECT_EQ(common_name, "server#as");
}

// A chain of the most entries allowed still verifies.
TEST_F(SecureHandshakeTest, ChainOfSixteenEntriesPasses) {
  std::unique_ptr<Owner> client = Client(1);
  std::unique_ptr<Owner> server = Server(1, pki_->server);
  server->certificate_message = CertificateMessage(ChainOf(16));
  const Outcome outcome = Exchange(*client, *server);
  EXPECT_EQ(outcome.client, HX_SH_FINISHED) << client->handshake.GetHandshakeErrorCode();
  EXPECT_EQ(outcome.server, HX_SH_FINISHED) << server->handshake.GetHandshakeErrorCode();
}

#if HX_HAS_MALLOC_HOOKS
std::atomic<size_t> g_largest_allocation{0};
std::atomic<bool> g_watch_allocations{false};

void RecordAllocation(const volatile void*, size_t size) {
  if (!g_watch_allocations.load(std::memory_order_relaxed)) return;
  size_t largest = g_largest_allocation.load(std::memory_order_relaxed);
  while (size > largest && !g_largest_allocation.compare_exchange_weak(largest, size)) {
  }
}
void IgnoreFree(const volatile void*) {}
#endif

// An inflated certificate message is refused before it is unpacked: no allocation near its
// unpacked size is made for it.
TEST_F(SecureHandshakeTest, InflatedCertificateMessageIsRefusedWithoutALargeAllocation) {
#if HX_HAS_MALLOC_HOOKS
  const Bytes inflated = InflatedCertificateMessage(pki_->server, 8 * 1024 * 1024);
  std::unique_ptr<Owner> client = Client(1);
  static const bool installed = __sanitizer_install_malloc_and_free_hooks(RecordAllocation, IgnoreFree) != 0;
  ASSERT_TRUE(installed);
  g_largest_allocation = 0;
  g_watch_allocations = true;
  const HX_SecureHandshakeState state = RunClientOn(*client, inflated);
  g_watch_allocations = false;
  EXPECT_EQ(state, HX_SH_FAILED);
  EXPECT_EQ(client->handshake.GetHandshakeErrorCode(), 3);
  EXPECT_LT(g_largest_allocation.load(), inflated.size() + 4096);
#else
  GTEST_SKIP() << "allocations can be watched under the sanitizers only";
#endif
}

// Every refusal of the server's packets: the error code, and the 8-byte error message where the
// client sends one before it stops.
TEST_F(SecureHandshakeTest, ClientRefusesBadServerPackets) {
  const Bytes good_certificate = ServerCertificateMessage();
  const Bytes offer = Offer({0, 1, 0, 0, 0, 0, 0, 0, 0, 0});
  const TestCert& chain = pki_->intermediate;
  struct Case {
    const char* what;
    Bytes server_bytes;
    int error;
    bool error_message_sent;
  };
  const Case kCases[] = {
      {"no Certificate entry", Concat({CertificateMessage({{"Certificate Chain", &chain}}), offer}), 4, true},
      {"own root sent as chain entry",
       Concat({CertificateMessage({{"Certificate", &pki_->foreign_server}, {"Certificate Chain", &pki_->foreign_root}}),
               offer}),
       5, true},
      {"intermediate missing", Concat({CertificateMessage({{"Certificate", &pki_->server}}), offer}), 5, true},
      {"expired", Concat({CertificateMessage({{"Certificate", &pki_->expired}, {"Certificate Chain", &chain}}), offer}),
       5, true},
      {"not yet valid",
       Concat({CertificateMessage({{"Certificate", &pki_->not_yet_valid}, {"Certificate Chain", &chain}}), offer}), 5,
       true},
      {"foreign certificate first, genuine one after it",
       Concat({CertificateMessage({{"Certificate", &pki_->foreign_server},
                                   {"Certificate", &pki_->server},
                                   {"Certificate Chain", &chain}}),
               offer}),
       5, true},
      {"certificate size 0", Word(0), 3, true},
      {"certificate size above the bound", Word(65537), 3, true},
      {"certificate size of 4 GB", Word(0xffffffff), 3, true},
      {"unreadable container", Concat({Word(7), Bytes{5, 0, 0, 0, 5, 6, 7}}), 8, true},
      {"container that unpacks beyond 1 MiB", Concat({InflatedCertificateMessage(pki_->server, 1024 * 1024), offer}),
       3, true},
      // Refused from the unpacked length in its first word: nothing is unpacked, or the junk after
      // it would make the container unreadable (8).
      {"container claiming 57 MB", Concat({Word(8), Word(57 * 1024 * 1024), Word(0x12345678), offer}), 3, true},
      {"17 chain entries", Concat({CertificateMessage(ChainOf(17)), offer}), 3, true},
      {"offer of no words", Concat({good_certificate, Word(0)}), 3, false},
      {"offer count whose byte size wraps", Concat({good_certificate, Word(0x40000001), Word(1)}), 3, false},
      {"offer count above the bound", Concat({good_certificate, Word(65)}), 3, false},
      {"no common algorithm", Concat({good_certificate, Offer({0, 7, 13, 2, 0, 0, 0, 0, 0, 0})}), 2, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<Owner> client = Client(1);
    EXPECT_EQ(RunClientOn(*client, c.server_bytes), HX_SH_FAILED);
    EXPECT_EQ(client->handshake.GetHandshakeErrorCode(), c.error);
    EXPECT_EQ(client->outbox, c.error_message_sent ? ErrorMessage(static_cast<uint32_t>(c.error)) : Bytes());
    EXPECT_EQ(client->handshake.GetReadSymmetricCrypt(), nullptr);
  }
}

TEST_F(SecureHandshakeTest, ClientKeepsTheCertificateItVerified) {
  // The genuine certificate first: it is verified, its key seals and it is what the owner inspects.
  std::unique_ptr<Owner> client = Client(1);
  const Bytes message = CertificateMessage(
      {{"Certificate", &pki_->server}, {"Certificate", &pki_->foreign_server}, {"Certificate Chain", &pki_->intermediate}});
  std::unique_ptr<Owner> server = Server(1, pki_->server);
  server->certificate_message = message;
  ASSERT_EQ(Exchange(*client, *server).server, HX_SH_FINISHED);
  EXPECT_EQ(client->handshake.CloneCertificate()->CheckExpirationTime(), 0);
  uint32_t size = 0;
  client->handshake.GetCertificate(nullptr, size);
  EXPECT_EQ(size, pki_->server.cert_pem.size());

  // A certificate that fails is still kept for the owner to report.
  std::unique_ptr<Owner> refused = Client(1);
  RunClientOn(*refused, CertificateMessage({{"Certificate", &pki_->expired}, {"Certificate Chain", &pki_->intermediate}}));
  ASSERT_NE(refused->handshake.CloneCertificate(), nullptr);
  EXPECT_EQ(refused->handshake.CloneCertificate()->CheckExpirationTime(), 1);
}

TEST_F(SecureHandshakeTest, ClientWithoutRootOrWithReceivedSizeMismatch) {
  hx::SetBuiltInRootCertificate("");
  std::unique_ptr<Owner> client = Client(1);
  EXPECT_EQ(RunClientOn(*client, ServerCertificateMessage()), HX_SH_FAILED);
  EXPECT_EQ(client->handshake.GetHandshakeErrorCode(), 8);
  EXPECT_EQ(client->outbox, ErrorMessage(8));

  // Bytes handed to ProcessPacket that differ from the announced size.
  HX_SecureHandshake handshake(1, HX_SECURE_HANDSHAKE_CLIENT);
  uint8_t* buffer = nullptr;
  uint32_t size = 0;
  ASSERT_TRUE(handshake.PreparePacket(buffer, size));
  ASSERT_EQ(size, 4u);
  const Bytes announced = Word(100);
  ASSERT_TRUE(handshake.ProcessPacket(announced.data(), 4));
  handshake.FreePacket(buffer);
  ASSERT_TRUE(handshake.PreparePacket(buffer, size));
  ASSERT_EQ(size, 100u);
  EXPECT_TRUE(handshake.ProcessPacket(buffer, 99));  // succeeds so that the error message goes out
  handshake.FreePacket(buffer);
  EXPECT_EQ(handshake.GetHandshakeErrorCode(), 3);
  ASSERT_EQ(handshake.Next(), HX_SH_SEND);
  ASSERT_TRUE(handshake.PreparePacket(buffer, size));
  EXPECT_EQ(Bytes(buffer, buffer + size), ErrorMessage(3));
  handshake.FreePacket(buffer);
  EXPECT_EQ(handshake.Next(), HX_SH_FAILED);
}

TEST_F(SecureHandshakeTest, ServerRefusesBadClientPackets) {
  struct Case {
    const char* what;
    Bytes client_bytes;
    int error;
  };
  const Case kCases[] = {
      {"key message size above 65536", Word(65537), 3},
      {"key message size 0", Word(0), 3},
      {"sealed key longer than the body", Concat({Word(12), Word(1), Word(256), Word(0)}), 3},
      {"no IV after the sealed key", Concat({Word(24), Word(1), Word(4), Word(0), Word(0), Word(0), Word(0)}), 3},
      {"envelope that does not open", Concat({Word(8 + 256 + 16 + 48), Word(1), Word(256), Bytes(256 + 16 + 48, 7)}), 7},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<Owner> server = Server(1, pki_->server);
    ASSERT_EQ(server->Run(), HX_SH_RECEIVE);
    server->inbox = c.client_bytes;
    EXPECT_EQ(server->Run(), HX_SH_FAILED);
    EXPECT_EQ(server->handshake.GetHandshakeErrorCode(), c.error);
    EXPECT_EQ(server->handshake.GetReadSymmetricCrypt(), nullptr);
  }

  // A client's error message ends the handshake with the client's reason.
  std::unique_ptr<Owner> server = Server(1, pki_->server);
  server->Run();
  server->inbox = ErrorMessage(5);
  EXPECT_EQ(server->Run(), HX_SH_FAILED);
  EXPECT_EQ(server->handshake.GetHandshakeErrorCode(), 5);
  EXPECT_EQ(server->handshake.GetReadSymmetricCrypt(), nullptr);

  // A server without its private key cannot open anything.
  Owner keyless(1, HX_SECURE_HANDSHAKE_SERVER);
  keyless.certificate_message = ServerCertificateMessage();
  std::unique_ptr<Owner> client = Client(1);
  EXPECT_EQ(Exchange(*client, keyless).server, HX_SH_FAILED);
  EXPECT_EQ(keyless.handshake.GetHandshakeErrorCode(), 8);
}

TEST_F(SecureHandshakeTest, ServerWithTheWrongKeyCannotOpenTheEnvelope) {
  std::unique_ptr<Owner> client = Client(1);
  std::unique_ptr<Owner> server = Server(1, pki_->server);
  ASSERT_TRUE(server->handshake.SetPrivateKey(Key(pki_->client).get()));  // not the certificate's key
  const Outcome outcome = Exchange(*client, *server);
  EXPECT_EQ(outcome.client, HX_SH_FINISHED);
  EXPECT_EQ(outcome.server, HX_SH_FAILED);
  EXPECT_EQ(server->handshake.GetHandshakeErrorCode(), 7);
}

TEST_F(SecureHandshakeTest, Version2ServerRefusesBadClientCertificateOrSignature) {
  // A signature by a key other than the certificate's.
  std::unique_ptr<Owner> client = Client(2);
  ASSERT_TRUE(client->handshake.SetPrivateKey(Key(pki_->server).get()));
  std::unique_ptr<Owner> server = Server(2, pki_->server);
  Outcome outcome = Exchange(*client, *server);
  EXPECT_EQ(outcome.server, HX_SH_FAILED);
  EXPECT_EQ(server->handshake.GetHandshakeErrorCode(), 5);
  EXPECT_EQ(server->handshake.GetReadSymmetricCrypt(), nullptr);

  // A client certificate that does not verify stops the server at once, whatever follows.
  client = Client(2);
  client->certificate_message =
      CertificateMessage({{"Certificate", &pki_->foreign_server}, {"Certificate Chain", &pki_->foreign_root}});
  ASSERT_TRUE(client->handshake.SetPrivateKey(Key(pki_->foreign_server).get()));
  server = Server(2, pki_->server);
  outcome = Exchange(*client, *server);
  EXPECT_EQ(outcome.server, HX_SH_FAILED);
  EXPECT_EQ(server->handshake.GetHandshakeErrorCode(), 5);
  EXPECT_EQ(server->handshake.Next(), HX_SH_FAILED);
  EXPECT_FALSE(client->outbox.empty() && server->inbox.empty()) << "the key message went unread";
}

TEST_F(SecureHandshakeTest, GostEngineAnswerShapesOfferAndChoice) {
  HX_SecureHandshake::SetImprovedSecurityState(true);
  for (bool gost : {false, true}) {
    SCOPED_TRACE(gost ? "engine present" : "engine absent");
    hx::SetGostEngineProbe([gost] { return gost; });
    std::unique_ptr<Owner> server = Server(1, pki_->server);
    server->Run();
    const Bytes offer(server->outbox.begin() + static_cast<long>(server->certificate_message.size()),
                      server->outbox.end());
    EXPECT_EQ(offer, gost ? Offer({0, 12, 11, 1, 0, 0, 0, 0, 0, 0, 0, 0}) : Offer({0, 11, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
  }

  // With the engine, AES-256 is only remembered while the scan looks on for GOST.
  hx::SetGostEngineProbe([] { return true; });
  std::unique_ptr<Owner> client = Client(1);
  EXPECT_EQ(RunClientOn(*client, Concat({ServerCertificateMessage(), Offer({0, 11, 1, 0, 0, 0, 0, 0, 0, 0})})),
            HX_SH_FINISHED);
  EXPECT_EQ(client->handshake.GetWriteSymmetricCrypt()->GetAlg(), HX_SYMMETRIC_ALG_AES256);
  // GOST is taken when offered; this OpenSSL has no "gost89" cipher unless an engine provides it.
  client = Client(1);
  const HX_SecureHandshakeState gost_result =
      RunClientOn(*client, Concat({ServerCertificateMessage(), Offer({0, 1, 11, 12, 0, 0, 0, 0, 0, 0})}));
  if (EVP_get_cipherbyname("gost89") == nullptr) {
    EXPECT_EQ(gost_result, HX_SH_FAILED);
    EXPECT_EQ(client->handshake.GetHandshakeErrorCode(), 8);
  } else {
    EXPECT_EQ(client->handshake.GetWriteSymmetricCrypt()->GetAlg(), HX_SYMMETRIC_ALG_GOST);
  }

  // Without the engine, 12 is ignored and 11 taken at once.
  hx::SetGostEngineProbe([] { return false; });
  client = Client(1);
  EXPECT_EQ(RunClientOn(*client, Concat({ServerCertificateMessage(), Offer({0, 12, 11, 1, 0, 0, 0, 0, 0, 0})})),
            HX_SH_FINISHED);
  EXPECT_EQ(client->handshake.GetWriteSymmetricCrypt()->GetAlg(), HX_SYMMETRIC_ALG_AES256);
  client = Client(1);
  EXPECT_EQ(RunClientOn(*client, Concat({ServerCertificateMessage(), Offer({0, 12, 0, 0, 0, 0, 0, 0, 0, 0})})),
            HX_SH_FAILED);
  EXPECT_EQ(client->handshake.GetHandshakeErrorCode(), 2);
}

// Without a probe of its own, the answer comes from OpenSSL: an engine is there only where its
// module is installed, and asking leaves no error behind.
TEST(GostEngine, DefaultAnswerComesFromOpenssl) {
  hx::SetGostEngineProbe(nullptr);
  std::string engines = OpenSSL_version(OPENSSL_ENGINES_DIR);  // ENGINESDIR: "<folder>"
  const size_t open = engines.find('"');
  engines = engines.substr(open + 1, engines.rfind('"') - open - 1);
  ERR_clear_error();
  EXPECT_EQ(hx::GostEngineAvailable(), std::filesystem::exists(engines + "/gost.so"));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(SecureHandshakeFacade, VersionsAndMisuse) {
  HX_SecureHandshake handshake;
  EXPECT_EQ(handshake.GetVersion(), -1);
  EXPECT_EQ(handshake.Next(), HX_SH_FAILED);
  EXPECT_FALSE(handshake.Init(3, HX_SECURE_HANDSHAKE_CLIENT));
  EXPECT_EQ(handshake.GetVersion(), -1);
  EXPECT_EQ(handshake.GetHandshakeErrorCode(), 0);
  EXPECT_FALSE(handshake.Init(0, 3));
  EXPECT_FALSE(handshake.Init(1, 0));

  ASSERT_TRUE(handshake.Init(0, HX_SECURE_HANDSHAKE_SERVER));
  EXPECT_EQ(handshake.GetVersion(), 0);
  EXPECT_EQ(handshake.Next(), HX_SH_FINISHED);
  uint8_t* buffer = nullptr;
  uint32_t size = 0;
  EXPECT_FALSE(handshake.PreparePacket(buffer, size));
  EXPECT_EQ(handshake.GetReadSymmetricCrypt(), nullptr);
  EXPECT_EQ(handshake.GetWriteSymmetricCrypt(), nullptr);
  EXPECT_TRUE(handshake.SetPrivateKey(nullptr));
  EXPECT_EQ(handshake.CloneCertificate(), nullptr);

  ASSERT_TRUE(handshake.Init(1, 7));  // any other non-zero type acts as the client
  EXPECT_EQ(handshake.Next(), HX_SH_RECEIVE);
  ASSERT_TRUE(handshake.PreparePacket(buffer, size));
  uint8_t* second = buffer;
  EXPECT_FALSE(handshake.PreparePacket(second, size));
  EXPECT_EQ(handshake.GetHandshakeErrorCode(), 6);
  handshake.FreePacket(buffer);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_FALSE(handshake.SetPrivateKey(nullptr));
  EXPECT_EQ(handshake.CloneCertificate(), nullptr);
  EXPECT_FALSE(handshake.GetCertificate(nullptr, size));

  handshake.StopHandshake();
  EXPECT_EQ(handshake.GetVersion(), -1);
  EXPECT_EQ(handshake.Next(), HX_SH_FAILED);
  EXPECT_FALSE(handshake.ProcessPacket(nullptr, 0));
}

TEST(SecureHandshakeFacade, RegistryRootIsSetOnce) {
  char buffer[8];
  uint32_t size = sizeof buffer;
  EXPECT_FALSE(HX_SecureHandshake::GetRegistryRoot(buffer, size));
  HX_SecureHandshake::SetRegistryRoot(std::string(255, 'r').c_str());  // too long: ignored
  EXPECT_FALSE(HX_SecureHandshake::GetRegistryRoot(buffer, size));
  HX_SecureHandshake::SetRegistryRoot("Soft");
  HX_SecureHandshake::SetRegistryRoot("Other");
  size = 2;
  EXPECT_FALSE(HX_SecureHandshake::GetRegistryRoot(buffer, size));
  EXPECT_EQ(size, 5u);
  ASSERT_TRUE(HX_SecureHandshake::GetRegistryRoot(buffer, size));
  EXPECT_STREQ(buffer, "Soft");
}

}  // namespace
