#pragma once
// A small HTTP proxy of the tests' own, for what real proxies do not send: every answer comes
// from a script the test gives. It listens on 127.0.0.1 (a free port), reads each request head,
// asks the script what to do and does it: send bytes, then keep the connection for the next
// request, close it, reset it, stay silent, or relay the tunnel to a local port.
//
// It also checks Digest credentials on its own (written apart from the client's code): the uri
// must equal the request-line target and the response must be the one RFC 2617 gives.
//
// Thread-safe: one thread accepts, one thread serves each connection; the records are locked.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hx::testing {

struct ProxyRequest {
  std::string head;                            // the request line and headers, up to the empty line
  std::string method;                          // "CONNECT"
  std::string target;                          // as the request line writes it
  std::map<std::string, std::string> headers;  // names in lower case
  int connection = 0;                          // 0 for the first connection, counting up
  int index = 0;                               // the request's number over all connections
};

struct ProxyAction {
  enum After { keep, close, reset, silent, tunnel };
  std::string bytes;  // sent first
  After after = keep;
  uint16_t tunnel_port = 0;  // for tunnel: where to relay
};

class ScriptedHttpProxy {
 public:
  using Script = std::function<ProxyAction(const ProxyRequest&)>;

  explicit ScriptedHttpProxy(Script script);
  ~ScriptedHttpProxy();
  ScriptedHttpProxy(const ScriptedHttpProxy&) = delete;
  ScriptedHttpProxy& operator=(const ScriptedHttpProxy&) = delete;

  uint16_t port() const { return m_port; }
  std::vector<ProxyRequest> requests() const;
  int connections() const { return m_connections.load(); }

  // A Digest check of `request`'s "Proxy-Authorization" against user and password: true when
  // the uri is the request-line target and the response is right. `why` says what was wrong.
  static bool CheckDigest(const ProxyRequest& request, const std::string& user,
                          const std::string& password, std::string* why = nullptr);
  // The named field of a "Proxy-Authorization" Digest value, "" when absent.
  static std::string DigestField(const std::string& value, const std::string& name);
  // A 407 answer with the given challenge lines and an empty body.
  static std::string Answer407(const std::vector<std::string>& challenges,
                               const std::string& extra_headers = "");

 private:
  void AcceptLoop();
  void Serve(int handle, int connection);
  // Closes a served connection and forgets it.
  void CloseServed(int handle);

  Script m_script;
  int m_listener = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stopping{false};
  std::atomic<int> m_connections{0};
  std::thread m_acceptor;
  mutable std::mutex m_mutex;
  std::vector<ProxyRequest> m_requests;
  std::vector<std::thread> m_servers;
  std::vector<int> m_open;
};

}  // namespace hx::testing
