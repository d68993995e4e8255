// The address-book manager fed as a hostile server would feed it: answers and notices with
// missing, repeated and wrongly typed keys, extreme numbers, ids that are empty, huge or equal
// ignoring case, records cut short, counts that lie, group answers nobody asked for, and answers
// that arrive while the cache is closed or while other threads send requests and reopen the
// cache. What a refused message must leave alone is checked on the real stores, a real cache file
// and the signals; every message is handled under a bounded wait so that a hang fails the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/base/container.h"
#include "core/client/console_client.h"
#include "core/contacts/addressbook/contacts_manager.h"
#include "core/contacts/contact_managers.h"
#include "core/net/loop/zserver.h"
#include "testing/contacts_recorder.h"
#include "testing/request_log.h"
#include "testing/test_console_client.h"

namespace hx::testing {
namespace {

constexpr char kMe[] = "me@test.invalid";
constexpr char kAlice[] = "alice@test.invalid";
constexpr auto kBound = std::chrono::seconds(60);

// Ends the program when `done` is not ready within kBound: the fixture could not be torn down
// under a handler that still runs.
template <typename Future>
void AwaitOrExit(Future& done, const char* what) {
  if (done.wait_for(kBound) != std::future_status::ready) {
    std::fprintf(stderr, "FAILED: %s still running after %lld s\n", what,
                 static_cast<long long>(kBound.count()));
    std::fflush(nullptr);
    std::_Exit(1);
  }
}

// Runs `work` on its own thread under the bound.
void WithinBound(const std::function<void()>& work) {
  std::packaged_task<void()> task(work);
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  AwaitOrExit(done, "a message handler");
  runner.join();
  done.get();
}

class BookClient : public TestConsoleClient {
 public:
  bool QueuePacket(HX_ClientMessage* message) override { return requests.Take(message); }
  RequestLog requests;
};

// A message body built entry by entry, any type under any name.
class Body {
 public:
  Body& S(const char* name, const std::string& text) {
    m_body.AddValue(name, HX_CNT_STRING_VT, text.data(), text.size());
    return *this;
  }
  Body& I(const char* name, int32_t value) {
    m_body.AddValue(name, value);
    return *this;
  }
  Body& L(const char* name, int64_t value) {
    m_body.AddValue(name, value);
    return *this;
  }
  Body& B(const char* name, bool value) {
    m_body.AddValue(name, value);
    return *this;
  }
  Body& Bin(const char* name, const std::string& bytes) {
    m_body.AddValue(name, HX_CNT_BINARY_VT, bytes.data(), bytes.size());
    return *this;
  }
  HX_Container& get() { return m_body; }

 private:
  HX_Container m_body;
};

Body Search(int32_t book, int32_t cause, int32_t result, int32_t hash) {
  Body b;
  b.S("Method", "SearchAddressBook").I("AddressBook", book).I("Result", result);
  b.I("Cause", cause).I("Hash", hash);
  return b;
}

Body Notice(const char* method, int32_t book, const char* callId, int32_t hash) {
  Body b;
  b.S("Method", method).I("AddressBook", book).I("Hash", hash);
  if (callId != nullptr) b.S("CallId", callId);
  return b;
}

Body Groups(int32_t cause, int32_t result, const char* gid, int32_t seq) {
  Body b;
  b.S("Method", "ManageGroups").I("Result", result).I("Cause", cause);
  if (gid != nullptr) b.S("GID", gid);
  b.I("SeqID", seq);
  return b;
}

// Subscribes to the signals the recorder leaves out; one line per emission.
class Extra {
 public:
  explicit Extra(HX_ContactsManager& m) : m_manager(m) {
    m.addressBookCmdFailed.Connect(this, &Extra::OnFailed);
    m.userStatusArrived.Connect(this, &Extra::OnStatus);
    m.avatarNotChanged.Connect(this, &Extra::OnNotChanged);
    m.lStatusArrived.Connect(this, &Extra::OnLStatus);
    m.phoneArrived.Connect(this, &Extra::OnPhone);
    m.externalContactsArrived.Connect(this, &Extra::OnExternal);
  }
  ~Extra() {
    m_manager.addressBookCmdFailed.Disconnect(this, &Extra::OnFailed);
    m_manager.userStatusArrived.Disconnect(this, &Extra::OnStatus);
    m_manager.avatarNotChanged.Disconnect(this, &Extra::OnNotChanged);
    m_manager.lStatusArrived.Disconnect(this, &Extra::OnLStatus);
    m_manager.phoneArrived.Disconnect(this, &Extra::OnPhone);
    m_manager.externalContactsArrived.Disconnect(this, &Extra::OnExternal);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lines;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_lines.clear();
  }

 private:
  static std::string T(const char* text) { return text != nullptr ? text : "(null)"; }
  void Add(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_lines.push_back(line);
  }
  void OnFailed(const char* id, int32_t op, int32_t cause) {
    Add("failed " + T(id) + " " + std::to_string(op) + " " + std::to_string(cause));
  }
  void OnStatus(const char* id, HX_UserPresence_Status s) {
    Add("status " + T(id) + " " + std::to_string(s));
  }
  void OnNotChanged(const char* id, int32_t hash) {
    Add("notChanged " + T(id) + " " + std::to_string(hash));
  }
  void OnLStatus(const char* id, HX_LStatus s) {
    Add("lstatus " + T(id) + " " + std::to_string(static_cast<int32_t>(s)));
  }
  void OnPhone(const char* id, const char* callId, const char* phone, PhoneType type, bool ed) {
    Add("phone " + T(id) + " " + T(callId) + " " + T(phone) + " " + std::to_string(type) + " " +
        std::to_string(ed));
  }
  void OnExternal(const HX_ContactsManager::ExternalContacts& list) {
    std::string line = "external";
    for (const auto& [id, alias] : list) line += " " + id + "=" + alias;
    Add(line);
  }

