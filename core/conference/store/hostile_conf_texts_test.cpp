// Texts that reach the conference store and its conferences from the server and
// from peers, fed as a hostile server would send them: conference ids that are
// not numbers or overflow, SIDs that are empty, huge, not UTF-8, carry an
// embedded NUL or name a conference that already has them, call links and call
// ids that differ only in letter case or after a NUL, participant lists with
// empty ids and whose text dies right after the call, and endpoint hosts with
// separators in the wrong places. Each case states what the store or the
// conference promises and checks it: a clear refusal, nothing changed beside
// what the text names, and nothing read past a buffer (run under
// AddressSanitizer).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/conference/model/conference.h"
#include "core/conference/model/peer.h"
#include "core/conference/model/peer_endpoints.h"
#include "core/conference/store/conf_store_test_util.h"
#include "core/transport/call_link.h"

namespace {

using hx::testing::ConfStoreFixture;

class HostileConfTexts : public ConfStoreFixture {
 protected:
  // A conference of the own user held by `lock`.
  void Make(ConferenceLock& lock, HX_Conference_Type type = 5, const char* owner = kMe) {
    ASSERT_TRUE(cm->storageRequestCreateConferenceLock(lock, "room", "", owner, 16, 0, type, 0, 0,
                                                       nullptr, false));
  }
  // Whether the store's write lock becomes free for another thread. The store's own jobs may
  // hold it for a moment, so the other thread tries for a while; a lock this thread leaked
  // answers false after the wait instead of hanging the test.
  bool LockFreeElsewhere() {
    std::atomic<bool> taken{false};
    std::thread t([&] {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!taken && std::chrono::steady_clock::now() < deadline) {
        if (cm->StorageLock().TryLock()) {
          taken = true;
          cm->StorageLock().Unlock();
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
    });
    t.join();
    return taken.load();
  }
};

// The conference whose id is the decimal number leading the text: no digits, or
// a number out of the id range, finds nothing (and the guard is left unlocked);
// the filter is not consulted.
TEST_F(HostileConfTexts, UniqIdFindsOnlyTheConferenceItsLeadingNumberNames) {
  const int32_t first = Request();
  const int32_t second = Request(0);
  ASSERT_EQ(first, 1);
  ASSERT_EQ(second, 2);
  struct Row {
    const char* text;
    int32_t expected;  // 0: nothing found
  } rows[] = {
      {"", 0},
      {"abc", 0},
      {"0", 0},
      {"-1", 0},
      {"-2", 0},
      {"1", 1},
      {"2", 2},
      {"3", 0},
      {"2abc", 2},
      {"1@srv#1", 1},
      {"00000000000000000000000000000001", 1},
      {"2147483647", 0},
      // Out of the 32-bit range: never wrapped onto a small id.
      {"2147483648", 0},
      {"4294967297", 0},
      {"4294967298", 0},
      {"18446744073709551617", 0},
      {"99999999999999999999999999999999999999", 0},
      {"-4294967295", 0},
      {"-2147483648", 0},
      {"\xff\xfe", 0},
      {"@1", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    ConferenceLock lock;
    const bool found =
        cm->getWaitingConferenceByUniqId(lock, row.text, HX_ConfStorage::kAnyGroupConference);
    EXPECT_EQ(found, row.expected != 0);
    if (found && row.expected != 0) {
      ASSERT_TRUE(lock);
      EXPECT_EQ(lock->getId(), row.expected);
      EXPECT_TRUE(lock.isLocked());
    } else {
      EXPECT_FALSE(lock.isLocked());
      EXPECT_FALSE(lock);
    }
  }
  EXPECT_TRUE(LockFreeElsewhere());
}

// A conference id text that is missing altogether (a message without the key)
// finds nothing and leaves the lock free; it is never dereferenced.
TEST_F(HostileConfTexts, MissingUniqIdFindsNothing) {
  Request();
  ConferenceLock lock;
  EXPECT_FALSE(cm->getWaitingConferenceByUniqId(lock, nullptr, HX_ConfStorage::kAnyConference));
  EXPECT_FALSE(lock.isLocked());
  EXPECT_TRUE(LockFreeElsewhere());
}

// The SID splits at the first "@" and the first "#" after it, byte for byte: an
// embedded NUL, bytes that are not UTF-8 and separators at the edges are kept
// as they are, never cut at.
TEST_F(HostileConfTexts, SidSplitKeepsEveryByte) {
  using std::string;
  struct Row {
    string sid, server, domain, serverId;
  } rows[] = {
      {string("r@h\0x#s", 7), "", string("h\0x", 3), string("h\0x#s", 5)},
      {string("r\0@h#s", 6), "", "h", "h#s"},
      {"\xff\xfe@\xc3#\x80", "", "\xc3", "\xc3#\x80"},
      {"@#", "", "", "#"},
      {"r@#", "", "", "#"},
      {"r@h#", "", "h", "h#"},
      {"r@@@", "", "@@", ""},
      {"#@h", "", "h", ""},
      {"r@h#a#b@c", "", "h", "h#a#b@c"},
      {"r", string("s\0v#1", 5), string("s\0v", 3), string("s\0v#1", 5)},
      {"r", "#", "", "#"},
  };
  ConferenceLock lock;
  Make(lock);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.sid));
    lock->setSID(row.sid, row.server);
    EXPECT_EQ(lock->getSID(), row.sid);
    EXPECT_EQ(lock->getDomain(), row.domain);
    EXPECT_EQ(lock->getServerId(), row.serverId);
    EXPECT_EQ(lock->getName(), "room");
  }
}

