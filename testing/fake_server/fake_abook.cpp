#include "testing/fake_server/fake_abook.h"

#include <algorithm>
#include <utility>

#include "testing/fake_server/server_messages.h"

namespace hx::testing {
namespace {

constexpr int32_t kContacts = 1;
constexpr int32_t kBans = 2;

std::string TextOf(const HX_Container& body, const char* name) {
  std::string text;
  body.GetValue(name, text);
  return text;
}

int32_t IntOf(const HX_Container& body, const char* name, int32_t fallback) {
  int32_t value = fallback;
  size_t size = sizeof(value);
  return body.GetValue(name, HX_CNT_INTEGER_VT, &value, size) ? value : fallback;
}

// Copies every entry of `from` onto the end of `to`.
void Append(HX_Container& to, const HX_Container& from) {
  from.Reset();
  while (from.Next()) from.AttachCurrentTo(to);
  from.Reset();
}

}  // namespace

FakeAbook::FakeAbook(FakeServer& server, std::function<std::string(int connection)> user_of)
    : server_(server), user_of_(std::move(user_of)) {
  server_.SetServiceHandler("ABOOK",
                            [this](FakeConnection& c, const ReceivedMessage& m) { OnAbook(c, m); });
  server_.SetServiceHandler(
      "PRESENCE", [this](FakeConnection& c, const ReceivedMessage& m) { OnPresence(c, m); });
}

FakeAbook::~FakeAbook() {
  server_.SetServiceHandler("ABOOK", nullptr);
  server_.SetServiceHandler("PRESENCE", nullptr);
}

void FakeAbook::SetContacts(const std::string& user, const std::vector<FakeContact>& contacts,
                            uint32_t hash) {
  std::lock_guard<std::mutex> lock(mutex_);
  UserBooks& books = users_[user];
  books.contacts = contacts;
  books.books[kContacts].hash = hash;
  RebuildNL(books);
}

void FakeAbook::SetBans(const std::string& user, const std::vector<std::string>& ids,
                        uint32_t hash) {
  std::lock_guard<std::mutex> lock(mutex_);
  UserBooks& books = users_[user];
  books.bans = ids;
  books.books[kBans].hash = hash;
  RebuildNL(books);
}

void FakeAbook::SetBook(const std::string& user, int32_t book, uint32_t hash,
                        const HX_Container& entries, int32_t records) {
  std::lock_guard<std::mutex> lock(mutex_);
  Book& stored = users_[user].books[book];
  stored.hash = hash;
  stored.entries.Clear();
  Append(stored.entries, entries);
  stored.records = records;
}

uint32_t FakeAbook::BookHash(const std::string& user, int32_t book) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = users_.find(user);
  if (found == users_.end()) return 0;
  const auto stored = found->second.books.find(book);
  return stored != found->second.books.end() ? stored->second.hash : 0;
}

void FakeAbook::SetNoticeCause(int32_t cause) {
  std::lock_guard<std::mutex> lock(mutex_);
  notice_cause_ = cause;
}

void FakeAbook::SetStatus(const std::string& id, int32_t status) {
  std::lock_guard<std::mutex> lock(mutex_);
  statuses_[id] = status;
}

void FakeAbook::SetHold(bool hold) {
  std::lock_guard<std::mutex> lock(mutex_);
  hold_ = hold;
}

void FakeAbook::SetDrop(bool drop) {
  std::lock_guard<std::mutex> lock(mutex_);
  drop_ = drop;
}

void FakeAbook::ReleaseHeld() {
  std::vector<std::pair<std::shared_ptr<FakeConnection>, HX_Container>> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held.swap(held_);
  }
  for (auto& [connection, body] : held) connection->Send(ServiceMessage("ABOOK", "ABOOK", body));
}

void FakeAbook::Push(int connection, const HX_Container& body) {
  for (const auto& c : server_.Connections()) {
    if (c->id() == connection) c->Send(ServiceMessage("ABOOK", "ABOOK", body));
  }
}

void FakeAbook::Answer(FakeConnection& connection, const HX_Container& body) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (drop_) return;
    if (hold_) {
      for (const auto& c : server_.Connections()) {
        if (c.get() == &connection) held_.emplace_back(c, body);
      }
      return;
    }
  }
  connection.Send(ServiceMessage("ABOOK", "ABOOK", body));
}

// The contact list and the ban list are kept as records; their bodies follow them.
void FakeAbook::RebuildNL(UserBooks& books) {
  Book& contacts = books.books[kContacts];
  contacts.entries.Clear();
  for (const FakeContact& contact : books.contacts) {
    contacts.entries.AddValue("UserName", contact.user_name.c_str());
    contacts.entries.AddValue("CallId", contact.call_id.c_str());
    contacts.entries.AddValue("DisplayName", contact.display_name.c_str());
    contacts.entries.AddValue("editable", contact.editable);
  }
  contacts.records = static_cast<int32_t>(books.contacts.size());
  Book& bans = books.books[kBans];
  bans.entries.Clear();
  for (const std::string& id : books.bans) bans.entries.AddValue("UserName", id.c_str());
  bans.records = static_cast<int32_t>(books.bans.size());
}