  HX_ContactsManager& m_manager;
  std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

// Everything a refused message must leave as it was.
struct Snapshot {
  std::vector<std::string> contacts;  // "id|name|flags" in store order
  std::set<std::string> cacheContacts;
  std::set<std::string> bans;
  uint32_t hash1 = 0, crc1 = 0, hash2 = 0, hash15 = 0, hash19 = 0;
  bool operator==(const Snapshot& o) const {
    return contacts == o.contacts && cacheContacts == o.cacheContacts && bans == o.bans &&
           hash1 == o.hash1 && crc1 == o.crc1 && hash2 == o.hash2 && hash15 == o.hash15 &&
           hash19 == o.hash19;
  }
};

std::ostream& operator<<(std::ostream& os, const Snapshot& s) {
  os << "contacts:";
  for (const auto& c : s.contacts) os << " " << c.substr(0, 80);
  os << " cache:";
  for (const auto& c : s.cacheContacts) os << " " << c.substr(0, 80);
  os << " bans:";
  for (const auto& c : s.bans) os << " " << c;
  return os << " hashes " << s.hash1 << "/" << s.crc1 << "/" << s.hash2 << "/" << s.hash15 << "/"
            << s.hash19;
}

class HostileContactsManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<BookClient>();
    client->CreateApplication();
    fsm = client->getFSM();
    loop = client->networkServer();
    manager = client->contactsManager().get();
    cache = client->contactCache().get();
    ASSERT_TRUE(cache->OpenDatabase(kMe, client->workingDir().c_str()));
    recorder = std::make_unique<ContactsRecorder>(*manager, *fsm);
    extra = std::make_unique<Extra>(*manager);
  }
  void TearDown() override {
    if (loop->isRunning()) {
      loop->Shutdown();
      loop->Wait4Done();
    }
    extra.reset();
    recorder.reset();
    client.reset();
  }

  bool Parse(Body& body) {
    bool answer = false;
    WithinBound([&] { answer = manager->ParseIncomimgMessage(body.get()); });
    return answer;
  }
  bool Parse(Body&& body) { return Parse(body); }
  // A contact list with Alice, book hash 5, and a ban list with Mallory, hash 6; then a clean
  // record of signals and requests.
  void LoadBaseline() {
    ASSERT_TRUE(Parse(Search(1, 1, 1, 5).S("CallId", kAlice).S("DisplayName", "Alice")));
    ASSERT_TRUE(Parse(Search(2, 1, 1, 6).S("UserName", "mallory@test.invalid")));
    ClearRecords();
  }
  void ClearRecords() {
    recorder->Clear();
    extra->Clear();
    client->requests.Clear();
  }
  void ReopenCache() {
    cache->Close();
    ASSERT_TRUE(cache->OpenDatabase(kMe, client->workingDir().c_str()));
  }
  std::vector<std::string> Contacts() {
    std::vector<std::string> out;
    const HX_ContactStorage::ContactSet& set = fsm->LockContactList();
    for (const hx::Contact& c : set)
      out.push_back(c.peerId + "|" + c.displayName + "|" + std::to_string(c.flags));
    fsm->UnlockContactList();
    return out;
  }
  Snapshot Snap() {
    Snapshot s;
    s.contacts = Contacts();
    s.cacheContacts = cache->GetContacts();
    s.bans = cache->GetBans();
    s.hash1 = cache->GetBookHash(HX_AB_CONTACTS);
    s.crc1 = cache->GetBookCrc(HX_AB_CONTACTS);
    s.hash2 = cache->GetBookHash(HX_AB_BANS);
    s.hash15 = cache->GetBookHash(HX_AB_GROUPS);
    s.hash19 = cache->GetBookHash(HX_AB_PHONES);
    return s;
  }
  // Signal lines without the lock mark.
  std::vector<std::string> Signals() {
    std::vector<std::string> lines = recorder->Lines();
    for (std::string& line : lines) {
      const size_t mark = line.find(" [locked]");
      if (mark != std::string::npos) line.erase(mark);
    }
    for (const std::string& line : extra->Lines()) lines.push_back(line);
    return lines;
  }
  // The contact-list request of one request cycle.
  std::string ContactListRequest() {
    client->requests.Clear();
    manager->RequestAddressBooks("");
    for (const std::string& line : client->requests.Lines())
      if (line.find(" AddressBook=1 ") != std::string::npos) return line;
    return "(none)";
  }
  // Bob, added under two cases of his id, is removed: gone from the store, from the cache and
  // from the list rebuilt from the cache; the file agrees.
  void ExpectBobRemovedForGood() {
    const std::vector<std::string> alice = {std::string(kAlice) + "|Alice|0"};
    EXPECT_EQ(Contacts().size(), 2u);
    EXPECT_TRUE(Parse(Notice("RemoveFromAddressBook", 1, "bob@test.invalid", 43)));
    EXPECT_EQ(Contacts(), alice);
    EXPECT_EQ(cache->GetContacts(), std::set<std::string>{kAlice});
    manager->DisablePeersFromCache();
    EXPECT_EQ(Contacts(), alice);
    ReopenCache();
    EXPECT_EQ(cache->GetContacts(), std::set<std::string>{kAlice});
  }

