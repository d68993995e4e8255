// The authenticator, its requests and its credential cache, with a helper that answers on a
// thread of its own (or inside the call, or without credentials); the authentication session's
// bookkeeping; the wiping of passwords.
#include "core/net/proxy/proxy_authenticator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/net/loop/zserver_test_util.h"
#include "core/net/proxy/http/http_auth_session.h"
#include "core/net/proxy/proxy_auth_session.h"
#include "core/net/proxy/proxy_config.h"
#include "core/net/proxy/proxy_list.h"
#include "testing/proxy_auth_test_helper.h"

namespace hx::testing {
namespace {

using hx::netproxy::AuthCallback;
using hx::netproxy::AuthDialogGui;
using hx::netproxy::AuthResponseGuiUserPassword;
using hx::netproxy::Config;
using hx::netproxy::HttpAuthSession;
using hx::netproxy::ProxyListIterator;

// Counts the answers that reach it, on whichever thread.
class CountingCallback : public AuthCallback {
 public:
  void onResponseReady(uint32_t number) override {
    last = number;
    calls.fetch_add(1);
  }
  std::atomic<int> calls{0};
  std::atomic<uint32_t> last{0};
};

class ProxyAuthenticatorTest : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    helper = std::make_shared<TestProxyAuthHelper>("carol", "s3cret");
    loop->acquireProxyList()->setGuiHelper(helper);
    authenticator = loop->acquireProxyList()->getAuthenticator();
    ASSERT_NE(authenticator, nullptr);
  }
  void TearDown() override {
    helper->JoinAnswers();
    LoopFixture::TearDown();
  }

  static std::shared_ptr<Config> ConfigFor(const std::string& host, uint16_t port) {
    auto config = std::make_shared<Config>(
        std::make_shared<HX_ProxyDescriptorFqdn>(host, port, kProxyHttp), ProxyListIterator(0));
    config->setAuthSession(std::make_shared<HttpAuthSession>(
        hx::http::AuthSession::createSession(hx::http::authBasic)));
    return config;
  }
  static std::shared_ptr<HttpAuthSession> SessionOf(const std::shared_ptr<Config>& config) {
    return std::static_pointer_cast<HttpAuthSession>(config->getAuthSession());
  }

  // Asks as a proxy handler does, on the loop's thread; waits until the answer reached the
  // session. Returns the session's state afterwards.
  uint32_t Ask(const std::shared_ptr<Config>& config) {
    auto session = SessionOf(config);
    auto callback = std::make_shared<CountingCallback>();
    OnLoop([&] {
      auto dialog = authenticator->createDialog(config);
      session->setGuiRequest(dialog, callback.get());
      EXPECT_TRUE(dialog->setChallenge(session->createChallengeGui()));
    });
    EXPECT_TRUE(WaitFor([&] { return callback->calls == 1; }, 10000));
    uint32_t state = 0;
    OnLoop([&] { state = session->state(); });
    return state;
  }

  std::shared_ptr<TestProxyAuthHelper> helper;
  HX_ProxyAuthenticator* authenticator = nullptr;
};

TEST_F(ProxyAuthenticatorTest, AnswerOnAnotherThreadIsCachedPerHostAndPort) {
  auto config = ConfigFor("proxy.hx.test", 3128);
  EXPECT_EQ(Ask(config), HttpAuthSession::stateCredentials);
  EXPECT_EQ(helper->requests, 1);
  EXPECT_EQ(SessionOf(config)->httpSession()->createAuthHeader("CONNECT", "x:1"),
            "Basic Y2Fyb2w6czNjcmV0");

  // The same proxy in another configuration: answered from the cache.
  auto same = ConfigFor("proxy.hx.test", 3128);
  EXPECT_NE(authenticator->getCachedResponse(same, hx::netproxy::authUserPassword), nullptr);
  EXPECT_EQ(authenticator->getCachedResponse(same, hx::netproxy::authCredential), nullptr);
  EXPECT_EQ(Ask(same), HttpAuthSession::stateCredentials);
  EXPECT_EQ(helper->requests, 1);

  // Another port is another proxy.
  auto other_port = ConfigFor("proxy.hx.test", 3129);
  EXPECT_EQ(authenticator->getCachedResponse(other_port, hx::netproxy::authUserPassword), nullptr);
  EXPECT_EQ(Ask(other_port), HttpAuthSession::stateCredentials);
  EXPECT_EQ(helper->requests, 2);
  EXPECT_EQ(authenticator->requestCount(), 0u) << "answered requests are removed";
}

