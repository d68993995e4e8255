#include "core/net/tls/tls_engine.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <string>

#include "core/base/ios_log.h"
#include "core/net/tls/tls_context.h"
#include "core/security/pem_reader.h"
#include "core/security/root_certificate.h"

namespace {

constexpr int kAlertRecord = 21;
constexpr unsigned char kFatalLevel = 2;

// Where the context keeps its HXZTLSContext, reserved once for the process.
int ContextIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int PrintErrorLine(const char* text, size_t length, void*) {
  std::string line(text, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  ios_log("SSL handshake error! Error string: %s", line.c_str());
  return 1;
}

int ClampLength(size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

}  // namespace

HXTLSEngine::HXTLSEngine(HXZTLSContext& context) : m_context(context) {}

HXTLSEngine::~HXTLSEngine() { Reset(); }

void HXTLSEngine::PrintErrors() { ERR_print_errors_cb(PrintErrorLine, nullptr); }

bool HXTLSEngine::InitSsl() {
  if (m_ctx != nullptr || ContextIndex() < 0) return false;
  ERR_clear_error();
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  m_ctx = SSL_CTX_new(TLS_client_method());
  if (in == nullptr || out == nullptr || m_ctx == nullptr ||
      SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(m_ctx, TLS1_2_VERSION) != 1) {
    PrintErrors();
    BIO_free(in);
    BIO_free(out);
    Reset();
    return false;
  }
  // Empty BIOs ask the engine to retry instead of reporting the end of the stream.
  BIO_set_mem_eof_return(in, -1);
  BIO_set_mem_eof_return(out, -1);
  SSL_CTX_set_msg_callback(m_ctx, &HXTLSEngine::OnMessage);
  SSL_CTX_set_ex_data(m_ctx, ContextIndex(), &m_context);
  SSL_CTX_set_verify(m_ctx, SSL_VERIFY_PEER, &HXTLSEngine::OnVerify);
  SSL_CTX_set_mode(m_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  m_ssl = SSL_new(m_ctx);
  if (m_ssl == nullptr) {
    PrintErrors();
    BIO_free(in);
    BIO_free(out);
    Reset();
    return false;
  }
  SSL_set_app_data(m_ssl, this);
  SSL_set_bio(m_ssl, in, out);
  m_in = in;
  m_out = out;
  SSL_set_connect_state(m_ssl);
  return true;
}

bool HXTLSEngine::AddCaCert() {
  const std::string root = hx::BuiltInRootCertificate();
  return !root.empty() && AddCert(root.c_str());
}

bool HXTLSEngine::AddCert(const char* pem) {
  if (m_ctx == nullptr || pem == nullptr) return false;
  ERR_clear_error();
  const hx::ssl::X509Ptr certificate =
      hx::ssl::ReadPemCertificate(pem, std::strlen(pem), HX_STORAGE_MEMORY);
  // The store takes its own reference to the certificate.
  const bool added =
      certificate && X509_STORE_add_cert(SSL_CTX_get_cert_store(m_ctx), certificate.get()) == 1;
  if (!added) PrintErrors();
  return added;
}

void HXTLSEngine::Reset() {
  SSL_free(m_ssl);  // frees both BIOs with it
  SSL_CTX_free(m_ctx);
  m_ssl = nullptr;
  m_ctx = nullptr;
  m_in = nullptr;
  m_out = nullptr;
  m_fatalAlert = false;
}

int HXTLSEngine::HandshakeStep() {
  if (m_ssl == nullptr) return -1;
  ERR_clear_error();
  const int result = SSL_do_handshake(m_ssl);
  int step = 1;
  if (result != 1) {
    const int error = SSL_get_error(m_ssl, result);
    step = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : -1;
    if (step < 0) PrintErrors();
  }
  AfterEngineCall();
  return step;
}

bool HXTLSEngine::Established() const { return m_ssl != nullptr && SSL_is_init_finished(m_ssl); }

size_t HXTLSEngine::PendingOutput() const { return m_out == nullptr ? 0 : BIO_ctrl_pending(m_out); }

size_t HXTLSEngine::ReadOutput(void* out, size_t length) {
  if (m_out == nullptr || length == 0) return 0;
  const int n = BIO_read(m_out, out, ClampLength(length));
  return n > 0 ? static_cast<size_t>(n) : 0;
}

bool HXTLSEngine::WriteInput(const void* data, size_t length) {
  if (length == 0) return true;
  if (m_in == nullptr || length > INT_MAX) return false;
  ERR_clear_error();
  if (BIO_write(m_in, data, static_cast<int>(length)) == static_cast<int>(length)) return true;
  PrintErrors();
  return false;
}

int HXTLSEngine::Encrypt(const void* data, size_t length) {
  if (m_ssl == nullptr) return -1;
  if (length == 0) return 0;
  ERR_clear_error();
  int result = SSL_write(m_ssl, data, ClampLength(length));
  if (result <= 0) {
    const int error = SSL_get_error(m_ssl, result);
    result = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : -1;
    if (result < 0) PrintErrors();
  }
  AfterEngineCall();
  return result;
}

size_t HXTLSEngine::Decrypt(void* out, size_t length) {
  if (m_ssl == nullptr || length == 0) return 0;
  ERR_clear_error();
  const int result = SSL_read(m_ssl, out, ClampLength(length));
  if (result <= 0) {
    const int error = SSL_get_error(m_ssl, result);
    if (error == SSL_ERROR_SSL || error == SSL_ERROR_SYSCALL) PrintErrors();
  }
  AfterEngineCall();
  return result > 0 ? static_cast<size_t>(result) : 0;
}

bool HXTLSEngine::PeerClosed() const {
  return m_ssl != nullptr && (SSL_get_shutdown(m_ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
}

void HXTLSEngine::Shutdown() {
  if (m_ssl == nullptr) return;
  SSL_shutdown(m_ssl);
  // Shutting down a connection that failed or is still in its handshake only leaves errors
  // behind; they say nothing new.
  ERR_clear_error();
}

void HXTLSEngine::AfterEngineCall() {
  if (!m_fatalAlert) return;
  m_fatalAlert = false;
  Shutdown();
}

int HXTLSEngine::OnVerify(int preverify_ok, X509_STORE_CTX* store) {
  if (!preverify_ok) ios_log("SSL handshake: warning: endpoint sent an invalid certificate!");
  auto* ssl = static_cast<SSL*>(
      X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* context = ssl == nullptr ? nullptr
                                 : static_cast<HXZTLSContext*>(
                                       SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ContextIndex()));
  if (context != nullptr) {
    X509* current = X509_STORE_CTX_get_current_cert(store);
    X509* copy = current == nullptr ? nullptr : X509_dup(current);
    if (copy != nullptr) context->peerCertificate.SetCert(copy);
    context->verifyResult = preverify_ok ? HXZTLSContext::kVerifyPassed : HXZTLSContext::kVerifyFailed;
  }
  return preverify_ok;
}

void HXTLSEngine::OnMessage(int, int, int content_type, const void* buf, size_t len, SSL* ssl,
                            void*) {
  if (content_type != kAlertRecord || len < 1) return;
  if (static_cast<const unsigned char*>(buf)[0] != kFatalLevel) return;
  auto* engine = static_cast<HXTLSEngine*>(SSL_get_app_data(ssl));
  if (engine != nullptr) engine->m_fatalAlert = true;
}
