// The address-book manager inside a client object whose transport is a request log: the requests
// it sends (keys, order, destination), the request cycle and its repetition on the real network
// loop, and the answers and notices applied to the real stores, a real cache file in a temporary
// folder and the signals, as a recording subscriber sees them.
#include "core/contacts/addressbook/contacts_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/base/container.h"
#include "core/base/wall_clock.h"
#include "core/client/console_client.h"
#include "core/contacts/contact_managers.h"
#include "core/net/loop/zserver.h"
#include "testing/contacts_recorder.h"
#include "testing/request_log.h"
#include "testing/test_console_client.h"
#include "testing/test_support.h"

namespace hx::testing {
namespace {

constexpr int kWaitMs = 10000;
constexpr char kMe[] = "me@test.invalid";

class BookClient : public TestConsoleClient {
 public:
  bool QueuePacket(HX_ClientMessage* message) override {
    const bool sent = requests.Take(message);
    if (sent && answer) answer(requests.Lines().back());
    return sent;
  }
  RequestLog requests;
  // Runs inside the send with the request's line: a server that answers before the sender has
  // returned from ComposeSend.
  std::function<void(const std::string&)> answer;
};

// A message body built entry by entry.
class Body {
 public:
  Body& S(const char* name, const char* text) {
    m_body.AddValue(name, text);
    return *this;
  }
  Body& I(const char* name, int32_t value) {
    m_body.AddValue(name, value);
    return *this;
  }
  Body& B(const char* name, bool value) {
    m_body.AddValue(name, value);
    return *this;
  }
  HX_Container& get() { return m_body; }

 private:
  HX_Container m_body;
};

class ContactsManagerTest : public ::testing::Test {
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
  }
  void TearDown() override {
    if (loop->isRunning()) {
      loop->Shutdown();
      loop->Wait4Done();
    }
    recorder.reset();
    client.reset();
  }
  void StartLoop() { ASSERT_EQ(loop->startServerLoop(), 0); }
  bool Parse(Body& body) { return manager->ParseIncomimgMessage(body.get()); }
  std::vector<std::string> Sent() { return client->requests.Lines(); }
  // A request for every book of one cycle, in order, with these hashes (0: none sent).
  static std::vector<std::string> Cycle(uint32_t groups, uint32_t phones, uint32_t contacts,
                                        uint32_t bans) {
    auto line = [](int32_t book, uint32_t hash) {
      return std::string("ABOOK Method=SearchAddressBook Query=") +
             (hash != 0 ? " Hash=" + std::to_string(static_cast<int32_t>(hash)) : "") +
             " AddressBook=" + std::to_string(book) + " CallId= E-Mail= Name=";
    };
    return {line(15, groups), line(19, phones), line(1, contacts), line(2, bans)};
  }