  std::unique_ptr<BookClient> client;
  HXFSMShared* fsm = nullptr;
  HXZServer* loop = nullptr;
  HX_ContactsManager* manager = nullptr;
  HX_GrossBuchCache* cache = nullptr;
  std::unique_ptr<ContactsRecorder> recorder;
  std::unique_ptr<Extra> extra;
};

// --- Refused messages.

TEST_F(HostileContactsManagerTest, BookAnswerWithoutItsKeysIsRefusedAndChangesNothing) {
  LoadBaseline();
  const Snapshot before = Snap();
  struct Case {
    const char* what;
    Body body;
  };
  auto record = [](Body b) { return b.S("CallId", "eve@test.invalid").S("DisplayName", "Eve"); };
  auto head = [] { return Body().S("Method", "SearchAddressBook"); };
  std::vector<Case> cases;
  cases.push_back({"no AddressBook", record(head().I("Result", 1).I("Cause", 1))});
  cases.push_back({"no Result", record(head().I("AddressBook", 1).I("Cause", 1))});
  cases.push_back({"no Cause", record(head().I("AddressBook", 1).I("Result", 1))});
  cases.push_back(
      {"Result as text", record(head().I("AddressBook", 1).S("Result", "1").I("Cause", 1))});
  cases.push_back({"Cause as 64-bit 2^32",
                   record(head().I("AddressBook", 1).I("Result", 1).L("Cause", 1LL << 32))});
  cases.push_back(
      {"AddressBook as bool", record(head().B("AddressBook", true).I("Result", 1).I("Cause", 1))});
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(Parse(c.body));
    EXPECT_EQ(Snap(), before);
    EXPECT_TRUE(Signals().empty());
    EXPECT_TRUE(client->requests.Lines().empty());
  }
}

TEST_F(HostileContactsManagerTest, UnknownMethodsAndBooksChangeNothing) {
  LoadBaseline();
  const Snapshot before = Snap();
  struct Case {
    const char* what;
    Body body;
    bool answer;
  };
  std::vector<Case> cases;
  cases.push_back({"no Method", Body().I("AddressBook", 1).S("CallId", "eve@x"), true});
  cases.push_back({"Method as int", Body().I("Method", 1).I("AddressBook", 1), true});
  cases.push_back(
      {"Method of another case", Notice("addtoaddressbook", 1, "eve@test.invalid", 9), true});
  cases.push_back({"Method empty", Notice("", 1, "eve@test.invalid", 9), true});
  for (int32_t book : {0, -1, 3, INT_MAX, INT_MIN}) {
    cases.push_back({"search", Search(book, 1, 1, 9).S("CallId", "eve@test.invalid"), true});
    cases.push_back({"add", Notice("AddToAddressBook", book, "eve@test.invalid", 9), false});
    cases.push_back({"remove", Notice("RemoveFromAddressBook", book, kAlice, 9), false});
    cases.push_back({"update", Notice("UpdateAddressBook", book, kAlice, 9), false});
  }
  cases.push_back(
      {"add without book", Body().S("Method", "AddToAddressBook").S("CallId", "eve@x"), false});
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Parse(c.body), c.answer);
    EXPECT_EQ(Snap(), before);
    EXPECT_TRUE(Signals().empty());
  }
  EXPECT_TRUE(client->requests.Lines().empty());
}

TEST_F(HostileContactsManagerTest, FailedAddAndRemoveNoticesOnlyReportTheCause) {
  LoadBaseline();
  const Snapshot before = Snap();
  for (int32_t cause : {-1, 1, 5, INT_MAX, INT_MIN}) {
    SCOPED_TRACE(cause);
    ClearRecords();
    for (int32_t book : {1, 2, 11, 17}) {
      EXPECT_TRUE(Parse(Notice("AddToAddressBook", book, "eve@test.invalid", 9).I("Cause", cause)));
      EXPECT_TRUE(Parse(Notice("RemoveFromAddressBook", book, kAlice, 9).I("Cause", cause)));
    }
    const std::string c = std::to_string(cause);
    const std::vector<std::string> one = {"failed eve@test.invalid 0 " + c,
                                          std::string("failed ") + kAlice + " 1 " + c};
    std::vector<std::string> expected;
    for (int i = 0; i < 4; ++i) expected.insert(expected.end(), one.begin(), one.end());
    EXPECT_EQ(Signals(), expected);
    EXPECT_EQ(Snap(), before);
    EXPECT_TRUE(client->requests.Lines().empty());
  }
}

// The record of a notice names its contact; without one there is nothing to add or remove.
TEST_F(HostileContactsManagerTest, NoticesWithoutCallIdChangeNothing) {
  LoadBaseline();
  const Snapshot before = Snap();
  struct Case {
    const char* what;
    Body body;
  };
  std::vector<Case> cases;
  for (const char* method : {"AddToAddressBook", "RemoveFromAddressBook"}) {
    for (int32_t book : {1, 2}) {
      cases.push_back({method, Notice(method, book, nullptr, 9)});
      cases.push_back({method, Notice(method, book, nullptr, 9).I("CallId", 7)});
    }
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    Parse(c.body);
    EXPECT_EQ(Snap(), before);
    EXPECT_EQ(recorder->Count("setPeer"), 0u);
  }
  // A change notice is one contact-list record: one without an id stores no contact (the book's
  // new hash is kept like that of any incremental list).
  EXPECT_TRUE(Parse(Notice("UpdateAddressBook", 1, nullptr, 9).S("DisplayName", "X")));
  EXPECT_EQ(Contacts(), before.contacts);
  EXPECT_EQ(cache->GetContacts(), before.cacheContacts);
  EXPECT_EQ(recorder->Count("setPeer"), 0u);
}

// --- Contact lists.

