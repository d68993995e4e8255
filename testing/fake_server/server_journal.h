#pragma once
// What the fake server saw, for the tests to read and wait on: every message a client sent and
// every way a client broke the protocol. Thread-safe: the server thread records, any thread reads.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "testing/fake_server/message_frame.h"

namespace hx::testing {

struct ReceivedMessage {
  int connection = 0;
  MessageFrame frame;
  bool control = false;  // a transport control message (body length field 0)
  HX_Container body;     // a service message's body, deserialised
  std::string method;    // the body's "Method" entry, or ""

  const std::string& service() const { return frame.names.dst_service; }
  // The control code of a control message ('p' for a ping), or 0.
  char control_code() const {
    return control && !frame.names.add_string.empty() ? frame.names.add_string[0] : 0;
  }
};

using MessagePredicate = std::function<bool(const ReceivedMessage&)>;

class ServerJournal {
 public:
  // Whether messages are kept (the default); a load run that counts messages through its own
  // handler turns keeping off, so that the journal does not grow with every message.
  void SetKeepMessages(bool keep) { keep_messages_.store(keep); }
  bool KeepsMessages() const { return keep_messages_.load(); }
  // Keeps `message`, unless keeping is off.
  void RecordMessage(ReceivedMessage message);
  // `text` says what the client did wrong; it is kept as "connection N: text".
  void RecordViolation(int connection, const std::string& text);

  std::vector<ReceivedMessage> Messages() const;
  std::vector<std::string> Violations() const;

  // Waits until a recorded message (an earlier one included) satisfies `predicate`, up to
  // `timeout_ms`; copies the first one that does into `found` when given. Each message is given
  // to `predicate` once, so it must depend on the message alone.
  bool WaitForMessage(const MessagePredicate& predicate, int timeout_ms,
                      ReceivedMessage* found = nullptr) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ReceivedMessage> messages_;
  std::vector<std::string> violations_;
  std::atomic<bool> keep_messages_{true};
};

}  // namespace hx::testing
