#pragma once
// The parameters of HTTP authentication challenges and of "Proxy-Authentication-Info"
// (AuthParam and its family), and one parsed challenge (AuthChallenge). Values: one thread at a
// time.

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace hx::http {

enum AuthType : uint32_t {
  authNone = 0,
  authBasic = 1,
  authDigest = 2,
  authCredential = 3,  // a scheme that needs a non-password credential (never parsed)
  authUnknown = 4,
};

enum AuthAlgorithm : uint32_t {
  algMd5 = 0,
  algMd5Sess = 1,
  algUnsupported = 2,
  algNotGiven = 3,
};

enum AuthQopOptions : uint32_t { qopNone = 0, qopAuth = 1, qopAuthInt = 2 };

enum AuthParamType : uint32_t {
  paramRealm = 0,
  paramNonce = 1,
  paramOpaque = 2,
  paramQop = 3,
  paramAuthParam = 4,
  paramDomain = 5,
  paramStale = 6,
  paramAlgorithm = 7,
  paramNextNonce = 8,
  paramRspAuth = 9,
  paramUsername = 10,
  paramUri = 11,
  paramCnonce = 12,
  paramNc = 13,
  paramResponse = 14,
  paramOther = 15,
};

class AuthParam {
 public:
  struct TypeName {
    const char* name;
    size_t length;
  };
  // Name of each type (paramOther has none).
  static const TypeName s_typeMap[paramOther];

  virtual ~AuthParam() = default;
  virtual AuthParamType getType() const = 0;
  virtual std::string getValueStr() const = 0;
  // Writes name=value (the value quoted for quoted types). The needed length is stored into
  // `length`; with a null `out` or a smaller given length nothing is written, result false.
  virtual bool put(char* out, size_t& length) const = 0;

  // The parameter for `name` and its value text, or empty for names that are not kept and for
  // values that give nothing (a qop list without a known option).
  static std::shared_ptr<AuthParam> create(const std::string& name, const std::string& value);
  // The type of `name`, compared ignoring case; paramOther when unknown.
  static AuthParamType getParamType(const std::string& name);
  static bool isQuoted(AuthParamType type);

 protected:
  static bool putParam(AuthParamType type, const std::string& value, char* out, size_t& length);
};

template <AuthParamType T>
class AuthParamTpl : public AuthParam {
 public:
  AuthParamType getType() const override { return T; }
  bool put(char* out, size_t& length) const override {
    return putParam(T, getValueStr(), out, length);
  }
};

template <AuthParamType T>
class AuthParamStr : public AuthParamTpl<T> {
 public:
  explicit AuthParamStr(std::string value) : m_value(std::move(value)) {}
  std::string getValueStr() const override { return m_value; }
  const std::string& value() const { return m_value; }

 private:
  std::string m_value;
};

template <AuthParamType T>
class AuthParamBool : public AuthParamTpl<T> {
 public:
  explicit AuthParamBool(bool value) : m_value(value) {}
  std::string getValueStr() const override { return m_value ? "true" : "false"; }
  bool value() const { return m_value; }

 private:
  bool m_value;
};

class AuthParamRealm : public AuthParamStr<paramRealm> {
  using AuthParamStr::AuthParamStr;
};
class AuthParamNonce : public AuthParamStr<paramNonce> {
  using AuthParamStr::AuthParamStr;
};
class AuthParamOpaque : public AuthParamStr<paramOpaque> {
  using AuthParamStr::AuthParamStr;
};
class AuthParamDomain : public AuthParamStr<paramDomain> {
  using AuthParamStr::AuthParamStr;
};
class AuthParamNextNonce : public AuthParamStr<paramNextNonce> {
  using AuthParamStr::AuthParamStr;
};
class AuthParamRspAuth : public AuthParamStr<paramRspAuth> {
  using AuthParamStr::AuthParamStr;
};
class AuthParamCnonce : public AuthParamStr<paramCnonce> {
  using AuthParamStr::AuthParamStr;
};
class AuthParamStale : public AuthParamBool<paramStale> {
  using AuthParamBool::AuthParamBool;
};

class AuthParamQop : public AuthParamTpl<paramQop> {
 public:
  explicit AuthParamQop(std::vector<AuthQopOptions> options) : m_options(std::move(options)) {}
  // The text of the first option, or empty.
  std::string getValueStr() const override;
  const std::vector<AuthQopOptions>& options() const { return m_options; }
  // "auth", "auth-int", or null for qopNone.
  static const char* strQopValue(AuthQopOptions option);

 private:
  std::vector<AuthQopOptions> m_options;
};

class AuthParamAlgorithm : public AuthParamTpl<paramAlgorithm> {
 public:
  explicit AuthParamAlgorithm(AuthAlgorithm value) : m_value(value) {}
  std::string getValueStr() const override;
  AuthAlgorithm value() const { return m_value; }

 private:
  AuthAlgorithm m_value;
};

class AuthParamNonceCount : public AuthParamTpl<paramNc> {
 public:
  explicit AuthParamNonceCount(uint32_t value) : m_value(value) {}
  std::string getValueStr() const override;  // "%08x"
  uint32_t value() const { return m_value; }

 private:
  uint32_t m_value;
};

using AuthParamList = std::list<std::shared_ptr<AuthParam>>;

// The first parameter of type T in `params`, or null.
template <class P>
const P* findParam(const AuthParamList& params, AuthParamType type) {
  for (const auto& param : params) {
    if (param->getType() == type) return static_cast<const P*>(param.get());
  }
  return nullptr;
}

class AuthChallenge {
 public:
  AuthChallenge(AuthParamList params, AuthType type) : m_params(std::move(params)), m_type(type) {}

  const AuthParamList& params() const { return m_params; }
  AuthType type() const { return m_type; }

  // The first "algorithm" value of `params`, algMd5 when there is none.
  static AuthAlgorithm getAlgorithm(const AuthParamList& params);
  // The first "stale" value, false when there is none.
  bool isStale() const;

 private:
  AuthParamList m_params;
  AuthType m_type;
};

using AuthChallengeList = std::list<AuthChallenge>;

}  // namespace hx::http
