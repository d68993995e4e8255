#pragma once
// A user-interface side for proxy authentication in tests: it answers every request for
// credentials with the user name and password it was given, on a thread of its own (as a user
// interface would), inside requestCredentials, without credentials, or not at all; and it
// records the requests and the events it is shown. Thread-safe.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/net/proxy/proxy_authenticator.h"

namespace hx::testing {

class TestProxyAuthHelper : public HX_ProxyGuiAuthHelperUserPassword {
 public:
  enum Mode { answerLater, answerInside, answerEmpty, refuse };

  TestProxyAuthHelper(std::string user, std::string password, Mode mode = answerLater)
      : m_user(std::move(user)), m_password(std::move(password)), m_mode(mode) {}
  ~TestProxyAuthHelper() override { JoinAnswers(); }

  bool requestCredentials(std::shared_ptr<hx::netproxy::AuthDialogGui> request) override {
    requests.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      auto challenge = std::dynamic_pointer_cast<hx::netproxy::AuthChallengeGuiUserPassword>(
          request->getChallenge());
      m_realms.push_back(challenge ? challenge->realm() : std::string("?"));
    }
    const uint32_t number = request->number();
    switch (m_mode.load()) {
      case refuse:
        return false;
      case answerInside:
        setResponse(number, Credentials());
        return true;
      case answerEmpty:
      case answerLater: {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answers.emplace_back([this, number] {
          setResponse(number, m_mode == answerEmpty ? nullptr : Credentials());
        });
        return true;
      }
    }
    return false;
  }

  void notifyEvent(std::shared_ptr<hx::netproxy::Config>, hx::netproxy::GuiNotifyEvent event,
                   const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.emplace_back(static_cast<int>(event), text);
  }

  void SetCredentials(std::string user, std::string password) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_user = std::move(user);
    m_password = std::move(password);
  }
  void SetMode(Mode mode) { m_mode = mode; }

  std::vector<int> Events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<int> events;
    for (const auto& event : m_events) events.push_back(event.first);
    return events;
  }
  std::vector<std::string> Realms() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_realms;
  }
  void JoinAnswers() {
    std::vector<std::thread> answers;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      answers.swap(m_answers);
    }
    for (std::thread& answer : answers) answer.join();
  }

  std::atomic<int> requests{0};

 private:
  std::shared_ptr<hx::netproxy::AuthResponseGui> Credentials() {
    auto response = std::make_shared<hx::netproxy::AuthResponseGuiUserPassword>();
    std::lock_guard<std::mutex> lock(m_mutex);
    response->set(m_user, m_password);
    return response;
  }

  mutable std::mutex m_mutex;
  std::string m_user;
  std::string m_password;
  std::atomic<Mode> m_mode;
  std::vector<std::thread> m_answers;
  std::vector<std::pair<int, std::string>> m_events;
  std::vector<std::string> m_realms;
};

}  // namespace hx::testing
