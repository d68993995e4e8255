#pragma once
// The OpenSSL side of the TLS layer: one TLS 1.2 client connection over two memory BIOs. The
// layer moves bytes between the socket and the BIOs itself, so the engine never touches a
// descriptor: network input is written into the input BIO, and whatever the engine wants to send
// collects in the output BIO.
//
// The peer's certificate must chain to the deployment's root (hx::BuiltInRootCertificate); the
// outcome and the certificate are recorded in the HXZTLSContext given at construction. No host
// name is checked.
//
// Not locked: the TLS layer uses it on the network loop's thread. Failures are printed through
// ios_log, one line per OpenSSL error.

#include <openssl/ssl.h>

#include <cstddef>

struct HXZTLSContext;

class HXTLSEngine {
 public:
  // `context` must outlive the engine.
  explicit HXTLSEngine(HXZTLSContext& context);
  HXTLSEngine(const HXTLSEngine&) = delete;
  HXTLSEngine& operator=(const HXTLSEngine&) = delete;
  ~HXTLSEngine();

  // Makes the context and the connection in client mode; false when one cannot be made or they
  // exist already.
  bool InitSsl();
  // Trusts the deployment's root; false when there is none or it cannot be read.
  bool AddCaCert();
  // Trusts the first PEM certificate in `pem` (zero-terminated); false when none was added.
  bool AddCert(const char* pem);
  // Frees the connection and the context; InitSsl may follow.
  void Reset();

  // Runs the handshake as far as the input allows: 1 complete, 0 more network traffic needed,
  // -1 failed (a rejected peer certificate included).
  int HandshakeStep();
  bool Established() const;

  // Bytes waiting in the output BIO, and taking them out; ReadOutput returns the count.
  size_t PendingOutput() const;
  size_t ReadOutput(void* out, size_t length);
  // Hands network bytes to the engine; false (errors printed) unless all were taken.
  bool WriteInput(const void* data, size_t length);

  // Encrypts up to `length` plain bytes into the output BIO; the count taken, or -1 when the
  // engine failed (errors printed). 0 when the engine cannot take bytes now.
  int Encrypt(const void* data, size_t length);
  // Decrypted bytes, up to `length`; 0 when none is available now.
  size_t Decrypt(void* out, size_t length);
  // True once the peer's close notification arrived.
  bool PeerClosed() const;
  void Shutdown();

  // Prints OpenSSL's error queue through ios_log and empties it.
  static void PrintErrors();

 private:
  static int OnVerify(int preverify_ok, X509_STORE_CTX* store);
  static void OnMessage(int write_p, int version, int content_type, const void* buf, size_t len,
                        SSL* ssl, void* arg);
  // A fatal alert passed during the last call: shut the connection down now that the engine is
  // no longer inside its record processing.
  void AfterEngineCall();

  HXZTLSContext& m_context;
  SSL_CTX* m_ctx = nullptr;
  SSL* m_ssl = nullptr;
  BIO* m_in = nullptr;   // owned by m_ssl
  BIO* m_out = nullptr;  // owned by m_ssl
  bool m_fatalAlert = false;
};
