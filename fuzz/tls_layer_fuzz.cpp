// The TLS layer of a client socket fed an arbitrary byte stream as everything its peer sends:
// the server's handshake records and whatever follows them. The first input byte sets the size of
// each network read (1 + 71 * byte), so records arrive whole or cut at any point. The layer above
// reads whatever is decrypted and sends a little back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/socket/common_socket.h"
#include "core/net/socket/socket_helper_null.h"
#include "core/security/root_certificate.h"

namespace {

// The root of the seed corpus's server certificate (made with the openssl tool, valid to 2126).
const char kRootPem[] =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBljCCAT2gAwIBAgIUSgR9lgJtjFqd3do8ZHPdM8GlQYIwCgYIKoZIzj0EAwIw\n"
    "GDEWMBQGA1UEAwwNRnV6eiBUTFMgUm9vdDAgFw0yNjEyMTAyMzQ3MTBaGA8yMTI2\n"
    "MTExNjIzNDcxMFowGDEWMBQGA1UEAwwNRnV6eiBUTFMgUm9vdDBZMBMGByqGSM49\n"
    "AgEGCCqGSM49AwEHA0IABJLgkQEVrKVmP1inv8VWnf/EhuCNL0XGmmoqmz4am9L+\n"
    "QDNr/QVNVL1iI7cuxN7rdA6GqIsJPX6Gv85EOws/DpqjYzBhMB0GA1UdDgQWBBQP\n"
    "rxalvv8HyULd032me+ls2wHQJDAfBgNVHSMEGDAWgBQPrxalvv8HyULd032me+ls\n"
    "2wHQJDAPBgNVHRMBAf8EBTADAQH/MA4GA1UdDwEB/wQEAwIBBjAKBggqhkjOPQQD\n"
    "AgNHADBEAiANJaHWYhB9OF4adizyxJerr2LLEmnTgR/5zGLLazPi8QIgRc7Me4Ys\n"
    "4zy7chcnoMNb7YiJrab/9IDHeZ8NdpjDdfQ=\n"
    "-----END CERTIFICATE-----\n";

// The network as the layer sees it: reads take the next piece of the input; everything sent is
// accepted; every request to the loop succeeds and nothing comes back from it.
class PeerStream : public HXZASocketNullHelper {
 public:
  PeerStream(const uint8_t* data, size_t size, size_t read_size)
      : m_data(data), m_left(size), m_readSize(read_size) {}

  size_t RecvImp(void* buffer, size_t length, int, HXZADataHandler* handler) override {
    const size_t n = std::min({length, m_readSize, m_left});
    if (n > 0) std::memcpy(buffer, m_data, n);
    m_data += n;
    m_left -= n;
    handler->SetRecvStatus(n > 0 ? HXZRecvStatus::data : HXZRecvStatus::endOfStream);
    return n;
  }
  bool exhausted() const { return m_left == 0; }

 private:
  const uint8_t* m_data;
  size_t m_left;
  size_t m_readSize;
};

// The layer above the TLS layer.
class Client : public HXZCommonSocket {
 public:
  using HXZCommonSocket::HXZCommonSocket;
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    uint8_t buffer[4096];
    while (Recv(buffer, sizeof buffer, 0) > 0) {
    }
    return 0;
  }
  int32_t OnReadySendImp(HXZASocket*, HXZADataHandler*) override {
    Send("ping", 4, 0);
    return 0;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool root_set = (hx::SetBuiltInRootCertificate(kRootPem), true);
  (void)root_set;
  if (size == 0) return 0;
  auto* peer = new PeerStream(data + 1, size - 1, 1 + 71 * static_cast<size_t>(data[0]));
  Client client(peer, true, false);  // the socket owns the helper from here on
  HXSockAddr server;
  server.set(ip::Proto::tcp, "127.0.0.1", "443", 4, 0);
  if (!client.Connect(std::make_shared<HXZEndpointSockAddr>(server))) return 0;
  client.OnReadySend();  // connected: the handshake starts
  // One read per round; the bound covers the smallest reads of the longest inputs.
  for (size_t round = 0; round <= size && client.getTlsHandler() != nullptr; ++round) {
    const bool last = peer->exhausted();
    client.OnReadyRecv();
    client.OnReadySend();
    if (last) break;  // the end of the stream has been read
  }
  // The close that a failed handshake asked for: the layer leaves (and retries without TLS).
  client.eventClose(&client);
  return 0;
}
