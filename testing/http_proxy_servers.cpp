#include "testing/http_proxy_servers.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace hx::testing {

namespace {

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out);
}

std::string ReadTail(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string all = text.str();
  return all.size() > 4000 ? all.substr(all.size() - 4000) : all;
}

// The output of a command line, without its last line break; "" on failure.
std::string CommandOutput(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// The folder of squid's helpers, next to where Debian installs them.
std::string SquidHelper(const std::string& name) {
  for (const char* dir : {"/usr/lib/squid/", "/usr/lib64/squid/", "/usr/libexec/squid/"}) {
    const std::string path = std::string(dir) + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// As root the proxies drop to an unprivileged user, which must reach their files.
void OpenUp(const std::string& path) { chmod(path.c_str(), 0777); }

}  // namespace

SquidProxy::SquidProxy(const std::string& squid, const std::string& openssl,
                       const Options& options) {
  OpenUp(m_dir.path());
  std::string auth;
  if (options.auth == Auth::basic) {
    const std::string hash =
        CommandOutput(Quoted(openssl) + " passwd -apr1 " + Quoted(options.password));
    if (hash.empty() || !WriteFile(m_dir.File("passwd"), options.user + ":" + hash + "\n")) return;
    const std::string helper = SquidHelper("basic_ncsa_auth");
    if (helper.empty()) return;
    auth = "auth_param basic program " + helper + " " + m_dir.File("passwd") + "\n" +
           "auth_param basic realm " + options.realm + "\n" + "auth_param basic children 2\n";
  } else if (options.auth == Auth::digest) {
    if (!WriteFile(m_dir.File("digest"), options.user + ":" + options.password + "\n")) return;
    const std::string helper = SquidHelper("digest_file_auth");
    if (helper.empty()) return;
    auth = "auth_param digest program " + helper + " " + m_dir.File("digest") + "\n" +
           "auth_param digest realm " + options.realm + "\n" + "auth_param digest children 2\n" +
           "auth_param digest nonce_max_count 1000\n";
  }
  std::string hosts = "127.0.0.1 localhost\n";
  for (const auto& [name, address] : options.hosts) hosts += address + " " + name + "\n";
  WriteFile(m_dir.File("hosts"), hosts);
  for (const char* file : {"passwd", "digest", "hosts"}) chmod(m_dir.File(file).c_str(), 0644);
  const std::string access = options.auth == Auth::none ? "acl local src 127.0.0.1/32\n"
                                                          "http_access allow local\n"
                                                        : "acl authed proxy_auth REQUIRED\n"
                                                          "http_access allow authed\n";

  for (int attempt = 0; attempt < 3 && !m_ready; ++attempt) {
    m_port = FreeLoopbackPort(SOCK_STREAM);
    const std::string config =
        "http_port 127.0.0.1:" + std::to_string(m_port) + "\n" + auth + access +
        "http_access deny all\n"
        "cache deny all\n"
        "cache_mem 4 MB\n"
        "pid_filename " +
        m_dir.File("squid.pid") + "\n" + "cache_log " + m_dir.File("cache.log") + "\n" +
        "access_log " + m_dir.File("access.log") + "\n" +
        "cache_store_log none\n"
        "coredump_dir " +
        m_dir.path() + "\n" + "hosts_file " + m_dir.File("hosts") + "\n" +
        "dns_nameservers 127.0.0.1\n"
        "netdb_filename none\n"
        "pinger_enable off\n"
        "shutdown_lifetime 0 seconds\n" +
        (geteuid() == 0 ? "cache_effective_user nobody\ncache_effective_group nogroup\n" : "");
    WriteFile(m_dir.File("squid.conf"), config);
    m_process = std::make_unique<ChildProcess>(
        std::vector<std::string>{squid, "-N", "-f", m_dir.File("squid.conf")},
        m_dir.File("squid.out"));
    m_ready = m_process->started() && WaitForTcpListener(m_port, 20000);
    if (!m_ready && m_process) m_process->Stop(SIGKILL);
  }
}

SquidProxy::~SquidProxy() {
  if (m_process) m_process->Stop(SIGTERM);
}

std::string SquidProxy::Log() const {
  return ReadTail(m_dir.File("squid.out")) + ReadTail(m_dir.File("cache.log")) +
         ReadTail(m_dir.File("access.log"));
}

TinyProxy::TinyProxy(const std::string& tinyproxy, const std::string& user,
                     const std::string& password, uint16_t upstreamPort) {
  const std::string upstream =
      upstreamPort == 0 ? "" : "Upstream http 127.0.0.1:" + std::to_string(upstreamPort) + "\n";
  OpenUp(m_dir.path());
  for (int attempt = 0; attempt < 3 && !m_ready; ++attempt) {
    m_port = FreeLoopbackPort(SOCK_STREAM);
    const std::string config = "Port " + std::to_string(m_port) + "\n" +
                               "Listen 127.0.0.1\n"
                               "Timeout 60\n"
                               "MaxClients 20\n"
                               "LogLevel Info\n"
                               "LogFile \"" +
                               m_dir.File("tinyproxy.log") + "\"\n" + "PidFile \"" +
                               m_dir.File("tinyproxy.pid") + "\"\n" + "BasicAuth " + user + " " +
                               password + "\n" + upstream +
                               (geteuid() == 0 ? "User nobody\nGroup nogroup\n" : "");
    WriteFile(m_dir.File("tinyproxy.conf"), config);
    m_process = std::make_unique<ChildProcess>(
        std::vector<std::string>{tinyproxy, "-d", "-c", m_dir.File("tinyproxy.conf")},
        m_dir.File("tinyproxy.out"));
    m_ready = m_process->started() && WaitForTcpListener(m_port, 10000);
    if (!m_ready && m_process) m_process->Stop(SIGKILL);
  }
}

TinyProxy::~TinyProxy() {
  if (m_process) m_process->Stop(SIGTERM);
}

std::string TinyProxy::Log() const {
  return ReadTail(m_dir.File("tinyproxy.out")) + ReadTail(m_dir.File("tinyproxy.log"));
}

}  // namespace hx::testing