TEST_F(HostileContactsManagerTest, RecordCountThatLiesStoresOnlyTheRecordsPresent) {
  struct Case {
    int32_t cause;
    int32_t result;
    int records;  // records in the body
    size_t kept;  // contacts afterwards (Alice from the baseline included)
  };
  const std::vector<Case> cases = {
      {1, INT_MAX, 2, 2}, {0, INT_MAX, 2, 3}, {1, 1, 3, 1},  {0, 1, 3, 2},
      {1, 0, 2, 0},       {1, -1, 2, 0},      {0, -1, 2, 1}, {1, INT_MIN, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.cause) + " " + std::to_string(c.result));
    LoadBaseline();
    Body body = Search(1, c.cause, c.result, 77);
    for (int i = 0; i < c.records; ++i)
      body.S("CallId", "p" + std::to_string(i) + "@test.invalid").S("DisplayName", "P");
    EXPECT_TRUE(Parse(body));
    EXPECT_EQ(Contacts().size(), c.kept);
    EXPECT_EQ(recorder->Count("setPeer"),
              c.result > 0 ? std::min<size_t>(c.records, static_cast<size_t>(c.result)) : 0);
    const bool work = c.cause != 0 || c.result > 0;
    if (work) {
      EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), 77u);
      EXPECT_EQ(cache->GetBookCrc(HX_AB_CONTACTS), fsm->GetContactsHash());
      EXPECT_EQ(cache->GetContacts().size(), c.kept);
    } else {
      EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), 5u);
    }
  }
}

TEST_F(HostileContactsManagerTest, ContactListHashExtremesAreStoredAndSentBack) {
  struct Case {
    const char* what;
    std::function<void(Body&)> hash;
    uint32_t stored;
  };
  const std::vector<Case> cases = {
      {"-1", [](Body& b) { b.I("Hash", -1); }, 0xFFFFFFFFu},
      {"INT_MAX", [](Body& b) { b.I("Hash", INT_MAX); }, 0x7FFFFFFFu},
      {"INT_MIN", [](Body& b) { b.I("Hash", INT_MIN); }, 0x80000000u},
      {"0", [](Body& b) { b.I("Hash", 0); }, 0},
      {"text", [](Body& b) { b.S("Hash", "77"); }, 0},
      {"64-bit 2^32", [](Body& b) { b.L("Hash", 1LL << 32); }, 0},
      {"missing", [](Body&) {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Parse(Search(1, 1, 1, 5).S("CallId", kAlice)));
    Body body;
    body.S("Method", "SearchAddressBook").I("AddressBook", 1).I("Result", 1).I("Cause", 1);
    c.hash(body);
    body.S("CallId", kAlice).S("DisplayName", "Alice A");
    ASSERT_TRUE(Parse(body));
    EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), c.stored);
    ReopenCache();
    EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), c.stored);
    EXPECT_EQ(cache->GetBookCrc(HX_AB_CONTACTS), fsm->GetContactsHash());
    const std::string sent = ContactListRequest();
    if (c.stored == 0) {
      EXPECT_EQ(sent.find("Hash="), std::string::npos) << sent;
    } else {
      EXPECT_NE(sent.find(" Hash=" + std::to_string(static_cast<int32_t>(c.stored)) + " "),
                std::string::npos)
          << sent;
    }
  }
}

TEST_F(HostileContactsManagerTest, RecordsCutShortDuplicatedOrWronglyTypedKeys) {
  LoadBaseline();
  Body body = Search(1, 1, 7, 12);
  body.S("CallId", "a@test.invalid").S("CallId", "b@test.invalid").S("DisplayName", "B");
  body.S("DisplayName", "no id").B("editable", false);
  body.I("CallId", 42).S("DisplayName", "int id");
  body.Bin("CallId", "bin@test.invalid").S("DisplayName", "binary id");
  body.S("callid", "lower@test.invalid").S("DisplayName", "lower-case key");
  body.S("UserName", "c").S("CallId", "c@test.invalid").B("editable", false);
  ASSERT_TRUE(Parse(body));
  // "callid" is not "CallId": that record takes its name and the next entries give its id.
  EXPECT_EQ(Contacts(), (std::vector<std::string>{"b@test.invalid|B|0",
                                                  "a@test.invalid|a@test.invalid|0",
                                                  "c@test.invalid|lower-case key|1"}));
  EXPECT_EQ(recorder->Count("setPeer"), 3u);
  const std::set<std::string> ids = {"a@test.invalid", "b@test.invalid", "c@test.invalid"};
  EXPECT_EQ(cache->GetContacts(), ids);
  ReopenCache();
  EXPECT_EQ(cache->GetContacts(), ids);
  EXPECT_EQ(cache->GetBookCrc(HX_AB_CONTACTS), fsm->GetContactsHash());
}

TEST_F(HostileContactsManagerTest, EmptyHugeAndCaseEqualIdsSurviveTheCache) {
  const std::string huge = std::string(65536, 'h') + "@test.invalid";
  const std::string quote = "o'brien\"; DROP TABLE peers;--@test.invalid";
  Body body = Search(1, 1, 5, 31);
  body.S("CallId", "").S("DisplayName", "empty");
  body.S("CallId", huge).S("DisplayName", std::string(65536, 'n'));
  body.S("CallId", "Bob@test.invalid").S("DisplayName", "Bob 1");
  body.S("CallId", "BOB@TEST.INVALID").S("DisplayName", "Bob 2");
  body.S("CallId", quote).S("DisplayName", quote);
  ASSERT_TRUE(Parse(body));
  const std::vector<std::string> stored = Contacts();
  ASSERT_EQ(stored.size(), 3u);
  std::set<std::string> ids;
  for (const std::string& line : stored) ids.insert(line.substr(0, line.find('|')));
  EXPECT_EQ(ids, (std::set<std::string>{huge, "Bob@test.invalid", quote}));
  const uint32_t checksum = fsm->GetContactsHash();
  EXPECT_EQ(cache->GetBookCrc(HX_AB_CONTACTS), checksum);

  // What the next start sees: the cache file alone rebuilds the same list.
  ReopenCache();
  recorder->Clear();
  manager->UpdatePeersFromCache();
  EXPECT_EQ(Contacts(), stored);
  EXPECT_EQ(recorder->Count("setPeer"), 3u);
  EXPECT_EQ(fsm->GetContactsHash(), checksum);
  EXPECT_NE(ContactListRequest().find(" Hash=31 "), std::string::npos);
}

