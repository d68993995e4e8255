#pragma once
// The byte pipe under one fake-server connection: the accepted socket itself, or TLS over it.
// Non-blocking; used only by the server thread.

#include <openssl/ssl.h>
#include <poll.h>

#include <cstddef>
#include <cstdint>

namespace hx::testing {

class ByteStream {
 public:
  // Read and Write answer a byte count, kWouldBlock, or kClosed (peer gone or failed).
  static constexpr long kWouldBlock = 0;
  static constexpr long kClosed = -1;

  virtual ~ByteStream() = default;
  // Moves the stream towards carrying data (the TLS handshake): true once it does; false while
  // it waits; sets `failed` when it never will.
  virtual bool Open(bool& failed) = 0;
  virtual long Read(uint8_t* buffer, size_t size) = 0;
  virtual long Write(const uint8_t* data, size_t size) = 0;
  // The poll events the stream needs, given what its owner wants to do.
  virtual short PollEvents(bool want_read, bool want_write) const = 0;
};

class PlainStream : public ByteStream {
 public:
  explicit PlainStream(int fd) : fd_(fd) {}
  bool Open(bool& failed) override;
  long Read(uint8_t* buffer, size_t size) override;
  long Write(const uint8_t* data, size_t size) override;
  short PollEvents(bool want_read, bool want_write) const override;

 private:
  int fd_;
};

// The server side of TLS over a non-blocking socket.
class TlsStream : public ByteStream {
 public:
  // `context` holds the server's certificate and key (MakeTlsServerContext).
  TlsStream(SSL_CTX* context, int fd);
  ~TlsStream() override;
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  bool Open(bool& failed) override;
  long Read(uint8_t* buffer, size_t size) override;
  long Write(const uint8_t* data, size_t size) override;
  short PollEvents(bool want_read, bool want_write) const override;

 private:
  // Maps an OpenSSL result to a byte count, kWouldBlock or kClosed, and tells which socket event
  // a blocked call waits for (a TLS write may have to read first, the handshake either way).
  long Outcome(int result, short& waits_for);

  SSL* ssl_;
  bool open_ = false;
  short handshake_waits_for_ = POLLIN;
  short write_waits_for_ = 0;
};

// A TLS server context with the certificate chain file and private key file; null on failure.
SSL_CTX* MakeTlsServerContext(const char* certificate_path, const char* private_key_path);

}  // namespace hx::testing