// A huge SID (a server that sends megabytes) is indexed and found like any
// other, and the split still lands on its separators.
TEST_F(HostileConfTexts, HugeSidIsIndexedWhole) {
  const std::string name(1 << 20, 'n');
  const std::string host(1 << 20, 'h');
  const std::string sid = name + "@" + host + "#1";
  ConferenceLock lock;
  Make(lock);
  const int32_t id = lock->getId();
  ASSERT_TRUE(cm->storageCreateConferenceCommit(lock, sid.c_str(), 1));
  EXPECT_EQ(lock->getSID(), sid);
  EXPECT_EQ(lock->getDomain(), host);
  EXPECT_EQ(lock->getServerId(), host + "#1");
  lock.Unlock();
  HXAutoLock guard(cm->StorageLock());
  ASSERT_NE(cm->getConferenceNL(sid), nullptr);
  EXPECT_EQ(cm->getConferenceNL(sid)->getId(), id);
  EXPECT_EQ(cm->getConferenceNL(sid.substr(0, sid.size() - 1)), nullptr);
  EXPECT_EQ(cm->lastConferenceSID(), sid);
}

// SIDs are looked up byte for byte: another letter case, a prefix up to an
// embedded NUL, or the empty text name no conference.
TEST_F(HostileConfTexts, SidLookupIsExact) {
  const int32_t id = Confirmed("room@host#1");
  ConferenceLock other;
  Make(other);
  const std::string withNul("a@h\0x#1", 7);
  cm->setConferenceSidNL(other.conference(), withNul, "");
  const int32_t otherId = other->getId();
  other.Unlock();

  HXAutoLock guard(cm->StorageLock());
  ASSERT_NE(cm->getConferenceNL(std::string("room@host#1")), nullptr);
  EXPECT_EQ(cm->getConferenceNL(std::string("room@host#1"))->getId(), id);
  for (const std::string& text : {std::string("ROOM@host#1"), std::string("room@HOST#1"),
                                  std::string("room@host#1 "), std::string("room@host#1\0", 12),
                                  std::string(""), std::string("a@h"), std::string("a@h\0", 4)}) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(cm->getConferenceNL(text), nullptr);
  }
  ASSERT_NE(cm->getConferenceNL(withNul), nullptr);
  EXPECT_EQ(cm->getConferenceNL(withNul)->getId(), otherId);
  // An empty SID is never indexed: setting it takes the conference out of the
  // index.
  cm->setConferenceSidNL(cm->getConferenceNL(otherId), "", "");
  EXPECT_EQ(cm->getConferenceNL(withNul), nullptr);
  EXPECT_EQ(cm->getConferenceNL(std::string("")), nullptr);
  EXPECT_NE(cm->getConferenceNL(otherId), nullptr);
}