TEST_F(ProxyAuthenticatorTest, EmptyAnswerErasesTheEntryAndRefusedCredentialsAreDropped) {
  auto config = ConfigFor("p", 1);
  helper->SetMode(TestProxyAuthHelper::answerEmpty);
  EXPECT_EQ(Ask(config), HttpAuthSession::stateNoCredentials);
  EXPECT_EQ(SessionOf(config)->getError(), hx::netproxy::eventNoCredentials);
  EXPECT_EQ(authenticator->cacheSize(), 0u);

  helper->SetMode(TestProxyAuthHelper::answerLater);
  OnLoop([&] { SessionOf(config)->resetState(); });
  EXPECT_EQ(Ask(config), HttpAuthSession::stateCredentials);
  EXPECT_EQ(helper->requests, 2) << "asked again";
  EXPECT_EQ(authenticator->cacheSize(), 1u);

  OnLoop([&] { authenticator->badAuthCredentials(config); });
  EXPECT_EQ(authenticator->cacheSize(), 0u);
  EXPECT_EQ(SessionOf(config)->state(), HttpAuthSession::stateIdle);
  EXPECT_EQ(authenticator->getCachedResponse(config, hx::netproxy::authUserPassword), nullptr);
}

TEST_F(ProxyAuthenticatorTest, HelperAnsweringInsideTheCall) {
  helper->SetMode(TestProxyAuthHelper::answerInside);
  auto config = ConfigFor("inside", 8080);
  EXPECT_EQ(Ask(config), HttpAuthSession::stateCredentials);
  // The cache entry was made before the call and took the answer given inside it.
  EXPECT_NE(authenticator->getCachedResponse(config, hx::netproxy::authUserPassword), nullptr);
  auto again = ConfigFor("inside", 8080);
  EXPECT_EQ(Ask(again), HttpAuthSession::stateCredentials);
  EXPECT_EQ(helper->requests, 1);
}

TEST_F(ProxyAuthenticatorTest, RefusingHelperLeavesNoEntry) {
  helper->SetMode(TestProxyAuthHelper::refuse);
  auto config = ConfigFor("refused", 1);
  EXPECT_EQ(Ask(config), HttpAuthSession::stateNoCredentials);
  EXPECT_EQ(authenticator->cacheSize(), 0u);
  helper->SetMode(TestProxyAuthHelper::answerLater);
  EXPECT_EQ(Ask(ConfigFor("refused", 1)), HttpAuthSession::stateCredentials);
}