  std::unique_ptr<BookClient> client;
  HXFSMShared* fsm = nullptr;
  HXZServer* loop = nullptr;  // process-wide: it outlives the client object
  HX_ContactsManager* manager = nullptr;
  HX_GrossBuchCache* cache = nullptr;
  std::unique_ptr<ContactsRecorder> recorder;
};

TEST_F(ContactsManagerTest, EveryRequestWithItsKeysInOrder) {
  ASSERT_TRUE(cache->AddToCache("carol@test.invalid", "Carol C"));
  struct Case {
    std::function<bool()> call;
    std::string line;
  };
  HX_ContactsManager* m = manager;
  const std::string q = "ABOOK Method=SearchAddressBook ";
  // clang-format off
  const std::vector<Case> cases = {
      {[m] { return m->SearchAddressBook("x", 6, 0); }, q + "Query=x AddressBook=6 CallId= E-Mail= Name="},
      {[m] { return m->SearchAddressBook("x", 6, static_cast<uint32_t>(-5)); },
       q + "Query=x Hash=-5 AddressBook=6 CallId= E-Mail= Name="},
      {[m] { return m->RequestBanList(9); }, q + "Query= Hash=9 AddressBook=2 CallId= E-Mail= Name="},
      {[m] { return m->FindUser("bob", "Bob", "b@x"); }, q + "AddressBook=6 E-Mail=b@x CallId=bob Name=Bob"},
      {[m] { return m->FindUser("bob", nullptr, nullptr); }, q + "AddressBook=6 CallId=bob"},
      {[m] { return m->GetUserPicture("bob@x", 0); }, q + "AddressBook=11 Query=bob@x"},
      {[m] { return m->GetUserPicture("bob@x", 4); }, q + "AddressBook=11 Query=bob@x Hash=4"},
      {[m] { return m->AddToAddressBook("alice", "Al", 1); },
       "ABOOK Method=AddToAddressBook AddressBook=1 CallId=alice@test.invalid DisplayName=Al"},
      {[m] { return m->AddToAddressBook("alice", nullptr, 1); },
       "ABOOK Method=AddToAddressBook AddressBook=1 CallId=alice@test.invalid"},
      {[m] { return m->AddToAddressBook("carol@test.invalid", nullptr, 1); },
       "ABOOK Method=AddToAddressBook AddressBook=1 CallId=carol@test.invalid DisplayName=Carol C"},
      {[m] { return m->AddToAddressBook("#tel:+1", nullptr, 1); },
       "ABOOK Method=AddToAddressBook AddressBook=1 CallId=#tel:+1"},
      {[m] { return m->AddToExtAddressBook("alice", "Al"); },
       "ABOOK Method=AddToAddressBook AddressBook=17 CallId=alice@test.invalid DisplayName=Al"},
      {[m] { return m->AddToPhoneBook("alice", "+1", static_cast<PhoneType>(3)); },
       "ABOOK Method=AddToAddressBook AddressBook=19 CallId=alice@test.invalid phone=+1 Type=3"},
      {[m] { return m->BlockUser("alice", 2); },
       "ABOOK Method=AddToAddressBook AddressBook=2 Name=alice@test.invalid CallId=alice@test.invalid Type=2"},
      {[m] { return m->RemoveFromAddressBook("alice", 1); },
       "ABOOK Method=RemoveFromAddressBook Name=alice@test.invalid CallId=alice@test.invalid AddressBook=1"},
      {[m] { return m->UnblockUser("alice"); },
       "ABOOK Method=RemoveFromAddressBook Name=alice@test.invalid CallId=alice@test.invalid AddressBook=2"},
      {[m] { return m->RemoveFromPhoneBook("p1"); }, "ABOOK Method=RemoveFromAddressBook AddressBook=19 id=p1"},
      {[m] { return m->WipeMyPicture(); }, "ABOOK Method=RemoveFromAddressBook AddressBook=11 Name="},
      {[m] { return m->SetPhone("alice", "p1", "+2", static_cast<PhoneType>(4)); },
       "ABOOK Method=UpdateAddressBook AddressBook=19 CallId=alice@test.invalid id=p1 phone=+2 Type=4"},
      {[m] { return m->SetMyPicture("abc", 3, "image/png"); },
       "ABOOK Method=UpdateAddressBook AddressBook=11 CallId= avatar_type=image/png avatar=<3 bytes>"},
      {[m] { return m->SetMyPicture(nullptr, 3, "image/png"); },
       "ABOOK Method=UpdateAddressBook AddressBook=11 CallId= avatar_type=image/png"},
      {[m] { m->RequestCallHistoryFromServer("bob", 10, 1, 77); return true; },
       "ABOOK CallId=bob @i_cnt=10 @i_fwd=1 AddressBook=21 @last_cached_call=77L Method=SearchAddressBook"},
      {[m] { m->RequestCallHistoryFromServer("bob", 10, 1, -1); return true; },
       "ABOOK CallId=bob @i_cnt=10 @i_fwd=1 AddressBook=21 Method=SearchAddressBook"},
      {[m] { return m->Subscribe("alice"); }, "PRESENCE Method=Subscribe CallId=alice@test.invalid"},
      {[m] { const char* ids[] = {"b", "a"}; return m->Subscribe(ids, 2, true); },
       "PRESENCE Method=Subscribe Cause=1 CallId=b CallId=a"},
      {[m] { return m->Subscribe(nullptr, 0, false); }, "PRESENCE Method=Subscribe"},
      {[m] { return m->Subscribe(std::set<std::string>{"b", "a"}, false); },
       "PRESENCE Method=Subscribe CallId=a CallId=b"},
      {[m] { return m->Unsubscribe("alice"); }, "PRESENCE Method=Unsubscribe CallId=alice"},
      {[m] { return m->GetUserStatus("alice"); }, "PRESENCE Method=GetUserStatus CallId=alice@test.invalid"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    client->requests.Clear();
    EXPECT_TRUE(c.call());
    EXPECT_EQ(Sent(), std::vector<std::string>{c.line});
    EXPECT_EQ(client->requests.TimeLimits(), std::vector<uint32_t>{20000});
  }
  // Nothing for an empty set.
  client->requests.Clear();
  EXPECT_FALSE(manager->Subscribe(std::set<std::string>{}, true));
  EXPECT_FALSE(manager->Unsubscribe(std::set<std::string>{}));
  EXPECT_TRUE(Sent().empty());
  // Unsubscribing forgets the status first.
  fsm->SetStatus("zed", 1);
  manager->Unsubscribe("zed");
  EXPECT_EQ(fsm->GetStatus("zed"), USER_STATUS_UNDEF);
  // A batch.
  HX_Container batch;
  HX_ContactsManager::BeginAddExtContacts(batch);
  HX_ContactsManager::PushMyContact(batch, "a");
  HX_ContactsManager::PushMyContact(batch, "b", "B");
  client->requests.Clear();
  EXPECT_TRUE(manager->EndAddMyContacts(batch));
  EXPECT_EQ(Sent(), std::vector<std::string>{
                        "ABOOK Method=AddToAddressBook AddressBook=17 CallId=a CallId=b "
                        "DisplayName=B"});
  EXPECT_FALSE(manager->EndAddMyContacts(HX_Container()));
}

TEST_F(ContactsManagerTest, RenameIsLocalAtOnce) {
  fsm->PushContact(nullptr, "bob@test.invalid", "Bob", USER_STATUS_UNDEF, 0);
  EXPECT_TRUE(manager->SetDisplayName("bob@test.invalid", "Bobby"));
  EXPECT_EQ(
      fsm->HX_ContactStorage::GetDisplayName("bob@test.invalid", hx::DisplayName::kReturnNull),
      "Bobby");
  EXPECT_EQ(Sent(), std::vector<std::string>{"ABOOK Method=UpdateAddressBook AddressBook=1 "
                                             "CallId=bob@test.invalid DisplayName=Bobby"});
}

TEST_F(ContactsManagerTest, GroupCommandsUseUpSequenceIds) {
  EXPECT_TRUE(manager->CreateGroup("A"));
  EXPECT_TRUE(manager->RenameGroup(5, "B"));
  client->requests.setSendAnswer(false);
  EXPECT_FALSE(manager->AddToGroup(5, "bob"));
  client->requests.setSendAnswer(true);
  EXPECT_TRUE(manager->RemoveFromGroup(5, "bob"));
  EXPECT_TRUE(manager->RemoveGroup(5));
  EXPECT_EQ(Sent(), (std::vector<std::string>{
                        "ABOOK Method=ManageGroups Cmd=0 GName=A SeqID=1",
                        "ABOOK Method=ManageGroups Cmd=2 GID=5 GName=B SeqID=2",
                        "ABOOK Method=ManageGroups Cmd=3 GID=5 CallId=bob SeqID=3",
                        "ABOOK Method=ManageGroups Cmd=4 GID=5 CallId=bob SeqID=4",
                        "ABOOK Method=ManageGroups Cmd=1 GID=5 SeqID=5",
                    }));
  // Answers find their command again; the refused one (3) waits for nothing.
  auto answer = [&](int32_t cause, int32_t seq, const char* gid) {
    Body b;
    b.S("Method", "ManageGroups")
        .I("Result", 1)
        .I("Cause", cause)
        .S("GID", gid)
        .I("GType", 2)
        .I("SeqID", seq);
    return Parse(b);
  };
  recorder->Clear();
  EXPECT_TRUE(answer(0, 1, "12"));
  EXPECT_TRUE(answer(2, 2, "x"));
  EXPECT_TRUE(answer(3, 3, "5"));
  EXPECT_TRUE(answer(4, 4, "5"));
  EXPECT_TRUE(answer(1, 5, "99999999999"));
  EXPECT_TRUE(answer(0, 1, "12"));  // already answered
  EXPECT_EQ(recorder->Lines(), (std::vector<std::string>{
                                   "group 12 A 2 (null)",
                                   "groupsEnd",
                                   "groupCmd 0 1",
                                   "group 5 B 2 (null)",
                                   "groupsEnd",
                                   "groupCmd 2 1",
                                   "groupCmd 3 1",
                                   "groupDeleted 5 bob",
                                   "groupsEnd",
                                   "groupCmd 4 1",
                                   "groupDeleted 5 (null)",
                                   "groupsEnd",
                                   "groupCmd 1 1",
                                   "groupCmd 0 1",
                               }));
  // "SeqID" 0 asks for the whole groups book; a failure reports only the outcome.
  client->requests.Clear();
  recorder->Clear();
  Body zero;
  zero.S("Method", "ManageGroups").I("Result", 1).I("Cause", 0).S("GID", "3");
  EXPECT_TRUE(Parse(zero));
  EXPECT_EQ(Sent(),
            std::vector<std::string>{"ABOOK Method=SearchAddressBook Query= AddressBook=15 CallId= "
                                     "E-Mail= Name="});
  Body failed;
  failed.S("Method", "ManageGroups").I("Result", 7).I("Cause", 2);
  EXPECT_TRUE(Parse(failed));
  Body missing;
  missing.S("Method", "ManageGroups").I("Result", 1);
  EXPECT_FALSE(Parse(missing));
  EXPECT_EQ(recorder->Lines(), (std::vector<std::string>{"groupCmd 0 1", "groupCmd 2 7"}));
}

// The loop thread may handle a group command's answer before the thread that sent the command
// has returned from the send: the answer still finds its command, and only once.
TEST_F(ContactsManagerTest, AGroupAnswerThatOvertakesItsSendFindsItsCommand) {
  auto answer = [&] {
    Body b;
    b.S("Method", "ManageGroups").I("Result", 1).I("Cause", 0).S("GID", "12").I("GType", 2);
    b.I("SeqID", 1);
    std::thread loopThread([&] { Parse(b); });
    loopThread.join();
  };
  client->answer = [&](const std::string& line) {
    if (line.find("Method=ManageGroups") != std::string::npos) answer();
  };
  recorder->Clear();
  EXPECT_TRUE(manager->CreateGroup("A"));
  client->answer = nullptr;
  answer();  // a repeated answer finds nothing waiting any more
  EXPECT_EQ(recorder->Lines(), (std::vector<std::string>{"group 12 A 2 (null)", "groupsEnd",
                                                         "groupCmd 0 1", "groupCmd 0 1"}));
}

TEST_F(ContactsManagerTest, RetryDelays) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {0, 20000}, {1, 30000}, {9, 110000}, {10, 1800000}, {11, 1800000}};
  for (const auto& [attempt, delay] : cases)
    EXPECT_EQ(HX_ContactsManager::RetryDelayMs(attempt), delay) << attempt;
}