// A server that confirms a second conference under a SID that already names a
// first one moves the SID to the second. Removing the first afterwards must not
// take the SID away from the second: the SID keeps naming the conference the
// server gave it to last.
TEST_F(HostileConfTexts, ReusedSidStaysWithTheConferenceThatHoldsItAfterTheOtherGoes) {
  const int32_t first = Confirmed("dup@srv#1");
  const int32_t second = Confirmed("dup@srv#1");
  {
    HXAutoLock guard(cm->StorageLock());
    ASSERT_NE(cm->getConferenceNL(std::string("dup@srv#1")), nullptr);
    EXPECT_EQ(cm->getConferenceNL(std::string("dup@srv#1"))->getId(), second);
  }
  EXPECT_TRUE(cm->storageConferenceDelete(first, 4));
  HXAutoLock guard(cm->StorageLock());
  EXPECT_EQ(cm->getConferenceNL(first), nullptr);
  ASSERT_NE(cm->getConferenceNL(second), nullptr);
  ASSERT_NE(cm->getConferenceNL(std::string("dup@srv#1")), nullptr);
  EXPECT_EQ(cm->getConferenceNL(std::string("dup@srv#1"))->getId(), second);
}

// An invitation carrying the SID of a conference already known takes the SID;
// removing the old conference later leaves the invitation reachable by it.
TEST_F(HostileConfTexts, InvitationUnderAKnownSidKeepsItAfterTheOldOneGoes) {
  const int32_t old = Confirmed("inv@srv#1");
  int32_t invited = 0;
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->storageCreateForeignConferenceLock(lock, "inv@srv#1", "n", "", "boss@t", 4, 0,
                                                       5, 0, 0, nullptr, false));
    invited = lock->getId();
  }
  EXPECT_TRUE(cm->storageConferenceDelete(old, 4));
  HXAutoLock guard(cm->StorageLock());
  ASSERT_NE(cm->getConferenceNL(std::string("inv@srv#1")), nullptr);
  EXPECT_EQ(cm->getConferenceNL(std::string("inv@srv#1"))->getId(), invited);
}

// Texts missing from a server's message (null pointers) never crash creation: a
// request without name, password, owner or topic creates a conference with
// empty texts.
TEST_F(HostileConfTexts, RequestWithoutTextsHasEmptyTexts) {
  ConferenceLock lock;
  ASSERT_TRUE(cm->storageRequestCreateConferenceLock(lock, nullptr, nullptr, nullptr, 0, 0, 5, 0, 0,
                                                     nullptr, false));
  EXPECT_EQ(lock->getName(), "");
  EXPECT_EQ(lock->getPassword(), "");
  EXPECT_EQ(lock->owner(), "");
  EXPECT_EQ(lock->getTopic(), "");
}

// A creation answer without a SID (missing or empty) confirms nothing under the
// empty SID: the empty SID is never indexed, so later messages that lack a SID
// do not address this conference.
TEST_F(HostileConfTexts, CommitWithoutSidIndexesNothing) {
  for (const char* sid : {static_cast<const char*>(nullptr), ""}) {
    SCOPED_TRACE(sid == nullptr ? "null" : "empty");
    {
      ConferenceLock lock;
      ASSERT_TRUE(cm->storageRequestCreateConferenceLock(lock, "room", "", kMe, 0, 0, 5, 0, 0,
                                                         nullptr, false));
      cm->storageCreateConferenceCommit(lock, sid, 1);
    }
    HXAutoLock guard(cm->StorageLock());
    EXPECT_EQ(cm->getConferenceNL(std::string("")), nullptr);
  }
}