TEST_F(ProxyAuthenticatorTest, SecondRequestWhileTheFirstIsOpenGetsNothing) {
  // A helper that keeps the first question open: it answers nothing until told.
  class Holding : public HX_ProxyGuiAuthHelperUserPassword {
   public:
    bool requestCredentials(std::shared_ptr<AuthDialogGui> request) override {
      held = request->number();
      asked.fetch_add(1);
      return true;
    }
    void notifyEvent(std::shared_ptr<Config>, hx::netproxy::GuiNotifyEvent,
                     const std::string&) override {}
    std::atomic<uint32_t> held{0};
    std::atomic<int> asked{0};
  };
  auto holding = std::make_shared<Holding>();
  loop->acquireProxyList()->setGuiHelper(holding);
  auto first = ConfigFor("busy", 1);
  auto second = ConfigFor("busy", 1);
  auto first_callback = std::make_shared<CountingCallback>();
  OnLoop([&] {
    auto dialog = authenticator->createDialog(first);
    SessionOf(first)->setGuiRequest(dialog, first_callback.get());
    dialog->setChallenge(SessionOf(first)->createChallengeGui());
  });
  ASSERT_TRUE(WaitFor([&] { return holding->asked == 1; }, 10000));
  EXPECT_EQ(Ask(second), HttpAuthSession::stateNoCredentials);
  EXPECT_EQ(holding->asked, 1);

  auto response = std::make_shared<AuthResponseGuiUserPassword>();
  response->set("dave", "pw");
  holding->setResponse(holding->held, response);
  ASSERT_TRUE(WaitFor([&] { return first_callback->calls == 1; }, 10000));
  EXPECT_EQ(SessionOf(first)->state(), HttpAuthSession::stateCredentials);
  loop->acquireProxyList()->setGuiHelper(helper);
  // Replaced helpers are not installed any more: their answers go nowhere.
  holding->setResponse(12345, nullptr);
}

TEST_F(ProxyAuthenticatorTest, WaitingGuiRegistersOnce) {
  auto config = ConfigFor("w", 1);
  auto session = SessionOf(config);
  CountingCallback a;
  CountingCallback b;
  uint32_t number = hx::netproxy::SequenceProducer::kNone;
  EXPECT_FALSE(session->waitingGui(&b, number)) << "nothing pending";
  OnLoop([&] {
    auto dialog = authenticator->createDialog(config);
    session->setGuiRequest(dialog, &a);
    EXPECT_TRUE(session->waitingGui(&b, number));
    const uint32_t first = number;
    EXPECT_TRUE(session->waitingGui(&b, number));
    EXPECT_EQ(number, first);
    EXPECT_EQ(session->waitingCount(), 2u);
    dialog->setChallenge(session->createChallengeGui());
  });
  ASSERT_TRUE(WaitFor([&] { return a.calls == 1 && b.calls == 1; }, 10000));
  EXPECT_EQ(b.last, number);
  EXPECT_EQ(session->waitingCount(), 0u);
}

TEST(ProxyAuthRecordsTest, ProxyNamesOrderByPortThenHost) {
  using Name = HX_ProxyAuthenticator::ProxyName;
  EXPECT_TRUE((Name{"zz", 1} < Name{"aa", 2}));
  EXPECT_TRUE((Name{"ab", 1} < Name{"abc", 1}));
  EXPECT_FALSE((Name{"a", 1} < Name{"a", 1}));
}

TEST(ProxyAuthRecordsTest, PasswordIsWipedBeforeItsMemoryIsReleased) {
  alignas(AuthResponseGuiUserPassword) unsigned char storage[sizeof(AuthResponseGuiUserPassword)];
  // A short password lives inside the object, so the bytes stay readable after destruction.
  auto* record = new (storage) AuthResponseGuiUserPassword();
  record->set("user", "hunter2");
  const std::string secret = "hunter2";
  auto contains = [&](const std::string& what) {
    return std::search(storage, storage + sizeof storage, what.begin(), what.end()) !=
           storage + sizeof storage;
  };
  ASSERT_TRUE(contains(secret));
  record->~AuthResponseGuiUserPassword();
  EXPECT_FALSE(contains(secret));
  EXPECT_TRUE(contains("*******"));

  AuthResponseGuiUserPassword other;
  other.set("u", "first");
  auto copy = std::static_pointer_cast<AuthResponseGuiUserPassword>(other.clone());
  other.set("u", "second");
  EXPECT_EQ(copy->getPassword(), "first");
  EXPECT_TRUE(copy->isReusable());
  copy->wipe();
  EXPECT_EQ(copy->getPassword(), "*****");
}

}  // namespace
}  // namespace hx::testing
