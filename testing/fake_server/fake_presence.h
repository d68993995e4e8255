#pragma once
// The fake server's presence service "PRESENCE", installed as a service handler of one
// FakeServer beside FakeServices (which logs the users in). Written from the protocol, apart
// from the client's presence manager.
//
// The server keeps each user's status (0 until the user sends one) and extended statuses, and for
// each connection the users it subscribed to and the "SeqID" of the last status message it was
// sent (counted per receiver from 1):
//   "UpdateStatus"     -> stored; pushed as "UpdateStatus" ("SeqID", "CallId", "UserPresStatus"
//                         and, when the request carried one, its "ExtSt" unchanged) to every
//                         connection subscribed to the sender;
//   "Subscribe"        -> the ids ("CallId" entries) are added; with "Cause" 1 answered by a
//                         complete list ("Cause" 1) of every subscribed user, otherwise by an
//                         "UpdateStatus" of the new ids' statuses;
//   "Unsubscribe"      -> the ids are removed;
//   "GetAllUserStatus" -> answered with the current "SeqID", then a complete list.
// In a list every user's extended statuses travel whole, as an "ExtSt" with "Cause" 1 (replace
// everything known). A test may drop the next pushes (their "SeqID" is used up all the same) or
// hold one back and send it after the next one, and may set a user's status as if that user had
// sent it. Everything received is recorded.
//
// Participant lists: once watching a FakeConference, every join of a group conference sends
// "SendPartsList" (to the client's "PRESENCE") with a complete list ("Type" 1) to the one joining
// and the addition ("Type" 2) to the others, a leave the removal ("Type" 3) to those left, and a
// request for the list a complete list to the one asking; one "SeqID" per conference, counted
// per change. A test may drop the next participant lists.
//
// Thread safety: handlers run on the server thread; the test's operations take the object's lock
// and send from the test's thread.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "testing/fake_server/fake_conference.h"
#include "testing/fake_server/fake_server.h"
#include "testing/fake_server/fake_services.h"

namespace hx::testing {

class FakePresence {
 public:
  FakePresence(FakeServer& server, FakeServices& services);
  ~FakePresence();
  FakePresence(const FakePresence&) = delete;
  FakePresence& operator=(const FakePresence&) = delete;

  // Stores a status (and extended statuses, a container of named values and "DelExtSt" entries)
  // for `user` and pushes it to the subscribers, as when the user sends "UpdateStatus".
  void SetUserStatus(const std::string& user, int32_t status, const HX_Container* ext = nullptr);
  // The next `count` pushes are not sent.
  void DropNextPushes(int count);
  // The next push is held back and sent right after the one that follows it.
  void HoldNextPush();
  // Sends the participant lists of `conference`'s group conferences; unwatch (null) before
  // either object goes.
  void WatchConference(FakeConference* conference);
  // The next `count` participant lists are not sent (their "SeqID" is used up all the same).
  void DropNextPartLists(int count);

  int32_t StatusOf(const std::string& user) const;
  // The user's extended statuses as one container (empty without any).
  HX_Container ExtStatusOf(const std::string& user) const;
  std::vector<HX_Container> Received(const std::string& method) const;
  std::set<std::string> SubscriptionsOf(int connection) const;

 private:
  struct UserState {
    int32_t status = 0;
    std::map<std::string, HX_Container> ext;  // name -> a container holding that one entry
  };
  struct Push {
    int connection;
    HX_Container body;
  };

  void OnPresence(FakeConnection& connection, const ReceivedMessage& message);
  // Applies a status change under the lock and collects the pushes to its subscribers.
  void ApplyNL(const std::string& user, int32_t status, const HX_Container* ext, std::vector<Push>& out);
  // A status message for `connection` with its next "SeqID" and the users' statuses.
  Push ListNL(int connection, const std::vector<std::string>& users, bool complete);
  void AddUserNL(HX_Container& body, const std::string& user) const;
  // Sends, dropping and reordering as the test asked.
  void Send(std::vector<Push> pushes, bool counted);
  void OnParticipants(const std::string& sid, const std::string& user, FakeParticipantsEvent event,
                      const std::set<std::string>& participants);
  void SendPartList(const std::string& user, const std::string& sid, int32_t type, int32_t sequence,
                    const std::set<std::string>& listed);

  FakeServer& server_;
  FakeServices& services_;

  mutable std::mutex mutex_;
  std::map<std::string, UserState> users_;                // by lower-case id
  std::map<int, std::set<std::string>> subscriptions_;   // connection -> lower-case ids
  std::map<int, int32_t> sequence_;                       // connection -> last "SeqID" sent
  std::map<std::string, std::vector<HX_Container>> received_;
  int drop_ = 0;
  bool hold_ = false;
  std::optional<Push> held_;
  std::map<std::string, int32_t> part_sequence_;  // conference -> last "SeqID"
  int drop_lists_ = 0;
};

}  // namespace hx::testing
