#include "testing/fake_server/fake_conference.h"

#include "testing/fake_server/server_messages.h"

namespace hx::testing {
namespace {

std::string Text(const HX_Container& body, const char* name, bool* present = nullptr) {
  std::string value;
  const bool found = body.GetValue(name, value);
  if (present != nullptr) *present = found;
  return value;
}

bool Integer(const HX_Container& body, const char* name, int32_t& value) {
  size_t size = sizeof(value);
  return body.GetValue(name, HX_CNT_INTEGER_VT, &value, size);
}

std::vector<uint8_t> Binary(const HX_Container& body, const char* name) {
  size_t size = 0;
  const auto* bytes = static_cast<const uint8_t*>(body.GetValueRef(name, HX_CNT_BINARY_VT, size));
  return bytes != nullptr ? std::vector<uint8_t>(bytes, bytes + size) : std::vector<uint8_t>();
}

HX_Container WithMethod(const char* method) {
  HX_Container body;
  body.AddValue("Method", method);
  return body;
}

void AddBinary(HX_Container& body, const char* name, const std::vector<uint8_t>& bytes) {
  if (!bytes.empty()) body.AddValue(name, HX_CNT_BINARY_VT, bytes.data(), bytes.size());
}

}  // namespace

FakeConference::FakeConference(FakeServer& server, FakeServices& services, std::string server_id)
    : server_(server),
      services_(services),
      server_id_(std::move(server_id)),
      alive_(std::make_shared<Alive>()) {
  // The server thread calls a copy of the handler, which may still run after the handler was
  // replaced: each call checks, under the token's lock, that this object still exists.
  std::shared_ptr<Alive> alive = alive_;
  server_.SetServiceHandler("CONFERENCE",
                            [this, alive](FakeConnection& c, const ReceivedMessage& m) {
                              std::lock_guard<std::mutex> lock(alive->mutex);
                              if (alive->yes) OnConference(c, m);
                            });
  server_.SetServiceHandler("LOG", [this, alive](FakeConnection&, const ReceivedMessage& m) {
    std::lock_guard<std::mutex> lock(alive->mutex);
    if (alive->yes) OnLog(m);
  });
}

FakeConference::~FakeConference() {
  server_.SetServiceHandler("CONFERENCE", nullptr);
  server_.SetServiceHandler("LOG", nullptr);
  // Waits for a call that is running.
  std::lock_guard<std::mutex> lock(alive_->mutex);
  alive_->yes = false;
}

void FakeConference::ScriptCreateAnswer(const FakeCreateAnswer& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  create_script_.push_back(answer);
}

void FakeConference::SetAcceptDirectConnect(int32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  accept_direct_ = value;
}

void FakeConference::AddConference(const FakeConferenceRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  conferences_[record.sid] = record;
}

void FakeConference::SetParticipantsListener(FakeParticipantsListener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  participants_listener_ = std::move(listener);
}

bool FakeConference::ChangeParticipant(const std::string& sid, const std::string& user,
                                       FakeParticipantsEvent event) {
  FakeParticipantsListener listener;
  std::set<std::string> participants;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = conferences_.find(sid);
    if (found == conferences_.end() || (found->second.type != 5 && found->second.type != 6)) return false;
    if (event == FakeParticipantsEvent::kJoined) found->second.participants.insert(user);
    if (event == FakeParticipantsEvent::kLeft) found->second.participants.erase(user);
    participants = found->second.participants;
    listener = participants_listener_;
  }
  if (listener) listener(sid, user, event, participants);
  return true;
}

bool FakeConference::AddParticipant(const std::string& sid, const std::string& user) {
  return ChangeParticipant(sid, user, FakeParticipantsEvent::kJoined);
}

bool FakeConference::RemoveParticipant(const std::string& sid, const std::string& user) {
  return ChangeParticipant(sid, user, FakeParticipantsEvent::kLeft);
}

std::optional<FakeConferenceRecord> FakeConference::Conference(const std::string& sid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = conferences_.find(sid);
  if (found == conferences_.end()) return std::nullopt;
  return found->second;
}

