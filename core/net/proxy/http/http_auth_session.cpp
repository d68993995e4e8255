#include "core/net/proxy/http/http_auth_session.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "core/net/proxy/http/http_response.h"
#include "core/security/base64.h"
#include "core/security/md5.h"
#include "core/security/random_string.h"

namespace hx::http {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr size_t kClientNonceLength = 10;

bool IsLwsByte(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool StartsWith(const char* text, size_t length, const char* word) {
  const size_t n = std::strlen(word);
  return length >= n && strncasecmp(text, word, n) == 0;
}

// MD5 of the pieces joined by ":", as lower-case hex.
void Md5Hex(std::initializer_list<std::string_view> pieces, char out[AuthDigest::HASHHEXLEN + 1]) {
  MD5Context context;
  unsigned char digest[kMD5DigestSize] = {};
  MD5Init(&context);
  bool first = true;
  for (std::string_view piece : pieces) {
    if (!first) MD5Update(&context, ":", 1);
    first = false;
    MD5Update(&context, piece.data(), static_cast<uint32_t>(piece.size()));
  }
  MD5Final(digest, &context);
  AuthDigest::CvtHex(digest, out);
}

std::string ComputeHashEmptyEntity() {
  char hex[AuthDigest::HASHHEXLEN + 1];
  Md5Hex({std::string_view()}, hex);
  return hex;
}

}  // namespace

const std::string AuthSessionDigest::HashEmptyEntity = ComputeHashEmptyEntity();

// ---- parsing ----

std::string AuthSession::getValueStr(const char*& cursor, size_t& length) {
  std::string value;
  if (length == 0) return value;
  char quote = 0;
  if (length >= 2 && (*cursor == '"' || *cursor == '\'')) {
    quote = *cursor;
    ++cursor;
    --length;
  }
  while (length > 0) {
    const char c = *cursor;
    if (c == '\\') {
      // The escaped byte is kept, the backslash is not.
      ++cursor;
      --length;
      if (length == 0) break;
      value.push_back(*cursor);
      ++cursor;
      --length;
      continue;
    }
    if (c == '\r' || c == '\n') {
      size_t run = Response::lenLWS(cursor, cursor + length);
      if (run == 0) run = 1;  // a CR that a CR LF left: still not part of the value
      cursor += run;
      length -= run;
      continue;
    }
    ++cursor;
    --length;
    if (quote != 0) {
      if (c == quote) break;
      value.push_back(c);
      continue;
    }
    if (c == ' ' || c == '\t' || c == ',') break;
    value.push_back(c);
  }
  return value;
}

size_t AuthSession::parseParamsList(const char* text, size_t length, AuthParamList* out) {
  const char* cursor = text;
  size_t left = length;
  for (;;) {
    Response::skipEmptyListElement(cursor, left);
    if (left == 0) break;
    const char* element = cursor;
    // The name, up to "=".
    size_t name_length = 0;
    const char* p = cursor;
    size_t rest = left;
    while (rest > 0 && *p != '=' && *p != ',' && !IsLwsByte(*p)) {
      ++p;
      --rest;
      ++name_length;
    }
    if (rest > 0 && IsLwsByte(*p)) Response::skipLWS(p, rest);
    if (rest == 0 || *p != '=') {
      cursor = element;  // not a parameter: the list ends before it
      left = static_cast<size_t>(text + length - element);
      break;
    }
    ++p;
    --rest;
    cursor = p;
    left = rest;
    if (name_length == 0) break;
    const std::string name(element, name_length);
    std::string value;
    if (!Response::skipEmptyListElement(cursor, left)) value = getValueStr(cursor, left);
    if (out != nullptr) {
      if (auto param = AuthParam::create(name, value)) out->push_back(std::move(param));
    }
    if (left == 0) break;
  }
  return static_cast<size_t>(cursor - text);
}

size_t AuthSession::parseAuthenticateHeader(const std::string& header, AuthChallengeList& out) {
  const char* cursor = header.data();
  size_t left = header.size();
  size_t appended = 0;
  for (;;) {
    Response::skipEmptyListElement(cursor, left);
    if (left == 0) break;
    const char* start = cursor;
    AuthType type = authUnknown;
    if (StartsWith(cursor, left, "Basic")) {
      type = authBasic;
      cursor += 5;
      left -= 5;
    } else if (StartsWith(cursor, left, "Digest")) {
      type = authDigest;
      cursor += 6;
      left -= 6;
    } else {
      while (left > 0 && !IsLwsByte(*cursor) && *cursor != ',') {
        ++cursor;
        --left;
      }
    }
    AuthParamList params;
    const size_t used = parseParamsList(cursor, left, type == authUnknown ? nullptr : &params);
    cursor += used;
    left -= used;
    if (cursor == start && left > 0) {
      // Nothing could be read here: step over the byte so that the walk always ends.
      ++cursor;
      --left;
    }
    if (type == authUnknown) continue;
    if (AuthChallenge::getAlgorithm(params) == algUnsupported) continue;
    out.emplace_back(std::move(params), type);
    ++appended;
  }
  return appended;
}

size_t AuthSession::parseAuthenticateInfoHeader(const std::string& value, AuthParamList& out) {
  parseParamsList(value.data(), value.size(), &out);
  return out.size();
}

// ---- sessions ----

std::shared_ptr<AuthSession> AuthSession::createSession(AuthType type) {
  switch (type) {
    case authBasic:
      return std::make_shared<AuthSessionBasic>();
    case authDigest:
      return std::make_shared<AuthSessionDigest>();
    default:
      return nullptr;
  }
}

void AuthSession::setUserPassword(const std::string& user, const std::string& password) {
  m_user = user;
  m_password = password;
  nextCredentials();
  onUserPassUpdate();
}

std::string AuthSessionBasic::createAuthHeader(const std::string&, const std::string&) {
  const std::string plain = m_user + ":" + m_password;
  size_t size = 0;
  HX_Base64::encode(plain.data(), plain.size(), nullptr, &size);
  std::string encoded(size, '\0');
  if (HX_Base64::encode(plain.data(), plain.size(), encoded.data(), &size) == nullptr) {
    return std::string();
  }
  return "Basic " + encoded;
}

void AuthSessionBasic::setChallenge(const AuthChallenge& challenge, uint32_t used) {
  for (const auto& param : challenge.params()) {
    if (param->getType() == paramRealm) m_realm = param->getValueStr();
  }
  if (used == credentialsNumber()) refuse(used);
}

void AuthSessionDigest::initSession() {
  m_algorithm = algNotGiven;
  m_clientNonce.clear();
  m_serverNonce.clear();
  m_realm.clear();
  m_qop = qopNone;
  m_nonceCount = 0;
  m_ha1Stale = true;
}

bool AuthSessionDigest::updateNonce(const std::string& nonce) {
  if (nonce == m_serverNonce) return false;
  m_serverNonce = nonce;
  m_nonceCount = 0;
  return true;
}

void AuthSessionDigest::setChallenge(const AuthChallenge& challenge, uint32_t used) {
  m_stale = false;
  bool nonce_changed = false;
  for (const auto& param : challenge.params()) {
    switch (param->getType()) {
      case paramRealm: {
        const std::string realm = param->getValueStr();
        if (realm != m_realm) {
          m_realm = realm;
          m_ha1Stale = true;
        }
        break;
      }
      case paramNonce:
        if (updateNonce(param->getValueStr())) nonce_changed = true;
        break;
      case paramOpaque:
        m_opaque = param->getValueStr();
        break;
      case paramQop: {
        AuthQopOptions choice = qopNone;
        for (AuthQopOptions option : static_cast<const AuthParamQop&>(*param).options()) {
          if (option == qopAuth) choice = qopAuth;
          if (option == qopAuthInt && choice != qopAuth) choice = qopAuthInt;
        }
        m_qop = choice;
        break;
      }
      case paramStale:
        m_stale = static_cast<const AuthParamStale&>(*param).value();
        break;
      case paramAlgorithm: {
        const AuthAlgorithm algorithm = static_cast<const AuthParamAlgorithm&>(*param).value();
        if (algorithm != m_algorithm && (algorithm == algMd5Sess || m_algorithm == algMd5Sess)) {
          m_ha1Stale = true;
        }
        m_algorithm = algorithm;
        break;
      }
      default:
        break;
    }
  }
  if (nonce_changed && m_algorithm == algMd5Sess) m_ha1Stale = true;
  if ((m_qop != qopNone || m_algorithm == algMd5Sess) && (nonce_changed || m_clientNonce.empty())) {
    m_clientNonce = HX_Random::random_string(kClientNonceLength, kHexDigits, 16);
  }
  if (!m_stale && used == credentialsNumber()) refuse(used);
}

std::string AuthSessionDigest::createAuthHeader(const std::string& method, const std::string& uri) {
  ++m_nonceCount;
  const AuthAlgorithm algorithm = getAlgorithm();
  if (m_ha1Stale) {
    AuthDigest::CalcHA1(algorithm, m_user, m_realm, m_password, m_serverNonce, m_clientNonce,
                        m_ha1);
    m_ha1Stale = false;
  }
  char nc[9];
  std::snprintf(nc, sizeof nc, "%08x", m_nonceCount);
  const char* qop = AuthParamQop::strQopValue(m_qop);
  char response[AuthDigest::HASHHEXLEN + 1];
  AuthDigest::CalcResponse(m_ha1, m_serverNonce, nc, m_clientNonce, qop, method, uri,
                           HashEmptyEntity, response);
  std::string value = "Digest username=\"" + m_user + "\",realm=\"" + m_realm + "\",nonce=\"" +
                      m_serverNonce + "\",uri=\"" + uri + "\",response=\"" + response + "\"";
  if (m_algorithm != algNotGiven) {
    value += ",algorithm=";
    value += AuthParamAlgorithm(m_algorithm).getValueStr();
  }
  if (!m_opaque.empty()) value += ",opaque=\"" + m_opaque + "\"";
  if (qop != nullptr) {
    value += ",qop=";
    value += qop;
    value += ",cnonce=\"" + m_clientNonce + "\",nc=" + nc;
  }
  return value;
}

void AuthSessionDigest::updateAuthenticationInfo(const std::string& header) {
  AuthParamList params;
  parseAuthenticateInfoHeader(header, params);
  bool accepted = m_qop == qopNone;
  if (const auto* qop = findParam<AuthParamQop>(params, paramQop)) {
    if (qop->options().size() == 1) accepted = qop->options().front() == m_qop;
  }
  if (!accepted) return;
  const auto* next = findParam<AuthParamNextNonce>(params, paramNextNonce);
  if (next == nullptr || next->value().empty()) return;
  const auto* nc = findParam<AuthParamNonceCount>(params, paramNc);
  const auto* cnonce = findParam<AuthParamCnonce>(params, paramCnonce);
  if ((nc == nullptr ? 0u : nc->value()) != m_nonceCount) return;
  if ((cnonce == nullptr ? std::string() : cnonce->value()) != m_clientNonce) return;
  // "rspauth" is read with the rest but not checked.
  updateNonce(next->value());
}

// ---- RFC 2617 ----

void AuthDigest::CvtHex(const unsigned char bin[HASHLEN], char hex[HASHHEXLEN + 1]) {
  for (size_t i = 0; i < HASHLEN; ++i) {
    hex[2 * i] = kHexDigits[bin[i] >> 4];
    hex[2 * i + 1] = kHexDigits[bin[i] & 0x0F];
  }
  hex[HASHHEXLEN] = '\0';
}

void AuthDigest::CalcHA1(AuthAlgorithm algorithm, const std::string& user, const std::string& realm,
                         const std::string& password, const std::string& nonce,
                         const std::string& cnonce, char ha1[HASHHEXLEN + 1]) {
  Md5Hex({user, realm, password}, ha1);
  if (algorithm == algMd5Sess) {
    const std::string inner(ha1, HASHHEXLEN);
    Md5Hex({inner, nonce, cnonce}, ha1);
  }
}

void AuthDigest::CalcResponse(const char ha1[HASHHEXLEN + 1], const std::string& nonce,
                              const std::string& nonce_count, const std::string& cnonce,
                              const char* qop, const std::string& method, const std::string& uri,
                              const std::string& entity_hash, char response[HASHHEXLEN + 1]) {
  char ha2[HASHHEXLEN + 1];
  const bool with_qop = qop != nullptr && *qop != '\0';
  if (with_qop && std::strcmp(qop, "auth-int") == 0) {
    Md5Hex({method, uri, entity_hash}, ha2);
  } else {
    Md5Hex({method, uri}, ha2);
  }
  const std::string_view ha1_text(ha1, HASHHEXLEN);
  if (with_qop) {
    Md5Hex({ha1_text, nonce, nonce_count, cnonce, qop, std::string_view(ha2, HASHHEXLEN)},
           response);
  } else {
    Md5Hex({ha1_text, nonce, std::string_view(ha2, HASHHEXLEN)}, response);
  }
}

}  // namespace hx::http