TEST_F(ContactsManagerTest, RequestCycleOrderHashesAndRepetition) {
  StartLoop();
  manager->setRetryDelayDivisor(100);  // 200 ms, 300 ms, ...
  cache->SetBookHash(HX_AB_GROUPS, 15);
  cache->SetBookHash(HX_AB_PHONES, 19);
  cache->SetBookHash(HX_AB_CONTACTS, 1);
  cache->SetBookHash(HX_AB_BANS, 2);
  ASSERT_TRUE(cache->AddPeerAbCommon("ann@test.invalid", "Ann", 0, 1, 0));
  // The empty store's checksum 0 equals the stored one: the contact list's hash goes along.
  EXPECT_TRUE(manager->RequestAddressBooks(kMe));
  EXPECT_EQ(Sent(), Cycle(15, 19, 1, 2));
  // The first repetition resubscribes the cached contacts (no status list came yet).
  ASSERT_TRUE(WaitFor([&] { return Sent().size() >= 9; }, kWaitMs));
  std::vector<std::string> second = Cycle(15, 19, 1, 2);
  second.push_back("PRESENCE Method=Subscribe Cause=1 CallId=ann@test.invalid");
  const std::vector<std::string> sentNow = Sent();
  EXPECT_EQ(std::vector<std::string>(sentNow.begin() + 4, sentNow.begin() + 9), second);

  // A contact list arrives: nothing repeats any more.
  Body list;
  list.S("Method", "SearchAddressBook").I("AddressBook", 1).I("Result", 0).I("Cause", 0);
  EXPECT_TRUE(Parse(list));
  const size_t sent = Sent().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_EQ(Sent().size(), sent);

  // A contact in the store whose checksum is not the stored one: the list is asked for in full.
  client->requests.Clear();
  fsm->PushContact(nullptr, "bob@test.invalid", "Bob", USER_STATUS_UNDEF, 0);
  client->requests.setSendAnswer(true);
  manager->resetDeferredRequests();
  EXPECT_TRUE(manager->RequestAddressBooks(kMe));
  const std::vector<std::string> full = Sent();
  ASSERT_GE(full.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(full.begin(), full.begin() + 4), Cycle(15, 19, 0, 2));
  manager->resetDeferredRequests();
}

