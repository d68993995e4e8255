#pragma once
// The fake server's address-book service "ABOOK" and the part of "PRESENCE" the address book
// uses, installed as service handlers of one FakeServer. Every message it sends names "ABOOK" as
// source and destination service and carries "Method".
//
// Books, per user: 1 (contact list), 2 (ban list), 6 (search), 8 (details), 11 (pictures), 15
// (groups), 16 (L-statuses) and 19 (phones), each with a hash and the entries of its body. A
// "SearchAddressBook" carrying the book's current hash is answered with "Cause" 2 (unchanged);
// any other with the whole book: "Cause" 1, "Result" (the record count), "Hash" and the entries.
// Other books answer "Cause" 0, "Result" 0.
//
// Contact-list and ban-list changes ("AddToAddressBook", "RemoveFromAddressBook",
// "UpdateAddressBook" for books 1 and 2) change the book, give it a new hash and are answered by
// the notice of the same method ("CallId", "DisplayName", "AddressBook", "Hash", "Cause" (0, or
// what the test set), "NewUser", "editable"). "ManageGroups" is answered with "Result" 1,
// "Cause" (the command), "GID" as text, "GType" 1 and the request's "SeqID".
//
// "PRESENCE": "Subscribe" and "Unsubscribe" are only recorded (the server's journal has them);
// "GetUserStatus" is answered to "ABOOK" with "CallId", "DisplayName", "RealID" and
// "UserPresStatus" (the status the test set, 0 otherwise).
//
// Answers can be held (kept until ReleaseHeld) or dropped, and tests can push any notice.
//
// Thread safety: handlers run on the server thread; the test's operations take the object's lock.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "testing/fake_server/fake_server.h"

namespace hx::testing {

struct FakeContact {
  std::string call_id;
  std::string display_name;
  std::string user_name;
  bool editable = true;
};

class FakeAbook {
 public:
  // `user_of` names the logged-in user of a connection (its id); books are kept per user.
  FakeAbook(FakeServer& server, std::function<std::string(int connection)> user_of);
  ~FakeAbook();
  FakeAbook(const FakeAbook&) = delete;
  FakeAbook& operator=(const FakeAbook&) = delete;

  void SetContacts(const std::string& user, const std::vector<FakeContact>& contacts,
                   uint32_t hash);
  void SetBans(const std::string& user, const std::vector<std::string>& ids, uint32_t hash);
  // Any other book: its body entries (after the answer's own keys) and record count.
  void SetBook(const std::string& user, int32_t book, uint32_t hash, const HX_Container& entries,
               int32_t records);
  uint32_t BookHash(const std::string& user, int32_t book) const;
  // The "Cause" of the next change notices (0: success).
  void SetNoticeCause(int32_t cause);
  void SetStatus(const std::string& id, int32_t status);
  // While holding, answers wait; ReleaseHeld sends them in order. Dropping loses them.
  void SetHold(bool hold);
  void ReleaseHeld();
  void SetDrop(bool drop);
  // Sends `body` to "ABOOK" of the connection `connection`.
  void Push(int connection, const HX_Container& body);

 private:
  struct Book {
    uint32_t hash = 0;
    HX_Container entries;
    int32_t records = 0;
  };
  struct UserBooks {
    std::vector<FakeContact> contacts;
    std::vector<std::string> bans;
    std::map<int32_t, Book> books;
  };

  void OnAbook(FakeConnection& connection, const ReceivedMessage& message);
  void OnPresence(FakeConnection& connection, const ReceivedMessage& message);
  HX_Container SearchAnswer(const std::string& user, const HX_Container& request);
  HX_Container ChangeNotice(const std::string& user, const std::string& method,
                            const HX_Container& request);
  HX_Container GroupAnswer(const HX_Container& request);
  void RebuildNL(UserBooks& books);
  void Answer(FakeConnection& connection, const HX_Container& body);

  FakeServer& server_;
  std::function<std::string(int)> user_of_;
  mutable std::mutex mutex_;
  std::map<std::string, UserBooks> users_;
  std::map<std::string, int32_t> statuses_;
  int32_t notice_cause_ = 0;
  int32_t next_group_ = 100;
  bool hold_ = false;
  bool drop_ = false;
  std::vector<std::pair<std::shared_ptr<FakeConnection>, HX_Container>> held_;
};

}  // namespace hx::testing