// An invitation without a SID (missing or empty) names no conference: it is
// refused, the guard is left unlocked and no conference is counted.
TEST_F(HostileConfTexts, InvitationWithoutSidIsRefused) {
  for (const char* sid : {static_cast<const char*>(nullptr), ""}) {
    SCOPED_TRACE(sid == nullptr ? "null" : "empty");
    const auto before = CountsNow();
    {
      ConferenceLock lock;
      EXPECT_FALSE(cm->storageCreateForeignConferenceLock(lock, sid, "n", "", "boss@t", 4, 0, 5, 0,
                                                          0, nullptr, false));
      EXPECT_FALSE(lock.isLocked());
    }
    EXPECT_EQ(CountsNow(), before);
    HXAutoLock guard(cm->StorageLock());
    EXPECT_EQ(cm->getConferenceNL(std::string("")), nullptr);
  }
}

// Call ids are compared byte for byte: another letter case or a tail after a
// NUL is another call.
TEST_F(HostileConfTexts, CallIdLookupIsExact) {
  ConferenceLock lock;
  Make(lock, 0);
  lock->setCallId("user@t/1");
  lock.Unlock();
  HXAutoLock guard(cm->StorageLock());
  EXPECT_NE(cm->getWaitingConferenceByCallIdNL("user@t/1", 0, HX_ConfStorage::kAnyConference),
            nullptr);
  for (const std::string& text : {std::string("USER@t/1"), std::string("user@t/1\0x", 10),
                                  std::string("user@t/"), std::string("")}) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(cm->getWaitingConferenceByCallIdNL(text, 0, HX_ConfStorage::kAnyConference), nullptr);
  }
  // A missing peer text finds no conference.
  EXPECT_EQ(cm->getConferenceByPeerNL(nullptr, HX_ConfStorage::kAnyConference), nullptr);
}