std::vector<std::string> FakeConference::Sids() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> sids;
  for (const auto& [sid, record] : conferences_) sids.push_back(sid);
  return sids;
}

std::vector<HX_Container> FakeConference::Received(const std::string& method) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = received_.find(method);
  return found != received_.end() ? found->second : std::vector<HX_Container>();
}

std::vector<HX_Container> FakeConference::Logged() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return logged_;
}

std::vector<std::string> FakeConference::Undelivered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return undelivered_;
}

std::vector<std::string> FakeConference::Problems() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return problems_;
}

std::vector<std::vector<FakeEndpoint>> FakeConference::ConnectFailureEndpoints() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_endpoints_;
}

void FakeConference::Problem(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  problems_.push_back(text);
}

bool FakeConference::SendToUser(const std::string& user, const HX_Container& body) {
  const int connection = services_.ConnectionOfUser(user);
  if (connection == 0) return false;
  return services_.SendToClient(connection, "CONFERENCE", body);
}

void FakeConference::Deliver(const std::string& user, const HX_Container& body) {
  if (SendToUser(user, body)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  undelivered_.push_back(user + ": " + Text(body, "Method"));
}

void FakeConference::OnLog(const ReceivedMessage& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  logged_.push_back(message.body);
}

void FakeConference::OnConference(FakeConnection& connection, const ReceivedMessage& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    received_[message.method].push_back(message.body);
  }
  const std::string sender = services_.LoggedInUser(connection.id());
  const std::string& method = message.method;
  if (sender.empty()) {
    Problem("CONFERENCE: '" + method + "' from a client that is not logged in");
    return;
  }
  if (method == "CreateConference") {
    OnCreate(connection, message);
  } else if (method == "Invite") {
    OnInvite(sender, message);
  } else if (method == "Accept") {
    OnAccept(sender, message);
  } else if (method == "Reject") {
    OnReject(sender, message);
  } else if (method == "Join") {
    OnJoin(connection, sender, message);
  } else if (method == "ReqInvite") {
    HX_Container forward = WithMethod("ReqInvite");
    forward.AddValue("UserName", sender.c_str());
    forward.AddValue("CallId", sender.c_str());
    forward.AddValue("DisplayName", sender.c_str());
    const std::string id = Text(message.body, "id");
    if (!id.empty()) forward.AddValue("id", id.c_str());
    Deliver(Text(message.body, "CallId"), forward);
  } else if (method == "Hangup") {
    OnDelete(Text(message.body, "Conference"));
  } else if (method == "DeleteConference") {
    OnDelete(Text(message.body, "Name"));
  } else if (method == "ConfigurationUpdated") {
    Deliver(message.frame.names.dst_user, message.body);
  } else if (method == "RoleEvent") {
    OnRoleEvent(sender, message);
  } else if (method == "SearchAddressBook") {
    int32_t book = 0;
    Integer(message.body, "AddressBook", book);
    if (book == 7) ChangeParticipant(Text(message.body, "Conference"), sender, FakeParticipantsEvent::kListAsked);
  } else if (method == "ConnectFailure") {
    const std::vector<uint8_t> blob = Binary(message.body, "EpConfig");
    auto endpoints = DecodeEndpointList(blob.data(), blob.size());
    if (!endpoints) {
      Problem("CONFERENCE: unreadable EpConfig");
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    failure_endpoints_.push_back(std::move(*endpoints));
  }
}

void FakeConference::OnRoleEvent(const std::string& sender, const ReceivedMessage& message) {
  int32_t type = 3;
  Integer(message.body, "Type", type);
  if (type != 0) return;
  const std::string sid = Text(message.body, "Conference");
  std::string owner;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = conferences_.find(sid);
    if (found == conferences_.end()) {
      problems_.push_back("CONFERENCE: RoleEvent for unknown conference '" + sid + "'");
      return;
    }
    owner = found->second.owner;
  }
  // The owner learns who asks, the role and the preview as the asker sent them.
  HX_Container query = WithMethod("RoleEvent");
  query.AddValue("Conference", sid.c_str());
  query.AddValue("Type", int32_t{0});
  query.AddValue("UserName", sender.c_str());
  for (const char* key : {"Role", "PreviewWidthParam", "PreviewHeightParam"}) {
    int32_t value = 0;
    if (Integer(message.body, key, value)) query.AddValue(key, value);
  }
  const std::vector<uint8_t> preview = Binary(message.body, "PreviewBodyParam");
  if (!preview.empty()) AddBinary(query, "PreviewBodyParam", preview);
  Deliver(owner, query);
}

