// The fake server's "CONFERENCE" and "LOG" services driven by raw clients
// (raw_test_client.h): several users logged in at once, one per connection, and
// the messages each connection receives read back with the server's own frame
// reader.

#include "testing/fake_server/fake_conference.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "testing/fake_server/message_frame.h"
#include "testing/fake_server/raw_test_client.h"
#include "testing/test_support.h"

namespace hx::testing {
namespace {

using namespace raw;  // NOLINT: the raw client and its worked bytes

constexpr char kServerId[] = "127.0.0.1#vcs";

std::string UpperHexMd5(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof(pair), "%02X", digest[i]);
    hex += pair;
  }
  return hex;
}

std::string Text(const HX_Container& body, const char* name) {
  std::string value;
  body.GetValue(name, value);
  return value;
}

int32_t Int(const HX_Container& body, const char* name) {
  int32_t value = -1;
  size_t size = sizeof(value);
  body.GetValue(name, HX_CNT_INTEGER_VT, &value, size);
  return value;
}

std::vector<std::string> Keys(const HX_Container& body) {
  std::vector<std::string> names;
  body.Reset();
  while (body.Next()) names.emplace_back(body.GetName());
  return names;
}

class User {
 public:
  User(uint16_t port, std::string login) : client_(port), login_(std::move(login)) {}

  RawClient& client() { return client_; }
  const std::string& login() const { return login_; }

  bool Send(const std::string& service, const HX_Container& body, const std::string& dst_user = "",
            const std::string& dst_server = "") {
    return client_.Send(HandBuiltMessage(
        0xC1, ++sequence_, 20000, {"abc", service, "52", "", service, "", dst_user, "", dst_server},
        Serialized(body)));
  }

  // The next message of `service` (others are skipped); its body, empty on
  // time-out.
  bool Next(const std::string& service, HX_Container* body) {
    for (int i = 0; i < 20; ++i) {
      const Bytes bytes = client_.ReadMessage();
      if (bytes.size() < 16) return false;
      MessageFrame frame;
      std::vector<std::string> problems;
      if (!DecodeMessage(bytes.data(), bytes.size(), frame, problems)) return false;
      if (frame.names.dst_service != service) continue;
      return body->Deserialize(frame.body.data(), frame.body.size());
    }
    return false;
  }

 private:
  RawClient client_;
  std::string login_;
  uint32_t sequence_ = 0;
};

class FakeConferenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start());
    services_ = std::make_unique<FakeServices>(server_, "fake#vcs");
    services_->SetSendConfigurationAfterLogin(false);
    conference_ = std::make_unique<FakeConference>(server_, *services_);
  }

  // A raw client past the handshake and logged in as `login`.
  std::unique_ptr<User> LoggedIn(const std::string& login) {
    FakeAccount account;
    account.login = login;
    account.password = "secret";
    services_->AddAccount(account);
    auto user = std::make_unique<User>(server_.port(), login);
    EXPECT_TRUE(user->client().Send(kRequestAbc));
    EXPECT_EQ(user->client().Read(kReplyAbc.size()), kReplyAbc);
    HX_Container login_body = WithMethod("LoginUser");
    login_body.AddValue("Login", login.c_str());
    login_body.AddValue("Password", UpperHexMd5("secret").c_str());
    EXPECT_TRUE(user->Send("AUTH", login_body));
    HX_Container answer;
    EXPECT_TRUE(user->Next("AUTH", &answer));
    EXPECT_EQ(Int(answer, "Result"), 0);
    return user;
  }

  FakeServer server_;
  std::unique_ptr<FakeServices> services_;
  std::unique_ptr<FakeConference> conference_;
};

