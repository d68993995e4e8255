// 100 000 messages each way over loopback through an enciphered transport connection: none may
// be lost, duplicated or reordered.
#include <gtest/gtest.h>

#include <string>

#include "core/security/root_certificate.h"
#include "core/transport/transport_test_pki.h"
#include "core/transport/transport_test_util.h"
#include "testing/fake_server/server_messages.h"

namespace hx::testing {
namespace {

constexpr int kMessages = 100000;
constexpr int kBatch = 1000;
constexpr int kLoadWaitMs = 600000;

HX_Container Numbered(const char* method, int index) {
  HX_Container body = MethodBody(method);
  body.AddValue("Index", int32_t{index});
  return body;
}

int IndexOf(const HX_Container& body) {
  int32_t index = -1;
  size_t size = 0;
  body.GetValue("Index", HX_CNT_INTEGER_VT, &index, size);
  return index;
}

using TransportLoadTest = TransportFixture;

TEST_F(TransportLoadTest, HundredThousandMessagesEachWayArriveInOrder) {
  HX_REQUIRE_TRANSPORT_PKI(pki);
  SetBuiltInRootCertificate(pki->root.cert_pem);
  ConnectionSettings settings;
  settings.handshake_reply.secure = true;
  settings.secure_identity = pki->Identity(pki->server);
  StartServer(settings);
  m_service.KeepBodies();
  ConnectAndWait();
  auto connection = m_server->WaitForConnection(kTransportWaitMs);
  ASSERT_TRUE(connection);

  for (int first = 0; first < kMessages; first += kBatch) {
    std::vector<MessageFrame> batch;
    for (int index = first; index < first + kBatch; ++index) {
      batch.push_back(ServiceMessage("SRV", "TEST", Numbered("down", index)));
    }
    connection->SendTogether(std::move(batch));
  }
  for (int index = 0; index < kMessages; ++index) {
    m_transport->QueuePacket(ComposeRequest(*m_transport, "SINK", Numbered("up", index)));
  }

  ASSERT_TRUE(m_service.WaitForCount(kMessages, kLoadWaitMs));
  const std::vector<HX_Container> bodies = m_service.Bodies();
  ASSERT_EQ(bodies.size(), static_cast<size_t>(kMessages));
  for (int index = 0; index < kMessages; ++index) ASSERT_EQ(IndexOf(bodies[index]), index);

  ASSERT_TRUE(m_server->WaitForMessage(
      [](const ReceivedMessage& m) { return m.method == "up" && IndexOf(m.body) == kMessages - 1; },
      kLoadWaitMs));
  int expected = 0;
  for (const ReceivedMessage& message : m_server->Messages()) {
    if (message.method != "up") continue;
    ASSERT_EQ(IndexOf(message.body), expected);
    ++expected;
  }
  EXPECT_EQ(expected, kMessages);
  EXPECT_TRUE(m_signals->Reasons().empty());
  ExpectNoViolations();
}

}  // namespace
}  // namespace hx::testing