bool FakeConference::SendTryAcceptDirect(const std::string& user, const std::string& sid) {
  const int connection = services_.ConnectionOfUser(user);
  if (connection == 0) return false;
  HX_Container body = WithMethod("TryAcceptDirect");
  body.AddValue("Name", sid.c_str());
  return services_.SendToClient(connection, "CLIENT", body);
}

void FakeConference::OnCreate(FakeConnection& connection, const ReceivedMessage& message) {
  FakeCreateAnswer answer;
  answer.result = 1;
  std::string sid;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!create_script_.empty()) {
      answer = create_script_.front();
      create_script_.erase(create_script_.begin());
    }
    sid = "c" + std::to_string(next_sid_++) + "@" + server_id_;
    if (answer.result && *answer.result == 1) {
      FakeConferenceRecord record;
      record.sid = sid;
      record.owner = services_.LoggedInUser(connection.id());
      Integer(message.body, "Type", record.type);
      Integer(message.body, "SubType", record.sub_type);
      record.name = Text(message.body, "Name");
      record.password = Text(message.body, "Password");
      record.participants.insert(record.owner);
      record.owner_caps = Binary(message.body, "ClientCaps");
      conferences_[sid] = record;
    }
  }
  if (!answer.result) return;
  HX_Container reply = WithMethod("ConferenceCreated");
  reply.AddValue("Result", *answer.result);
  reply.AddValue("Name", sid.c_str());
  if (answer.delay.count() > 0) connection.Pause(answer.delay);
  connection.Send(ServiceMessage("CONFERENCE", "CONFERENCE", reply));
}

void FakeConference::OnInvite(const std::string& sender, const ReceivedMessage& message) {
  const HX_Container& body = message.body;
  const std::string sid = Text(body, "Conference");
  const std::string invited = Text(body, "CallId");
  const std::vector<uint8_t> caps = Binary(body, "ClientCaps");
  int32_t type = 0;
  const bool group = Integer(body, "Type", type);
  FakeConferenceRecord record;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    caps_[sender] = caps;
    const auto found = conferences_.find(sid);
    if (found == conferences_.end()) {
      problems_.push_back("CONFERENCE: Invite for unknown conference '" + sid + "'");
      return;
    }
    found->second.participants.insert(invited);
    if (found->second.owner == sender) found->second.owner_caps = caps;
    record = found->second;
  }
  if (!group) {
    HX_Container invite = WithMethod("Invite");
    invite.AddValue("CallId", invited.c_str());
    invite.AddValue("Name", sender.c_str());
    invite.AddValue("Conference", sid.c_str());
    invite.AddValue("DisplayName", sender.c_str());
    invite.AddValue("Password", record.password.c_str());
    int32_t direct = 0;
    Integer(body, "DirectConnect", direct);
    invite.AddValue("DirectConnect", direct);
    AddBinary(invite, "ClientCaps", caps);
    Deliver(invited, invite);
    return;
  }
  HX_Container invite = WithMethod("InviteToMulti");
  invite.AddValue("UserName", sender.c_str());
  invite.AddValue("Conference", sid.c_str());
  invite.AddValue("Type", type);
  invite.AddValue("SubType", record.sub_type);
  int32_t scope = 0;
  invite.AddValue("Scope", scope);
  invite.AddValue("topic", Text(body, "topic").c_str());
  invite.AddValue("Password", Text(body, "Password").c_str());
  bool has_id = false;
  const std::string id = Text(body, "id", &has_id);
  if (has_id) invite.AddValue("id", id.c_str());
  AddBinary(invite, "ClientCaps", caps);
  Deliver(invited, invite);
}

