#include "testing/fake_server/byte_stream.h"

#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>

namespace hx::testing {
namespace {

int ClampToInt(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

}  // namespace

bool PlainStream::Open(bool& failed) {
  failed = false;
  return true;
}

long PlainStream::Read(uint8_t* buffer, size_t size) {
  const ssize_t n = recv(fd_, buffer, size, 0);
  if (n > 0) return n;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return kWouldBlock;
  return kClosed;
}

long PlainStream::Write(const uint8_t* data, size_t size) {
  const ssize_t n = send(fd_, data, size, MSG_NOSIGNAL);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kWouldBlock;
  return kClosed;
}

short PlainStream::PollEvents(bool want_read, bool want_write) const {
  return static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0));
}

TlsStream::TlsStream(SSL_CTX* context, int fd) : ssl_(SSL_new(context)) {
  if (ssl_ == nullptr) return;
  SSL_set_fd(ssl_, fd);
  // Pieces of a cut message are written from a buffer that may have moved between attempts.
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_set_accept_state(ssl_);
}

TlsStream::~TlsStream() { SSL_free(ssl_); }

long TlsStream::Outcome(int result, short& waits_for) {
  waits_for = 0;
  if (result > 0) return result;
  const int error = SSL_get_error(ssl_, result);
  ERR_clear_error();
  if (error == SSL_ERROR_WANT_READ) waits_for = POLLIN;
  if (error == SSL_ERROR_WANT_WRITE) waits_for = POLLOUT;
  return waits_for != 0 ? kWouldBlock : kClosed;
}

bool TlsStream::Open(bool& failed) {
  failed = false;
  if (open_) return true;
  if (ssl_ == nullptr) {
    failed = true;
    return false;
  }
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    open_ = true;
    handshake_waits_for_ = 0;
    return true;
  }
  failed = Outcome(result, handshake_waits_for_) == kClosed;
  return false;
}

long TlsStream::Read(uint8_t* buffer, size_t size) {
  short waits_for = 0;  // a read that blocks waits for more input, which the owner polls for
  return Outcome(SSL_read(ssl_, buffer, ClampToInt(size)), waits_for);
}

long TlsStream::Write(const uint8_t* data, size_t size) {
  return Outcome(SSL_write(ssl_, data, ClampToInt(size)), write_waits_for_);
}

short TlsStream::PollEvents(bool want_read, bool want_write) const {
  if (!open_) return handshake_waits_for_;
  short events = want_read ? POLLIN : 0;
  if (want_write)
    events = static_cast<short>(events | (write_waits_for_ ? write_waits_for_ : POLLOUT));
  return events;
}

SSL_CTX* MakeTlsServerContext(const char* certificate_path, const char* private_key_path) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) return nullptr;
  if (SSL_CTX_use_certificate_chain_file(context, certificate_path) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, private_key_path, SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    ERR_clear_error();
    SSL_CTX_free(context);
    return nullptr;
  }
  return context;
}

}  // namespace hx::testing