// A contact list handled on the loop thread while the cycle that asked for it is still sending
// (the repetition runs on a worker of the pool) ends the repetitions all the same.
TEST_F(ContactsManagerTest, AContactListThatOvertakesItsCycleStopsTheRepetition) {
  StartLoop();
  manager->setRetryDelayDivisor(100);  // due in 200 ms
  // Set before any repetition can run and left set: the loop stops before the fixture goes.
  client->answer = [&](const std::string& line) {
    if (line.find(" AddressBook=1 ") == std::string::npos) return;
    std::thread loopThread([&] {
      Body list;
      list.S("Method", "SearchAddressBook").I("AddressBook", 1).I("Result", 0).I("Cause", 0);
      Parse(list);
    });
    loopThread.join();
  };
  EXPECT_TRUE(manager->RequestAddressBooks(kMe));
  EXPECT_EQ(Sent(), Cycle(0, 0, 0, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_EQ(Sent(), Cycle(0, 0, 0, 0));
}

TEST_F(ContactsManagerTest, RepetitionAfterAStatusListDoesNotResubscribe) {
  StartLoop();
  manager->setRetryDelayDivisor(100);
  ASSERT_TRUE(cache->AddPeerAbCommon("ann@test.invalid", "Ann", 0, 1, 0));
  fsm->setStatusSubscription();
  manager->RequestAddressBooks(kMe);
  // Three cycles: a resubscription would follow the second one's four requests.
  ASSERT_TRUE(WaitFor([&] { return Sent().size() >= 12; }, kWaitMs));
  manager->resetDeferredRequests();
  EXPECT_EQ(client->requests.Count("PRESENCE"), 0u);
}

TEST_F(ContactsManagerTest, PeerDetailsOncePerWindowAndNeverForAContact) {
  ASSERT_TRUE(cache->AddPeerAbCommon("ann@test.invalid", "Ann", 0, 1, 0));
  EXPECT_FALSE(manager->reqPeerDetails("ann@test.invalid"));
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(manager->reqPeerDetails("zed@test.invalid"));
  EXPECT_TRUE(manager->reqPeerDetails("zed@test.invalid"));
  EXPECT_EQ(Sent(), std::vector<std::string>{
                        "ABOOK Method=SearchAddressBook Query=zed@test.invalid AddressBook=8 "
                        "CallId= E-Mail= Name="});
}

TEST_F(ContactsManagerTest, RefusedGroupsRequestStopsTheCycleButNotTheRepetition) {
  StartLoop();
  manager->setRetryDelayDivisor(100);
  client->requests.setSendAnswer(false);
  EXPECT_FALSE(manager->RequestAddressBooks(kMe));
  EXPECT_EQ(Sent().size(), 1u);
  ASSERT_TRUE(WaitFor([&] { return Sent().size() >= 2; }, kWaitMs));
  manager->resetDeferredRequests();
}

// The retry job may be due long after the client object is gone, on a loop that lives on.
TEST_F(ContactsManagerTest, DestroyedManagerLeavesNoRepetitionBehind) {
  StartLoop();
  manager->setRetryDelayDivisor(100);  // due in 200 ms
  manager->RequestAddressBooks(kMe);
  recorder.reset();
  client.reset();
  // A job that outlived its manager would run now, on freed memory.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_TRUE(loop->isRunning());
}

TEST_F(ContactsManagerTest, CompleteContactListFillsStoresCacheAndSignals) {
  Body b;
  b.S("Method", "SearchAddressBook").I("AddressBook", 1).I("Result", 3).I("Cause", 1).I("Hash", 77);
  b.S("UserName", "ann")
      .S("CallId", "ann@test.invalid")
      .S("DisplayName", "Ann")
      .B("editable", false);
  // The second record has no id; a name seen again begins the next record.
  b.S("UserName", "nobody").S("DisplayName", "No Id").I("Other", 1);
  b.S("UserName", "bob")
      .S("CallId", "bob@test.invalid")
      .S("DisplayName", "Bob")
      .S("CallId", "cy@test.invalid");
  EXPECT_TRUE(Parse(b));
  EXPECT_TRUE(fsm->IsPeerExists("ann@test.invalid"));
  EXPECT_TRUE(fsm->IsPeerExists("bob@test.invalid"));
  // "cy" begins a fourth record, beyond the count.
  EXPECT_FALSE(fsm->IsPeerExists("cy@test.invalid"));
  EXPECT_EQ(fsm->SearchContact("ann@test.invalid")->flags, hx::Contact::NOT_EDITABLE);
  EXPECT_EQ(fsm->SearchContact("bob@test.invalid")->flags, 0u);
  EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), 77u);
  EXPECT_EQ(cache->GetBookCrc(HX_AB_CONTACTS), fsm->GetContactsHash());
  EXPECT_EQ(cache->GetContacts(), (std::set<std::string>{"ann@test.invalid", "bob@test.invalid"}));
  EXPECT_EQ(recorder->Lines(), (std::vector<std::string>{
                                   "begin 1 0 [locked]",
                                   "setPeer ann ann@test.invalid Ann 0 1 [locked]",
                                   "setPeer bob bob@test.invalid Bob 0 1 [locked]",
                                   "end 1 [locked]",
                               }));
  EXPECT_EQ(
      Sent(),
      std::vector<std::string>{
          "PRESENCE Method=Subscribe Cause=1 CallId=ann@test.invalid CallId=bob@test.invalid"});

  // Neither complete nor with records: nothing changes, no contact signal.
  recorder->Clear();
  Body none;
  none.S("Method", "SearchAddressBook")
      .I("AddressBook", 1)
      .I("Result", 0)
      .I("Cause", 0)
      .I("Hash", 5);
  EXPECT_TRUE(Parse(none));
  EXPECT_TRUE(recorder->Lines().empty());
  EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), 77u);

  // An incremental answer adds without emptying.
  Body more;
  more.S("Method", "SearchAddressBook")
      .I("AddressBook", 1)
      .I("Result", 1)
      .I("Cause", 0)
      .I("Hash", 78);
  more.S("CallId", "dan@test.invalid");
  EXPECT_TRUE(Parse(more));
  EXPECT_TRUE(fsm->IsPeerExists("ann@test.invalid"));
  EXPECT_TRUE(fsm->IsPeerExists("dan@test.invalid"));
  EXPECT_EQ(recorder->Count("begin 0 0 [locked]"), 1u);

  // A count far beyond the body ends with the body.
  Body huge;
  huge.S("Method", "SearchAddressBook")
      .I("AddressBook", 1)
      .I("Result", 2147483647)
      .I("Cause", 1)
      .I("Hash", 79);
  huge.S("CallId", "eve@test.invalid");
  EXPECT_TRUE(Parse(huge));
  EXPECT_TRUE(fsm->IsPeerExists("eve@test.invalid"));
  EXPECT_FALSE(fsm->IsPeerExists("ann@test.invalid"));
}