void FakeConference::OnAccept(const std::string& sender, const ReceivedMessage& message) {
  const HX_Container& body = message.body;
  const std::string sid = Text(body, "Conference");
  FakeConferenceRecord record;
  int32_t direct;
  std::vector<uint8_t> callee_caps = Binary(body, "ClientCaps");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = conferences_.find(sid);
    if (found == conferences_.end()) {
      problems_.push_back("CONFERENCE: Accept for unknown conference '" + sid + "'");
      return;
    }
    caps_[sender] = callee_caps;
    record = found->second;
    direct = accept_direct_;
  }
  const std::string key = Text(body, "SymKey");
  auto accept = [&](const std::string& other, const std::vector<uint8_t>& caps) {
    HX_Container a = WithMethod("Accept");
    a.AddValue("Instance", other.c_str());
    a.AddValue("Conference", sid.c_str());
    a.AddValue("DisplayName", other.c_str());
    AddBinary(a, "ClientCaps", caps);
    a.AddValue("SymKey", key.c_str());
    a.AddValue("DirectConnect", direct);
    a.AddValue("CMRFlags", int32_t{0});
    return a;
  };
  // The caller learns of the callee, the callee of the caller.
  Deliver(record.owner, accept(sender, callee_caps));
  Deliver(sender, accept(record.owner, record.owner_caps));
}

void FakeConference::OnReject(const std::string& sender, const ReceivedMessage& message) {
  const HX_Container& body = message.body;
  const std::string sid = Text(body, "Conference");
  std::string other = Text(body, "Name");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = conferences_.find(sid);
    if (found != conferences_.end() && found->second.owner != sender) other = found->second.owner;
  }
  HX_Container reject = WithMethod("Reject");
  reject.AddValue("Conference", sid.c_str());
  reject.AddValue("Name", sender.c_str());
  int32_t cause = 0;
  Integer(body, "Cause", cause);
  reject.AddValue("Cause", cause);
  Deliver(other, reject);
}

void FakeConference::OnJoin(FakeConnection& connection, const std::string& sender,
                            const ReceivedMessage& message) {
  const std::string sid = Text(message.body, "Name");
  HX_Container reply = WithMethod("Join");
  FakeConferenceRecord record;
  bool known = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = conferences_.find(sid);
    if (found != conferences_.end() && (found->second.type == 5 || found->second.type == 6)) {
      found->second.participants.insert(sender);
      record = found->second;
      known = true;
    }
  }
  reply.AddValue("Result", int32_t{known ? 6 : 2});
  reply.AddValue("Conference", sid.c_str());
  if (known) {
    reply.AddValue("Name", record.name.c_str());
    reply.AddValue("UserName", record.owner.c_str());
    reply.AddValue("CallId", sid.c_str());
    reply.AddValue("topic", record.topic.c_str());
    reply.AddValue("Type", record.type);
    reply.AddValue("SubType", record.sub_type);
    reply.AddValue("MaxCast", int32_t{16});
    reply.AddValue("MaxPartisipants", int32_t{16});
    reply.AddValue("SVCMode", int32_t{0});
    reply.AddValue("LStatus", int32_t{0});
    reply.AddValue("Scope", int32_t{1});
  }
  connection.Send(ServiceMessage("CONFERENCE", "CONFERENCE", reply));
  if (known) ChangeParticipant(sid, sender, FakeParticipantsEvent::kJoined);
}

void FakeConference::OnDelete(const std::string& sid) {
  std::set<std::string> parties;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = conferences_.find(sid);
    if (found == conferences_.end()) return;
    parties = found->second.participants;
    conferences_.erase(found);
  }
  HX_Container deleted = WithMethod("ConferenceDeleted");
  deleted.AddValue("Name", sid.c_str());
  deleted.AddValue("Result", int32_t{0});
  for (const std::string& user : parties) Deliver(user, deleted);
}

}  // namespace hx::testing
