#pragma once
// The fake conferencing server: the far end of the client's transport connection in tests.
//
// It listens on 127.0.0.1 or another loopback address (optionally behind TLS), answers each
// client's transport handshake as configured, runs the secure handshake when both sides agree on
// it, and then reads, checks and records every transport message the client sends: the framing,
// checksums and header fields are checked on the server's own code path, and every breach is
// recorded as a violation that tests can assert to be absent. It answers pings by itself; everything else it sends is scripted by
// the test through the connection (FakeConnection) or by a per-service handler.
//
//   FakeServer server;
//   ASSERT_TRUE(server.Start());
//   server.SetServiceHandler("AUTH", [](FakeConnection& c, const ReceivedMessage& m) {
//     HX_Container answer; answer.AddValue("Method", "LoginResult");
//     c.Reply(m, answer);
//   });
//   ... the client connects to server.port() ...
//   auto connection = server.WaitForConnection(5000);
//   EXPECT_TRUE(server.WaitForMessage([](auto& m) { return m.method == "Login"; }, 5000));
//   EXPECT_TRUE(server.Violations().empty());
//
// One thread runs every socket with poll(); the public operations are thread-safe.

#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/fake_server/fake_connection.h"
#include "testing/fake_server/server_journal.h"
#include "testing/fake_server/wake_pipe.h"

namespace hx::testing {

struct FakeServerOptions {
  uint16_t port = 0;  // 0: a free port
  // The IPv4 address to listen on: 127.0.0.1, or another of 127.0.0.0/8 so that tests running
  // at once can each have a fixed port (4307) of their own.
  std::string bind_address = "127.0.0.1";
  // Both set: TLS in front of the protocol, with this certificate chain and key (PEM files).
  std::string tls_certificate_path;
  std::string tls_private_key_path;
  // The receive buffer of accepted sockets (0: the system's); small, it makes a client that
  // keeps writing to a server that stopped reading block sooner.
  int receive_buffer_bytes = 0;
  // How new connections are answered and treated.
  ConnectionSettings connection;
};

class FakeServer {
 public:
  explicit FakeServer(FakeServerOptions options = {});
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // Binds, listens and starts the server thread; false (with the reason in `error` when given)
  // when the port cannot be bound or the TLS files cannot be used.
  bool Start(std::string* error = nullptr);
  // Closes every connection and the listener and ends the thread. Also done by the destructor.
  void Stop();
  uint16_t port() const { return port_; }

  // The settings of connections accepted from now on.
  void SetConnectionSettings(const ConnectionSettings& settings);
  // Service messages to `service` go to `handler` (an empty handler removes it). Returns once a
  // call of the old handler under way has ended.
  void SetServiceHandler(const std::string& service, ServiceHandler handler);

  // The connection with id `id` (1 for the first one accepted, and so on), waiting for it up to
  // `timeout_ms`; null on time-out.
  std::shared_ptr<FakeConnection> WaitForConnection(int timeout_ms, int id = 1);
  std::vector<std::shared_ptr<FakeConnection>> Connections() const;

  // Whether the journal keeps every message (the default); see ServerJournal::SetKeepMessages.
  void SetKeepMessages(bool keep) { journal_->SetKeepMessages(keep); }
  std::vector<ReceivedMessage> Messages() const { return journal_->Messages(); }
  std::vector<std::string> Violations() const { return journal_->Violations(); }
  // See ServerJournal::WaitForMessage; `predicate` runs under the journal's lock.
  bool WaitForMessage(const MessagePredicate& predicate, int timeout_ms,
                      ReceivedMessage* found = nullptr) const {
    return journal_->WaitForMessage(predicate, timeout_ms, found);
  }

 private:
  void Run();
  void AcceptAll();
  ServiceHandler FindHandler(const std::string& service) const;
  // What a connection calls for a message to `service`: the handler found at the time of the call.
  ServiceHandler Dispatcher(const std::string& service);

  FakeServerOptions options_;
  const std::shared_ptr<ServerJournal> journal_ = std::make_shared<ServerJournal>();
  const std::shared_ptr<WakePipe> wake_ = std::make_shared<WakePipe>();
  SSL_CTX* tls_context_ = nullptr;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};

  // Held while a handler runs (on the server thread) and while handlers change; recursive, as a
  // handler may change handlers. Taken before mutex_.
  std::recursive_mutex dispatch_mutex_;
  mutable std::mutex mutex_;
  mutable std::condition_variable accepted_;
  ConnectionSettings settings_;
  std::map<std::string, ServiceHandler> handlers_;
  std::vector<std::shared_ptr<FakeConnection>> connections_;

  // Server thread only: the connections still open.
  std::vector<std::shared_ptr<FakeConnection>> open_;
};

}  // namespace hx::testing
