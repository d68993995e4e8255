#include "core/net/proxy/http/http_auth_param.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

namespace hx::http {

namespace {

bool SameName(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// Decimal text of a hex number, stopping at the first non-hex digit; past 32 bits it sticks at
// the largest value.
uint32_t HexNumber(const std::string& text) {
  uint64_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    value = value * 16 + static_cast<uint64_t>(digit);
    if (value > 0xFFFFFFFFu) value = 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

const AuthParam::TypeName AuthParam::s_typeMap[paramOther] = {
    {"realm", 5},    {"nonce", 5}, {"opaque", 6},    {"qop", 3},       {"auth-param", 10},
    {"domain", 6},   {"stale", 5}, {"algorithm", 9}, {"nextnonce", 9}, {"rspauth", 7},
    {"username", 8}, {"uri", 3},   {"cnonce", 6},    {"nc", 2},        {"response", 8},
};

AuthParamType AuthParam::getParamType(const std::string& name) {
  for (uint32_t type = 0; type < paramOther; ++type) {
    if (s_typeMap[type].length == name.size() &&
        strncasecmp(s_typeMap[type].name, name.data(), name.size()) == 0) {
      return static_cast<AuthParamType>(type);
    }
  }
  return paramOther;
}

bool AuthParam::isQuoted(AuthParamType type) {
  switch (type) {
    case paramRealm:
    case paramNonce:
    case paramOpaque:
    case paramNextNonce:
    case paramRspAuth:
    case paramUsername:
    case paramUri:
    case paramCnonce:
    case paramResponse:
      return true;
    default:
      return false;
  }
}

bool AuthParam::putParam(AuthParamType type, const std::string& value, char* out, size_t& length) {
  if (type >= paramOther) {
    length = 0;
    return false;
  }
  const TypeName& name = s_typeMap[type];
  const bool quoted = isQuoted(type);
  const size_t needed = name.length + 1 + value.size() + (quoted ? 2 : 0);
  const size_t given = length;
  length = needed;
  if (out == nullptr || given < needed) return false;
  char* p = out;
  std::memcpy(p, name.name, name.length);
  p += name.length;
  *p++ = '=';
  if (quoted) *p++ = '"';
  std::memcpy(p, value.data(), value.size());
  p += value.size();
  if (quoted) *p = '"';
  return true;
}

std::shared_ptr<AuthParam> AuthParam::create(const std::string& name, const std::string& value) {
  switch (getParamType(name)) {
    case paramRealm:
      return std::make_shared<AuthParamRealm>(value);
    case paramNonce:
      return std::make_shared<AuthParamNonce>(value);
    case paramOpaque:
      return std::make_shared<AuthParamOpaque>(value);
    case paramDomain:
      return std::make_shared<AuthParamDomain>(value);
    case paramNextNonce:
      return std::make_shared<AuthParamNextNonce>(value);
    case paramRspAuth:
      return std::make_shared<AuthParamRspAuth>(value);
    case paramCnonce:
      return std::make_shared<AuthParamCnonce>(value);
    case paramQop: {
      std::vector<AuthQopOptions> options;
      size_t start = 0;
      while (start < value.size()) {
        const size_t end = value.find_first_of(" \t,", start);
        const std::string token = value.substr(start, end == std::string::npos ? end : end - start);
        if (SameName(token, "auth")) options.push_back(qopAuth);
        if (SameName(token, "auth-int")) options.push_back(qopAuthInt);
        if (end == std::string::npos) break;
        start = end + 1;
      }
      if (options.empty()) return nullptr;
      return std::make_shared<AuthParamQop>(std::move(options));
    }
    case paramStale:
      return std::make_shared<AuthParamStale>(SameName(value, "true"));
    case paramAlgorithm: {
      AuthAlgorithm algorithm = algUnsupported;
      if (SameName(value, "md5")) algorithm = algMd5;
      if (SameName(value, "md5-sess")) algorithm = algMd5Sess;
      return std::make_shared<AuthParamAlgorithm>(algorithm);
    }
    case paramNc:
      return std::make_shared<AuthParamNonceCount>(HexNumber(value));
    default:
      return nullptr;
  }
}

const char* AuthParamQop::strQopValue(AuthQopOptions option) {
  switch (option) {
    case qopAuth:
      return "auth";
    case qopAuthInt:
      return "auth-int";
    default:
      return nullptr;
  }
}

std::string AuthParamQop::getValueStr() const {
  if (m_options.empty()) return std::string();
  const char* text = strQopValue(m_options.front());
  return text == nullptr ? std::string() : std::string(text);
}

std::string AuthParamAlgorithm::getValueStr() const {
  switch (m_value) {
    case algMd5:
      return "md5";
    case algMd5Sess:
      return "md5-sess";
    default:
      return std::string();
  }
}

std::string AuthParamNonceCount::getValueStr() const {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", m_value);
  return text;
}

AuthAlgorithm AuthChallenge::getAlgorithm(const AuthParamList& params) {
  const auto* algorithm = findParam<AuthParamAlgorithm>(params, paramAlgorithm);
  return algorithm == nullptr ? algMd5 : algorithm->value();
}

bool AuthChallenge::isStale() const {
  const auto* stale = findParam<AuthParamStale>(m_params, paramStale);
  return stale != nullptr && stale->value();
}

}  // namespace hx::http
