#include "core/contacts/stores/contact_storage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/base/text_compare.h"
#include "core/wire/name_hash.h"

namespace {

using hx::Contact;

// Ids equal as the store promises: the same bytes, or equal ignoring case.
bool SameId(const std::string& a, const std::string& b) {
  return a == b || hxicomparestr(a.c_str(), b.c_str()) == 0;
}

std::vector<Contact> Snapshot(HX_ContactStorage& store) {
  const auto& set = store.LockContactList();
  std::vector<Contact> out(set.begin(), set.end());
  store.UnlockContactList();
  return out;
}

TEST(ContactOrder, OnlineFirstThenByNameThenId) {
  const Contact busyB("b", "Bea", USER_BUSY, 0);
  const Contact onlineA("a", "Abe", USER_AVAIL, 0);
  const Contact offlineA("c", "Aaron", USER_LOGOFF, 0);
  const Contact unknown("d", "A", USER_STATUS_UNKNOWN, 0);
  const Contact undef("e", "A", USER_STATUS_UNDEF, 0);
  EXPECT_TRUE(onlineA < busyB);
  EXPECT_FALSE(busyB < onlineA);
  EXPECT_TRUE(busyB < offlineA);
  EXPECT_TRUE(offlineA < unknown);
  EXPECT_TRUE(unknown < undef);
  EXPECT_TRUE(Contact("a", "Ab", USER_AVAIL, 0) < Contact("a", "Abc", USER_AVAIL, 0));
  EXPECT_TRUE(Contact("a", "Z", USER_AVAIL, 0) < Contact("a", "\xC3\x89", USER_AVAIL, 0));
  EXPECT_TRUE(Contact("A", "n", USER_AVAIL, 0) < Contact("a", "n", USER_AVAIL, 0));
}

TEST(ContactStorage, EdgeCases) {
  HX_ContactStorage store;
  EXPECT_EQ(store.GetContactsHash(), 0u);
  // Two pushes differing in case: one contact, the first id stays.
  store.PushContact("me", "alice", "Alice A", USER_AVAIL, 0);
  const Contact again = store.PushContact("me", "ALICE", nullptr, USER_STATUS_UNDEF, 1);
  EXPECT_EQ(again.peerId, "alice");
  EXPECT_EQ(again.displayName, "Alice A");
  EXPECT_EQ(again.status, USER_AVAIL);
  EXPECT_EQ(again.flags, 1u);
  EXPECT_TRUE(store.IsPeerExists("Alice"));
  EXPECT_FALSE(store.IsPeerExists(nullptr));
  EXPECT_EQ(Snapshot(store).size(), 1u);
  // New contact: -127 becomes 0 and the name defaults to the id.
  const Contact bob = store.PushContact(nullptr, "bob", nullptr, USER_STATUS_UNDEF, 0);
  EXPECT_EQ(bob.status, USER_LOGOFF);
  EXPECT_EQ(bob.displayName, "bob");
  EXPECT_EQ(store.GetContactsHash(),
            HX_ContactStorage::CalcContactHash(again) + HX_ContactStorage::CalcContactHash(bob));
  EXPECT_EQ(HX_ContactStorage::CalcContactHash(bob),
            hx::NameHash("bob") + hx::NameHash("bob") + 0u);
  // Status changes keep the hash.
  const uint32_t hash = store.GetContactsHash();
  store.updateContactStatus("BOB", USER_BUSY);
  EXPECT_EQ(store.GetContactsHash(), hash);
  store.setContactsAllStatus(USER_STATUS_UNKNOWN);
  EXPECT_EQ(store.GetContactsHash(), hash);
  for (const Contact& c : Snapshot(store)) EXPECT_EQ(c.status, USER_STATUS_UNKNOWN);
  // A rename changes the hash by the difference of the name hashes.
  store.SetDisplayName("Bob", "Robert");
  EXPECT_EQ(store.GetContactsHash(), hash - hx::NameHash("bob") + hx::NameHash("Robert"));
  store.SetDisplayName("bob", nullptr);
  store.SetDisplayName(nullptr, "x");
  EXPECT_EQ(*store.GetDisplayName("BOB", hx::DisplayName::kReturnNull), "Robert");
  EXPECT_EQ(*store.GetDisplayName("zed", hx::DisplayName::kReturnCallId), "zed");
  EXPECT_EQ(*store.GetDisplayName("zed", hx::DisplayName::kReturnEmpty), "");
  EXPECT_FALSE(store.GetDisplayName("zed", hx::DisplayName::kReturnNull).has_value());
  EXPECT_FALSE(store.GetDisplayName(nullptr, hx::DisplayName::kReturnCallId).has_value());
  // Filtered copy.
  HX_ContactStorage::ContactSet out;
  EXPECT_EQ(store.getContactListFiltered(out, [](const Contact& c) { return c.flags & 1; }), 1u);
  EXPECT_EQ(store.getContactListFiltered(out, [](const Contact& c) { return c.flags & 1; }), 0u);
  // Drops.
  store.DropContact(nullptr);
  store.DropContact("ALICE");
  EXPECT_FALSE(store.IsPeerExists("alice"));
  store.setContactList({});
  EXPECT_EQ(store.GetContactsHash(), 0u);
  EXPECT_TRUE(Snapshot(store).empty());
  // A copy is a new empty store.
  store.PushContact(nullptr, "x", nullptr, USER_AVAIL, 0);
  const HX_ContactStorage copy(store);
  EXPECT_EQ(copy.GetContactsHash(), 0u);
  EXPECT_FALSE(copy.IsPeerExists("x"));
}

// A case variant of a stored id is found whatever order the other contacts came in.
TEST(ContactStorage, CaseVariantReplacesWhateverTheInsertionOrder) {
  for (bool aFirst : {true, false}) {
    HX_ContactStorage store;
    if (aFirst) store.PushContact(nullptr, "alice", "Z", USER_LOGOFF, 0);
    store.PushContact(nullptr, "bob", "M", USER_LOGOFF, 0);
    if (!aFirst) store.PushContact(nullptr, "alice", "Z", USER_LOGOFF, 0);
    store.PushContact(nullptr, "ALICE", "A", USER_LOGOFF, 0);
    const auto list = Snapshot(store);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].peerId, "alice");
    EXPECT_EQ(list[0].displayName, "A");
  }
  HX_ContactStorage store;
  store.setContactList({Contact("alice", "Z", USER_LOGOFF, 0), Contact("bob", "M", USER_LOGOFF, 0),
                        Contact("ALICE", "A", USER_LOGOFF, 0)});
  const auto list = Snapshot(store);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].peerId, "ALICE");  // first of the two in the given set's order
  EXPECT_EQ(store.GetContactsHash(), HX_ContactStorage::CalcContactHash(list[0]) +
                                         HX_ContactStorage::CalcContactHash(list[1]));
}