TEST_F(ContactsManagerTest, NoticesAddRemoveAndRename) {
  Body add;
  add.S("Method", "AddToAddressBook")
      .S("CallId", "ann@test.invalid")
      .I("AddressBook", 1)
      .I("Hash", 3);
  add.S("DisplayName", "Ann").B("NewUser", true);
  EXPECT_TRUE(Parse(add));
  EXPECT_TRUE(fsm->IsPeerExists("ann@test.invalid"));
  EXPECT_TRUE(cache->IsContact("ann@test.invalid"));
  EXPECT_EQ(cache->GetBookHash(HX_AB_CONTACTS), 3u);

  Body rename;
  rename.S("Method", "UpdateAddressBook")
      .I("AddressBook", 1)
      .S("CallId", "ann@test.invalid")
      .I("Hash", 4);
  rename.S("DisplayName", "Annie");
  EXPECT_TRUE(Parse(rename));
  EXPECT_EQ(
      fsm->HX_ContactStorage::GetDisplayName("ann@test.invalid", hx::DisplayName::kReturnNull),
      "Annie");
  Body noHash;
  noHash.S("Method", "UpdateAddressBook")
      .I("AddressBook", 1)
      .S("CallId", "ann@test.invalid")
      .I("Hash", 0);
  EXPECT_FALSE(Parse(noHash));

  Body failed;
  failed.S("Method", "AddToAddressBook")
      .S("CallId", "bob@test.invalid")
      .I("AddressBook", 1)
      .I("Cause", 5);
  EXPECT_TRUE(Parse(failed));
  EXPECT_FALSE(fsm->IsPeerExists("bob@test.invalid"));

  Body remove;
  remove.S("Method", "RemoveFromAddressBook")
      .S("CallId", "ann@test.invalid")
      .I("AddressBook", 1)
      .I("Hash", 5);
  EXPECT_TRUE(Parse(remove));
  EXPECT_FALSE(fsm->IsPeerExists("ann@test.invalid"));
  EXPECT_FALSE(cache->IsContact("ann@test.invalid"));
  EXPECT_EQ(recorder->Lines(), (std::vector<std::string>{
                                   "begin 0 0",
                                   "setPeer ann@test.invalid ann@test.invalid Ann -127 2",
                                   "end 0",
                                   "begin 0 0 [locked]",
                                   "setPeer (null) ann@test.invalid Annie 0 1 [locked]",
                                   "end 1 [locked]",
                                   "begin 0 0",
                                   "deleted ann@test.invalid",
                                   "end 0",
                               }));
  // No status list has come: the rename resubscribes every contact.
  EXPECT_EQ(Sent(),
            (std::vector<std::string>{"PRESENCE Method=Subscribe CallId=ann@test.invalid",
                                      "PRESENCE Method=Subscribe Cause=1 CallId=ann@test.invalid",
                                      "PRESENCE Method=Unsubscribe CallId=ann@test.invalid"}));
}