TEST_F(FakeConferenceTest, CallFromCreationToHangupBetweenTwoConnections) {
  auto alice = LoggedIn("alice@x");
  auto bob = LoggedIn("bob@x");
  const uint8_t alice_caps[] = {1, 2, 3};
  const uint8_t bob_caps[] = {9, 8};

  HX_Container create = WithMethod("CreateConference");
  create.AddValue("Type", int32_t{0});
  ASSERT_TRUE(alice->Send("CONFERENCE", create));
  HX_Container created;
  ASSERT_TRUE(alice->Next("CONFERENCE", &created));
  EXPECT_EQ(Text(created, "Method"), "ConferenceCreated");
  EXPECT_EQ(Int(created, "Result"), 1);
  const std::string sid = Text(created, "Name");
  EXPECT_EQ(sid, std::string("c1@") + kServerId);

  HX_Container invite = WithMethod("Invite");
  invite.AddValue("Conference", sid.c_str());
  invite.AddValue("Name", "alice@x");
  invite.AddValue("CallId", "bob@x");
  invite.AddValue("DirectConnect", int32_t{4});
  invite.AddValue("ClientCaps", HX_CNT_BINARY_VT, alice_caps, sizeof(alice_caps));
  ASSERT_TRUE(alice->Send("CONFERENCE", invite, "", "127.0.0.1#vcs"));
  HX_Container received;
  ASSERT_TRUE(bob->Next("CONFERENCE", &received));
  EXPECT_EQ(Keys(received),
            (std::vector<std::string>{"Method", "CallId", "Name", "Conference", "DisplayName",
                                      "Password", "DirectConnect", "ClientCaps"}));
  EXPECT_EQ(Text(received, "Name"), "alice@x");
  EXPECT_EQ(Int(received, "DirectConnect"), 4);

  HX_Container accept = WithMethod("Accept");
  accept.AddValue("Conference", sid.c_str());
  accept.AddValue("Name", "alice@x");
  accept.AddValue("ClientCaps", HX_CNT_BINARY_VT, bob_caps, sizeof(bob_caps));
  accept.AddValue("SymKey", "KEY");
  ASSERT_TRUE(bob->Send("CONFERENCE", accept));
  HX_Container to_alice;
  HX_Container to_bob;
  ASSERT_TRUE(alice->Next("CONFERENCE", &to_alice));
  ASSERT_TRUE(bob->Next("CONFERENCE", &to_bob));
  EXPECT_EQ(Text(to_alice, "Instance"), "bob@x");
  EXPECT_EQ(Text(to_bob, "Instance"), "alice@x");
  size_t size = 0;
  EXPECT_NE(to_alice.GetValueRef("ClientCaps", HX_CNT_BINARY_VT, size), nullptr);
  EXPECT_EQ(size, sizeof(bob_caps));
  EXPECT_NE(to_bob.GetValueRef("ClientCaps", HX_CNT_BINARY_VT, size), nullptr);
  EXPECT_EQ(size, sizeof(alice_caps));
  EXPECT_EQ(Text(to_alice, "SymKey"), "KEY");
  EXPECT_EQ(Int(to_alice, "DirectConnect"), 0);

  HX_Container hangup = WithMethod("Hangup");
  hangup.AddValue("Conference", sid.c_str());
  ASSERT_TRUE(bob->Send("CONFERENCE", hangup));
  for (User* user : {alice.get(), bob.get()}) {
    HX_Container deleted;
    ASSERT_TRUE(user->Next("CONFERENCE", &deleted));
    EXPECT_EQ(Text(deleted, "Method"), "ConferenceDeleted");
    EXPECT_EQ(Text(deleted, "Name"), sid);
  }
  EXPECT_FALSE(conference_->Conference(sid).has_value());
  // Every message is in the journal with its destination server.
  ReceivedMessage journal;
  ASSERT_TRUE(server_.WaitForMessage([](const ReceivedMessage& m) { return m.method == "Invite"; },
                                     kWaitMs, &journal));
  EXPECT_EQ(journal.frame.names.dst_server, "127.0.0.1#vcs");
  EXPECT_TRUE(conference_->Problems().empty());
  EXPECT_TRUE(server_.Violations().empty());
}