TEST(ContactStorage, IdThatIsNotUtf8IsFoundByItsBytes) {
  HX_ContactStorage store;
  const char* bad = "bad\xFF";
  for (int i = 0; i < 3; ++i) store.PushContact(nullptr, bad, "B", USER_AVAIL, 0);
  ASSERT_EQ(Snapshot(store).size(), 1u);
  EXPECT_EQ(store.GetContactsHash(), hx::NameHash(bad) + hx::NameHash("B"));
  EXPECT_FALSE(store.IsPeerExists("BAD\xFF"));
  store.updateContactStatus(bad, USER_BUSY);
  EXPECT_EQ(Snapshot(store)[0].status, USER_BUSY);
  store.SetDisplayName(bad, "C");
  EXPECT_EQ(Snapshot(store)[0].displayName, "C");
  store.DropContact(bad);
  EXPECT_TRUE(Snapshot(store).empty());
  EXPECT_EQ(store.GetContactsHash(), 0u);
}

// Random operations checked after each step against a plain list.
TEST(ContactStorage, RandomOperationsAgreeWithAModel) {
  const std::vector<std::string> ids = {"alice", "ALICE", "Alice", "bob", "BoB", "carol",
                                        "\xC3\x89mile", "\xC3\xA9MILE", "bad\xFF", ""};
  const std::vector<std::string> names = {"A", "Zed", "m", "alice", "\xC3\xA9", ""};
  const HX_UserPresence_Status statuses[] = {USER_STATUS_UNDEF, USER_STATUS_UNKNOWN, USER_LOGOFF,
                                             USER_AVAIL, USER_BUSY, USER_MULTIHOST};
  std::mt19937 rng(7);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  HX_ContactStorage store;
  std::vector<Contact> model;
  auto find = [&](const std::string& id) {
    for (size_t i = 0; i < model.size(); ++i) {
      if (SameId(model[i].peerId, id)) return static_cast<long>(i);
    }
    return -1L;
  };
  for (int step = 0; step < 3000; ++step) {
    const std::string& id = ids[pick(ids.size())];
    const bool withName = pick(3) != 0;
    const std::string& name = names[pick(names.size())];
    const HX_UserPresence_Status status = statuses[pick(std::size(statuses))];
    const uint32_t flags = static_cast<uint32_t>(pick(2));
    const long at = find(id);
    switch (pick(8)) {
      case 0:
      case 1:
      case 2: {
        store.PushContact(nullptr, id.c_str(), withName ? name.c_str() : nullptr, status, flags);
        if (at < 0) {
          model.emplace_back(id, withName ? name : id,
                             status == USER_STATUS_UNDEF ? USER_LOGOFF : status, flags);
        } else {
          Contact& c = model[static_cast<size_t>(at)];
          if (withName) c.displayName = name;
          if (status != USER_STATUS_UNDEF) c.status = status;
          c.flags = flags;
        }
        break;
      }
      case 3:
        store.DropContact(id.c_str());
        if (at >= 0) model.erase(model.begin() + at);
        break;
      case 4:
        store.SetDisplayName(id.c_str(), name.c_str());
        if (at >= 0) model[static_cast<size_t>(at)].displayName = name;
        break;
      case 5:
        store.updateContactStatus(id.c_str(), status);
        if (at >= 0) model[static_cast<size_t>(at)].status = status;
        break;
      case 6: {
        HX_ContactStorage::ContactSet list;
        const size_t n = pick(5);
        for (size_t i = 0; i < n; ++i) {
          list.emplace(ids[pick(ids.size())], names[pick(names.size())],
                       statuses[pick(std::size(statuses))], 0u);
        }
        store.setContactList(list);
        model.clear();
        for (const Contact& c : list) {
          if (find(c.peerId) < 0) model.push_back(c);
        }
        break;
      }
      default:
        if (pick(4) == 0) {
          store.setContactsAllStatus(status);
          for (Contact& c : model) c.status = status;
        }
    }
    SCOPED_TRACE(step);
    const auto stored = Snapshot(store);
    HX_ContactStorage::ContactSet expected(model.begin(), model.end());
    ASSERT_EQ(stored.size(), expected.size());
    uint32_t sum = 0;
    size_t i = 0;
    for (const Contact& c : expected) {
      EXPECT_EQ(stored[i].peerId, c.peerId);
      EXPECT_EQ(stored[i].displayName, c.displayName);
      EXPECT_EQ(stored[i].status, c.status);
      EXPECT_EQ(stored[i].flags, c.flags);
      if (i > 0) EXPECT_TRUE(stored[i - 1] < stored[i]);
      sum += HX_ContactStorage::CalcContactHash(c);
      ++i;
    }
    ASSERT_EQ(store.GetContactsHash(), sum);
    for (size_t a = 0; a < stored.size(); ++a) {
      for (size_t b = a + 1; b < stored.size(); ++b) {
        ASSERT_FALSE(SameId(stored[a].peerId, stored[b].peerId));
      }
    }
    const auto& set = store.LockContactList();
    for (const std::string& probe : ids) {
      auto walk = set.begin();
      while (walk != set.end() && !SameId(walk->peerId, probe)) ++walk;
      EXPECT_TRUE(store.SearchContact(probe.c_str()) == walk) << probe;
    }
    store.UnlockContactList();
  }
}

// A reader holds the list while the loop thread pushes; a worker reads the hash.
TEST(ContactStorage, ReadersBesideTheWriter) {
  HX_ContactStorage store;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      const auto& set = store.LockContactList();
      uint32_t sum = 0;
      for (const Contact& c : set) sum += HX_ContactStorage::CalcContactHash(c);
      EXPECT_EQ(sum, store.GetContactsHash());
      store.UnlockContactList();
    }
  });
  std::thread worker([&] {
    uint32_t last = 0;
    while (!stop.load()) last ^= store.GetContactsHash();
    (void)last;
  });
  for (int i = 0; i < 3000; ++i) {
    const std::string id = "user" + std::to_string(i % 200);
    store.PushContact(nullptr, id.c_str(), nullptr, i % 3 ? USER_AVAIL : USER_LOGOFF, 0);
    if (i % 7 == 0) store.DropContact(id.c_str());
  }
  stop = true;
  reader.join();
  worker.join();
}

}  // namespace
