#include "testing/fake_server/fake_presence.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace hx::testing {

namespace {

constexpr char kService[] = "PRESENCE";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

HX_Container StatusBody(int32_t sequence) {
  HX_Container body;
  body.AddValue("Method", "UpdateStatus");
  body.AddValue("SeqID", sequence);
  return body;
}

// Every "CallId" entry of a request.
std::vector<std::string> CallIds(const HX_Container& body) {
  std::vector<std::string> ids;
  body.Reset();
  while (body.Next()) {
    std::string id;
    if (std::string(body.GetName()) == "CallId" && body.GetValue(id)) ids.push_back(Lower(id));
  }
  return ids;
}

}  // namespace

FakePresence::FakePresence(FakeServer& server, FakeServices& services) : server_(server), services_(services) {
  server_.SetServiceHandler(kService, [this](FakeConnection& connection, const ReceivedMessage& message) {
    OnPresence(connection, message);
  });
}

FakePresence::~FakePresence() { server_.SetServiceHandler(kService, nullptr); }

void FakePresence::OnPresence(FakeConnection& connection, const ReceivedMessage& message) {
  const std::string sender = Lower(services_.LoggedInUser(connection.id()));
  std::vector<Push> pushes;
  bool counted = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    received_[message.method].push_back(message.body);
    const HX_Container& body = message.body;
    if (message.method == "UpdateStatus" && !sender.empty()) {
      int32_t status = 0;
      size_t size = sizeof(status);
      body.GetValue("UserPresStatus", HX_CNT_INTEGER_VT, &status, size);
      HX_Container ext;
      const bool hasExt = body.GetValue("ExtSt", ext);
      ApplyNL(sender, status, hasExt ? &ext : nullptr, pushes);
    } else if (message.method == "Subscribe") {
      const std::vector<std::string> ids = CallIds(body);
      std::set<std::string>& subscribed = subscriptions_[connection.id()];
      subscribed.insert(ids.begin(), ids.end());
      int32_t cause = 0;
      size_t size = sizeof(cause);
      body.GetValue("Cause", HX_CNT_INTEGER_VT, &cause, size);
      if (cause == 1) {
        pushes.push_back(ListNL(connection.id(), {subscribed.begin(), subscribed.end()}, true));
      } else if (!ids.empty()) {
        pushes.push_back(ListNL(connection.id(), ids, false));
      }
      counted = false;  // answers are never dropped nor held
    } else if (message.method == "Unsubscribe") {
      for (const std::string& id : CallIds(body)) subscriptions_[connection.id()].erase(id);
    } else if (message.method == "GetAllUserStatus") {
      HX_Container answer;
      answer.AddValue("Method", "GetAllUserStatus");
      answer.AddValue("SeqID", sequence_[connection.id()]);
      pushes.push_back({connection.id(), answer});
      const std::set<std::string>& subscribed = subscriptions_[connection.id()];
      pushes.push_back(ListNL(connection.id(), {subscribed.begin(), subscribed.end()}, true));
      counted = false;
    }
  }
  Send(std::move(pushes), counted);
}

void FakePresence::SetUserStatus(const std::string& user, int32_t status, const HX_Container* ext) {
  std::vector<Push> pushes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ApplyNL(Lower(user), status, ext, pushes);
  }
  Send(std::move(pushes), true);
}

void FakePresence::ApplyNL(const std::string& user, int32_t status, const HX_Container* ext, std::vector<Push>& out) {
  UserState& state = users_[user];
  state.status = status;
  if (ext != nullptr) {
    std::vector<std::string> erased;
    ext->Reset();
    while (ext->Next()) {
      const std::string name = ext->GetName();
      std::string value;
      if (name == "DelExtSt") {
        if (ext->GetValue(value)) erased.push_back(value);
      } else if (name != "Cause") {
        HX_Container one;
        ext->AttachCurrentTo(one);
        state.ext[name] = one;
      }
    }
    for (const std::string& name : erased) state.ext.erase(name);
  }
  for (auto& [connection, subscribed] : subscriptions_) {
    if (subscribed.count(user) == 0) continue;
    HX_Container body = StatusBody(++sequence_[connection]);
    body.AddValue("CallId", user.c_str());
    body.AddValue("UserPresStatus", status);
    if (ext != nullptr && !ext->IsEmpty()) body.AddValue("ExtSt", *ext);
    out.push_back({connection, body});
  }
}

