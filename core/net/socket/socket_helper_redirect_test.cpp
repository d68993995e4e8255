#include "core/net/socket/socket_helper_redirect.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/socket/socket_test_util.h"

namespace {

using hx::testing::PlainSocket;
using hx::testing::RecordingHelper;

TEST(HelperRedirect, PassesEachOperationToTheParentUnchanged) {
  auto* parent = new RecordingHelper();
  auto redirect = std::make_unique<HXZASocketHelperRedirect>(parent);
  HXZANullDataHandler handler(-1, AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  PlainSocket plain(new RecordingHelper(), -1, AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  HXZASocket* socket = &plain;
  auto endpoint = std::make_shared<HXZEndpointSockAddr>(HXSockAddr());
  char buffer[8] = {};

  EXPECT_EQ(redirect->SendImp(buffer, 5, 0, &handler), 5u);
  EXPECT_EQ(redirect->RecvImp(buffer, 6, 0, &handler), 6u);
  EXPECT_TRUE(redirect->CloseImp(&handler));
  EXPECT_EQ(redirect->Ioctl_1(8, &handler, 1), 0);
  EXPECT_TRUE(redirect->SetImp(socket, &handler));
  EXPECT_TRUE(redirect->DeleteImp(socket, &handler));
  EXPECT_TRUE(redirect->SendAsync(socket, &handler, true));
  EXPECT_TRUE(redirect->ConnectAsync(endpoint, socket, &handler));
  EXPECT_TRUE(redirect->ReBindAsync(endpoint, socket, &handler));
  EXPECT_TRUE(redirect->CloseAsync(socket, &handler, true));
  EXPECT_TRUE(redirect->StartTimerImp(socket, &handler, 2, 50));
  EXPECT_TRUE(redirect->StopTimerImp(socket, &handler, 2));
  EXPECT_EQ(redirect->Clone(&handler), &handler);

  struct Expected {
    const char* op;
    bool with_socket;
    int64_t argument;
  };
  const std::vector<Expected> expected = {
      {"SendImp", false, 5},       {"RecvImp", false, 6},        {"CloseImp", false, 0},
      {"Ioctl_1", false, 8001},    {"SetImp", true, 0},          {"DeleteImp", true, 0},
      {"SendAsync", true, 1},      {"ConnectAsync", true, 0},    {"ReBindAsync", true, 0},
      {"CloseAsync", true, 1},     {"StartTimerImp", true, 200050}, {"StopTimerImp", true, 2},
  };
  ASSERT_EQ(parent->calls.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].op);
    EXPECT_EQ(parent->calls[i].op, expected[i].op);
    EXPECT_EQ(parent->calls[i].handler, &handler);
    EXPECT_EQ(parent->calls[i].socket, expected[i].with_socket ? socket : nullptr);
    EXPECT_EQ(parent->calls[i].argument, expected[i].argument);
  }
}

TEST(HelperRedirect, HoldsItsParentAndReleasesItWhenRepointedOrGone) {
  bool first_deleted = false;
  bool second_deleted = false;
  auto* first = new RecordingHelper(&first_deleted);
  auto* second = new RecordingHelper(&second_deleted);
  second->addRef();  // our own reference, so that the second parent outlives the redirect

  auto redirect = std::make_unique<HXZASocketHelperRedirect>(first);
  redirect->setParent(first);
  EXPECT_FALSE(first_deleted) << "re-pointing to the same parent keeps it";

  redirect->setParent(second);
  EXPECT_TRUE(first_deleted);
  EXPECT_EQ(redirect->parent(), second);

  redirect.reset();
  EXPECT_FALSE(second_deleted);
  HXZASocketHelper::release(second);
  EXPECT_TRUE(second_deleted);
}

}  // namespace
