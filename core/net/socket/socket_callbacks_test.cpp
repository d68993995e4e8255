#include "core/net/socket/socket_callbacks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/net/socket/socket_data_handler.h"
#include "core/net/socket/socket_test_util.h"

namespace {

using hx::testing::EventLog;
using hx::testing::PassingLayer;

// The bottom of a chain: the socket's own callbacks in real use.
class Bottom : public HXZASocketCallbacks {
 public:
  explicit Bottom(EventLog* log) : m_log(log) {}
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    m_log->Add("bottom", "recv");
    return done;
  }
  void OnError() override { m_log->Add("bottom", "error"); }

 private:
  EventLog* m_log;
};

class CallbackChain : public ::testing::Test {
 protected:
  // The layers from the top down, named; at most a few steps so that a loop shows as a failure.
  std::vector<std::string> Chain() {
    std::vector<std::string> names;
    for (HXZASocketCallbacks* layer = holder.Callback(); layer != nullptr && names.size() < 8;
         layer = layer->getSocketNextCallback()) {
      names.push_back(layer == &a ? "a" : layer == &b ? "b" : layer == &c ? "c" : "bottom");
    }
    return names;
  }

  using Names = std::vector<std::string>;

  EventLog log;
  Bottom bottom{&log};
  PassingLayer a{"a", &log};
  PassingLayer b{"b", &log};
  PassingLayer c{"c", &log};
  HXZADataHPHolder holder{nullptr, -1, &bottom, AF_INET, SOCK_STREAM, IPPROTO_TCP};
};

TEST_F(CallbackChain, PushStacksLayersAndReturnsThePreviousTop) {
  HXZADataHPHolder& h = holder;
  EXPECT_EQ(h.PushCallback(&a), &bottom);
  EXPECT_EQ(h.PushCallback(&b), &a);
  EXPECT_EQ(h.Callback(), &b);
  EXPECT_EQ(b.getSocketNextCallback(), &a);
  EXPECT_EQ(a.getSocketNextCallback(), &bottom);

  // Events enter at the top and each layer passes them on.
  EXPECT_EQ(h.Callback()->OnReadyRecvImp(nullptr, &h), HXZADataManager::done);
  EXPECT_EQ(log.lines, (Names{"b:recv", "a:recv", "bottom:recv"}));
}

TEST_F(CallbackChain, RemoveUnhooksTopMiddleOrNothing) {
  HXZADataHPHolder& h = holder;
  h.PushCallback(&a);
  h.PushCallback(&b);
  h.PushCallback(&c);

  EXPECT_EQ(h.RemoveCallback(&b), &a) << "a middle layer: the one below it comes back";
  EXPECT_EQ(c.getSocketNextCallback(), &a);
  EXPECT_EQ(b.getSocketNextCallback(), nullptr);

  EXPECT_EQ(h.RemoveCallback(&b), nullptr) << "not in the chain";
  EXPECT_EQ(h.RemoveCallback(nullptr), nullptr);

  EXPECT_EQ(h.RemoveCallback(&c), &a) << "the top: the layer below becomes the top";
  EXPECT_EQ(h.Callback(), &a);
  EXPECT_EQ(c.getSocketNextCallback(), nullptr);
}

TEST_F(CallbackChain, RemovingALinkFromAnEmptyChainChangesNothing) {
  HXZADataHPHolder empty(nullptr, -1, nullptr, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  a.setSocketNextCallback(&bottom);
  EXPECT_EQ(empty.RemoveCallback(&a), nullptr);
  EXPECT_EQ(empty.Callback(), nullptr);
  EXPECT_EQ(a.getSocketNextCallback(), &bottom);
}

TEST_F(CallbackChain, PushingALinkAgainMovesItToTheTopWithoutALoop) {
  HXZADataHPHolder& h = holder;
  h.PushCallback(&a);
  h.PushCallback(&b);
  h.PushCallback(&a);  // a layer pushed again on a reconnect
  EXPECT_EQ(Chain(), (Names{"a", "b", "bottom"}));

  h.PushCallback(&a);  // already the top
  EXPECT_EQ(Chain(), (Names{"a", "b", "bottom"}));
}

TEST(SocketCallbacks, DefaultsRefuseReadinessAndTurnAFailedBindIntoAnError) {
  class CountingErrors : public HXZASocketCallbacks {
   public:
    int errors = 0;
    void OnError() override { ++errors; }
  } callbacks;
  EXPECT_EQ(callbacks.OnReadyRecvImp(nullptr, nullptr), HXZADataManager::failed);
  EXPECT_EQ(callbacks.OnReadySendImp(nullptr, nullptr), HXZADataManager::failed);
  EXPECT_EQ(callbacks.getSocketNextCallback(), nullptr);
  callbacks.OnBoundLocal(true);
  EXPECT_EQ(callbacks.errors, 0);
  callbacks.OnBoundLocal(false);
  EXPECT_EQ(callbacks.errors, 1);
}

TEST(SocketCallbacks, RedirectorPassesEveryEventToItsTarget) {
  EventLog log;
  Bottom bottom(&log);
  PassingLayer target("target", &log);
  target.setSocketNextCallback(&bottom);
  HXZASocketCallbackRedirector redirector(&target);

  EXPECT_EQ(redirector.OnReadyRecvImp(nullptr, nullptr), HXZADataManager::done);
  redirector.OnReadySendImp(nullptr, nullptr);
  redirector.OnClose(nullptr);
  redirector.OnError();
  redirector.OnTimer(4);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"target:recv", "bottom:recv", "target:send",
                                                 "target:close", "target:error", "bottom:error",
                                                 "target:timer4"}));
}

}  // namespace