FakePresence::Push FakePresence::ListNL(int connection, const std::vector<std::string>& users, bool complete) {
  HX_Container body = StatusBody(++sequence_[connection]);
  if (complete) body.AddValue("Cause", 1);
  for (const std::string& user : users) AddUserNL(body, user);
  return {connection, body};
}

void FakePresence::AddUserNL(HX_Container& body, const std::string& user) const {
  body.AddValue("CallId", user.c_str());
  const auto found = users_.find(user);
  body.AddValue("UserPresStatus", found != users_.end() ? found->second.status : 0);
  if (found == users_.end() || found->second.ext.empty()) return;
  HX_Container ext;
  ext.AddValue("Cause", 1);
  for (const auto& [name, one] : found->second.ext) one.AttachToCnt(ext);
  body.AddValue("ExtSt", ext);
}

void FakePresence::Send(std::vector<Push> pushes, bool counted) {
  for (Push& push : pushes) {
    std::vector<Push> now;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (counted && drop_ > 0) {
        --drop_;
        continue;
      }
      if (counted && hold_) {
        hold_ = false;
        held_ = std::move(push);
        continue;
      }
      now.push_back(std::move(push));
      if (counted && held_) {
        now.push_back(std::move(*held_));
        held_.reset();
      }
    }
    for (const Push& out : now) services_.SendToClient(out.connection, kService, out.body);
  }
}

void FakePresence::WatchConference(FakeConference* conference) {
  if (conference == nullptr) return;
  conference->SetParticipantsListener([this](const std::string& sid, const std::string& user,
                                             FakeParticipantsEvent event,
                                             const std::set<std::string>& participants) {
    OnParticipants(sid, user, event, participants);
  });
}

void FakePresence::OnParticipants(const std::string& sid, const std::string& user, FakeParticipantsEvent event,
                                  const std::set<std::string>& participants) {
  int32_t sequence = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sequence = ++part_sequence_[sid];
  }
  if (event == FakeParticipantsEvent::kListAsked) {
    SendPartList(user, sid, 1, sequence, participants);
    return;
  }
  for (const std::string& other : participants) {
    if (other == user) {
      SendPartList(user, sid, 1, sequence, participants);
    } else {
      SendPartList(other, sid, event == FakeParticipantsEvent::kJoined ? 2 : 3, sequence, {user});
    }
  }
}

void FakePresence::SendPartList(const std::string& user, const std::string& sid, int32_t type, int32_t sequence,
                                const std::set<std::string>& listed) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (drop_lists_ > 0) {
      --drop_lists_;
      return;
    }
  }
  HX_Container body;
  body.AddValue("Method", "SendPartsList");
  body.AddValue("Conference", sid.c_str());
  body.AddValue("Type", type);
  body.AddValue("SeqID", sequence);
  for (const std::string& id : listed) {
    body.AddValue("UserName", id.c_str());
    body.AddValue("DisplayName", id.c_str());
    body.AddValue("Role", 1);
    body.AddValue("DeviceStatus", 0x10001);
    body.AddValue("IsOperator", false);
    body.AddValue("VideoType", 0);
  }
  const int connection = services_.ConnectionOfUser(user);
  if (connection != 0) services_.SendToClient(connection, kService, body);
}

void FakePresence::DropNextPartLists(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  drop_lists_ = count;
}

void FakePresence::DropNextPushes(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  drop_ = count;
}

void FakePresence::HoldNextPush() {
  std::lock_guard<std::mutex> lock(mutex_);
  hold_ = true;
}

int32_t FakePresence::StatusOf(const std::string& user) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = users_.find(Lower(user));
  return found != users_.end() ? found->second.status : 0;
}

HX_Container FakePresence::ExtStatusOf(const std::string& user) const {
  std::lock_guard<std::mutex> lock(mutex_);
  HX_Container ext;
  const auto found = users_.find(Lower(user));
  if (found == users_.end()) return ext;
  for (const auto& [name, one] : found->second.ext) one.AttachToCnt(ext);
  return ext;
}

std::vector<HX_Container> FakePresence::Received(const std::string& method) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = received_.find(method);
  return found != received_.end() ? found->second : std::vector<HX_Container>();
}

std::set<std::string> FakePresence::SubscriptionsOf(int connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = subscriptions_.find(connection);
  return found != subscriptions_.end() ? found->second : std::set<std::string>();
}

}  // namespace hx::testing