TEST_F(FakeConferenceTest, GroupInvitationJoinRequestRejectAndLog) {
  auto alice = LoggedIn("alice@x");
  auto bob = LoggedIn("bob@x");
  auto carol = LoggedIn("carol@x");

  HX_Container create = WithMethod("CreateConference");
  create.AddValue("Type", int32_t{5});
  create.AddValue("Name", "room");
  ASSERT_TRUE(alice->Send("CONFERENCE", create));
  HX_Container created;
  ASSERT_TRUE(alice->Next("CONFERENCE", &created));
  const std::string sid = Text(created, "Name");

  HX_Container invite = WithMethod("Invite");
  invite.AddValue("id", "5");
  invite.AddValue("Conference", sid.c_str());
  invite.AddValue("Type", int32_t{5});
  invite.AddValue("CallId", "carol@x");
  invite.AddValue("Name", "alice@x");
  invite.AddValue("topic", "weekly");
  ASSERT_TRUE(alice->Send("CONFERENCE", invite));
  HX_Container multi;
  ASSERT_TRUE(carol->Next("CONFERENCE", &multi));
  EXPECT_EQ(Keys(multi), (std::vector<std::string>{"Method", "UserName", "Conference", "Type",
                                                   "SubType", "Scope", "topic", "Password", "id"}));
  EXPECT_EQ(Text(multi, "UserName"), "alice@x");

  HX_Container join = WithMethod("Join");
  join.AddValue("Name", sid.c_str());
  ASSERT_TRUE(carol->Send("CONFERENCE", join));
  HX_Container joined;
  ASSERT_TRUE(carol->Next("CONFERENCE", &joined));
  EXPECT_EQ(Int(joined, "Result"), 6);
  EXPECT_EQ(Text(joined, "Conference"), sid);
  EXPECT_EQ(Text(joined, "UserName"), "alice@x");

  HX_Container request = WithMethod("ReqInvite");
  request.AddValue("Type", int32_t{5});
  request.AddValue("CallId", "alice@x");
  request.AddValue("id", "17");
  ASSERT_TRUE(bob->Send("CONFERENCE", request));
  HX_Container asked;
  ASSERT_TRUE(alice->Next("CONFERENCE", &asked));
  EXPECT_EQ(Text(asked, "Method"), "ReqInvite");
  EXPECT_EQ(Text(asked, "CallId"), "bob@x");
  EXPECT_EQ(Text(asked, "id"), "17");

  HX_Container reject = WithMethod("Reject");
  reject.AddValue("Conference", sid.c_str());
  reject.AddValue("Name", "alice@x");
  reject.AddValue("Cause", int32_t{2});
  ASSERT_TRUE(bob->Send("CONFERENCE", reject));
  HX_Container refused;
  ASSERT_TRUE(alice->Next("CONFERENCE", &refused));
  EXPECT_EQ(Text(refused, "Name"), "bob@x");
  EXPECT_EQ(Int(refused, "Cause"), 2);

  HX_Container config = WithMethod("ConfigurationUpdated");
  config.AddValue("Name", "alice@x");
  ASSERT_TRUE(alice->Send("CONFERENCE", config, "bob@x"));
  HX_Container forwarded;
  ASSERT_TRUE(bob->Next("CONFERENCE", &forwarded));
  EXPECT_EQ(Text(forwarded, "Method"), "ConfigurationUpdated");

  HX_Container stat = WithMethod("LogPartStat");
  stat.AddValue("Conference", sid.c_str());
  ASSERT_TRUE(alice->Send("LOG", stat));
  ASSERT_TRUE(server_.WaitForMessage(
      [](const ReceivedMessage& m) { return m.method == "LogPartStat"; }, kWaitMs));
  // The journal keeps a message before its handler runs: wait for the handler.
  EXPECT_TRUE(WaitFor([&] { return conference_->Logged().size() == 1; }, kWaitMs));

  // A message for a user without a connection is recorded, not lost silently.
  HX_Container stray = WithMethod("Invite");
  stray.AddValue("Conference", sid.c_str());
  stray.AddValue("CallId", "nobody@x");
  ASSERT_TRUE(alice->Send("CONFERENCE", stray));
  ASSERT_TRUE(WaitFor([&] { return !conference_->Undelivered().empty(); }, kWaitMs));
  EXPECT_EQ(conference_->Undelivered()[0], "nobody@x: Invite");
}

TEST_F(FakeConferenceTest, ScriptedCreateAnswers) {
  auto alice = LoggedIn("alice@x");
  conference_->ScriptCreateAnswer({412, std::chrono::milliseconds(0)});
  conference_->ScriptCreateAnswer({std::nullopt, std::chrono::milliseconds(0)});
  HX_Container create = WithMethod("CreateConference");
  create.AddValue("Type", int32_t{5});
  ASSERT_TRUE(alice->Send("CONFERENCE", create));
  HX_Container answer;
  ASSERT_TRUE(alice->Next("CONFERENCE", &answer));
  EXPECT_EQ(Int(answer, "Result"), 412);
  EXPECT_TRUE(conference_->Sids().empty());
  // Silence, then the default again.
  ASSERT_TRUE(alice->Send("CONFERENCE", create));
  ASSERT_TRUE(alice->Send("CONFERENCE", create));
  ASSERT_TRUE(alice->Next("CONFERENCE", &answer));
  EXPECT_EQ(Int(answer, "Result"), 1);
  EXPECT_EQ(Text(answer, "Name"), std::string("c3@") + kServerId);
}

}  // namespace
}  // namespace hx::testing
