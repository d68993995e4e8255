// The client application object's view of other users (statuses, searches, details, display
// names, avatars through the avatar downloader's thread), the relays of the contacts and
// file-sharing events, the benchmark record, and the backup and restore of the real settings and
// chat databases through the database manager. The stand-ins of the contacts and chat services
// record what they were asked.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/base/stored_task.h"
#include "core/base/wall_clock.h"
#include "core/chat/chat_managers.h"
#include "core/chat/chat_message.h"
#include "core/client/console_client.h"
#include "core/contacts/contact_managers.h"
#include "core/contacts/contacts_db_test_helpers.h"
#include "core/contacts/groups/groups_manager.h"
#include "core/contacts/phones/phones_storage.h"
#include "core/media/format/media_format_adapter.h"
#include "core/media/format/sys_benchmark.h"
#include "core/media/format/video_levels.h"
#include "core/storage/db_manager.h"
#include "core/storage/settings_db.h"
#include "testing/request_log.h"
#include "testing/test_console_client.h"
#include "testing/test_support.h"

namespace {

using hx::testing::TestConsoleClient;
using S = HX_TransportSession::State;

constexpr int kWaitMs = 10000;
constexpr int64_t kT0 = 1700000000;

class PeersClient : public TestConsoleClient {
 public:
  PeersClient() = default;
  explicit PeersClient(std::string folder) : m_folder(std::move(folder)) {}
  const char* GetWorkingDir() override {
    return m_folder.empty() ? TestConsoleClient::GetWorkingDir() : m_folder.c_str();
  }
  // The requests the contacts manager sent, one line each (hx::testing::RequestLog).
  std::vector<std::string> Contacts() { return requests.Lines(); }
  size_t Count(const std::string& prefix) { return requests.Count(prefix); }
  bool QueuePacket(HX_ClientMessage* message) override { return requests.Take(message); }
  // The line of a details search for `id`.
  std::string Details(const std::string& id) {
    const std::string login = getFSM()->GetLogin();
    return "ABOOK Method=SearchAddressBook Query=" + id + " AddressBook=8 CallId=" + login + " E-Mail=" + login +
           " Name=" + login;
  }
  // The line of a picture request.
  static std::string Picture(const std::string& id, const std::string& hash) {
    return "ABOOK Method=SearchAddressBook AddressBook=11 Query=" + id + (hash.empty() ? "" : " Hash=" + hash);
  }
  hx::testing::RequestLog requests;
  void LogIn() {
    for (int32_t state : {S::eConnecting, S::eConnected, S::eLoggedIn}) setStateTrs(state);
  }
  void onChatFileMessageSent(const std::shared_ptr<hx::chat::Message>& message, const char* text) override {
    sentFiles.push_back(std::to_string(message->getId()) + " " + (text != nullptr ? text : "(null)"));
  }
  using HXConsoleClient::_OnSysBenchmarkComplete;

  std::vector<std::string> sentFiles;

 private:
  std::string m_folder;
};

class ConsoleClientPeersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<PeersClient>();
    client->CreateApplication();
    fsm = client->getFSM();
  }
  std::unique_ptr<PeersClient> client;
  HXFSMShared* fsm = nullptr;
};

TEST_F(ConsoleClientPeersTest, PeerStatusKnownOrAskedFor) {
  // Unknown: -127, one status request, and a subscription only when asked.
  EXPECT_EQ(client->GetPeerStatus("bob", false), USER_STATUS_UNDEF);
  const std::string status = "PRESENCE Method=GetUserStatus CallId=bob@test.invalid";
  const std::string subscribe = "PRESENCE Method=Subscribe CallId=bob@test.invalid";
  EXPECT_EQ(client->Contacts(), std::vector<std::string>{status});
  EXPECT_EQ(client->GetPeerStatus("bob", true), USER_STATUS_UNDEF);
  EXPECT_EQ(client->Contacts(), (std::vector<std::string>{status, subscribe, status}));
  // Known under the id with the session's domain: answered, nothing asked.
  fsm->SetStatus("bob@test.invalid", USER_BUSY);
  EXPECT_EQ(client->GetPeerStatus("bob", true), USER_BUSY);
  EXPECT_EQ(client->GetPeerStatus("bob@test.invalid", true), USER_BUSY);
  EXPECT_EQ(client->Contacts().size(), 3u);
  EXPECT_EQ(client->GetPeerStatus(nullptr, true), USER_STATUS_UNDEF);
  EXPECT_EQ(client->Contacts().size(), 3u);
}

