#include "testing/fake_server/fake_services.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "testing/fake_server/server_messages.h"

namespace hx::testing {
namespace {

std::string UpperHexMd5(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) return "";
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof(pair), "%02X", digest[i]);
    hex += pair;
  }
  return hex;
}

bool SameId(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Text(const HX_Container& body, const char* name, bool* present = nullptr) {
  std::string value;
  const bool found = body.GetValue(name, value);
  if (present != nullptr) *present = found;
  return value;
}

HX_Container WithMethod(const char* method) {
  HX_Container body;
  body.AddValue("Method", method);
  return body;
}

}  // namespace

FakeServices::FakeServices(FakeServer& server, std::string server_id)
    : server_(server), server_id_(std::move(server_id)) {
  server_.SetServiceHandler("AUTH",
                            [this](FakeConnection& c, const ReceivedMessage& m) { OnAuth(c, m); });
  server_.SetServiceHandler(
      "NET_CONFIG", [this](FakeConnection& c, const ReceivedMessage& m) { OnNetConfig(c, m); });
  server_.SetServiceHandler(
      "CLIENT", [this](FakeConnection& c, const ReceivedMessage& m) { OnClient(c, m); });
}

FakeServices::~FakeServices() {
  server_.SetServiceHandler("AUTH", nullptr);
  server_.SetServiceHandler("NET_CONFIG", nullptr);
  server_.SetServiceHandler("CLIENT", nullptr);
}

void FakeServices::AddAccount(const FakeAccount& account) {
  std::lock_guard<std::mutex> lock(mutex_);
  accounts_.push_back(account);
}

void FakeServices::ScriptLoginAnswer(std::optional<HX_Container> keys) {
  std::lock_guard<std::mutex> lock(mutex_);
  login_script_.push_back(std::move(keys));
}

void FakeServices::SetAccountUpdateResult(int32_t result) {
  std::lock_guard<std::mutex> lock(mutex_);
  account_update_result_ = result;
}

void FakeServices::SetAppProps(const HX_Container& properties,
                               const std::string& protocol_version) {
  std::lock_guard<std::mutex> lock(mutex_);
  app_props_ = properties;
  protocol_version_ = protocol_version;
}

void FakeServices::SetAnswerSessionKeyRequests(bool answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_session_key_ = answer;
}

void FakeServices::SetSendConfigurationAfterLogin(bool send) {
  std::lock_guard<std::mutex> lock(mutex_);
  send_configuration_ = send;
}

std::shared_ptr<FakeConnection> FakeServices::FindConnection(int id) const {
  for (const auto& connection : server_.Connections()) {
    if (connection->id() == id) return connection;
  }
  return nullptr;
}

bool FakeServices::SendToClient(int connection, const std::string& service,
                                const HX_Container& body) {
  const auto target = FindConnection(connection);
  if (!target) return false;
  target->Send(ServiceMessage(service, service, body));
  return true;
}

bool FakeServices::SendLoggedOut(int connection, int32_t result, int32_t cause) {
  HX_Container body = WithMethod("UserLoggedout");
  body.AddValue("Result", result);
  body.AddValue("Cause", cause);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    logged_in_.erase(connection);
  }
  return SendToClient(connection, "AUTH", body);
}

bool FakeServices::SendRedirect(int connection, const std::string& name,
                                const std::vector<FakeEndpoint>& endpoints) {
  HX_Container body = WithMethod("RedirectTo");
  body.AddValue("Name", name.c_str());
  const std::vector<uint8_t> blob = EncodeEndpointList(endpoints);
  body.AddValue("EpConfig", HX_CNT_BINARY_VT, blob.data(), blob.size());
  return SendToClient(connection, "NET_CONFIG", body);
}

std::vector<FakeEndpoint> FakeServices::OwnEndpoints() const {
  FakeEndpoint own;
  own.host = "127.0.0.1";
  own.port = server_.port();
  own.protocol = "Tcp";
  return {own};
}

std::vector<FakeBinding> FakeServices::Bindings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bindings_;
}

std::vector<HX_Container> FakeServices::Received(const std::string& method) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = received_.find(method);
  return it != received_.end() ? it->second : std::vector<HX_Container>();
}

