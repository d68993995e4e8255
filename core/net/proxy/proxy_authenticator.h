#pragma once
// Proxy credentials from the user: the request that travels between the network layer and the
// user interface (AuthDialogGui), the interface the user-interface side implements
// (GuiAuthHelper), and the process-wide authenticator that runs the requests, keeps answered
// credentials per proxy (host and port) and passes events to the user interface.
//
// Threads. A proxy handler starts a request on the network loop's thread; the authenticator
// looks at it on a worker of the loop's urgent queue (onSetChallenge) and may ask the helper;
// the user-interface side answers on any thread (GuiAuthHelper::setResponse); the answer reaches
// the waiting handlers on the loop's thread (runDialogEvent). The authenticator lock guards its
// maps and the helper, each request's lock its state, record and requester. The authenticator
// lock may be held while a request's lock is taken, never the reverse. requestCredentials is
// called with the authenticator lock held (it is recursive): a helper may answer inside the call.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/net/proxy/proxy_auth_records.h"
#include "core/net/proxy/sequence_producer.h"

class HX_ProxyAuthenticator;

namespace hx::netproxy {

class Config;

class AuthDialogGui {
 public:
  enum State : uint32_t { stateIdle = 0, stateChallenge = 1, stateResponse = 2 };

  AuthDialogGui(uint32_t number, HX_ProxyAuthenticator* authenticator,
                std::shared_ptr<Config> config, AuthCallback* requester);

  // Posts the question (only when idle): the authenticator looks at it on a worker thread.
  bool setChallenge(std::shared_ptr<AuthChallengeGui> challenge);
  // The question while it is posted, else empty.
  std::shared_ptr<AuthChallengeGui> getChallenge();
  // Posts the answer (only while the question is posted; empty = no credentials): the requester
  // hears of it on the loop's thread.
  void setResponse(std::shared_ptr<AuthResponseGui> response);
  // Takes the answer (the request becomes idle); empty unless one was posted.
  std::shared_ptr<AuthResponseGui> getResponse();
  uint32_t state();
  // Forgets the requester; the request becomes idle.
  void stop();
  // Tells the requester, unless the request is idle.
  void notifyRequester();

  uint32_t number() const { return m_number; }
  const std::shared_ptr<Config>& config() const { return m_config; }
  HX_ProxyAuthenticator* authenticator() const { return m_authenticator; }

 private:
  HXLock m_lock;
  std::shared_ptr<AuthDataExchangeGui> m_record;
  uint32_t m_state = stateIdle;
  AuthCallback* m_requester;
  HX_ProxyAuthenticator* m_authenticator;
  std::shared_ptr<Config> m_config;
  uint32_t m_number;
};

class GuiAuthHelper {
 public:
  virtual ~GuiAuthHelper();
  virtual bool hasAuthType(AuthType type) = 0;
  // Shows `request` to the user; true when it will be answered (through setResponse).
  virtual bool requestCredentials(std::shared_ptr<AuthDialogGui> request) = 0;
  // Shows an event about a proxy configuration.
  virtual void notifyEvent(std::shared_ptr<Config> config, GuiNotifyEvent event,
                           const std::string& text) = 0;

  // The user's answer to request `number` (empty: no credentials). Any thread; does nothing
  // while the helper is not installed.
  void setResponse(uint32_t number, std::shared_ptr<AuthResponseGui> response);

 private:
  friend class ::HX_ProxyAuthenticator;
  std::atomic<HX_ProxyAuthenticator*> m_authenticator{nullptr};
};

}  // namespace hx::netproxy

// A helper for user names and passwords; the user-interface side implements the rest.
class HX_ProxyGuiAuthHelperUserPassword : public hx::netproxy::GuiAuthHelper {
 public:
  bool hasAuthType(hx::netproxy::AuthType type) override {
    return type == hx::netproxy::authUserPassword;
  }
};

class HX_ProxyAuthenticator : public hx::netproxy::SequenceProducer {
 public:
  // A proxy as the credential cache knows it. Ordered by port, then host bytes.
  struct ProxyName {
    std::string host;
    uint16_t port = 0;
    bool operator<(const ProxyName& other) const {
      if (port != other.port) return port < other.port;
      return host < other.host;
    }
  };
  struct CacheEntry {
    std::shared_ptr<hx::netproxy::AuthResponseGui> response;
    uint32_t waiting = kNone;  // the request that waits for the answer; kNone once answered
    void setResponse(std::shared_ptr<hx::netproxy::AuthResponseGui> answer) {
      response = std::move(answer);
      waiting = kNone;
    }
  };

  HX_ProxyAuthenticator();
  ~HX_ProxyAuthenticator() override;

  // Installs `helper` (the old one is told it is no longer installed).
  void setGuiHelper(std::shared_ptr<hx::netproxy::GuiAuthHelper> helper);
  std::shared_ptr<hx::netproxy::GuiAuthHelper> guiHelper();
  // The helper's answer; false without helper.
  bool hasAuthType(hx::netproxy::AuthType type);

  // A new request for `config`, its requester being the configuration's authentication session.
  std::shared_ptr<hx::netproxy::AuthDialogGui> createDialog(
      std::shared_ptr<hx::netproxy::Config> config);
  void removeDialog(uint32_t number);
  // Removes a cache entry; one a proxy name points at only with `force` (false otherwise).
  bool eraseCacheEntry(uint32_t entry, bool force);
  // The reusable answer of kind `type` cached for the configuration's proxy, or empty.
  std::shared_ptr<hx::netproxy::AuthResponseGui> getCachedResponse(
      const std::shared_ptr<hx::netproxy::Config>& config, hx::netproxy::AuthType type);
  // The proxy refused the credentials of `config`: its session is reset and the cached answer
  // for the proxy dropped.
  void badAuthCredentials(const std::shared_ptr<hx::netproxy::Config>& config);
  void reportError(std::shared_ptr<hx::netproxy::Config> config, hx::netproxy::GuiNotifyEvent event,
                   const std::string& text);

  // Worker thread: answers a posted request from the cache, or asks the helper.
  void onSetChallenge(uint32_t number);
  // Any thread: the user's answer.
  void onGuiSetResponse(uint32_t number, std::shared_ptr<hx::netproxy::AuthResponseGui> response);
  // Loop thread: tells the request's requester.
  void runDialogEvent(uint32_t number);

  bool isSeqIdFree(uint32_t number) const override;

  // For tests and diagnostics.
  size_t cacheSize();
  size_t requestCount();

 private:
  static ProxyName nameOf(const hx::netproxy::Config& config);

  HXLock m_lock;
  std::map<uint32_t, std::shared_ptr<hx::netproxy::AuthDialogGui>> m_requests;
  std::shared_ptr<hx::netproxy::GuiAuthHelper> m_helper;
  std::map<uint32_t, uint32_t> m_requestEntries;
  std::map<ProxyName, uint32_t> m_proxyNames;
  std::map<uint32_t, CacheEntry> m_cache;
};
