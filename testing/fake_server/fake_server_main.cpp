// hx_fake_server: the fake conferencing server as a program of its own. Prints "port N" once it
// listens on 127.0.0.1, then serves until SIGINT or SIGTERM, printing every message it receives
// and every protocol violation it records.
//
//   hx_fake_server [--port N] [--tls-cert FILE --tls-key FILE] [--server-id ID]
//                  [--client-id ID] [--result N] [--idle-timeout MS]
//                  [--secure-cert FILE --secure-key FILE [--secure-chain FILE]...]
//                  [--account LOGIN:PASSWORD]...
//
// With --account the server's login, network-configuration, client and conference services and
// its "LOG" sink run and accept that user (several may be given, each on a connection of its own). With --secure-cert the reply grants the secure handshake,
// proved with that certificate, its key and the intermediates given (PEM files).

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "testing/fake_server/fake_conference.h"
#include "testing/fake_server/fake_ds_control.h"
#include "testing/fake_server/fake_presence.h"
#include "testing/fake_server/fake_server.h"
#include "testing/fake_server/fake_services.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: hx_fake_server [--port N] [--tls-cert FILE --tls-key FILE] "
               "[--server-id ID] [--client-id ID] [--result N] [--idle-timeout MS] "
               "[--secure-cert FILE --secure-key FILE [--secure-chain FILE]...] "
               "[--account LOGIN:PASSWORD]...\n");
}

// The whole file, or "" when it cannot be read.
std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

bool ParseArguments(int argc, char** argv, hx::testing::FakeServerOptions& options,
                    std::vector<hx::testing::FakeAccount>& accounts) {
  hx::testing::TransportHandshakeReply& reply = options.connection.handshake_reply;
  hx::testing::SecureIdentity& identity = options.connection.secure_identity;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--port") {
      options.port = static_cast<uint16_t>(std::atoi(value));
    } else if (name == "--tls-cert") {
      options.tls_certificate_path = value;
    } else if (name == "--tls-key") {
      options.tls_private_key_path = value;
    } else if (name == "--server-id") {
      reply.server_id = value;
    } else if (name == "--client-id") {
      reply.client_id = value;
    } else if (name == "--result") {
      reply.result = static_cast<uint8_t>(std::atoi(value));
    } else if (name == "--idle-timeout") {
      reply.idle_timeout_ms = static_cast<uint16_t>(std::atoi(value));
    } else if (name == "--secure-cert") {
      identity.certificate_pem = ReadFile(value);
      reply.secure = true;
    } else if (name == "--secure-key") {
      identity.private_key_pem = ReadFile(value);
    } else if (name == "--secure-chain") {
      identity.chain_pems.push_back(ReadFile(value));
    } else if (name == "--account") {
      const char* colon = std::strchr(value, ':');
      if (colon == nullptr || colon == value) return false;
      hx::testing::FakeAccount account;
      account.login.assign(value, colon);
      account.password = colon + 1;
      accounts.push_back(account);
    } else {
      return false;
    }
  }
  return !reply.secure || (!identity.certificate_pem.empty() && !identity.private_key_pem.empty());
}

void PrintNews(const hx::testing::FakeServer& server, size_t& messages_seen,
               size_t& violations_seen) {
  const auto messages = server.Messages();
  for (; messages_seen < messages.size(); ++messages_seen) {
    const auto& message = messages[messages_seen];
    std::printf(
        "connection %d: %s %s seq %u method \"%s\"\n", message.connection,
        message.control ? "control" : "to",
        message.control ? message.frame.names.add_string.c_str() : message.service().c_str(),
        message.frame.sequence, message.method.c_str());
  }
  const auto violations = server.Violations();
  for (; violations_seen < violations.size(); ++violations_seen) {
    std::printf("VIOLATION %s\n", violations[violations_seen].c_str());
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  hx::testing::FakeServerOptions options;
  std::vector<hx::testing::FakeAccount> accounts;
  if (!ParseArguments(argc, argv, options, accounts)) {
    Usage();
    return 2;
  }
  // Block the stop signals before the server thread starts, so that only sigtimedwait takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  hx::testing::FakeServer server(options);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "hx_fake_server: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<hx::testing::FakeServices> services;
  std::unique_ptr<hx::testing::FakeConference> conference;
  std::unique_ptr<hx::testing::FakeDsControl> ds_control;
  std::unique_ptr<hx::testing::FakePresence> presence;
  if (!accounts.empty()) {
    services = std::make_unique<hx::testing::FakeServices>(
        server, options.connection.handshake_reply.server_id);
    for (const auto& account : accounts) services->AddAccount(account);
    conference = std::make_unique<hx::testing::FakeConference>(
        server, *services, options.connection.handshake_reply.server_id);
    ds_control = std::make_unique<hx::testing::FakeDsControl>(server, *services);
    presence = std::make_unique<hx::testing::FakePresence>(server, *services);
  }
  std::printf("port %u\n", server.port());
  std::fflush(stdout);

  size_t messages_seen = 0;
  size_t violations_seen = 0;
  const timespec period = {0, 200 * 1000 * 1000};
  while (sigtimedwait(&stop_signals, nullptr, &period) < 0) {
    PrintNews(server, messages_seen, violations_seen);
  }
  ds_control.reset();
  conference.reset();
  services.reset();
  server.Stop();
  PrintNews(server, messages_seen, violations_seen);
  return 0;
}
