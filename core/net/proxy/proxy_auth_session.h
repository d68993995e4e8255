#pragma once
// The authentication state of one proxy configuration: whether it waits for the user, what the
// user answered, and (for HTTP proxies) the HTTP authentication session that builds the
// credentials header. Proxy handlers that need the user's answer register here and are called
// back, in the order of their numbers, when it arrives.
//
// Used on the network loop's thread only.

#include <cstdint>
#include <map>
#include <memory>

#include "core/net/proxy/proxy_auth_records.h"
#include "core/net/proxy/sequence_producer.h"

namespace hx::http {
class AuthSession;
}

namespace hx::netproxy {

class AuthDialogGui;

class ProtocolAuthSession : public AuthCallback {
 public:
  enum State : uint32_t {
    stateIdle = 0,
    stateWaitingGui = 1,
    stateNoCredentials = 2,  // the user interface answered without credentials
    stateCredentials = 3,
    stateRefused = 4,
    stateUnusable = 5,
  };

  // Registers `callback` for the answer to `dialog`; the callback's number (kNone on failure).
  virtual uint32_t setGuiRequest(std::shared_ptr<AuthDialogGui> dialog, AuthCallback* callback) = 0;
  virtual void removeRequest(uint32_t number) = 0;
  // True when an answer is awaited; `callback` is then registered (once: a number it already
  // holds is kept, else a new one is written back).
  virtual bool waitingGui(AuthCallback* callback, uint32_t& number) = 0;

  void clear();
  // From an answered state back to idle.
  void resetState();
  // The event that the state stands for, or 0.
  GuiNotifyEvent getError() const;
  uint32_t state() const { return m_state; }

 protected:
  virtual void clearImp() = 0;
  virtual void resetStateImp() = 0;

  uint32_t m_state = stateIdle;
};

class HttpAuthSession : public ProtocolAuthSession, public SequenceProducer {
 public:
  explicit HttpAuthSession(std::shared_ptr<hx::http::AuthSession> session);
  ~HttpAuthSession() override;

  // The answer of the user interface: credentials go to the HTTP session; every waiting callback
  // is then told, in ascending number order, and forgotten.
  void onResponseReady(uint32_t number) override;
  uint32_t setGuiRequest(std::shared_ptr<AuthDialogGui> dialog, AuthCallback* callback) override;
  void removeRequest(uint32_t number) override;
  bool waitingGui(AuthCallback* callback, uint32_t& number) override;
  bool isSeqIdFree(uint32_t number) const override;

  // The record shown to the user: a user-name-and-password question with the session's realm.
  std::shared_ptr<AuthChallengeGuiUserPassword> createChallengeGui() const;
  const std::shared_ptr<hx::http::AuthSession>& httpSession() const { return m_session; }
  size_t waitingCount() const { return m_waiting.size(); }

 protected:
  void clearImp() override;
  void resetStateImp() override;

 private:
  void dropRequest();

  std::shared_ptr<AuthDialogGui> m_request;
  std::shared_ptr<hx::http::AuthSession> m_session;
  std::map<uint32_t, AuthCallback*> m_waiting;
};

}  // namespace hx::netproxy