std::vector<std::string> FakeServices::Problems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return problems_;
}

std::string FakeServices::LoggedInUser(int connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = logged_in_.find(connection);
  return it != logged_in_.end() ? it->second : std::string();
}

int FakeServices::ConnectionOfUser(const std::string& user) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, logged] : logged_in_) {
    if (SameId(logged, user)) return id;
  }
  return 0;
}

void FakeServices::Record(const ReceivedMessage& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  received_[message.method].push_back(message.body);
}

void FakeServices::Problem(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  problems_.push_back(text);
}

// ---- AUTH

void FakeServices::OnAuth(FakeConnection& connection, const ReceivedMessage& message) {
  Record(message);
  const std::string& method = message.method;
  if (method == "LoginUser") {
    OnLoginUser(connection, message);
  } else if (method == "CheckUserLoginStatus") {
    HX_Container answer = WithMethod("UserLoggedin");
    answer.AddValue("Result", static_cast<int32_t>(LoggedInUser(connection.id()).empty() ? 2 : 1));
    connection.Send(ServiceMessage("AUTH", "AUTH", answer));
  } else if (method == "LogoutUser") {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      logged_in_.erase(connection.id());
    }
    HX_Container answer = WithMethod("UserLoggedout");
    answer.AddValue("Result", static_cast<int32_t>(0));
    answer.AddValue("Cause", static_cast<int32_t>(0));
    connection.Send(ServiceMessage("AUTH", "AUTH", answer));
  } else if (method == "ReqUpdateAccount") {
    int32_t type = 0;
    size_t size = sizeof(type);
    const bool typed = message.body.GetValue("Type", HX_CNT_INTEGER_VT, &type, size);
    HX_Container answer = WithMethod("UpdateAccount");
    if (typed && (type == 3 || type == 4)) {
      int32_t result;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        result = account_update_result_;
      }
      answer.AddValue("Type", type);
      answer.AddValue("Result", result);
      answer.AddValue("CallId", Text(message.body, "CallId").c_str());
    } else {
      std::string session;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!answer_session_key_) return;
        session = "session-renewed-" + std::to_string(++session_serial_);
      }
      answer.AddValue("Session", session.c_str());
    }
    connection.Send(ServiceMessage("AUTH", "AUTH", answer));
  } else if (method != "SetRegID") {
    Problem("AUTH: unknown method '" + method + "'");
  }
}

void FakeServices::OnLoginUser(FakeConnection& connection, const ReceivedMessage& message) {
  std::optional<HX_Container> scripted;
  bool from_script = false;
  FakeAccount account;
  bool accepted = false;
  bool send_configuration;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    send_configuration = send_configuration_;
    if (!login_script_.empty()) {
      scripted = std::move(login_script_.front());
      login_script_.pop_front();
      from_script = true;
    } else {
      bool has_password = false;
      const std::string login = Text(message.body, "Login");
      const std::string password = Text(message.body, "Password", &has_password);
      const std::string key = Text(message.body, "Key");
      const bool plain = plain_password_[connection.id()];
      for (const FakeAccount& candidate : accounts_) {
        if (!SameId(candidate.login, login)) continue;
        if (has_password) {
          const std::string expected = plain ? candidate.password : UpperHexMd5(candidate.password);
          accepted = password == expected ||
                     (!candidate.email_key.empty() && password == candidate.email_key);
        } else {
          accepted = !key.empty() && key == candidate.key;
        }
        account = candidate;
        break;
      }
      if (accepted) logged_in_[connection.id()] = account.login;
    }
  }
  HX_Container answer = WithMethod("UserLoggedin");
  if (from_script) {
    if (!scripted) return;  // silence
    scripted->AttachToCnt(answer);
    connection.Send(ServiceMessage("AUTH", "AUTH", answer));
    return;
  }
  if (!accepted) {
    answer.AddValue("Result", static_cast<int32_t>(3));
    connection.Send(ServiceMessage("AUTH", "AUTH", answer));
    return;
  }
  answer.AddValue("Result", static_cast<int32_t>(0));
  answer.AddValue("UserName", account.login.c_str());
  answer.AddValue("DisplayName", account.display_name.c_str());
  answer.AddValue("Session", account.session.c_str());
  answer.AddValue("Key", account.key.c_str());
  answer.AddValue("Rights", account.rights);
  answer.AddValue("Type", account.type);
  answer.AddValue("TarifRestr", account.tarif_restr);
  answer.AddValue("TarifName", account.tarif_name.c_str());
  if (account.property) answer.AddValue("Property", *account.property);
  connection.Send(ServiceMessage("AUTH", "AUTH", answer));
  if (send_configuration) {
    HX_Container update = WithMethod("UpdateConfiguration");
    update.AddValue("Name", server_id_.c_str());
    update.AddValue("Services", kServices);
    const std::vector<uint8_t> blob = EncodeEndpointList(OwnEndpoints());
    update.AddValue("EpConfig", HX_CNT_BINARY_VT, blob.data(), blob.size());
    connection.Send(ServiceMessage("NET_CONFIG", "NET_CONFIG", update));
  }
}