void FakeAbook::OnAbook(FakeConnection& connection, const ReceivedMessage& message) {
  const std::string user = user_of_(connection.id());
  HX_Container answer;
  if (message.method == "SearchAddressBook") {
    answer = SearchAnswer(user, message.body);
  } else if (message.method == "AddToAddressBook" || message.method == "RemoveFromAddressBook" ||
             message.method == "UpdateAddressBook") {
    answer = ChangeNotice(user, message.method, message.body);
  } else if (message.method == "ManageGroups") {
    answer = GroupAnswer(message.body);
  } else {
    return;
  }
  Answer(connection, answer);
}

HX_Container FakeAbook::SearchAnswer(const std::string& user, const HX_Container& request) {
  const int32_t book = IntOf(request, "AddressBook", 0);
  const int32_t asked = IntOf(request, "Hash", 0);
  HX_Container answer;
  answer.AddValue("Method", "SearchAddressBook");
  answer.AddValue("AddressBook", book);
  const std::string query = TextOf(request, "Query");
  if (!query.empty()) answer.AddValue("Query", query.c_str());
  std::lock_guard<std::mutex> lock(mutex_);
  const UserBooks& books = users_[user];
  const auto found = books.books.find(book);
  if (found == books.books.end()) {
    answer.AddValue("Result", 0);
    answer.AddValue("Cause", 0);
    return answer;
  }
  const Book& stored = found->second;
  const bool unchanged = static_cast<uint32_t>(asked) == stored.hash;
  answer.AddValue("Result", unchanged ? 0 : stored.records);
  answer.AddValue("Cause", unchanged ? 2 : 1);
  answer.AddValue("Hash", static_cast<int32_t>(stored.hash));
  if (!unchanged) Append(answer, stored.entries);
  return answer;
}

HX_Container FakeAbook::ChangeNotice(const std::string& user, const std::string& method,
                                     const HX_Container& request) {
  const int32_t book = IntOf(request, "AddressBook", 0);
  const std::string id = TextOf(request, "CallId");
  const std::string name = TextOf(request, "DisplayName");
  HX_Container notice;
  notice.AddValue("Method", method.c_str());
  notice.AddValue("CallId", id.c_str());
  notice.AddValue("DisplayName", name.c_str());
  notice.AddValue("AddressBook", book);
  std::lock_guard<std::mutex> lock(mutex_);
  UserBooks& books = users_[user];
  Book& stored = books.books[book];
  bool created = false;
  if (notice_cause_ == 0 && book == kContacts) {
    auto known = std::find_if(books.contacts.begin(), books.contacts.end(),
                              [&](const FakeContact& c) { return c.call_id == id; });
    if (method == "RemoveFromAddressBook") {
      if (known != books.contacts.end()) books.contacts.erase(known);
    } else if (known != books.contacts.end()) {
      known->display_name = name;
    } else {
      books.contacts.push_back({id, name, "", true});
      created = true;
    }
  } else if (notice_cause_ == 0 && book == kBans) {
    auto known = std::find(books.bans.begin(), books.bans.end(), id);
    if (method == "RemoveFromAddressBook" && known != books.bans.end()) books.bans.erase(known);
    if (method == "AddToAddressBook" && known == books.bans.end()) books.bans.push_back(id);
  }
  if (notice_cause_ == 0) {
    ++stored.hash;
    RebuildNL(books);
  }
  notice.AddValue("Hash", static_cast<int32_t>(stored.hash));
  notice.AddValue("Cause", notice_cause_);
  notice.AddValue("NewUser", created);
  notice.AddValue("editable", true);
  return notice;
}

HX_Container FakeAbook::GroupAnswer(const HX_Container& request) {
  const int32_t command = IntOf(request, "Cmd", -1);
  std::string gid = std::to_string(IntOf(request, "GID", 0));
  if (command == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    gid = std::to_string(next_group_++);
  }
  HX_Container answer;
  answer.AddValue("Method", "ManageGroups");
  answer.AddValue("Result", 1);
  answer.AddValue("Cause", command);
  answer.AddValue("GID", gid.c_str());
  answer.AddValue("GType", 1);
  answer.AddValue("SeqID", IntOf(request, "SeqID", 0));
  return answer;
}

void FakeAbook::OnPresence(FakeConnection& connection, const ReceivedMessage& message) {
  if (message.method != "GetUserStatus") return;
  const std::string id = TextOf(message.body, "CallId");
  int32_t status = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = statuses_.find(id);
    if (found != statuses_.end()) status = found->second;
  }
  HX_Container answer;
  answer.AddValue("Method", "GetUserStatus");
  answer.AddValue("CallId", id.c_str());
  answer.AddValue("DisplayName", id.c_str());
  answer.AddValue("RealID", id.c_str());
  answer.AddValue("UserPresStatus", status);
  Answer(connection, answer);
}

}  // namespace hx::testing