TEST_F(HostileContactsManagerTest, UpdateNoticeNeedsAPositiveHash) {
  LoadBaseline();
  const Snapshot before = Snap();
  for (int32_t hash : {0, -1, INT_MIN}) {
    SCOPED_TRACE(hash);
    EXPECT_FALSE(Parse(Notice("UpdateAddressBook", 1, kAlice, hash).S("DisplayName", "Renamed")));
    EXPECT_EQ(Snap(), before);
    EXPECT_TRUE(Signals().empty());
  }
  EXPECT_TRUE(Parse(Notice("UpdateAddressBook", 1, kAlice, INT_MAX).S("DisplayName", "Renamed")));
  EXPECT_EQ(Contacts(), std::vector<std::string>{std::string(kAlice) + "|Renamed|0"});
  EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), static_cast<uint32_t>(INT_MAX));
}

// --- Repeated notices and ids equal ignoring case.

TEST_F(HostileContactsManagerTest, RepeatedNoticesLeaveOneEntry) {
  LoadBaseline();
  const std::string bob = "bob@test.invalid";
  for (const char* id : {"bob@test.invalid", "bob@test.invalid", "BOB@test.invalid"})
    EXPECT_TRUE(Parse(Notice("AddToAddressBook", 1, id, 40).S("DisplayName", "Bob")));
  EXPECT_EQ(Contacts().size(), 2u);
  EXPECT_EQ(cache->GetBookCrc(HX_AB_CONTACTS), fsm->GetContactsHash());
  ReopenCache();
  EXPECT_EQ(cache->GetContacts(), (std::set<std::string>{kAlice, bob}));

  for (int i = 0; i < 2; ++i) EXPECT_TRUE(Parse(Notice("RemoveFromAddressBook", 1, kAlice, 41)));
  EXPECT_EQ(Contacts(), std::vector<std::string>{bob + "|Bob|0"});
  EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), 41u);
  EXPECT_EQ(cache->GetBookCrc(HX_AB_CONTACTS), fsm->GetContactsHash());
  ReopenCache();
  EXPECT_EQ(cache->GetContacts(), std::set<std::string>{bob});

  // The same full ban list twice: the second one changes nothing and reports nothing.
  ClearRecords();
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(Parse(Search(2, 1, 2, 50)
                          .S("UserName", "mallory@test.invalid")
                          .S("UserName", "")
                          .S("UserName", "trudy@test.invalid")
                          .S("UserName", "trudy@test.invalid")));
  }
  EXPECT_EQ(Signals(), std::vector<std::string>{"blocked trudy@test.invalid"});
  const std::set<std::string> bans = {"mallory@test.invalid", "trudy@test.invalid"};
  EXPECT_EQ(cache->GetBans(), bans);
  EXPECT_EQ(cache->GetBookHash(HX_AB_BANS), 50u);
  ReopenCache();
  EXPECT_EQ(cache->GetBans(), bans);
}

// Ids equal ignoring case are one contact to the store and to the cache file; once removed, it
// must not come back when the list is rebuilt from the cache (a lost connection).
TEST_F(HostileContactsManagerTest, ContactNoticedUnderTwoCasesIsRemovedForGood) {
  LoadBaseline();
  Parse(Notice("AddToAddressBook", 1, "bob@test.invalid", 40));
  Parse(Notice("AddToAddressBook", 1, "BOB@test.invalid", 41));
  ExpectBobRemovedForGood();
}

// A list naming one contact under two cases, then a removal: the cache's memory keeps nothing of
// either case, and the list rebuilt from the cache does not bring the contact back.
TEST_F(HostileContactsManagerTest, ContactListedUnderTwoCasesIsRemovedForGood) {
  LoadBaseline();
  Parse(Search(1, 0, 2, 42).S("CallId", "bob@test.invalid").S("CallId", "BOB@test.invalid"));
  ExpectBobRemovedForGood();
}

// The server removes a contact under another case of its id than it listed it with.
TEST_F(HostileContactsManagerTest, ContactRemovedUnderAnotherCaseIsRemovedForGood) {
  LoadBaseline();
  ASSERT_TRUE(Parse(Search(1, 0, 1, 42).S("CallId", "BOB@test.invalid")));
  ExpectBobRemovedForGood();
}

// A ban list naming one peer under two cases, then that peer unblocked: no case of the id may
// stay banned, nor be reported blocked again when the list is rebuilt from the cache.
TEST_F(HostileContactsManagerTest, BanUnderTwoCasesIsLiftedForGood) {
  LoadBaseline();
  ASSERT_TRUE(Parse(
      Search(2, 1, 2, 60).S("UserName", "Trudy@test.invalid").S("UserName", "trudy@test.invalid")));
  EXPECT_TRUE(Parse(Notice("RemoveFromAddressBook", 2, "trudy@test.invalid", 61)));
  EXPECT_TRUE(cache->GetBans().empty());
  EXPECT_FALSE(cache->IsBan("Trudy@test.invalid"));
  recorder->Clear();
  manager->UpdatePeersFromCache();
  EXPECT_EQ(recorder->Count("blocked trudy"), 0u);
  EXPECT_EQ(recorder->Count("blocked Trudy"), 0u);
  ReopenCache();
  EXPECT_TRUE(cache->GetBans().empty());
}

// An empty id names nobody: a notice with one adds no contact and no ban.
TEST_F(HostileContactsManagerTest, NoticesWithEmptyCallIdChangeNothing) {
  LoadBaseline();
  const Snapshot before = Snap();
  for (int32_t book : {1, 2}) {
    SCOPED_TRACE(book);
    Parse(Notice("AddToAddressBook", book, "", 9));
    Parse(Notice("RemoveFromAddressBook", book, "", 9));
    EXPECT_EQ(Snap().contacts, before.contacts);
    EXPECT_EQ(Snap().cacheContacts, before.cacheContacts);
    EXPECT_EQ(Snap().bans, before.bans);
    ReopenCache();
    EXPECT_EQ(cache->GetContacts(), before.cacheContacts);
    EXPECT_EQ(cache->GetBans(), before.bans);
  }
}

