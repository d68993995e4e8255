#include "testing/fake_server/fake_ds_control.h"

#include <chrono>

namespace hx::testing {

FakeDsControl::FakeDsControl(FakeServer& server, FakeServices& services)
    : server_(server), services_(services) {
  server_.SetServiceHandler(
      "DS_CONTROL", [this](FakeConnection& c, const ReceivedMessage& m) { OnMessage(c, m); });
}

FakeDsControl::~FakeDsControl() { server_.SetServiceHandler("DS_CONTROL", nullptr); }

bool FakeDsControl::SendToUser(const std::string& user, const HX_Container& body) {
  const int connection = services_.ConnectionOfUser(user);
  if (connection == 0) return false;
  return services_.SendToClient(connection, "DS_CONTROL", body);
}

void FakeDsControl::ScriptAnswer(const std::string& method, const HX_Container& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_[method].push_back(answer);
}

std::vector<FakeDsMessage> FakeDsControl::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool FakeDsControl::WaitForCount(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return received_.size() >= count; });
}

void FakeDsControl::OnMessage(FakeConnection& connection, const ReceivedMessage& message) {
  FakeDsMessage record;
  record.sender = services_.LoggedInUser(connection.id());
  record.dst_server = message.frame.names.dst_server;
  record.dst_user = message.frame.names.dst_user;
  record.method = message.method;
  record.body = message.body;
  bool answer = false;
  HX_Container scripted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = answers_.find(message.method);
    if (found != answers_.end() && !found->second.empty()) {
      scripted = found->second.front();
      found->second.erase(found->second.begin());
      answer = true;
    }
    received_.push_back(std::move(record));
  }
  changed_.notify_all();
  // The answer goes out after the record is kept, so a test that sees the record and then waits
  // for the client's reaction never misses it.
  if (answer) services_.SendToClient(connection.id(), "DS_CONTROL", scripted);
}

}  // namespace hx::testing
