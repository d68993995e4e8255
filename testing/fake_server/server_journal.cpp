#include "testing/fake_server/server_journal.h"

#include <algorithm>
#include <chrono>

namespace hx::testing {

void ServerJournal::RecordMessage(ReceivedMessage message) {
  if (!KeepsMessages()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(std::move(message));
  }
  changed_.notify_all();
}

void ServerJournal::RecordViolation(int connection, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    violations_.push_back("connection " + std::to_string(connection) + ": " + text);
  }
  changed_.notify_all();
}

std::vector<ReceivedMessage> ServerJournal::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<std::string> ServerJournal::Violations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return violations_;
}

bool ServerJournal::WaitForMessage(const MessagePredicate& predicate, int timeout_ms,
                                   ReceivedMessage* found) const {
  std::unique_lock<std::mutex> lock(mutex_);
  // The journal only grows: each wake-up checks the messages recorded since the last one, so a
  // wait across a long stream of messages stays linear and leaves the lock to the recorders.
  auto match = messages_.end();
  size_t checked = 0;
  const bool matched = changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    match = std::find_if(messages_.begin() + static_cast<std::ptrdiff_t>(checked), messages_.end(),
                         predicate);
    checked = messages_.size();
    return match != messages_.end();
  });
  if (matched && found != nullptr) *found = *match;
  return matched;
}

}  // namespace hx::testing
