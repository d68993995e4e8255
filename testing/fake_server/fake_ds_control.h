#pragma once
// The fake server's remote desktop control service "DS_CONTROL", installed as a service handler of
// one FakeServer beside FakeServices (which logs the users in). It keeps no control state: it
// records every "DS_CONTROL" message with its sender, destination server and destination user,
// and sends what a test scripts, either at once (SendToUser) or as the answer to the next message
// of a method (ScriptAnswer). Written from the protocol, apart from the client's manager.
//
// Thread safety: the handler runs on the server thread; the test's operations take the object's
// lock.

#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "testing/fake_server/fake_server.h"
#include "testing/fake_server/fake_services.h"

namespace hx::testing {

struct FakeDsMessage {
  std::string sender;      // the logged-in user of the sending connection ("" when none)
  std::string dst_server;  // the frame's destination server ("" when none)
  std::string dst_user;    // the frame's destination user ("" when none)
  std::string method;      // the body's "Method"
  HX_Container body;
};

class FakeDsControl {
 public:
  FakeDsControl(FakeServer& server, FakeServices& services);
  ~FakeDsControl();
  FakeDsControl(const FakeDsControl&) = delete;
  FakeDsControl& operator=(const FakeDsControl&) = delete;

  // Sends `body` as a "DS_CONTROL" message to the connection of `user`; false without one.
  bool SendToUser(const std::string& user, const HX_Container& body);
  // The next message of `method` is answered with `answer`, sent to its sender; several scripted
  // answers of one method are used in turn.
  void ScriptAnswer(const std::string& method, const HX_Container& answer);

  std::vector<FakeDsMessage> Received() const;
  // Waits until at least `count` messages arrived, up to `timeout_ms`; false on timeout.
  bool WaitForCount(size_t count, int timeout_ms) const;

 private:
  void OnMessage(FakeConnection& connection, const ReceivedMessage& message);

  FakeServer& server_;
  FakeServices& services_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<FakeDsMessage> received_;
  std::map<std::string, std::vector<HX_Container>> answers_;
};

}  // namespace hx::testing