TEST_F(ConsoleClientPeersTest, FindUserOncePerPendingSearch) {
  EXPECT_TRUE(client->FindUser("bob", "Bob", ""));
  // The same search while the first is pending is refused before anything is sent.
  EXPECT_FALSE(client->FindUser("bob", "Bob", ""));
  EXPECT_EQ(client->Contacts(),
            std::vector<std::string>{"ABOOK Method=SearchAddressBook AddressBook=6 E-Mail= CallId=bob Name=Bob"});
  // Not sent: false, and the search stays recorded.
  client->requests.setSendAnswer(false);
  EXPECT_FALSE(client->FindUser("carol", "", ""));
  EXPECT_EQ(client->Count("ABOOK Method=SearchAddressBook AddressBook=6"), 2u);
  EXPECT_EQ(fsm->PendingCount(), 2u);
}

TEST_F(ConsoleClientPeersTest, PeerDetailsRequestedOnlyWhenLoggedInAndMissingOrChanged) {
  const HXConsoleClient& constClient = *client;
  EXPECT_TRUE(constClient.GetPeerDetails("bob@test.invalid"));
  EXPECT_EQ(client->Contacts(), std::vector<std::string>{client->Details("bob@test.invalid")});
  client->requests.Clear();

  EXPECT_TRUE(client->GetPeerDetails(nullptr, true).callId.empty());
  // Not logged in: nothing is asked.
  client->GetPeerDetails("bob@test.invalid", true);
  EXPECT_TRUE(client->Contacts().empty());
  client->LogIn();
  client->requests.Clear();
  // Missing and asked for: one search, marked as sent (so that the next call asks no more).
  EXPECT_TRUE(client->GetPeerDetails("bob@test.invalid", false).firstName.empty());
  EXPECT_TRUE(client->Contacts().empty());
  client->GetPeerDetails("bob@test.invalid", true);
  EXPECT_EQ(client->Count("ABOOK Method=SearchAddressBook Query="), 1u);
  EXPECT_EQ(fsm->GetUserDetails("bob@test.invalid").state, 2);
  client->GetPeerDetails("bob@test.invalid", true);
  EXPECT_EQ(client->Count("ABOOK Method=SearchAddressBook Query="), 1u);
  // Stored from the server: answered as stored.
  fsm->SetUserDetails("carol@test.invalid",
                      HX_UserDetailsStorage::Information("Carol", "C", "Co", "1", "Carol C", "carol@test.invalid"),
                      true);
  EXPECT_EQ(client->GetPeerDetails("carol@test.invalid", true).firstName, "Carol");
  EXPECT_EQ(client->Count("ABOOK Method=SearchAddressBook Query="), 1u);
  // Changed locally: asked for again; a search that was not sent leaves the state.
  fsm->SetUserDetails("carol@test.invalid", HX_UserDetailsStorage::Information("Caz", "", "", "", "", ""), false);
  client->requests.setSendAnswer(false);
  EXPECT_EQ(client->GetPeerDetails("carol@test.invalid", false).firstName, "Caz");
  EXPECT_EQ(client->Count("ABOOK Method=SearchAddressBook Query="), 2u);
  EXPECT_EQ(fsm->GetUserDetails("carol@test.invalid").state, 1);
}

