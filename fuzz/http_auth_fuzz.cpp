// The proxy's authentication headers: "Proxy-Authenticate" challenges and
// "Proxy-Authentication-Info" parameters, then each parsed challenge driven through a Basic or
// Digest session as a 407 would drive it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/net/proxy/http/http_auth_session.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  using namespace hx::http;

  AuthChallengeList challenges;
  const size_t count = AuthSession::parseAuthenticateHeader(value, challenges);
  Check(count == challenges.size());
  for (const AuthChallenge& challenge : challenges) {
    Check(challenge.type() == authBasic || challenge.type() == authDigest);
    Check(AuthChallenge::getAlgorithm(challenge.params()) != algUnsupported);
    for (const auto& param : challenge.params()) {
      size_t length = 0;
      param->put(nullptr, length);
      std::string out(length, '\0');
      Check(param->put(out.data(), length));
    }
    auto session = AuthSession::createSession(challenge.type());
    Check(session != nullptr);
    session->setChallenge(challenge, 0);
    session->setUserPassword("user", "password");
    const std::string header = session->createAuthHeader("CONNECT", "host:443");
    Check(!header.empty());
    session->updateAuthenticationInfo(value);
    session->setChallenge(challenge, session->credentialsNumber());
  }

  AuthParamList params;
  Check(AuthSession::parseAuthenticateInfoHeader(value, params) == params.size());
  Check(AuthSession::parseParamsList(value.data(), value.size(), nullptr) <= value.size());
  return 0;
}
