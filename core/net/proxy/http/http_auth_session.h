#pragma once
// HTTP authentication towards a proxy: the parser of "Proxy-Authenticate" and
// "Proxy-Authentication-Info" values, and the Basic and Digest sessions that build
// "Proxy-Authorization" values from a user name and password. The Digest computation is the one
// of RFC 2617 (AuthDigest), in lower-case hex.
//
// The credentials numbering lets the caller tell which credentials a 407 refused: each request
// records the number it was built with, and hands it back with the challenge of the answer.
//
// A session belongs to one proxy configuration and is used on the network loop's thread only.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/net/proxy/http/http_auth_param.h"

namespace hx::http {

class AuthCredentialsSequencer {
 public:
  // 0 before the first credentials; raised by every new user name and password.
  uint32_t credentialsNumber() const { return m_credentials; }
  // The credentials number a proxy refused last (0 at the start: no credentials count as
  // refused).
  uint32_t refusedNumber() const { return m_refused; }

 protected:
  void nextCredentials() { m_credentials = m_credentials == 0xFFFFFFFF ? 1 : m_credentials + 1; }
  void refuse(uint32_t number) { m_refused = number; }

 private:
  uint32_t m_credentials = 0;
  uint32_t m_refused = 0;
};

class AuthSession : public AuthCredentialsSequencer {
 public:
  virtual ~AuthSession() = default;

  virtual AuthType authType() const = 0;
  // The value of "Proxy-Authorization" for a request of `method` to `uri`.
  virtual std::string createAuthHeader(const std::string& method, const std::string& uri) = 0;
  virtual void initSession() {}
  // Takes a challenge of a 407 that answered a request built with credentials number `used`.
  virtual void setChallenge(const AuthChallenge& challenge, uint32_t used) = 0;
  virtual void updateAuthenticationInfo(const std::string&) {}
  virtual void onUserPassUpdate() {}

  // Basic or Digest; empty for any other type.
  static std::shared_ptr<AuthSession> createSession(AuthType type);

  // Stores new credentials and raises the credentials number (wrapping to 1, never to 0).
  void setUserPassword(const std::string& user, const std::string& password);
  const std::string& realm() const { return m_realm; }
  const std::string& user() const { return m_user; }

  // Appends the Basic and Digest challenges of a "Proxy-Authenticate" value to `out` and returns
  // how many it appended; unknown schemes and unsupported algorithms are dropped.
  static size_t parseAuthenticateHeader(const std::string& value, AuthChallengeList& out);
  // Reads "name=value" elements; appends the kept ones to `out` when given. Returns the bytes
  // consumed (a list ends at an element that is not a parameter: the next scheme).
  static size_t parseParamsList(const char* text, size_t length, AuthParamList* out);
  // The parameters of a "Proxy-Authentication-Info" value appended to `out`; returns its size.
  static size_t parseAuthenticateInfoHeader(const std::string& value, AuthParamList& out);
  // One value at `cursor`, quoted or bare; moves the cursor past it.
  static std::string getValueStr(const char*& cursor, size_t& length);

 protected:
  std::string m_password;
  std::string m_realm;
  std::string m_user;
};

class AuthSessionBasic : public AuthSession {
 public:
  AuthType authType() const override { return authBasic; }
  std::string createAuthHeader(const std::string& method, const std::string& uri) override;
  void setChallenge(const AuthChallenge& challenge, uint32_t used) override;
};

class AuthSessionDigest : public AuthSession {
 public:
  AuthSessionDigest() { initSession(); }

  AuthType authType() const override { return authDigest; }
  std::string createAuthHeader(const std::string& method, const std::string& uri) override;
  void initSession() override;
  void setChallenge(const AuthChallenge& challenge, uint32_t used) override;
  void updateAuthenticationInfo(const std::string& value) override;
  void onUserPassUpdate() override { m_ha1Stale = true; }

  // Takes `nonce` when it is new (the nonce count restarts); true when it was.
  bool updateNonce(const std::string& nonce);
  // The algorithm, md5 when none was given.
  AuthAlgorithm getAlgorithm() const { return m_algorithm == algNotGiven ? algMd5 : m_algorithm; }
  AuthQopOptions qop() const { return m_qop; }
  uint32_t nonceCount() const { return m_nonceCount; }
  const std::string& clientNonce() const { return m_clientNonce; }
  const std::string& serverNonce() const { return m_serverNonce; }
  bool stale() const { return m_stale; }

  // The lower-case hex MD5 of the empty entity body.
  static const std::string HashEmptyEntity;

 private:
  AuthAlgorithm m_algorithm = algNotGiven;
  std::string m_clientNonce;
  std::string m_serverNonce;
  uint32_t m_nonceCount = 0;
  std::string m_opaque;
  AuthQopOptions m_qop = qopNone;
  bool m_ha1Stale = true;
  bool m_stale = false;
  char m_ha1[33] = {};
};

// RFC 2617, section 3.2.2.
class AuthDigest {
 public:
  static constexpr size_t HASHLEN = 16;
  static constexpr size_t HASHHEXLEN = 32;

  // 32 lower-case hex digits and a zero.
  static void CvtHex(const unsigned char bin[HASHLEN], char hex[HASHHEXLEN + 1]);
  static void CalcHA1(AuthAlgorithm algorithm, const std::string& user, const std::string& realm,
                      const std::string& password, const std::string& nonce,
                      const std::string& cnonce, char ha1[HASHHEXLEN + 1]);
  // `nonce_count` is the 8 hex digits; `qop` null or empty for none.
  static void CalcResponse(const char ha1[HASHHEXLEN + 1], const std::string& nonce,
                           const std::string& nonce_count, const std::string& cnonce,
                           const char* qop, const std::string& method, const std::string& uri,
                           const std::string& entity_hash, char response[HASHHEXLEN + 1]);
};

}  // namespace hx::http