TEST_F(ConsoleClientPeersTest, DisplayNames) {
  using DN = hx::DisplayName;
  const std::string telIcon = DN::getIcon(hx::CallIdType::tel);
  ASSERT_FALSE(telIcon.empty());
  struct Case {
    const char* id;
    DN::UpdateValue update;
    const char* fallback;
    hx::CallIdType type;
    std::string name;
    int32_t source;
    std::string decorated;
    std::vector<std::string> asked;  // details searched for
  };
  // clang-format off
  const Case cases[] = {
      {nullptr, DN::kUpdateSearch, "x", hx::CallIdType::user, "", DN::kSourceNone, "", {}},
      // Unknown to the cache, a fallback name: that name, flags 3, the id's scheme type.
      {"bob@test.invalid", DN::kUpdateNothing, "Bobby", hx::CallIdType::user, "Bobby", DN::kSourceFallback, "Bobby", {}},
      {"#tel:+123", DN::kUpdateNothing, "Office", hx::CallIdType::tel, "Office", DN::kSourceFallback,
       telIcon + " Office", {}},
      // Without one: made from the id, the own domain removed from a plain user id.
      {"bob@test.invalid", DN::kUpdateNothing, nullptr, hx::CallIdType::user, "bob", DN::kSourceGenerated, "bob", {}},
      {"bob@other.example", DN::kUpdateNothing, nullptr, hx::CallIdType::user, "bob@other.example",
       DN::kSourceGenerated, "bob@other.example", {}},
      // Asking beyond the cache.
      {"dan@test.invalid", DN::kUpdateDetails, nullptr, hx::CallIdType::user, "dan", DN::kSourceGenerated, "dan",
       {"dan@test.invalid"}},
      {"dave@test.invalid", DN::kUpdateSearch, "D", hx::CallIdType::user, "D", DN::kSourceFallback, "D",
       {"dave@test.invalid"}},
      // Known to the cache: its answer, whatever the fallback; no details asked.
      {"carol@test.invalid", DN::kUpdateDetails, "Fallback", hx::CallIdType::user, "Carol Cached", DN::kSourceCache,
       "Carol Cached", {}},
      {"carol@test.invalid", DN::kUpdateSearch, nullptr, hx::CallIdType::user, "Carol Cached", DN::kSourceCache,
       "Carol Cached", {"carol@test.invalid"}},
  };
  // clang-format on
  HX_GrossBuchCache* cache = client->contactCache().get();
  ASSERT_TRUE(cache->OpenDatabase("me", client->workingDir().c_str()));
  ASSERT_TRUE(cache->AddToCache("carol@test.invalid", "Carol Cached"));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.id != nullptr ? c.id : "(null)") + " / " + (c.fallback != nullptr ? c.fallback : "-"));
    // The text form first: it asks nothing, so the lookup below still finds no pending request.
    for (DN::ReturnValue ret : {DN::kReturnEmpty, DN::kReturnCallId, DN::kReturnNull}) {
      EXPECT_EQ(client->GetDisplayName(c.id, ret, DN::kUpdateNothing, c.fallback, false), c.name);
      EXPECT_EQ(client->GetDisplayName(c.id, ret, DN::kUpdateNothing, c.fallback, true), c.decorated);
    }
    client->requests.Clear();
    const DN name = client->getDisplayName(c.id, c.update, c.fallback);
    EXPECT_EQ(name.m_type, c.type);
    EXPECT_EQ(name.m_dn, c.name);
    EXPECT_EQ(name.m_source, c.source);
    std::vector<std::string> asked;
    for (const std::string& id : c.asked) asked.push_back(client->Details(id));
    EXPECT_EQ(client->Contacts(), asked);
  }
  // The details request left a pending entry in the cache: it answers with the name made from
  // the id, and no second request goes out within 30 s.
  client->requests.Clear();
  const DN pending = client->getDisplayName("dan@test.invalid", DN::kUpdateDetails, nullptr);
  EXPECT_EQ(pending.m_dn, "dan@test.invalid");
  EXPECT_EQ(pending.m_source, DN::kSourceGenerated);
  EXPECT_TRUE(client->Contacts().empty());
  EXPECT_EQ(client->GetDisplayName("#tel:+123", DN::kReturnEmpty, DN::kUpdateNothing, nullptr, true),
            client->getDisplayName("#tel:+123", DN::kUpdateNothing, nullptr).getDnDecorated());
}

TEST_F(ConsoleClientPeersTest, FixDisplayName) {
  EXPECT_EQ(client->FixDisplayName("bob@test.invalid/phone", ""), "bob");
  EXPECT_EQ(client->FixDisplayName("bob@test.invalid/phone", nullptr), "bob");
  EXPECT_EQ(client->FixDisplayName("bob@other.example/phone", ""), "bob@other.example");
  EXPECT_EQ(client->FixDisplayName("bob@test.invalid", "Bob B"), "Bob B");
  EXPECT_EQ(client->FixDisplayName(nullptr, ""), "");
  EXPECT_EQ(client->getUserLoginDomain(), "test.invalid");
}