// A notice without the id it is about changes nothing (it used to reach the stores as null).
TEST_F(ContactsManagerTest, NoticesWithoutCallIdChangeNothing) {
  struct Failed {
    std::vector<std::string> seen;
    void On(const char* id, int32_t what, int32_t cause) {
      seen.push_back(std::string(id != nullptr ? id : "(null)") + " " + std::to_string(what) + " " +
                     std::to_string(cause));
    }
  } failed;
  manager->addressBookCmdFailed.Connect(&failed, &Failed::On);
  const std::pair<const char*, std::vector<int32_t>> cases[] = {
      {"AddToAddressBook", {1, 2}},
      {"RemoveFromAddressBook", {1, 2, 11}},
      {"UpdateAddressBook", {11}}};
  for (const auto& [method, books] : cases) {
    for (int32_t book : books) {
      SCOPED_TRACE(std::string(method) + " " + std::to_string(book));
      Body missing;
      missing.S("Method", method).I("AddressBook", book).I("Hash", 9).S("DisplayName", "X");
      EXPECT_FALSE(Parse(missing));
      Body empty;
      empty.S("Method", method).I("AddressBook", book).I("Hash", 9).S("CallId", "");
      EXPECT_FALSE(Parse(empty));
    }
  }
  Body cause;
  cause.S("Method", "RemoveFromAddressBook").I("AddressBook", 1).I("Cause", 4);
  EXPECT_TRUE(Parse(cause));
  manager->addressBookCmdFailed.Disconnect(&failed, &Failed::On);
  EXPECT_EQ(failed.seen, std::vector<std::string>{"(null) 1 4"});
  EXPECT_TRUE(recorder->Lines().empty());
  EXPECT_TRUE(cache->GetContacts().empty());
  EXPECT_TRUE(cache->GetBans().empty());
}

