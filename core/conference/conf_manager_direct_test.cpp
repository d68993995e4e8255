// A call's direct TCP tests from the server's notice on: "ConfigurationUpdated" parsed as the
// transport hands it over names the callee's endpoint, the store filters it, the call's TCP
// streams supervisor pings the callee's listener on loopback, and the answered ping decides the
// callee's direct-connect type.
#include <gtest/gtest.h>

#include <vector>

#include "core/conference/conf_service_test_util.h"
#include "core/conference/store/direct_store_test_util.h"

namespace hx::testing {
namespace {

TEST_F(ConfServiceFixture, ConfigurationUpdatedStartsPingsThatReachTheCalleesListener) {
  AnsweringPingListener callee("127.0.0.2");
  ASSERT_NE(callee.port, 0);
  const int32_t id = AddConference("call@brk", "srv#1", 0, ::conference::kStateRequested);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    ASSERT_NE(lock->addPeer(kBob, 4), nullptr);
  }

  HX_Endpoint endpoint(nullptr, hx::tcpConnect);
  endpoint.SetHost("127.0.0.2");
  endpoint.SetPort(callee.port);
  size_t size = 0;
  endpoint.Serialize(nullptr, size);
  std::vector<uint8_t> stored(size);
  ASSERT_TRUE(endpoint.Serialize(stored.data(), size));
  HX_Container body;
  body.AddValue("Method", "ConfigurationUpdated");
  body.AddValue("Name", kBob);
  body.AddValue("IPConfig", HX_CNT_BINARY_VT, stored.data(), stored.size());
  EXPECT_TRUE(cm->ParseIncomimgMessage(body));

  const auto bob = [&](auto read) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, id));
    return read(*lock->getPeer(kBob));
  };
  ASSERT_TRUE(WaitFor(
      [&] { return bob([](::conference::Peer& p) { return p.getSuccessfulTests(); }) == 1; },
      kTransportWaitMs));
  EXPECT_EQ(callee.answered.load(), 1);
  EXPECT_EQ(bob([](::conference::Peer& p) { return p.getDCType(); }), 2);
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, id));
  EXPECT_TRUE(lock->isFlag(HX_Conference::kFlagDCTestsEnded));
}

}  // namespace
}  // namespace hx::testing