// Records that it ran; scheduled behind other download tasks, it tells that they have run.
class MarkerTask : public HXStoredTask {
 public:
  explicit MarkerTask(std::atomic<int>* runs) : m_runs(runs) {}
  void Execute() override { m_runs->fetch_add(1); }

 private:
  std::atomic<int>* m_runs;
};

TEST_F(ConsoleClientPeersTest, AvatarsAreFetchedOnTheDownloaderThread) {
  hx::ManualWallClock clock(kT0);
  hx::WallClockOverride useClock(clock.Source());
  std::atomic<int> markers{0};
  // Runs every task scheduled so far: the marker is due after all of them.
  const auto drain = [&] {
    const int seen = markers.load();
    fsm->ScheduleAvatarTask(new MarkerTask(&markers), true);
    return hx::testing::WaitFor([&] { return markers.load() > seen; }, kWaitMs);
  };
  fsm->startAvatarDownloader();

  // Never fetched: a placeholder that needs a refresh. The user database is closed, so it comes
  // from the cache; its fetch runs on the downloader but asks nothing while not logged in.
  const hx::Avatar avatar = client->GetAvatar("bob@test.invalid/phone", true);
  EXPECT_EQ(avatar.peerId(), "bob@test.invalid/phone");
  EXPECT_TRUE(avatar.empty());
  EXPECT_TRUE(avatar.isRefreshRequired());
  ASSERT_TRUE(drain());
  EXPECT_EQ(client->Count("ABOOK Method=SearchAddressBook AddressBook=11"), 0u);

  // Logged in. Empty ids: empty answers, nothing scheduled (a task of theirs would ask for "").
  client->LogIn();
  client->requests.Clear();
  EXPECT_TRUE(client->GetAvatar("", true).empty());
  EXPECT_TRUE(client->GetAvatar(nullptr, true).peerId().empty());
  EXPECT_TRUE(client->GetAvatarThumbnail("", 48, 32).peerId().empty());
  EXPECT_EQ(client->GetAvatarThumbnail("", 48, 32).width(), 48u);
  client->CheckAvatarExpired("");
  client->SetAvatarThumbnail("", hx::Thumbnail("x@test.invalid", "ab", 2, 0, 8, 8));
  // A due refresh is fetched on the downloader: the request, then the fetch time.
  client->CheckAvatarExpired("carol@test.invalid");
  ASSERT_TRUE(drain());
  EXPECT_EQ(client->Contacts(), std::vector<std::string>{PeersClient::Picture("carol@test.invalid", "")});
  EXPECT_FALSE(fsm->isAvatarRefreshRequired("carol@test.invalid"));
  client->requests.Clear();

  // The fetch itself: the short id is asked for, with the stored hash, only when a refresh is due.
  fsm->SetAvatar("bob@test.invalid", "abc", 3, 77, "image/png");
  EXPECT_TRUE(client->_GetAvatar("bob@test.invalid/phone"));
  EXPECT_EQ(client->Count("ABOOK Method=SearchAddressBook AddressBook=11"), 0u);
  clock.Advance(86400);
  EXPECT_TRUE(client->_GetAvatar("bob@test.invalid"));
  EXPECT_EQ(client->Contacts(), std::vector<std::string>{PeersClient::Picture("bob@test.invalid", "77")});
  // Asked within the half hour since: nothing more.
  clock.Advance(1799);
  EXPECT_TRUE(client->_GetAvatar("bob@test.invalid"));
  EXPECT_EQ(client->Count("ABOOK Method=SearchAddressBook AddressBook=11"), 1u);
  // Not sent: false, and no fetch time, so the next fetch asks again.
  clock.Advance(1);
  client->requests.setSendAnswer(false);
  EXPECT_FALSE(client->_GetAvatar("bob@test.invalid"));
  EXPECT_TRUE(fsm->isAvatarRefreshRequired("bob@test.invalid"));
  client->requests.setSendAnswer(true);

  // Thumbnails, from the avatar database: one that is not expired schedules nothing; one whose
  // picture is old makes the client fetch the picture again.
  ASSERT_TRUE(fsm->InitAvatarList("me@test.invalid", client->workingDir().c_str()));
  client->requests.Clear();
  fsm->SetAvatar("dan@test.invalid", "abcd", 4, 5, "image/png");
  client->SetAvatarThumbnail("dan@test.invalid", hx::Thumbnail("dan@test.invalid", "ab", 2, 0, 16, 16));
  const hx::Thumbnail thumbnail = client->GetAvatarThumbnail("dan@test.invalid", 16, 16);
  EXPECT_EQ(thumbnail.size(), 2u);
  EXPECT_FALSE(thumbnail.expired());
  clock.Advance(86400);
  EXPECT_TRUE(client->GetAvatarThumbnail("dan@test.invalid", 16, 16).expired());
  ASSERT_TRUE(drain());
  EXPECT_EQ(client->Contacts(), std::vector<std::string>{PeersClient::Picture("dan@test.invalid", "5")});
  fsm->stopAvatarDownloader(true);
}

