#pragma once
// The fake server's conference service "CONFERENCE" and statistics sink "LOG",
// installed as service handlers of one FakeServer beside FakeServices (which
// logs the users in: one user per connection, several at once). Written from
// the protocol, apart from the client's conference service.
//
// Conferences are kept by SID: "cN@" followed by the server id the handshake
// reply names
// ("127.0.0.1#vcs" by default), with owner, type, password, topic and
// participants. By default:
//   "CreateConference"  -> "ConferenceCreated" "Result" 1, "Name" the new SID
//   (a test may script
//                          another result, a delay or silence);
//   "Invite"            -> to the invited user's connection: "Invite" for a
//   call, "InviteToMulti"
//                          for a group (the request carries "Type");
//   "Accept"            -> "Accept" to both parties, each naming the other in
//   "Instance"; "Reject"            -> to the other party with "Name" and
//   "Cause"; "Join"              -> "Join" with "Result" 6 (a known group
//   conference) and the owner as
//                          "UserName"; an unknown SID answers "Result" 2;
//   "ReqInvite"         -> to the conference owner (the user named "CallId");
//   "Hangup", "DeleteConference" -> "ConferenceDeleted" to every party;
//   "ConfigurationUpdated" -> to its destination user;
//   "RoleEvent" query (Type 0) -> to the conference owner, naming the asking user (an answer is
//                          only recorded).
// "SearchAddressBook" with "AddressBook" 7 and every join of a group conference go to the
// participants listener (FakePresence sends the participant lists). Everything else is recorded. "ConnectFailure"'s "EpConfig" is read with the
// server's own endpoint reader (ConnectFailureEndpoints). A message for a user
// without a connection is recorded as undelivered. Every message stays in the
// server's journal with its destination server (frame.names.dst_server).
//
// Thread safety: handlers run on the server thread; the test's operations take
// the object's lock.

#include <chrono>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "testing/fake_server/endpoint_blob.h"
#include "testing/fake_server/fake_server.h"
#include "testing/fake_server/fake_services.h"

namespace hx::testing {

// What changed in a group conference's participants: told with the participants after the change.
enum class FakeParticipantsEvent { kJoined, kLeft, kListAsked };
using FakeParticipantsListener =
    std::function<void(const std::string& sid, const std::string& user, FakeParticipantsEvent event,
                       const std::set<std::string>& participants)>;

struct FakeConferenceRecord {
  std::string sid;
  std::string owner;
  int32_t type = 0;
  int32_t sub_type = 0;
  std::string name;
  std::string password;
  std::string topic;
  std::set<std::string> participants;
  std::vector<uint8_t> owner_caps;  // the "ClientCaps" of the owner's last request
};

// A scripted answer to "CreateConference".
struct FakeCreateAnswer {
  std::optional<int32_t> result;  // nullopt: silence
  std::chrono::milliseconds delay{0};
};

class FakeConference {
 public:
  // `server_id` is the id the handshake reply names.
  FakeConference(FakeServer& server, FakeServices& services,
                 std::string server_id = "127.0.0.1#vcs");
  ~FakeConference();
  FakeConference(const FakeConference&) = delete;
  FakeConference& operator=(const FakeConference&) = delete;

  // The next "CreateConference" requests are answered in turn as scripted.
  void ScriptCreateAnswer(const FakeCreateAnswer& answer);
  // The "DirectConnect" the "Accept" messages carry (0 by default).
  void SetAcceptDirectConnect(int32_t value);
  // A conference the server already knows (for "Join").
  void AddConference(const FakeConferenceRecord& record);
  // Told of every join of a group conference, every leave, and every "SearchAddressBook" for a
  // conference's participants ("AddressBook" 7); called on the thread of the change, without the
  // object's lock. Set before clients send.
  void SetParticipantsListener(FakeParticipantsListener listener);
  // A participant joins or leaves a group conference without a message of its own.
  bool AddParticipant(const std::string& sid, const std::string& user);
  bool RemoveParticipant(const std::string& sid, const std::string& user);

  // Sends `body` as a "CONFERENCE" message to the connection of `user`; false
  // without one.
  bool SendToUser(const std::string& user, const HX_Container& body);
  // Sends "TryAcceptDirect" for `sid` to the "CLIENT" service of `user` (the inviter's report
  // of a direct connection); false without a connection.
  bool SendTryAcceptDirect(const std::string& user, const std::string& sid);

  std::optional<FakeConferenceRecord> Conference(const std::string& sid) const;
  std::vector<std::string> Sids() const;
  std::vector<HX_Container> Received(const std::string& method) const;
  std::vector<HX_Container> Logged() const;  // bodies sent to "LOG"
  std::vector<std::string> Undelivered() const;
  std::vector<std::string> Problems() const;
  // The endpoints of every "ConnectFailure" received, read from "EpConfig".
  std::vector<std::vector<FakeEndpoint>> ConnectFailureEndpoints() const;

 private:
  void OnConference(FakeConnection& connection, const ReceivedMessage& message);
  void OnLog(const ReceivedMessage& message);
  void OnCreate(FakeConnection& connection, const ReceivedMessage& message);
  void OnInvite(const std::string& sender, const ReceivedMessage& message);
  void OnAccept(const std::string& sender, const ReceivedMessage& message);
  void OnReject(const std::string& sender, const ReceivedMessage& message);
  void OnJoin(FakeConnection& connection, const std::string& sender,
              const ReceivedMessage& message);
  void OnDelete(const std::string& sid);
  // Applies a join or leave to a group conference and tells the listener; false for another
  // conference.
  bool ChangeParticipant(const std::string& sid, const std::string& user, FakeParticipantsEvent event);
  void OnRoleEvent(const std::string& sender, const ReceivedMessage& message);
  // Sends to the user's connection or records it as undelivered.
  void Deliver(const std::string& user, const HX_Container& body);
  void Problem(const std::string& text);

  // Whether the object still takes the server's calls.
  struct Alive {
    std::mutex mutex;
    bool yes = true;
  };

  FakeServer& server_;
  FakeServices& services_;
  const std::string server_id_;
  const std::shared_ptr<Alive> alive_;

  mutable std::mutex mutex_;
  std::map<std::string, FakeConferenceRecord> conferences_;
  int next_sid_ = 1;
  std::vector<FakeCreateAnswer> create_script_;
  int32_t accept_direct_ = 0;
  std::map<std::string, std::vector<HX_Container>> received_;
  std::vector<HX_Container> logged_;
  std::vector<std::string> undelivered_;
  std::vector<std::string> problems_;
  std::vector<std::vector<FakeEndpoint>> failure_endpoints_;
  // The "ClientCaps" of each user's last "Invite" or "Accept", by user.
  std::map<std::string, std::vector<uint8_t>> caps_;
  FakeParticipantsListener participants_listener_;
};

}  // namespace hx::testing
