#pragma once
// Real HTTP proxies for tests, each on 127.0.0.1 and a free port, stopped at destruction:
//  - squid, with Basic (basic_ncsa_auth over an htpasswd file made with "openssl passwd") or
//    Digest (digest_file_auth over a plain password file) authentication, CONNECT to any port,
//    a hosts file of its own (so that a test name resolves only inside the proxy), no cache, its
//    own pid and log files, and no wait at shutdown;
//  - squid without authentication, for local clients only, as the upstream of another proxy;
//  - tinyproxy, with Basic authentication, optionally sending every request through an upstream
//    HTTP proxy (tinyproxy resolves names with the system's resolver and has no hosts file of its
//    own: a squid upstream with a hosts file gives it names that only the proxies know).
// Both are started as the current user; as root they drop to an unprivileged user, so their
// folder is made writable for everyone.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "testing/test_support.h"

namespace hx::testing {

class SquidProxy {
 public:
  enum class Auth { basic, digest, none };
  struct Options {
    Auth auth = Auth::basic;
    std::string user = "hxuser";
    std::string password = "hx pass";
    std::string realm = "hx squid";
    // name -> address, answered by the proxy's own hosts file
    std::map<std::string, std::string> hosts;
  };

  // `squid` and `openssl` are the programs' paths. ready() tells whether it answers.
  SquidProxy(const std::string& squid, const std::string& openssl, const Options& options);
  ~SquidProxy();

  bool ready() const { return m_ready; }
  uint16_t port() const { return m_port; }
  // The end of the proxy's cache log, for failure messages.
  std::string Log() const;

 private:
  TempDir m_dir;
  uint16_t m_port = 0;
  std::unique_ptr<ChildProcess> m_process;
  bool m_ready = false;
};

class TinyProxy {
 public:
  // `upstreamPort`: when not 0, requests go on through the HTTP proxy on 127.0.0.1 and that port.
  TinyProxy(const std::string& tinyproxy, const std::string& user, const std::string& password,
            uint16_t upstreamPort = 0);
  ~TinyProxy();

  bool ready() const { return m_ready; }
  uint16_t port() const { return m_port; }
  std::string Log() const;

 private:
  TempDir m_dir;
  uint16_t m_port = 0;
  std::unique_ptr<ChildProcess> m_process;
  bool m_ready = false;
};

}  // namespace hx::testing