// Each contacts-manager event reaches its store.
TEST_F(ConsoleClientPeersTest, ContactsEventsReachTheirStores) {
  HX_ContactsManager* contacts = client->contactsManager().get();
  struct Names {
    std::vector<std::string> seen;
    void On(const char* id, const char* name, bool) { seen.push_back(std::string(id) + "=" + name); }
  } names;
  fsm->peerNameUpdated.Connect(&names, &Names::On);
  ASSERT_TRUE(client->contactCache()->OpenDatabase("me@test.invalid", client->workingDir().c_str()));

  ASSERT_TRUE(fsm->PushSearch("bob", "", ""));
  contacts->searchBeginUpdate.Emit("bob", "", "");
  contacts->searchResult.Emit("bob@test.invalid", "Bob");
  contacts->searchResult.Emit("bobby@test.invalid", "Bobby");
  contacts->searchEndUpdate.Emit();
  EXPECT_EQ(fsm->PopSearchResult("bob", "", ""), (std::list<std::string>{"bob@test.invalid", "bobby@test.invalid"}));
  EXPECT_EQ(names.seen, (std::vector<std::string>{"bob@test.invalid=Bob", "bobby@test.invalid=Bobby"}));
  // The peer-name signal reaches the contacts manager's cache of names.
  EXPECT_EQ(client->contactCache()->GetDisplayName("bob@test.invalid", hx::DisplayName::kReturnNull), "Bob");

  contacts->lStatusBeginUpdate.Emit();
  contacts->lStatusArrived.Emit("bob@test.invalid", static_cast<HX_LStatus>(4));
  contacts->lStatusEndUpdate.Emit();
  EXPECT_EQ(fsm->GetLStatusList().size(), 1u);
  EXPECT_EQ(client->HookCount("OnLStatusEndUpdate"), 0u);  // the platform's to override
  contacts->lStatusBeginUpdate.Emit();
  EXPECT_TRUE(fsm->GetLStatusList().empty());

  {
    hx::ManualWallClock clock(kT0);
    hx::WallClockOverride useClock(clock.Source());
    contacts->avatarArrived.Emit("bob@test.invalid", "image/png", "\x89PNG", 4u, -12);
    EXPECT_EQ(fsm->GetAvatarHash("bob@test.invalid"), -12);
    EXPECT_EQ(fsm->GetAvatar("bob@test.invalid", true).size(), 4u);
    contacts->avatarArrived.Emit("carol@test.invalid", "image/png", "\x89PNG", 4u, 0);
    EXPECT_EQ(fsm->GetAvatarHash("carol@test.invalid"), 0);
    // Confirmed unchanged: fresh from now on, whatever time the answer carried.
    clock.Advance(100);
    contacts->avatarNotChanged.Emit("bob@test.invalid", 5);
    EXPECT_EQ(fsm->GetAvatar("bob@test.invalid", true).lastWrite(), static_cast<uint64_t>(kT0 + 100));
  }

  // A groups book and a phones book reach the user's files.
  const std::string dir = client->workingDir();
  ASSERT_TRUE(client->groupsManager()->OpenDatabase("me@test.invalid", dir.c_str()));
  ASSERT_TRUE(client->phonesManager()->OpenDatabase("me@test.invalid", dir.c_str()));
  contacts->groupsBeginUpdate.Emit();
  contacts->groupArrived.Emit(1, "Team", 2, nullptr);
  contacts->groupArrived.Emit(1, "", 2, "bob@test.invalid");
  contacts->groupArrived.Emit(7, "Old", 1, nullptr);
  contacts->groupDeleted.Emit(7, nullptr);
  contacts->groupsEndUpdate.Emit();
  const HX_GroupsDB::GroupMap groups = client->groupsManager()->Groups();
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups.at(1).m_groupName, "Team");
  EXPECT_EQ(groups.at(1).m_peers, std::set<std::string>{"bob@test.invalid"});

  contacts->phonesBeginUpdate.Emit();
  contacts->phoneArrived.Emit("p1", "bob@test.invalid", "+1", static_cast<PhoneType>(3), true);
  contacts->phonesEndUpdate.Emit();
  EXPECT_EQ(client->phonesManager()->database().GetPhoneList("bob@test.invalid"),
            (HX_PhonesDB::DescriptionSet{{"p1", "bob@test.invalid", "+1", static_cast<PhoneType>(3), true}}));
  // A new phones book starts empty.
  contacts->phonesBeginUpdate.Emit();
  EXPECT_TRUE(client->phonesManager()->GetPhoneList("bob@test.invalid").empty());
  fsm->peerNameUpdated.Disconnect(&names, &Names::On);
}