// --- Groups.

TEST_F(HostileContactsManagerTest, GroupAnswersNeverAskedForOrAnsweredTwice) {
  ASSERT_TRUE(manager->CreateGroup("Friends"));  // SeqID 1
  ASSERT_TRUE(manager->RenameGroup(4, "Mates"));  // SeqID 2
  ClearRecords();
  // Answers for sequence ids nobody used, and refused ones: no group change.
  for (int32_t seq : {3, -1, INT_MAX, INT_MIN}) EXPECT_TRUE(Parse(Groups(0, 1, "12", seq)));
  EXPECT_FALSE(
      Parse(Body().S("Method", "ManageGroups").I("Result", 1).S("GID", "9").I("SeqID", 1)));
  EXPECT_FALSE(
      Parse(Body().S("Method", "ManageGroups").S("Result", "1").I("Cause", 0).I("SeqID", 1)));
  // A failed command keeps its entry.
  EXPECT_TRUE(Parse(Groups(0, 0, "12", 1)));
  EXPECT_EQ(Signals(), (std::vector<std::string>{"groupCmd 0 1", "groupCmd 0 1", "groupCmd 0 1",
                                                 "groupCmd 0 1", "groupCmd 0 0"}));
  EXPECT_TRUE(client->requests.Lines().empty());
  ClearRecords();
  // Each pending command is reported once, however often its answer comes.
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(Parse(Groups(0, 1, "12", 1)));
    EXPECT_TRUE(Parse(Groups(2, 1, "4", 2)));
  }
  EXPECT_EQ(Signals(),
            (std::vector<std::string>{"group 12 Friends 1 (null)", "groupsEnd", "groupCmd 0 1",
                                      "group 4 Mates 1 (null)", "groupsEnd", "groupCmd 2 1",
                                      "groupCmd 0 1", "groupCmd 2 1"}));
  // "SeqID" 0, missing or not a number: the whole groups book is asked for.
  ClearRecords();
  EXPECT_TRUE(
      Parse(Body().S("Method", "ManageGroups").I("Result", 1).I("Cause", 0).S("GID", "1")));
  EXPECT_TRUE(Parse(Groups(0, 1, "1", 0)));
  EXPECT_TRUE(
      Parse(Body().S("Method", "ManageGroups").I("Result", 1).I("Cause", 0).S("SeqID", "1")));
  EXPECT_EQ(client->requests.Count("ABOOK Method=SearchAddressBook Query= AddressBook=15 "), 3u);
  EXPECT_EQ(recorder->Count("group "), 0u);
}

TEST_F(HostileContactsManagerTest, GroupIdTextsThatAreNotSmallNumbers) {
  struct Case {
    std::function<void(Body&)> gid;
    bool checkId;
    int32_t id;
  };
  const std::vector<Case> cases = {
      {[](Body& b) { b.S("GID", "12"); }, true, 12},
      {[](Body& b) { b.S("GID", ""); }, true, 0},
      {[](Body& b) { b.I("GID", 12); }, true, 0},
      {[](Body&) {}, true, 0},
      {[](Body& b) { b.S("GID", "abc"); }, false, 0},
      {[](Body& b) { b.S("GID", "-5"); }, false, 0},
      {[](Body& b) { b.S("GID", "2147483648"); }, false, 0},
      {[](Body& b) { b.S("GID", "99999999999999999999999"); }, false, 0},
      {[](Body& b) { b.S("GID", std::string(65536, '9')); }, false, 0},
      {[](Body& b) { b.S("GID", std::string(300, '0') + "7"); }, false, 0},
  };
  int32_t seq = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(seq);
    ASSERT_TRUE(manager->CreateGroup("G"));
    ++seq;
    ClearRecords();
    Body body;
    body.S("Method", "ManageGroups").I("Result", 1).I("Cause", 0);
    c.gid(body);
    body.I("GType", 3).I("SeqID", seq);
    EXPECT_TRUE(Parse(body));
    const std::vector<std::string> lines = Signals();
    ASSERT_EQ(lines.size(), 3u);
    if (c.checkId) EXPECT_EQ(lines[0], "group " + std::to_string(c.id) + " G 3 (null)");
    EXPECT_EQ(lines[2], "groupCmd 0 1");
  }

  // The groups book: entries out of order, of the wrong type or with lying numbers.
  ClearRecords();
  Body book = Search(15, 1, 1, 21);
  book.S("CallId", "orphan@test.invalid");  // before any group: nobody's member
  book.I("GID", 5).S("GName", "typed").I("GType", 1);
  book.S("GID", "99999999999999999999").S("GName", "big").I("GType", 1);
  book.S("GID", "8").S("GName", "eight").I("GType", 2).S("CallId", "m@test.invalid");
  EXPECT_TRUE(Parse(book));
  const std::vector<std::string> lines = Signals();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines.front(), "groupsBegin");
  EXPECT_EQ(lines[lines.size() - 3], "group 8 eight 2 (null)");
  EXPECT_EQ(lines[lines.size() - 2], "group 8 eight 2 m@test.invalid");
  EXPECT_EQ(lines.back(), "groupsEnd");
  for (const std::string& line : lines) EXPECT_EQ(line.find("orphan"), std::string::npos);
  EXPECT_EQ(cache->GetBookHash(HX_AB_GROUPS), 21u);
  // The same book again under the same hash: nothing to report.
  ClearRecords();
  EXPECT_TRUE(Parse(book));
  EXPECT_TRUE(Signals().empty());
}

