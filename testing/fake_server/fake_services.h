#pragma once
// The fake server's login service "AUTH", network-configuration service "NET_CONFIG" and client
// service "CLIENT", installed as service handlers of one FakeServer. Every message they send
// names the client's service as destination service and carries "Method".
//
// "AUTH": "LoginUser" with an account's login and the password it expects (the MD5 of the
// password as 32 upper-case hexadecimal digits, or the password itself once this connection was
// sent "authentication_method" "1"), its e-mail key as password, or the key it issued, answers
// "UserLoggedin" result 0 with the account's session; a wrong password or key answers result 3.
// A test may script the next answers instead (any body, or silence). "CheckUserLoginStatus"
// answers result 1 when the connection is logged in, else 2; "LogoutUser" answers
// "UserLoggedout" 0/0; "ReqUpdateAccount" answers "UpdateAccount" (type 4 or 3 with "Result" and
// "CallId", or a new "Session" for a session-key request); "SetRegID" is recorded.
//
// "NET_CONFIG": "GetAppProps" answers "SetProps" with the properties the test set (always with
// "server_protocol_version", and "fake_round": how many "GetAppProps" the server has received);
// "UpdateConfiguration", "SetProps" and "SetUserProperty" are recorded, the bindings read with the
// server's own endpoint-record reader. After a successful login the server sends
// "UpdateConfiguration" with its id, its services and its own address; a test may send "RedirectTo"
// naming another server.
//
// "CLIENT": a "TryAcceptDirect" from a logged-in client goes, body unchanged, to the connection
// of the user named as destination user.
//
// Thread safety: handlers run on the server thread; the test's operations take the object's lock.

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "testing/fake_server/endpoint_blob.h"
#include "testing/fake_server/fake_server.h"

namespace hx::testing {

struct FakeAccount {
  std::string login;  // the user's full id, as the client sends it
  std::string password;
  std::string display_name = "Test User";
  std::string key = "key-0001";  // the key the server issues and accepts
  std::string email_key;         // accepted as password when not empty
  std::string session = "session-0001";
  int32_t rights = 0x11;
  int32_t type = 1;
  int32_t tarif_restr = 0;
  std::string tarif_name = "basic";
  std::optional<HX_Container> property;
};

// One "IPConfig" or "IPv6Config" entry the client sent.
struct FakeBinding {
  std::string key;
  FakeEndpoint endpoint;
};

class FakeServices {
 public:
  // Installs the three handlers on `server`, which must outlive this object's use; `server_id`
  // is the name the server gives itself.
  FakeServices(FakeServer& server, std::string server_id);
  ~FakeServices();
  FakeServices(const FakeServices&) = delete;
  FakeServices& operator=(const FakeServices&) = delete;

  void AddAccount(const FakeAccount& account);
  // The next "LoginUser" requests are answered in turn with "UserLoggedin" carrying `keys`
  // (after "Method"), or not at all (nullopt). Once the script is used up, the accounts decide.
  void ScriptLoginAnswer(std::optional<HX_Container> keys);
  // The result of the next profile or password change (0 by default).
  void SetAccountUpdateResult(int32_t result);
  // The properties "SetProps" answers "GetAppProps" with, beside "server_protocol_version".
  void SetAppProps(const HX_Container& properties, const std::string& protocol_version = "450");
  // Whether session-key requests are answered (on by default).
  void SetAnswerSessionKeyRequests(bool answer);
  // Whether a login is followed by "UpdateConfiguration" (on by default).
  void SetSendConfigurationAfterLogin(bool send);

  // Unsolicited messages to a client's connection; false when there is none with this id.
  bool SendLoggedOut(int connection, int32_t result, int32_t cause);
  bool SendRedirect(int connection, const std::string& name,
                    const std::vector<FakeEndpoint>& endpoints);
  bool SendToClient(int connection, const std::string& service, const HX_Container& body);

  // What the server's own "UpdateConfiguration" carries: its address.
  std::vector<FakeEndpoint> OwnEndpoints() const;
  static constexpr const char* kServices = "AUTH,NET_CONFIG,CLIENT";

  // Recorded.
  std::vector<FakeBinding> Bindings() const;  // of every "UpdateConfiguration" received
  std::vector<HX_Container> Received(const std::string& method) const;
  std::vector<std::string> Problems() const;  // what the server could not read
  // The user logged in on `connection`, or "".
  std::string LoggedInUser(int connection) const;
  // The connection on which `user` (compared without regard to letter case) is logged in, or 0.
  int ConnectionOfUser(const std::string& user) const;

 private:
  void OnAuth(FakeConnection& connection, const ReceivedMessage& message);
  void OnNetConfig(FakeConnection& connection, const ReceivedMessage& message);
  void OnClient(FakeConnection& connection, const ReceivedMessage& message);
  void OnLoginUser(FakeConnection& connection, const ReceivedMessage& message);
  void Record(const ReceivedMessage& message);
  void Problem(const std::string& text);
  std::shared_ptr<FakeConnection> FindConnection(int id) const;

  FakeServer& server_;
  const std::string server_id_;

  mutable std::mutex mutex_;
  std::vector<FakeAccount> accounts_;
  std::deque<std::optional<HX_Container>> login_script_;
  int32_t account_update_result_ = 0;
  HX_Container app_props_;
  std::string protocol_version_ = "450";
  bool send_configuration_ = true;
  bool answer_session_key_ = true;
  std::map<int, std::string> logged_in_;  // connection id -> user
  std::map<int, bool> plain_password_;    // connection id -> "authentication_method" "1" sent
  std::vector<FakeBinding> bindings_;
  std::map<std::string, std::vector<HX_Container>> received_;
  std::vector<std::string> problems_;
  int session_serial_ = 0;
};

}  // namespace hx::testing