// A groups file and a phones file that another program left with an index where a table must be
// rebuilt: the books' Reset fails on the loop thread's handlers without throwing, the client goes
// on, and the files are still there.
TEST_F(ConsoleClientPeersTest, BooksWhoseTablesCannotBeRebuiltLeaveTheClientRunning) {
  const std::string sqlite3 = hx::testing::FindTool("sqlite3");
  ASSERT_FALSE(sqlite3.empty()) << "the sqlite3 tool is needed";
  const std::string dir = client->workingDir();
  const std::string user = "me@test.invalid";
  ASSERT_TRUE(client->groupsManager()->OpenDatabase(user.c_str(), dir.c_str()));
  ASSERT_TRUE(client->phonesManager()->OpenDatabase(user.c_str(), dir.c_str()));
  const std::string groupsFile = dir + hx::contacts_testing::UpperMd5(user) + ".groups.sqlite";
  const std::string phonesFile = dir + hx::contacts_testing::UpperMd5(user) + ".phones.sqlite";
  hx::contacts_testing::Rows(sqlite3, groupsFile,
                             "CREATE TABLE other (x); DROP TABLE id_list; CREATE INDEX id_list ON other (x);");
  hx::contacts_testing::Rows(sqlite3, phonesFile,
                             "CREATE TABLE other (x); DROP TABLE phones; CREATE INDEX phones ON other (x);");
  HX_ContactsManager* contacts = client->contactsManager().get();
  EXPECT_NO_THROW(contacts->groupsBeginUpdate.Emit());
  EXPECT_NO_THROW(contacts->phonesBeginUpdate.Emit());
  EXPECT_FALSE(client->groupsManager()->Reset());
  EXPECT_FALSE(client->phonesManager()->Reset());
  // The next book goes on; the phone is kept in memory whatever the file did.
  contacts->phoneArrived.Emit("p1", "bob@test.invalid", "+1", static_cast<PhoneType>(2), true);
  EXPECT_EQ(client->phonesManager()->GetPhoneList("bob@test.invalid").size(), 1u);
  EXPECT_NE(hx::contacts_testing::Rows(sqlite3, groupsFile, "SELECT name FROM sqlite_master WHERE name = 'id_list';"),
            "");
}