// A call link's id is the whole text: a NUL inside it does not end it, so a
// link whose id merely starts with the SID or the callee's id names another
// conference; a truncated UTF-8 sequence is only a byte that matches nothing
// else.
TEST_F(HostileConfTexts, CallLinksDoNotMatchOnAPrefix) {
  struct Row {
    const char* name;
    HX_Conference_Type type;
    std::string link;
    bool expected;
  } rows[] = {
      {"group: SID in another case", 5, "\\c\\ROOM@SRV#1", true},
      {"group: SID then NUL and more", 5, std::string("\\c\\room@srv#1\0x", 16), false},
      {"group: id then NUL", 5, std::string("\\c\\room\0", 8), false},
      {"group: truncated UTF-8 after the SID", 5, "\\c\\room@srv#1\xc3", false},
      {"group: lone continuation byte", 5, "\\c\\\x80", false},
      {"group: a four-byte lead alone", 5, "\\c\\\xf0", false},
      {"call: callee then NUL and more", 0, std::string("peer@test.invalid\0x", 19), false},
      {"call: callee in another case", 0, "PEER@test.invalid", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ConferenceLock lock;
    Make(lock, row.type, row.type == 0 ? kMe : "boss@test.invalid");
    lock->setSID("room@srv#1", "");
    lock->setCallId(row.type == 0 ? "peer@test.invalid" : "room@srv#1");
    HXUriProtocol uri;
    uri.setCallId(row.link);
    EXPECT_EQ(lock->isConferenceWithCallId(uri), row.expected);
    lock.Unlock();
    cm->StorageClean();
  }
}

// A caller's instance id names the same user only when the texts before their
// last "/" agree byte for byte; anything else gives null and adds no peer.
TEST_F(HostileConfTexts, PeerInstancesOfAnotherSpellingAreRefused) {
  ConferenceLock lock;
  Make(lock, 0);
  lock->setCallId("user@t/1");
  lock->addPeer("user@t/1", 4);
  lock->setState(lock, 1);
  for (const std::string& id :
       {std::string("USER@t/2"), std::string("user@t/1/2"), std::string("/2"), std::string("/"),
        std::string(""), std::string("user@t\0/2", 9), std::string("\xff/2")}) {
    SCOPED_TRACE(testing::PrintToString(id));
    EXPECT_EQ(lock->getPeerInstance(id), nullptr);
    EXPECT_EQ(lock->peers().size(), 1u);
    EXPECT_NE(lock->getPeer("user@t/1"), nullptr);
  }
}

// An instance id that is empty, or a call id that was never set, names no caller: no peer
// without an id is ever added.
TEST_F(HostileConfTexts, EmptyInstanceIdsAddNoPeer) {
  for (const char* callId : {"", "user@t/1"}) {
    SCOPED_TRACE(callId);
    ConferenceLock lock;
    Make(lock, 0);
    lock->setCallId(callId);
    lock->setState(lock, 1);
    for (const std::string& id : {std::string(""), std::string("/"), std::string("//")}) {
      SCOPED_TRACE(id);
      lock->getPeerInstance(id);
      EXPECT_EQ(lock->getPeer(""), nullptr);
    }
    lock.Unlock();
    cm->StorageClean();
  }
}

// Participant lists as the presence service hands them over: ids and texts
// point into the received message, which is gone after the call. Peers must own
// copies; an empty id is no participant; a list of a type not known changes
// nothing; and a huge list and its removal are applied whole.
TEST_F(HostileConfTexts, ParticipantListsOutliveTheMessageTheyCameIn) {
  ConferenceLock lock;
  Make(lock, 5);
  conference::ParticipantListUpdateInfo info;
  {
    auto message = std::make_unique<std::vector<std::string>>();
    message->push_back(std::string(4096, 'a') + "@t");
    message->push_back("b@t");
    message->push_back("");
    message->push_back(std::string("c@t\0hidden", 10));
    message->push_back("\xff\xfe@\x80");
    message->push_back("text of a participant");
    conference::PartInfoMap list;
    for (size_t i = 0; i + 1 < message->size(); ++i) {
      conference::PartInfo record;
      record.text = message->back();
      record.role = 1;
      record.deviceStatus = 7;
      list[(*message)[i]] = record;
    }
    EXPECT_TRUE(lock->setConferenceIdList(list, 0, info));
    // The message is freed here, as the received container is after the call.
  }
  std::set<std::string> ids;
  for (const auto& [id, peer] : lock->peers()) {
    EXPECT_EQ(id, peer.getId());
    EXPECT_EQ(peer.text, "text of a participant");
    ids.insert(id);
  }
  EXPECT_EQ(ids.count(""), 0u) << "a participant without an id";
  EXPECT_EQ(info.ids.count(""), 0u);
  EXPECT_EQ(ids.count(std::string(4096, 'a') + "@t"), 1u);
  EXPECT_EQ(ids.count(std::string("c@t\0hidden", 10)), 1u);
  EXPECT_EQ(ids.count("c@t"), 0u);

  // An unknown list type changes nothing.
  const auto before = ids;
  conference::PartInfoMap removeAll;
  for (const std::string& id : before) removeAll[id] = conference::PartInfo{};
  conference::ParticipantListUpdateInfo none;
  lock->setConferenceIdList(removeAll, 7, none);
  lock->setConferenceIdList(removeAll, -1, none);
  EXPECT_TRUE(none.ids.empty());
  EXPECT_EQ(lock->peers().size(), before.size());

  // A huge full list, then an empty full list that takes every listed
  // participant away.
  std::vector<std::string> many;
  for (int i = 0; i < 20000; ++i) many.push_back("p" + std::to_string(i) + "@t");
  conference::PartInfoMap big;
  for (const std::string& id : many) big[id] = conference::PartInfo{};
  conference::ParticipantListUpdateInfo added;
  EXPECT_TRUE(lock->setConferenceIdList(big, 1, added));
  EXPECT_EQ(lock->peers().size(), many.size());
  conference::ParticipantListUpdateInfo removed;
  lock->setConferenceIdList(conference::PartInfoMap{}, 0, removed);
  EXPECT_EQ(lock->peers().size(), 0u);
  EXPECT_EQ(removed.ids.size(), many.size());
}

// A link-local host is ":" then ":" then "%", and is cut just after the "%";
// any other arrangement answers false and leaves the host as it is.
TEST_F(HostileConfTexts, LinkLocalHostsWithSeparatorsInTheWrongPlaces) {
  struct Row {
    std::string host;
    bool linkLocal;
    std::string after;
  } rows[] = {
      {"", false, ""},
      {"%", false, "%"},
      {":%", false, ":%"},
      {"%::", false, "%::"},
      {":%:", false, ":%:"},
      {"::%", true, "::%"},
      {"fe80::1%eth0", true, "fe80::1%"},
      {"fe80::1%", true, "fe80::1%"},
      {"fe80::1%%%", true, "fe80::1%"},
      {"a:b%c:d%e", true, "a:b%c:d%"},
      {std::string("fe80::1\0%eth0", 13), true, std::string("fe80::1\0%", 9)},
      {"192.168.0.1%eth0", false, "192.168.0.1%eth0"},
      {std::string(100000, ':') + "%x", true, std::string(100000, ':') + "%"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.host.substr(0, 40)));
    std::string host = row.host;
    EXPECT_EQ(conference::PeerEndpointsList::getLinkLocalHost(host), row.linkLocal);
    EXPECT_EQ(host, row.after);
  }
}