// --- Other books.

TEST_F(HostileContactsManagerTest, PicturesWithMissingWronglyTypedAndEmptyParts) {
  const std::string png(10, '\x89');
  struct Case {
    const char* what;
    Body body;
    std::vector<std::string> lines;
  };
  std::vector<Case> cases;
  cases.push_back(
      {"picture",
       Search(11, 1, 1, -7).S("Query", "bob").S("avatar_type", "png").Bin("avatar", png),
       {"avatar bob png 10 -7"}});
  cases.push_back({"text avatar falls back to picture",
                   Search(11, 1, 1, 3)
                       .S("Query", "bob")
                       .S("avatar", "abc")
                       .Bin("picture", "xyz")
                       .S("picturetype", "gif"),
                   {"avatar bob gif 3 3"}});
  cases.push_back({"empty bytes",
                   Search(11, 1, 1, 3).S("Query", "bob").Bin("avatar", ""),
                   {"avatar bob (null) 0 3"}});
  cases.push_back(
      {"Result 0 drops the bytes",
       Search(11, 1, 0, 3).S("Query", "bob").S("avatar_type", "png").Bin("avatar", png),
       {"avatar bob (null) 0 3"}});
  cases.push_back({"Result -1 drops the bytes",
                   Search(11, 1, -1, 3).S("Query", "bob").Bin("avatar", png),
                   {"avatar bob (null) 0 3"}});
  cases.push_back({"user name when Query is not a text",
                   Search(11, 2, 1, 4).I("Query", 5).S("UserName", "carol"),
                   {"notChanged carol 4"}});
  cases.push_back({"no peer", Search(11, 1, 1, 3).Bin("avatar", png), {}});
  cases.push_back({"no peer, unchanged", Search(11, 2, 1, 3), {}});
  cases.push_back({"cause 3", Search(11, 3, 1, 3).S("Query", "bob").Bin("avatar", png), {}});
  cases.push_back({"cause -1", Search(11, -1, 1, 3).S("Query", "bob").Bin("avatar", png), {}});
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearRecords();
    EXPECT_TRUE(Parse(c.body));
    EXPECT_EQ(Signals(), c.lines);
  }
  // A picture larger than the avatar store keeps is still reported with its true size.
  ClearRecords();
  const std::string big(1 << 20, 'x');
  EXPECT_TRUE(Parse(Search(11, 1, 1, 9).S("Query", "bob").Bin("avatar", big)));
  EXPECT_EQ(Signals(), std::vector<std::string>{"avatar bob (null) 1048576 9"});
}

TEST_F(HostileContactsManagerTest, ListsWithStrayEntriesEndAndReportOnlyWholeItems) {
  struct Case {
    const char* what;
    Body body;
    std::vector<std::string> lines;
  };
  std::vector<Case> cases;
  cases.push_back({"L-status typed as text, call id at the end",
                   Search(16, 1, 1, 1)
                       .S("CallId", "a")
                       .S("LStatus", "3")
                       .I("LStatus", 4)
                       .S("CallId", "b"),
                   {"lstatus a 4", "lstatus b 0"}});
  cases.push_back({"L-status without call id", Search(16, 1, 1, 1).I("LStatus", 4), {}});
  cases.push_back(
      {"phone without editable at the end",
       Search(19, 1, 1, 1).S("id", "1").S("CallId", "a").S("phone", "+1").I("Type", 2),
       {}});
  cases.push_back({"phone with editable",
                   Search(19, 1, 1, 2)
                       .S("id", "1")
                       .S("CallId", "a")
                       .S("phone", "+1")
                       .I("Type", 2)
                       .B("editable", true)
                       .B("editable", false),
                   {"phone 1 a +1 2 1", "phone 1 a +1 2 0"}});
  cases.push_back({"external contact without alias",
                   Notice("AddToAddressBook", 17, "x", 0)
                       .S("CallID2", "a")
                       .S("Alias", "A")
                       .S("CallID2", "b")
                       .S("CallID2", "c"),
                   {"external a=A"}});
  cases.push_back(
      {"status for a stranger",
       Body().S("Method", "GetUserStatus").S("CallId", "z").I("UserPresStatus", INT_MAX),
       {"status z " + std::to_string(INT_MAX)}});
  cases.push_back(
      {"status without call id", Body().S("Method", "GetUserStatus").I("UserPresStatus", 1), {}});
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearRecords();
    Parse(c.body);
    std::vector<std::string> lines;
    for (const std::string& line : Signals()) {
      for (const char* kind : {"lstatus", "phone", "external", "status", "setPeer"}) {
        if (line.rfind(kind, 0) == 0) {
          lines.push_back(line);
          break;
        }
      }
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_TRUE(Contacts().empty());
  }
}

TEST_F(HostileContactsManagerTest, PersonDetailsWithoutIdAndWithHugeTexts) {
  for (const char* id : {static_cast<const char*>(""), static_cast<const char*>(nullptr)}) {
    Body body = Search(8, 1, 1, 3).S("DisplayName", "Nobody").S("FirstName", "N");
    if (id != nullptr) body.S("CallId", id);
    EXPECT_TRUE(Parse(body));
  }
  EXPECT_EQ(recorder->Count("details"), 0u);
  EXPECT_FALSE(fsm->IsUserDetailsExists(""));
  const std::string huge(65536, 'q');
  EXPECT_TRUE(Parse(Search(8, 1, 1, 3)
                        .S("CallId", "dan@test.invalid")
                        .S("DisplayName", huge)
                        .S("FirstName", huge)));
  EXPECT_EQ(fsm->GetUserDetails("dan@test.invalid").firstName, huge);
  EXPECT_EQ(cache->GetDisplayName("dan@test.invalid", hx::DisplayName::kReturnNull), huge);
}

