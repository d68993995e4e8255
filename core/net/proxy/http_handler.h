#pragma once
// Reaches the target through an HTTP proxy: connects to the proxy, sends CONNECT with the
// target, reads the answer and, when the proxy asks for credentials (407), answers with Basic or
// Digest credentials from the configuration's authentication session, asking the user through
// the proxy list's authenticator when there are none. A 2xx answer finishes the handler: the
// socket then carries the tunnel, and bytes of the tunnel that came with the answer stay in the
// socket's data buffer (buffered-data flag set).
//
// The proxy may close the connection on the way (commonly after a 407): the handler connects
// again and sends the request anew. Reconnects that brought no complete answer are bounded
// (kMaxEmptyReconnects); a reconnect after a complete answer does not count.
//
// The request is sent and the answer read below the TLS layer (through the socket's helper), so
// the exchange travels in clear and TLS starts through the finished tunnel.
//
// Threads: every operation runs on the network loop's thread; the user's answer reaches the
// handler through its listener on that thread too.

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "core/base/net_message.h"
#include "core/net/proxy/http/http_response.h"
#include "core/net/proxy/protocol_handler.h"
#include "core/net/proxy/proxy_auth_records.h"

class HX_ProxyAuthenticator;

namespace hx::http {
class AuthChallenge;
}

namespace hx::netproxy {

class HttpAuthSession;

class HttpHandler : public ProtocolHandler {
 public:
  enum State : uint32_t {
    stateIdle = 0,
    stateConnecting = 1,
    stateSending = 2,
    stateSent = 3,
    stateWaitingCredentials = 4,
    stateStopped = 5,
  };

  // Receives the user's answer for the handler.
  class AuthListener : public AuthCallback {
   public:
    explicit AuthListener(HttpHandler* handler) : m_handler(handler) {}
    // Withdraws a number it still holds from the configuration's session.
    ~AuthListener() override;
    void onResponseReady(uint32_t number) override;

    uint32_t m_number = 0xFFFFFFFF;

   private:
    HttpHandler* m_handler;
  };

  // Reads the answer in steps of this size.
  static constexpr uint64_t bufStep = 512;
  // Reconnects in a row without a complete answer before the handler gives up.
  static constexpr uint32_t kMaxEmptyReconnects = 3;

  HttpHandler(std::shared_ptr<Config> config, std::shared_ptr<HXZAEndpointHolder> target);
  ~HttpHandler() override;

  // Connects the socket to the configuration's first address (a stopped handler starts afresh).
  bool start(HXZCommonSocket* socket, HXZADataHandler* handler) override;
  void stop(HXZCommonSocket* socket, HXZADataHandler* handler) override;

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;

  // The proxy list's authenticator, or null.
  static HX_ProxyAuthenticator* getAuthenticator();
  // "host:port" of the target, an IPv6 literal in brackets.
  std::string getTargetBind() const;

  State state() const { return m_state; }
  // The request as last built (empty once the tunnel stands).
  std::string requestText() const;

 private:
  bool fillSendBuf();
  int32_t sendRequest(bool build);
  int32_t processResponse();
  void resetConnection();
  // A new connection to the proxy after it closed the last one: 1 when it could not be made or
  // too many came to nothing, else 0.
  int32_t reconnect();
  std::shared_ptr<HttpAuthSession> createAuthSession(
      const std::string& value, const std::list<hx::http::AuthChallenge>& challenges);
  bool requestCredentialsFromGui(HX_ProxyAuthenticator* authenticator, HttpAuthSession& session);
  std::shared_ptr<HttpAuthSession> authSession() const;
  // The user answered: continue with the request.
  void onCredentials();

  AuthListener m_listener;
  uint32_t m_usedCredentials = 0;
  HXNetMessage m_request;
  hx::http::Response m_response;
  HXZADataHandler* m_dataHandler = nullptr;
  HXZCommonSocket* m_socket = nullptr;
  State m_state = stateIdle;
  // Reconnects in a row after connections that brought no complete answer.
  uint32_t m_emptyReconnects = 0;
  // Whether the current connection brought a complete answer.
  bool m_answered = false;
  // Set when the user's answer arrives (any thread), taken by whichever of the close and the
  // answer comes second, so that exactly one of them connects again after a close.
  std::atomic<bool> m_credentialsArrived{false};
};

}  // namespace hx::netproxy