TEST_F(ConsoleClientPeersTest, FileMessagesAreSentAndRecorded) {
  HX_TorrentManager* files = client->torrentManager().get();
  HX_ChatManager* chat = client->chatManager().get();
  HX_Container attributes;
  attributes.AddValue("Extra", "1");
  files->sendFileMessageSignal.Emit("bob@test.invalid", "a.txt", "up-1", "12", "/tmp/a.txt", "hash", attributes);
  files->sendFileGroupMessageSignal.Emit("group-1", "b.txt", nullptr, nullptr, nullptr, nullptr, attributes);
  EXPECT_EQ(chat->calls().Calls(),
            (std::vector<std::string>{"createMessage bob@test.invalid", "SendMessage 1",
                                      "SaveUpload 1 up-1 0 /tmp/a.txt hash 0 7", "createGroupMessage group-1",
                                      "SendMessage 2", "SaveUpload 2 (null) 0 (null) (null) 0 7"}));
  const auto sent = chat->sentMessages();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0]->to(), "bob@test.invalid");
  EXPECT_FALSE(sent[0]->isGroup());
  EXPECT_EQ(sent[0]->fileAttributes, (std::vector<std::string>{"a.txt", "hash", "12"}));
  std::string extra;
  EXPECT_TRUE(sent[0]->attributes.GetValue("Extra", extra));
  EXPECT_EQ(extra, "1");
  EXPECT_TRUE(sent[1]->isGroup());
  EXPECT_EQ(sent[1]->fileAttributes, (std::vector<std::string>{"b.txt", "", ""}));
  EXPECT_EQ(client->sentFiles, (std::vector<std::string>{"1 hash", "2 (null)"}));

  // A saved upload needs its last three texts.
  const size_t before = chat->calls().Calls().size();
  const char* texts[] = {"s2", "s3", "s4"};
  for (int missing = 0; missing < 3; ++missing) {
    const char* t[3] = {texts[0], texts[1], texts[2]};
    t[missing] = nullptr;
    files->saveUploadSignal.Emit("s1", t[0], t[1], t[2]);
  }
  EXPECT_EQ(chat->calls().Calls().size(), before);
  files->saveUploadSignal.Emit(nullptr, "s2", "s3", "s4");
  EXPECT_EQ(chat->calls().Calls().back(), "SaveUpload -1 s2 1 s3 s4 1 7");
}

TEST_F(ConsoleClientPeersTest, BenchmarkResultReachesTheAdapter) {
  const HX_SysPerformanceState state = HX_SysPerformanceState::FromScore(189600, 500, kn_VideoLevelCaps());
  client->_OnSysBenchmarkComplete(state);
  EXPECT_EQ(client->_LoadSysBenchmark(), state);
  EXPECT_EQ(client->mediaFormatManager()->GetSysPerformance(), state);
  EXPECT_EQ(client->HookCount("OnSysBenchmarkComplete"), 1u);
}

// A backup of the live settings and chat databases that the database manager's restore accepts;
// a restore only before the databases are open.
TEST(ConsoleClientBackupTest, BackupAndRestoreRoundTrip) {
  hx::testing::TempDir live;
  hx::testing::TempDir backup;
  const std::string liveDir = live.path() + "/";
  std::vector<std::string> files;
  std::string chatName;
  {
    PeersClient client(liveDir);
    client.CreateApplication();
    int32_t answer = 42;
    client.getFSM()->SaveParam("Answer", &answer, sizeof(answer));
    client.SetLogin("alice@test.invalid");
    client.OnLogin("alice@test.invalid", 0, "", "");
    ASSERT_TRUE(client.chatManager()->chatDB()->IsOpen());
    chatName = client.chatManager()->chatDB()->GetStorageFSName();
    ASSERT_TRUE(client.dbBackup(backup.path(), files));
    // The databases may only be restored before they are opened.
    EXPECT_FALSE(client.dbRestore(backup.path(), liveDir));
    answer = 7;
    client.getFSM()->SaveParam("Answer", &answer, sizeof(answer));
  }
  ASSERT_GE(files.size(), 3u);
  EXPECT_EQ(files.back(), "bpinfo.db");
  EXPECT_NE(std::find(files.begin(), files.end(), chatName), files.end());
  for (const std::string& file : files) EXPECT_TRUE(std::filesystem::exists(backup.path() + "/" + file)) << file;

  // The refused restore touched nothing.
  {
    PeersClient client(liveDir);
    client.CreateApplication();
    int32_t answer = 0;
    ASSERT_TRUE(client.getFSM()->LoadParam("Answer", &answer, sizeof(answer)));
    EXPECT_EQ(answer, 7);
  }
  // Before CreateApplication: restored.
  {
    PeersClient client(liveDir);
    ASSERT_TRUE(client.dbRestore(backup.path(), liveDir));
    client.CreateApplication();
    int32_t answer = 0;
    ASSERT_TRUE(client.getFSM()->LoadParam("Answer", &answer, sizeof(answer)));
    EXPECT_EQ(answer, 42);
  }
  // A folder without a backup is refused.
  hx::testing::TempDir empty;
  PeersClient client(liveDir);
  EXPECT_FALSE(client.dbRestore(empty.path(), liveDir));
}

}  // namespace