// Endpoint lookups by host compare byte for byte: a host that only agrees up to
// a NUL, or in another letter case, is another host; kinds without a network
// endpoint never match.
TEST_F(HostileConfTexts, EndpointLookupByHostIsExact) {
  conference::PeerEndpointsList list;
  auto endpoint = std::make_shared<HX_Endpoint>("peer", static_cast<hx::EpType>(0));
  endpoint->SetHost(std::string("fe80::a%eth0"));
  endpoint->SetPort(4000);
  list.add(1, std::make_unique<conference::PeerClientConnectEpAttr>(endpoint));
  EXPECT_NE(list.lookup(conference::kEpClientConnect, 1, "fe80::a%eth0", 4000), nullptr);
  EXPECT_NE(list.lookup(conference::kEpClientConnect, 1, "fe80::a%eth0", 0), nullptr);
  EXPECT_EQ(list.lookup(conference::kEpClientConnect, 1, "FE80::A%eth0", 4000), nullptr);
  EXPECT_EQ(list.lookup(conference::kEpClientConnect, 1, std::string("fe80::a%eth0\0x", 14), 4000),
            nullptr);
  EXPECT_EQ(list.lookup(conference::kEpClientConnect, 1, "fe80::a", 4000), nullptr);
  EXPECT_EQ(list.lookup(conference::kEpClientConnect, 2, "fe80::a%eth0", 4000), nullptr);
  EXPECT_EQ(list.lookup(conference::kEpServerMulticast, 1, "fe80::a%eth0", 4000), nullptr);
  EXPECT_EQ(list.lookup(conference::kEpClientAcceptLive, 1, "fe80::a%eth0", 4000), nullptr);
  EXPECT_EQ(list.lookup(conference::kEpClientConnect, 1, "", 4000), nullptr);
}