TEST_F(ContactsManagerTest, BanGroupsPhonesAndLStatusBooks) {
  ASSERT_TRUE(client->groupsManager()->OpenDatabase(kMe, client->workingDir().c_str()));
  ASSERT_TRUE(client->phonesManager()->OpenDatabase(kMe, client->workingDir().c_str()));
  ASSERT_TRUE(cache->AddPeerAbBanList("old@test.invalid", "Old", 1));
  recorder->Clear();
  Body bans;
  bans.S("Method", "SearchAddressBook")
      .I("AddressBook", 2)
      .I("Result", 2)
      .I("Cause", 1)
      .I("Hash", 8);
  bans.S("UserName", "x@test.invalid").S("UserName", "").S("username", "case@test.invalid");
  EXPECT_TRUE(Parse(bans));
  EXPECT_EQ(cache->GetBans(), std::set<std::string>{"x@test.invalid"});
  EXPECT_EQ(recorder->Lines(),
            (std::vector<std::string>{"blocked x@test.invalid", "unblocked old@test.invalid"}));

  recorder->Clear();
  Body groups;
  groups.S("Method", "SearchAddressBook")
      .I("AddressBook", 15)
      .I("Result", 1)
      .I("Cause", 1)
      .I("Hash", 6);
  groups.S("GID", "4")
      .S("GName", "Team")
      .I("GType", 2)
      .S("CallId", "ann")
      .S("GID", "bad")
      .S("CallId", "bob");
  EXPECT_TRUE(Parse(groups));
  // "bad" is no group id: its member is reported for none.
  EXPECT_EQ(recorder->Lines(), (std::vector<std::string>{"groupsBegin", "group 4 Team 2 (null)",
                                                         "group 4 Team 2 ann", "groupsEnd"}));
  const HX_GroupsDB::Group team = client->groupsManager()->GetGroup(4);
  EXPECT_EQ(team.m_groupName, "Team");
  EXPECT_EQ(team.m_peers, std::set<std::string>{"ann"});
  // The same hash again: nothing.
  recorder->Clear();
  EXPECT_TRUE(Parse(groups));
  EXPECT_TRUE(recorder->Lines().empty());

  Body phones;
  phones.S("Method", "SearchAddressBook")
      .I("AddressBook", 19)
      .I("Result", 1)
      .I("Cause", 1)
      .I("Hash", 6);
  phones.S("id", "p1").S("CallId", "ann").S("phone", "+1").I("Type", 2).B("editable", true);
  phones.S("id", "p2").S("CallId", "bob").S("phone", "+2").I("Type", 3);
  phones.S("id", "p3").S("CallId", "cy").S("phone", "+3").I("Type", 4);
  EXPECT_TRUE(Parse(phones));
  EXPECT_EQ(client->phonesManager()->GetPhoneList("ann"),
            (HX_PhonesDB::DescriptionSet{{"p1", "ann", "+1", static_cast<PhoneType>(2), true}}));
  EXPECT_EQ(client->phonesManager()->GetPhoneList("bob"),
            (HX_PhonesDB::DescriptionSet{{"p2", "bob", "+2", static_cast<PhoneType>(3), true}}));
  EXPECT_TRUE(client->phonesManager()->GetPhoneList("cy").empty());

  Body lstatus;
  lstatus.S("Method", "SearchAddressBook").I("AddressBook", 16).I("Result", 1).I("Cause", 1);
  lstatus.S("CallId", "ann")
      .I("LStatus", 3)
      .S("CallId", "bob")
      .S("LStatus", "x")
      .I("LStatus", 5)
      .S("CallId", "cy");
  EXPECT_TRUE(Parse(lstatus));
  const auto list = fsm->GetLStatusList();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(static_cast<int>(list.at("ann")), 3);
  EXPECT_EQ(static_cast<int>(list.at("bob")), 5);
  EXPECT_EQ(static_cast<int>(list.at("cy")), 0);
}

