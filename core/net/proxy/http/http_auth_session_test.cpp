// Challenge parsing, the Basic and Digest sessions and the Digest computation, against the worked
// example of RFC 2617 and hand-computed MD5 values.
#include "core/net/proxy/http/http_auth_session.h"

#include <gtest/gtest.h>

#include <string>

#include "core/security/md5.h"

namespace hx::http {
namespace {

std::string Md5(const std::string& text) {
  MD5Context context;
  unsigned char digest[16];
  MD5Init(&context);
  MD5Update(&context, text.data(), static_cast<uint32_t>(text.size()));
  MD5Final(digest, &context);
  char hex[33];
  AuthDigest::CvtHex(digest, hex);
  return hex;
}

// The value of parameter `name` in a header value such as `a="b",c=d`; "" when absent.
std::string Field(const std::string& header, const std::string& name) {
  AuthParamList params;
  const size_t blank = header.find(' ');
  const std::string list = header.substr(blank + 1);
  AuthSession::parseParamsList(list.data(), list.size(), &params);
  size_t at = header.find("," + name + "=");
  if (at == std::string::npos) at = header.find(" " + name + "=");
  if (at == std::string::npos) return "";
  at += name.size() + 2;
  if (header[at] == '"') return header.substr(at + 1, header.find('"', at + 1) - at - 1);
  const size_t end = header.find(',', at);
  return header.substr(at, end == std::string::npos ? end : end - at);
}

AuthChallenge ParseOne(const std::string& value) {
  AuthChallengeList challenges;
  EXPECT_EQ(AuthSession::parseAuthenticateHeader(value, challenges), 1u) << value;
  return challenges.empty() ? AuthChallenge({}, authNone) : challenges.front();
}

TEST(AuthDigestTest, Rfc2617WorkedExample) {
  char ha1[33];
  AuthDigest::CalcHA1(algMd5, "Mufasa", "testrealm@host.com", "Circle Of Life", "", "", ha1);
  EXPECT_STREQ(ha1, "939e7578ed9e3c518a452acee763bce9");
  char response[33];
  AuthDigest::CalcResponse(ha1, "dcd98b7102dd2f0e8b11d0f600bfb0c093", "00000001", "0a4f113b",
                           "auth", "GET", "/dir/index.html", AuthSessionDigest::HashEmptyEntity,
                           response);
  EXPECT_STREQ(response, "6629fae49393a05397450978507c4ef1");
  EXPECT_EQ(AuthSessionDigest::HashEmptyEntity, "d41d8cd98f00b204e9800998ecf8427e");

  // md5-sess and auth-int follow the same rules, over the same MD5.
  AuthDigest::CalcHA1(algMd5Sess, "u", "r", "p", "n", "c", ha1);
  EXPECT_EQ(std::string(ha1), Md5(Md5("u:r:p") + ":n:c"));
  AuthDigest::CalcResponse(ha1, "n", "00000002", "c", "auth-int", "CONNECT", "h:1", "e", response);
  EXPECT_EQ(std::string(response),
            Md5(std::string(ha1) + ":n:00000002:c:auth-int:" + Md5("CONNECT:h:1:e")));
}

TEST(AuthParseTest, TwoChallengesInOneHeader) {
  AuthChallengeList challenges;
  ASSERT_EQ(
      AuthSession::parseAuthenticateHeader(
          "Basic realm=\"a\", Digest realm=\"b\", nonce=\"n\", qop=\"auth,auth-int\"", challenges),
      2u);
  const AuthChallenge& basic = challenges.front();
  const AuthChallenge& digest = challenges.back();
  EXPECT_EQ(basic.type(), authBasic);
  ASSERT_EQ(basic.params().size(), 1u);
  EXPECT_EQ(basic.params().front()->getValueStr(), "a");
  EXPECT_EQ(digest.type(), authDigest);
  EXPECT_EQ(findParam<AuthParamRealm>(digest.params(), paramRealm)->value(), "b");
  EXPECT_EQ(findParam<AuthParamNonce>(digest.params(), paramNonce)->value(), "n");
  const auto* qop = findParam<AuthParamQop>(digest.params(), paramQop);
  ASSERT_NE(qop, nullptr);
  EXPECT_EQ(qop->options(), (std::vector<AuthQopOptions>{qopAuth, qopAuthInt}));

  AuthSessionDigest session;
  session.setChallenge(digest, 0);
  EXPECT_EQ(session.qop(), qopAuth);
  EXPECT_EQ(session.clientNonce().size(), 10u);
  EXPECT_EQ(session.clientNonce().find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(AuthParseTest, AlgorithmsSchemesAndOddLists) {
  AuthChallengeList challenges;
  EXPECT_EQ(AuthSession::parseAuthenticateHeader(
                "Digest realm=\"r\", nonce=\"n\", algorithm=SHA-256", challenges),
            0u);
  EXPECT_EQ(AuthSession::parseAuthenticateHeader("NTLM, Negotiate abc==", challenges), 0u);
  const AuthChallenge sess = ParseOne("Digest realm=\"r\",nonce=\"n\",algorithm=MD5-SESS");
  EXPECT_EQ(AuthChallenge::getAlgorithm(sess.params()), algMd5Sess);
  EXPECT_EQ(AuthChallenge::getAlgorithm({}), algMd5);
  const AuthChallenge mixed = ParseOne("Foo x=1, basic realm='single quoted',stale=TRUE ");
  EXPECT_EQ(mixed.type(), authBasic);
  EXPECT_EQ(findParam<AuthParamRealm>(mixed.params(), paramRealm)->value(), "single quoted");
  EXPECT_TRUE(mixed.isStale());
  const AuthChallenge escaped = ParseOne("Digest realm=\"a\\\"b, c\", nonce=n2 , opaque=\"\"");
  EXPECT_EQ(findParam<AuthParamRealm>(escaped.params(), paramRealm)->value(), "a\"b, c");
  EXPECT_EQ(findParam<AuthParamNonce>(escaped.params(), paramNonce)->value(), "n2");
  EXPECT_EQ(findParam<AuthParamOpaque>(escaped.params(), paramOpaque)->value(), "");

  const std::string trailing = "realm=\"x\" ";
  AuthParamList params;
  EXPECT_EQ(AuthSession::parseParamsList(trailing.data(), trailing.size(), &params),
            trailing.size());
  EXPECT_EQ(params.size(), 1u);
  // The list ends before a token that is not a parameter.
  const std::string next_scheme = "realm=\"x\", Digest nonce=\"y\"";
  EXPECT_EQ(AuthSession::parseParamsList(next_scheme.data(), next_scheme.size(), nullptr),
            next_scheme.find("Digest"));
}

TEST(AuthParamTest, PutAndValues) {
  char out[32];
  size_t length = 0;
  AuthParamRealm realm("r1");
  EXPECT_FALSE(realm.put(nullptr, length));
  EXPECT_EQ(length, 10u);
  length = sizeof out;
  ASSERT_TRUE(realm.put(out, length));
  EXPECT_EQ(std::string(out, length), "realm=\"r1\"");
  AuthParamNonceCount nc(0x1f);
  length = sizeof out;
  ASSERT_TRUE(nc.put(out, length));
  EXPECT_EQ(std::string(out, length), "nc=0000001f");
  EXPECT_EQ(AuthParam::create("NC", "0000001F")->getValueStr(), "0000001f");
  EXPECT_EQ(AuthParam::create("qop", "token"), nullptr);
  EXPECT_EQ(AuthParam::create("username", "u"), nullptr) << "not kept";
  EXPECT_EQ(AuthParam::create("algorithm", "sha-256")->getValueStr(), "");
  EXPECT_EQ(AuthParam::getParamType("ReAlM"), paramRealm);
  EXPECT_EQ(AuthParam::getParamType("other"), paramOther);
}

TEST(AuthSessionTest, BasicValueAndRefusal) {
  auto session = AuthSession::createSession(authBasic);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(AuthSession::createSession(authUnknown), nullptr);
  session->setChallenge(ParseOne("Basic realm=\"first\" realm=\"second\""), 0);
  EXPECT_EQ(session->realm(), "second");
  EXPECT_EQ(session->refusedNumber(), 0u);
  session->setUserPassword("abc", "xyz");
  EXPECT_EQ(session->credentialsNumber(), 1u);
  EXPECT_EQ(session->createAuthHeader("CONNECT", "h:1"), "Basic YWJjOnh5eg==");
  // A 407 to a request built with credentials 1 refuses them; one to an older request does not.
  session->setChallenge(ParseOne("Basic realm=\"second\""), 0);
  EXPECT_EQ(session->refusedNumber(), 0u);
  session->setChallenge(ParseOne("Basic realm=\"second\""), 1);
  EXPECT_EQ(session->refusedNumber(), 1u);
}

TEST(AuthSessionTest, CredentialsNumberWrapsToOne) {
  // Drive the numbering to its top through the public path, then one more.
  class Probe : public AuthSessionBasic {
   public:
    void jumpTo(uint32_t n) {
      while (credentialsNumber() != n) nextCredentials();
    }
  } session;
  session.jumpTo(0xFFFFFFFEu);
  session.setUserPassword("u", "p");
  EXPECT_EQ(session.credentialsNumber(), 0xFFFFFFFFu);
  session.setUserPassword("u", "p");
  EXPECT_EQ(session.credentialsNumber(), 1u);
}

TEST(AuthSessionTest, DigestNonceCountAndHeader) {
  AuthSessionDigest session;
  session.setChallenge(ParseOne("Digest realm=\"hx\", nonce=\"n1\", qop=\"auth\", opaque=\"op\""),
                       0);
  session.setUserPassword("user", "secret");
  const std::string first = session.createAuthHeader("CONNECT", "target.hx:4307");
  EXPECT_EQ(
      first.rfind(
          "Digest username=\"user\",realm=\"hx\",nonce=\"n1\",uri=\"target.hx:4307\",response=\"",
          0),
      0u)
      << first;
  EXPECT_EQ(Field(first, "nc"), "00000001");
  EXPECT_EQ(Field(first, "qop"), "auth");
  EXPECT_EQ(Field(first, "opaque"), "op");
  EXPECT_EQ(first.find("algorithm"), std::string::npos);
  const std::string cnonce = Field(first, "cnonce");
  EXPECT_EQ(cnonce, session.clientNonce());
  const std::string ha1 = Md5("user:hx:secret");
  EXPECT_EQ(Field(first, "response"),
            Md5(ha1 + ":n1:00000001:" + cnonce + ":auth:" + Md5("CONNECT:target.hx:4307")));
  EXPECT_EQ(Field(session.createAuthHeader("CONNECT", "t:1"), "nc"), "00000002");

  // A new nonce restarts the count; the same nonce again does not.
  session.setChallenge(ParseOne("Digest realm=\"hx\", nonce=\"n2\", qop=\"auth\""), 1);
  EXPECT_EQ(Field(session.createAuthHeader("CONNECT", "t:1"), "nc"), "00000001");
  session.setChallenge(ParseOne("Digest realm=\"hx\", nonce=\"n2\", qop=\"auth\""), 1);
  EXPECT_EQ(Field(session.createAuthHeader("CONNECT", "t:1"), "nc"), "00000002");
}

TEST(AuthSessionTest, DigestWithoutQopOrAlgorithm) {
  AuthSessionDigest session;
  session.setChallenge(ParseOne("Digest realm=\"r\", nonce=\"abc\""), 0);
  EXPECT_TRUE(session.clientNonce().empty());
  session.setUserPassword("u", "p");
  const std::string value = session.createAuthHeader("CONNECT", "h:443");
  EXPECT_EQ(value.find(",algorithm="), std::string::npos);
  EXPECT_EQ(value.find(",qop="), std::string::npos);
  EXPECT_EQ(Field(value, "response"), Md5(Md5("u:r:p") + ":abc:" + Md5("CONNECT:h:443")));

  // md5-sess: HA1 over the nonces, and the algorithm is written.
  AuthSessionDigest sess;
  sess.setChallenge(ParseOne("Digest realm=\"r\", nonce=\"abc\", algorithm=md5-sess"), 0);
  sess.setUserPassword("u", "p");
  const std::string sess_value = sess.createAuthHeader("CONNECT", "h:443");
  EXPECT_EQ(Field(sess_value, "algorithm"), "md5-sess");
  const std::string ha1 = Md5(Md5("u:r:p") + ":abc:" + sess.clientNonce());
  EXPECT_EQ(Field(sess_value, "response"), Md5(ha1 + ":abc:" + Md5("CONNECT:h:443")));
}

TEST(AuthSessionTest, StaleDoesNotRefuse) {
  AuthSessionDigest session;
  session.setChallenge(ParseOne("Digest realm=\"r\", nonce=\"n1\", qop=auth"), 0);
  session.setUserPassword("u", "p");
  session.createAuthHeader("CONNECT", "h:1");
  session.setChallenge(ParseOne("Digest realm=\"r\", nonce=\"n2\", qop=auth, stale=true"), 1);
  EXPECT_TRUE(session.stale());
  EXPECT_EQ(session.refusedNumber(), 0u) << "a stale nonce is no refusal";
  EXPECT_EQ(session.serverNonce(), "n2");
  session.setChallenge(ParseOne("Digest realm=\"r\", nonce=\"n3\", qop=auth"), 1);
  EXPECT_EQ(session.refusedNumber(), 1u);
}

TEST(AuthSessionTest, AuthenticationInfoTakesTheNextNonce) {
  AuthSessionDigest session;
  session.setChallenge(ParseOne("Digest realm=\"r\", nonce=\"n1\", qop=auth"), 0);
  session.setUserPassword("u", "p");
  session.createAuthHeader("CONNECT", "h:1");
  const std::string cnonce = session.clientNonce();
  session.updateAuthenticationInfo("nextnonce=\"n9\", qop=auth, nc=00000002, cnonce=\"" + cnonce +
                                   "\"");
  EXPECT_EQ(session.serverNonce(), "n1") << "nc does not match";
  session.updateAuthenticationInfo("nextnonce=\"n9\", qop=auth-int, nc=00000001, cnonce=\"" +
                                   cnonce + "\"");
  EXPECT_EQ(session.serverNonce(), "n1") << "another qop";
  session.updateAuthenticationInfo(
      "nextnonce=\"n9\", qop=auth, rspauth=\"x\", nc=00000001, cnonce=\"" + cnonce + "\"");
  EXPECT_EQ(session.serverNonce(), "n9");
  EXPECT_EQ(session.nonceCount(), 0u);
  AuthParamList params;
  EXPECT_EQ(AuthSession::parseAuthenticateInfoHeader("nextnonce=\"a\", rspauth=\"b\"", params), 2u);
}

}  // namespace
}  // namespace hx::http
