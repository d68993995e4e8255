#include <gtest/gtest.h>

#include "core/wire/transport_connection_param.h"
#include "core/wire/transport_login_param.h"

namespace {

TEST(TransportLoginParam, EmptyOnlyWithoutIdentityAndWithEncryptedPassword) {
  struct Case {
    const char* login;
    const char* key;
    bool encrypt;
    bool empty;
  };
  const Case cases[] = {
      {"", "", true, true},       {"alice", "", true, false}, {"", "cookie", true, false},
      {"", "", false, false},  // sending the password in clear is an identity of its own
  };
  for (const Case& c : cases) {
    HX_TransportLoginParam param;
    param.setDomain("example.org");  // the domain never counts
    param.setLogin(c.login);
    param.setKey(c.key);
    param.setEncryptPassword(c.encrypt);
    EXPECT_EQ(param.empty(), c.empty) << c.login << "/" << c.key << "/" << c.encrypt;
  }
}

TEST(TransportLoginParam, SettersKeepTheOtherFieldsAndClearResets) {
  HX_TransportLoginParam param;
  param.SetLoginParams("d1", "l1", "k1");
  param.SetDomainKey("d2", "k2");
  EXPECT_EQ(param.getLogin(), "l1");
  param.SetDomainLogin("d3", "l3");
  EXPECT_EQ(param.getKey(), "k2");
  EXPECT_EQ(param.getDomain(), "d3");
  param.setEncryptPassword(false);
  param.clear();
  EXPECT_TRUE(param.getDomain().empty());
  EXPECT_TRUE(param.getEncryptPassword());
  EXPECT_TRUE(param.empty());
}

TEST(TransportConnectionParam, NullAndEmptyTextsEmptyTheIds) {
  HX_TransportConnectionParam param;
  param.setCID("cid-1");
  param.setCID(static_cast<const char*>(nullptr));
  EXPECT_TRUE(param.getCID().empty());

  param.setSID("srv#as");
  HX_TransportConnectionParam cleared = param;
  cleared.clearSid();
  param.setSID("");
  EXPECT_EQ(param.getSID(), cleared.getSID());
  EXPECT_TRUE(param.getSID().empty());
}

TEST(TransportConnectionParam, ServerEmptyNeedsAddressAndPort) {
  HX_TransportConnectionParam param;
  EXPECT_TRUE(param.serverEmpty());
  param.setServerAddress("10.0.0.1");
  EXPECT_TRUE(param.serverEmpty());  // port still 0
  param.setServerAddress("10.0.0.1", 4307);
  EXPECT_FALSE(param.serverEmpty());
  uint16_t port = 0;
  EXPECT_EQ(param.getServerAddress(port), "10.0.0.1");
  EXPECT_EQ(port, 4307);

  param.setServerDomain("example.org");
  param.setCID("c");
  param.setSID("s");
  const HX_TransportConnectionParam copy = param;
  EXPECT_EQ(copy.getServerDomain(), "example.org");
  param.clear();
  EXPECT_TRUE(param.serverEmpty());
  EXPECT_TRUE(param.getCID().empty() && param.getSID().empty() && param.getServerDomain().empty());
  EXPECT_EQ(copy.getCID(), "c");  // the copy is independent
}

}  // namespace