// Connect candidates from ids no endpoint has (negative, huge, the last id)
// start at the first endpoint; an empty list, and lists of only other kinds or
// client types, give nothing.
TEST_F(HostileConfTexts, ConnectCandidatesFromIdsNoEndpointHas) {
  conference::PeerEndpointsList list;
  EXPECT_EQ(list.getTcpConnect(-1, conference::kEpClientConnect, 1, 0), nullptr);
  EXPECT_EQ(list.getTcpConnect(INT_MIN, conference::kEpClientConnect, 1, UINT64_MAX), nullptr);
  auto endpoint = std::make_shared<HX_Endpoint>("peer", static_cast<hx::EpType>(0));
  endpoint->SetHost(std::string("10.0.0.1"));
  endpoint->SetPort(1);
  const int32_t a = list.add(1, std::make_unique<conference::PeerClientConnectEpAttr>(endpoint)).id;
  const int32_t b = list.add(1, std::make_unique<conference::PeerClientConnectEpAttr>(endpoint)).id;
  for (int32_t after : {INT_MIN, -1, INT_MAX, b, 12345}) {
    SCOPED_TRACE(after);
    conference::PeerEndpoint* found =
        list.getTcpConnect(after, conference::kEpClientConnect, 1, UINT64_MAX);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->id, a);
  }
  EXPECT_EQ(list.getTcpConnect(a, conference::kEpClientConnect, 1, UINT64_MAX)->id, b);
  EXPECT_EQ(list.getTcpConnect(-1, conference::kEpClientConnect, 2, UINT64_MAX), nullptr);
  EXPECT_EQ(list.getTcpConnect(-1, conference::kEpServerConnect, 1, UINT64_MAX), nullptr);
  // Ids wrap from the largest to 0 and the list keeps handing out distinct
  // records.
  list.setLastSeqNum(INT_MAX);
  EXPECT_EQ(list.add(1, std::make_unique<conference::PeerClientConnectEpAttr>(endpoint)).id, 0);
  EXPECT_EQ(list.size(), 3u);
}

std::shared_ptr<HX_Endpoint> PeerEp(int type, const std::string& host, uint16_t port) {
  auto ep = std::make_shared<HX_Endpoint>("ep", static_cast<hx::EpType>(type));
  ep->SetHost(host);
  ep->SetPort(port);
  ep->SetFamily(AF_INET);
  return ep;
}

HXSockAddr PeerAddr(const char* host, const char* port) {
  HXSockAddr a;
  EXPECT_TRUE(a.set(ip::Proto::tcp, host, port, 0, 0));
  return a;
}

// A peer's endpoint records of types nobody knows (with empty hosts and port 0) become TCP pairs
// like any other; a TCP test result or a mark for an id that names no client-connect endpoint (a
// direct UDP one, or none at all) marks nothing and records no address.
TEST_F(HostileConfTexts, TestResultsForEndpointsThatAreNotTcp) {
  conference::Peer peer("p@t", 4);
  peer.directConnectTestBegin({{PeerAddr("10.0.0.2", "4000"), PeerEp(2, "10.0.0.2", 4000)},
                               {PeerAddr("10.0.0.3", "4001"), PeerEp(0xFFFF, "", 0)}});
  int32_t udpId = -1;
  size_t tcp = 0;
  for (const conference::PeerEndpoint& ep : peer.getEndpointsList().list()) {
    if (ep.kind == conference::kEpClientUdpDirect) udpId = ep.id;
    if (ep.kind == conference::kEpClientConnect) ++tcp;
  }
  ASSERT_NE(udpId, -1);
  EXPECT_EQ(tcp, 2u);
  for (int32_t id : {udpId, 999, -1, INT_MAX, INT_MIN}) {
    SCOPED_TRACE(id);
    peer.connectTestDone(true, id, PeerAddr("192.168.1.2", "4100"));
    peer.markEndpoint(id, true);
    for (const conference::PeerEndpoint& ep : peer.getEndpointsList().list()) {
      EXPECT_EQ(ep.state, conference::kEpStateNotProven) << ep.id;
      ASSERT_NE(ep.getEndpoint(), nullptr);
      EXPECT_NE(ep.getEndpoint()->getHost(), "192.168.1.2");
    }
  }
}

}  // namespace