// --- A closed cache.

TEST_F(HostileContactsManagerTest, AnswersWhileTheCacheIsClosedKeepTheOldHashes) {
  LoadBaseline();
  manager->resetDeferredRequests();
  cache->Close();
  ClearRecords();
  ASSERT_TRUE(Parse(Search(1, 1, 2, 77).S("CallId", kAlice).S("CallId", "bob@test.invalid")));
  EXPECT_EQ(Contacts().size(), 2u);
  EXPECT_EQ(recorder->Count("setPeer"), 2u);
  EXPECT_EQ(recorder->Count("end"), 1u);
  EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), 5u);
  EXPECT_TRUE(Parse(Notice("AddToAddressBook", 1, "carol@test.invalid", 78)));
  EXPECT_TRUE(Parse(Notice("RemoveFromAddressBook", 1, kAlice, 79)));
  EXPECT_TRUE(Parse(Search(2, 1, 1, 80).S("UserName", "trudy@test.invalid")));
  EXPECT_TRUE(Parse(Search(15, 1, 1, 81).S("GID", "3").S("GName", "g").I("GType", 1)));
  EXPECT_TRUE(Parse(Search(19, 1, 1, 82)));
  EXPECT_EQ(Contacts().size(), 2u);
  EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), 5u);
  EXPECT_NE(cache->GetBookHash(HX_AB_BANS), 80u);
  EXPECT_NE(cache->GetBookHash(HX_AB_GROUPS), 81u);
  EXPECT_NE(cache->GetBookHash(HX_AB_PHONES), 82u);
  // The next cycle asks again for every book whose answer could not be kept.
  const std::string sent = ContactListRequest();
  EXPECT_EQ(sent.find("Hash=7"), std::string::npos) << sent;
  for (const std::string& line : client->requests.Lines())
    EXPECT_EQ(line.find("Hash=8"), std::string::npos) << line;
  ASSERT_TRUE(cache->OpenDatabase(kMe, client->workingDir().c_str()));
  EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), 5u);
  EXPECT_EQ(cache->GetContacts(), std::set<std::string>{kAlice});
}

// --- Threads.

TEST_F(HostileContactsManagerTest, HostLoopAndCacheThreadsAtOnce) {
  recorder->setCheckLock(false);
  constexpr int kRounds = 200;
  std::atomic<bool> stop{false};
  // The host: group commands and book requests.
  auto host = std::async(std::launch::async, [&] {
    for (int i = 0; i < kRounds; ++i) {
      manager->CreateGroup(("g" + std::to_string(i)).c_str());
      manager->reqPeerDetails(("stranger" + std::to_string(i) + "@test.invalid").c_str());
      manager->AddToAddressBook("friend@test.invalid", nullptr, 1);
      manager->RequestGroupList(cache->GetBookHash(HX_AB_GROUPS));
      manager->resetDeferredRequests();
    }
  });
  // The loop thread: answers of every kind, the group answers included.
  auto answers = std::async(std::launch::async, [&] {
    for (int i = 0; i < kRounds; ++i) {
      const std::string id = "c" + std::to_string(i % 7) + "@test.invalid";
      Body list = Search(1, i % 3 == 0 ? 1 : 0, 2, 100 + i);
      list.S("CallId", kAlice).S("CallId", id);
      manager->ParseIncomimgMessage(list.get());
      manager->ParseIncomimgMessage(Notice("AddToAddressBook", 1, id.c_str(), 300 + i).get());
      manager->ParseIncomimgMessage(Notice("RemoveFromAddressBook", 1, id.c_str(), 500 + i).get());
      manager->ParseIncomimgMessage(Search(2, 1, 1, 700 + i).S("UserName", id).get());
      manager->ParseIncomimgMessage(Groups(0, 1, "1", i + 1).get());
      manager->ParseIncomimgMessage(Search(8, 1, 1, 0).S("CallId", id).S("DisplayName", "D").get());
    }
  });
  // Another thread closes and reopens the cache, and rebuilds the list from it.
  auto reopen = std::async(std::launch::async, [&] {
    int i = 0;
    while (!stop.load()) {
      cache->Close();
      std::this_thread::yield();
      cache->OpenDatabase(kMe, client->workingDir().c_str());
      if (++i % 5 == 0) manager->UpdatePeersFromCache();
    }
  });
  AwaitOrExit(host, "the host thread");
  AwaitOrExit(answers, "the loop thread");
  stop.store(true);
  AwaitOrExit(reopen, "the cache thread");

  // Calm again: a full list is kept whole by the store and the cache.
  ASSERT_TRUE(cache->OpenDatabase(kMe, client->workingDir().c_str()));
  ASSERT_TRUE(Parse(Search(1, 1, 2, 999).S("CallId", kAlice).S("CallId", "last@test.invalid")));
  EXPECT_EQ(Contacts().size(), 2u);
  EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), 999u);
  ReopenCache();
  EXPECT_EQ(cache->GetContacts(), (std::set<std::string>{kAlice, "last@test.invalid"}));
  EXPECT_EQ(cache->GetBookCrc(HX_AB_CONTACTS), fsm->GetContactsHash());
  // An answer may have overtaken its command; answered once more, nothing stays pending.
  recorder->Clear();
  for (int i = 1; i <= kRounds; ++i) Parse(Groups(0, 1, "1", i));
  EXPECT_LE(recorder->Count("group "), static_cast<size_t>(kRounds));
  recorder->Clear();
  for (int i = 1; i <= kRounds; ++i) Parse(Groups(0, 1, "1", i));
  EXPECT_EQ(recorder->Count("group "), 0u);
  EXPECT_EQ(recorder->Count("groupCmd "), static_cast<size_t>(kRounds));
}

}  // namespace
}  // namespace hx::testing