// ---- NET_CONFIG

void FakeServices::OnNetConfig(FakeConnection& connection, const ReceivedMessage& message) {
  const std::string& method = message.method;
  // Recorded last, once its bindings are read: a test that sees the message sees them too.
  struct RecordOnExit {
    FakeServices* self;
    const ReceivedMessage& message;
    ~RecordOnExit() { self->Record(message); }
  } record{this, message};
  if (method == "GetAppProps") {
    HX_Container answer = WithMethod("SetProps");
    std::string plain_method;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      app_props_.AttachToCnt(answer);
      answer.AddValue("server_protocol_version", protocol_version_.c_str());
      // Tells the test which request this answers (this one is recorded when the handler ends).
      answer.AddValue("fake_round", std::to_string(received_["GetAppProps"].size() + 1).c_str());
      plain_method = Text(app_props_, "authentication_method");
      if (!plain_method.empty() && plain_method[0] == '1') plain_password_[connection.id()] = true;
    }
    connection.Send(ServiceMessage("NET_CONFIG", "NET_CONFIG", answer));
  } else if (method == "UpdateConfiguration") {
    const HX_Container& body = message.body;
    body.Reset();
    while (body.Next()) {
      const std::string name = body.GetName();
      if (name != "IPConfig" && name != "IPv6Config") continue;
      size_t size = 0;
      const void* bytes = body.GetBinValueRef(size);
      const auto endpoint =
          DecodeEndpointRecord(static_cast<const uint8_t*>(bytes), bytes ? size : 0);
      if (!endpoint) {
        Problem("NET_CONFIG: unreadable " + name);
        continue;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      bindings_.push_back({name, *endpoint});
    }
  } else if (method != "SetProps" && method != "SetUserProperty") {
    Problem("NET_CONFIG: unknown method '" + method + "'");
  }
}

// ---- CLIENT

void FakeServices::OnClient(FakeConnection& connection, const ReceivedMessage& message) {
  Record(message);
  if (message.method != "TryAcceptDirect") {
    Problem("CLIENT: unknown method '" + message.method + "'");
    return;
  }
  const std::string sender = LoggedInUser(connection.id());
  if (sender.empty()) {
    Problem("CLIENT: TryAcceptDirect from a client that is not logged in");
    return;
  }
  const std::string& target_user = message.frame.names.dst_user;
  int target = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, user] : logged_in_) {
      if (SameId(user, target_user)) target = id;
    }
  }
  const auto peer = target != 0 ? FindConnection(target) : nullptr;
  if (!peer) {
    Problem("CLIENT: no connection of '" + target_user + "'");
    return;
  }
  MessageFrame frame;
  frame.flags = kRequestFlags;
  frame.sequence = 0;
  frame.time_limit = message.frame.time_limit;
  frame.names.src_service = "CLIENT";
  frame.names.dst_service = "CLIENT";
  frame.names.src_user = sender;
  frame.names.dst_user = target_user;
  frame.body = message.frame.body;
  peer->Send(std::move(frame));
}

}  // namespace hx::testing