TEST_F(ContactsManagerTest, SearchDetailsPicturesAndStatusAnswers) {
  ASSERT_TRUE(fsm->PushSearch("bo", "", ""));
  Body search;
  search.S("Method", "SearchAddressBook")
      .I("AddressBook", 6)
      .I("Result", 2)
      .I("Cause", 1)
      .S("RequestCallID", "bo");
  search.S("DisplayName", "Bob").S("CallId", "bob@test.invalid").S("CallId", "bo2@test.invalid");
  EXPECT_TRUE(Parse(search));
  EXPECT_EQ(fsm->PopSearchResult("bo", "", ""),
            (std::list<std::string>{"bob@test.invalid", "bo2@test.invalid"}));
  EXPECT_EQ(cache->GetDisplayName("bob@test.invalid", hx::DisplayName::kReturnNull), "Bob");

  Body details;
  details.S("Method", "SearchAddressBook").I("AddressBook", 8).I("Result", 1).I("Cause", 1);
  details.S("CallId", "bob@test.invalid")
      .S("DisplayName", "Bobby")
      .S("FirstName", "Bo")
      .S("LastName", "B");
  EXPECT_TRUE(Parse(details));
  EXPECT_EQ(fsm->GetUserDetails("bob@test.invalid").firstName, "Bo");
  EXPECT_EQ(cache->GetDisplayName("bob@test.invalid", hx::DisplayName::kReturnNull), "Bobby");

  {
    hx::ManualWallClock clock(1700000000);
    hx::WallClockOverride useClock(clock.Source());
    Body picture;
    picture.S("Method", "SearchAddressBook")
        .I("AddressBook", 11)
        .I("Result", 1)
        .I("Cause", 1)
        .I("Hash", 7);
    picture.S("Query", "bob@test.invalid").S("avatar_type", "image/png");
    picture.get().AddValue("avatar", HX_CNT_BINARY_VT, "\x89PNG", 4);
    EXPECT_TRUE(Parse(picture));
    EXPECT_EQ(fsm->GetAvatarHash("bob@test.invalid"), 7);
    EXPECT_EQ(fsm->GetAvatar("bob@test.invalid", true).size(), 4u);
    // Not changed: the stored picture is current from now on.
    clock.Advance(100);
    Body unchanged;
    unchanged.S("Method", "SearchAddressBook")
        .I("AddressBook", 11)
        .I("Result", 0)
        .I("Cause", 2)
        .I("Hash", 7);
    unchanged.S("Query", "bob@test.invalid");
    EXPECT_TRUE(Parse(unchanged));
    EXPECT_EQ(fsm->GetAvatar("bob@test.invalid", true).lastWrite(), 1700000100u);
  }

  Body status;
  status.S("Method", "GetUserStatus")
      .S("CallId", "bob@test.invalid")
      .S("RealID", "bob")
      .I("UserPresStatus", 2);
  recorder->Clear();
  EXPECT_TRUE(Parse(status));
  EXPECT_TRUE(recorder->Lines().empty());  // not a contact
  fsm->PushContact(nullptr, "bob@test.invalid", "Bob", USER_STATUS_UNDEF, 0);
  EXPECT_TRUE(Parse(status));
  EXPECT_EQ(fsm->GetStatus("bob@test.invalid"), 2);
  EXPECT_EQ(recorder->Lines(), std::vector<std::string>{"setPeer bob bob@test.invalid (null) 2 1"});
}

TEST_F(ContactsManagerTest, RebuildsFromTheCache) {
  ASSERT_TRUE(cache->AddPeerAbCommon("ann@test.invalid", "Ann", 0, 1, 0));
  ASSERT_TRUE(cache->AddPeerAbBanList("x@test.invalid", "X", 2));
  fsm->SetStatus("ann@test.invalid", 1);
  recorder->Clear();
  manager->UpdatePeersFromCache();
  EXPECT_EQ(recorder->Lines(),
            (std::vector<std::string>{"begin 1 0", "setPeer  ann@test.invalid Ann 1 1", "end 0",
                                      "blocked x@test.invalid"}));
  recorder->Clear();
  manager->DisablePeersFromCache();
  EXPECT_EQ(recorder->Lines(),
            (std::vector<std::string>{"begin 1 1", "setPeer  ann@test.invalid Ann 0 1", "end 0"}));
  EXPECT_EQ(fsm->GetStatus("ann@test.invalid"), 0);
}

TEST_F(ContactsManagerTest, HostileMessagesChangeNothing) {
  Body good;
  good.S("Method", "SearchAddressBook")
      .I("AddressBook", 1)
      .I("Result", 1)
      .I("Cause", 1)
      .I("Hash", 3);
  good.S("CallId", "ann@test.invalid");
  ASSERT_TRUE(Parse(good));
  const uint32_t crc = cache->GetBookCrc(HX_AB_CONTACTS);
  std::vector<Body> bad(8);
  bad[0].S("Method", "SearchAddressBook").I("AddressBook", 1).I("Cause", 1);  // no "Result"
  bad[1]
      .S("Method", "SearchAddressBook")
      .S("AddressBook", "1")
      .I("Result", 1)
      .I("Cause", 1);  // mistyped
  bad[2].S("Method", "SearchAddressBook").I("AddressBook", 99).I("Result", 1).I("Cause", 1);
  bad[3].S("Method", "NoSuchMethod").I("AddressBook", 1);
  bad[4].I("AddressBook", 1).I("Result", 1).I("Cause", 1);  // no "Method"
  bad[5].S("Method", "AddToAddressBook").I("AddressBook", 42).S("CallId", "x");
  bad[6].S("Method", "SearchAddressBook").I("AddressBook", 2).I("Result", -5).I("Cause", 2);
  bad[7]
      .S("Method", "SearchAddressBook")
      .I("AddressBook", 1)
      .I("Result", -1)
      .I("Cause", 0)
      .S("CallId", "z");
  for (Body& b : bad) Parse(b);
  EXPECT_EQ(cache->GetBookCrc(HX_AB_CONTACTS), crc);
  EXPECT_TRUE(fsm->IsPeerExists("ann@test.invalid"));
  EXPECT_FALSE(fsm->IsPeerExists("x"));
  EXPECT_FALSE(fsm->IsPeerExists("z"));
  // The next good one is applied.
  Body next;
  next.S("Method", "AddToAddressBook").I("AddressBook", 1).S("CallId", "bob@test.invalid");
  EXPECT_TRUE(Parse(next));
  EXPECT_TRUE(fsm->IsPeerExists("bob@test.invalid"));
}

}  // namespace
}  // namespace hx::testing
