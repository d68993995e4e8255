// Messages per second through the transport connection over loopback, against the fake server:
// from the server to the client (cut, deciphered, deserialised and dispatched by the client) and
// from the client to the server (enciphered and written by the client), with the messages
// enciphered by the transport after its secure handshake, or plain inside TLS. Beside them, in
// the same run, a raw loopback TCP echo of the same bytes.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/base/container.h"
#include "core/client/recording_manager_test_util.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/common_socket.h"
#include "core/security/root_certificate.h"
#include "core/transport/transport.h"
#include "core/transport/transport_test_pki.h"
#include "core/wire/client_message.h"
#include "testing/fake_server/fake_server.h"
#include "testing/fake_server/server_messages.h"

namespace {

constexpr int kBatch = 10000;  // messages per iteration
constexpr int kWaitMs = 120000;

using hx::testing::MessageFrame;

HX_Container Body(int index) {
  HX_Container body;
  body.AddValue("Method", "bench");
  body.AddValue("Index", int32_t{index});
  return body;
}

HXZServer* Loop() {
  static HXZServer* loop = [] {
    HXZServer* made = HXZServer::installNetworkManager();
    made->startServerLoop();
    return made;
  }();
  return loop;
}

// A connected transport to a fake server of its own.
class Link {
 public:
  explicit Link(bool over_tls) {
    Loop();
    hx::testing::TransportTestPki* pki = hx::testing::SharedTransportPki();
    if (pki == nullptr) return;
    hx::SetBuiltInRootCertificate(pki->root.cert_pem);
    HXZCommonSocket::SetDenyTLS(!over_tls);
    hx::testing::FakeServerOptions options;
    if (over_tls) {
      options.tls_certificate_path = pki->server.cert_path;
      options.tls_private_key_path = pki->server.key_path;
    } else {
      options.connection.handshake_reply.secure = true;
      options.connection.secure_identity = pki->Identity(pki->server);
    }
    m_server = std::make_unique<hx::testing::FakeServer>(options);
    if (!m_server->Start()) return;
    auto param = std::make_shared<HX_TransportConnectionParam>();
    param->setServerAddress("127.0.0.1", m_server->port());
    m_transport.ConnectServer(param, kWaitMs);
    for (int waited = 0; waited < kWaitMs && m_transport.getTransportState() != HXZTransport::stateConnected; waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_connection = m_server->WaitForConnection(kWaitMs);
  }
  ~Link() {
    m_transport.DisconnectServer();
    HXZCommonSocket::SetDenyTLS(false);
  }

  bool Up() const {
    return m_connection != nullptr && m_transport.getTransportState() == HXZTransport::stateConnected;
  }
  HXZTransport& transport() { return m_transport; }
  hx::testing::FakeConnection& connection() { return *m_connection; }
  hx::testing::FakeServer& server() { return *m_server; }
  hx::testing::RecordingManager& service() { return m_service; }

 private:
  hx::testing::RecordingManager m_service{"TEST"};
  std::unique_ptr<hx::testing::FakeServer> m_server;
  HXZTransport m_transport;
  std::shared_ptr<hx::testing::FakeConnection> m_connection;
};

void ServerToClient(benchmark::State& state, bool over_tls) {
  Link link(over_tls);
  if (!link.Up()) {
    state.SkipWithError("not connected (is the openssl tool installed?)");
    return;
  }
  std::vector<MessageFrame> batch;
  for (int index = 0; index < kBatch; ++index) batch.push_back(hx::testing::ServiceMessage("SRV", "TEST", Body(index)));
  size_t expected = 0;
  for (auto _ : state) {
    expected += kBatch;
    link.connection().SendTogether(batch);
    if (!link.service().WaitForCount(expected, kWaitMs)) state.SkipWithError("messages lost");
  }
  state.SetItemsProcessed(static_cast<int64_t>(expected));
}

void ClientToServer(benchmark::State& state, bool over_tls) {
  Link link(over_tls);
  if (!link.Up()) {
    state.SkipWithError("not connected (is the openssl tool installed?)");
    return;
  }
  std::vector<uint8_t> body;
  {
    uint8_t* bytes = nullptr;
    size_t size = 0;
    Body(0).SerializeAlloc(bytes, size);
    body.assign(bytes, bytes + size);
    std::free(bytes);
  }
  // Counted as the server takes them, on its own thread, and not kept: the client's side of the
  // other direction keeps no bodies either.
  std::atomic<int> arrived{0};
  link.server().SetKeepMessages(false);
  link.server().SetServiceHandler("SINK", [&arrived](hx::testing::FakeConnection&, const hx::testing::ReceivedMessage&) {
    arrived.fetch_add(1);
  });
  int sent = 0;
  for (auto _ : state) {
    for (int index = 0; index < kBatch; ++index) {
      link.transport().QueuePacket(new HX_ClientMessage("TEST", "52", "SINK", 20000, body.data(),
                                                        static_cast<uint32_t>(body.size()),
                                                        link.transport().GetNextSequence(), "", nullptr,
                                                        nullptr, nullptr, nullptr));
    }
    sent += kBatch;
    int waited = 0;
    for (; arrived.load() < sent && waited < kWaitMs; ++waited) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (arrived.load() < sent) state.SkipWithError("messages lost");
  }
  state.SetItemsProcessed(sent);
}

void BM_ServerToClientEnciphered(benchmark::State& state) { ServerToClient(state, false); }
void BM_ServerToClientPlainOverTls(benchmark::State& state) { ServerToClient(state, true); }
void BM_ClientToServerEnciphered(benchmark::State& state) { ClientToServer(state, false); }
void BM_ClientToServerPlainOverTls(benchmark::State& state) { ClientToServer(state, true); }
BENCHMARK(BM_ServerToClientEnciphered)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServerToClientPlainOverTls)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClientToServerEnciphered)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClientToServerPlainOverTls)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same message bytes through a loopback TCP connection to a thread that echoes them.
void BM_RawLoopbackEcho(benchmark::State& state) {
  std::vector<uint8_t> stream;
  for (int index = 0; index < kBatch; ++index) {
    MessageFrame frame = hx::testing::ServiceMessage("SRV", "TEST", Body(index));
    frame.sequence = static_cast<uint32_t>(index + 1);
    const std::vector<uint8_t> bytes = hx::testing::EncodeMessage(frame);
    stream.insert(stream.end(), bytes.begin(), bytes.end());
  }
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::thread echo([listener] {
    const int peer = accept(listener, nullptr, nullptr);
    std::vector<uint8_t> buffer(64 * 1024);
    for (ssize_t n; (n = recv(peer, buffer.data(), buffer.size(), 0)) > 0;) {
      for (ssize_t at = 0; at < n;) at += send(peer, buffer.data() + at, static_cast<size_t>(n - at), 0);
    }
    close(peer);
  });
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
  std::vector<uint8_t> back(64 * 1024);
  int64_t messages = 0;
  for (auto _ : state) {
    // Writes and reads interleaved, so that neither side's buffers fill up and stall the other.
    size_t written = 0;
    size_t read = 0;
    while (read < stream.size()) {
      if (written < stream.size()) {
        const ssize_t n = send(client, stream.data() + written, std::min<size_t>(16384, stream.size() - written), MSG_DONTWAIT);
        if (n > 0) written += static_cast<size_t>(n);
      }
      const ssize_t n = recv(client, back.data(), back.size(), written < stream.size() ? MSG_DONTWAIT : 0);
      if (n > 0) read += static_cast<size_t>(n);
    }
    messages += kBatch;
  }
  state.SetItemsProcessed(messages);
  shutdown(client, SHUT_WR);
  echo.join();
  close(client);
  close(listener);
}
BENCHMARK(BM_RawLoopbackEcho)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
