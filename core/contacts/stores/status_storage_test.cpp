#include "core/contacts/stores/status_storage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/base/container.h"
#include "core/base/range_coder.h"
#include "core/contacts/names/call_id_parser.h"
#include "core/contacts/stores/contact_storage.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The status store is a base of the shared state; a test owns it through a derived type.
struct Statuses : HX_StatusStorage {};

// One raw container entry as the server writes it: name length (N + 1), the name, 0, type, value.
Bytes Entry(const std::string& name, uint8_t type, const Bytes& value) {
  Bytes out;
  out.push_back(static_cast<uint8_t>(name.size() + 1));
  out.insert(out.end(), name.begin(), name.end());
  out.push_back(0);
  out.push_back(type);
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

Bytes Int32(const std::string& name, int32_t v) {
  return Entry(name, HX_CNT_INTEGER_VT, Le32(static_cast<uint32_t>(v)));
}

Bytes Int64(const std::string& name, int64_t v) {
  Bytes value;
  for (int i = 0; i < 8; ++i)
    value.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
  return Entry(name, HX_CNT_INT64_VT, value);
}

Bytes Bool(const std::string& name, bool v) {
  return Entry(name, HX_CNT_BOOL_VT, {static_cast<uint8_t>(v)});
}

Bytes Double(const std::string& name, double v) {
  Bytes value(8);
  std::memcpy(value.data(), &v, 8);
  return Entry(name, HX_CNT_DOUBLE_VT, value);
}

Bytes Text(const std::string& name, const std::string& text) {
  Bytes value = Le32(static_cast<uint32_t>(text.size() + 1));
  value.insert(value.end(), text.begin(), text.end());
  value.push_back(0);
  return Entry(name, HX_CNT_STRING_VT, value);
}

Bytes Binary(const std::string& name, const Bytes& bytes) {
  Bytes value = Le32(static_cast<uint32_t>(bytes.size()));
  value.insert(value.end(), bytes.begin(), bytes.end());
  return Entry(name, HX_CNT_BINARY_VT, value);
}

// A container read from the wire form of the given raw entries, as a received message is.
HX_Container Received(const std::vector<Bytes>& entries) {
  Bytes raw;
  for (const Bytes& e : entries) raw.insert(raw.end(), e.begin(), e.end());
  Bytes wire = Le32(static_cast<uint32_t>(raw.size()));
  if (!raw.empty()) {
    Bytes coded(2 * raw.size() + 8);
    const int64_t n = RCDV_Encode(raw.data(), raw.size(), coded.data(), coded.size());
    EXPECT_GT(n, 0);
    wire.insert(wire.end(), coded.begin(), coded.begin() + n);
  }
  HX_Container c;
  EXPECT_TRUE(c.Deserialize(wire.data(), wire.size()));
  return c;
}

std::set<std::string> Names(const HX_StatusStorage::ExtStatusMap& map) {
  std::set<std::string> names;
  for (const auto& entry : map) names.insert(entry.first);
  return names;
}

TEST(StatusStorage, StatusIgnoresAsciiCaseOfIds) {
  Statuses store;
  EXPECT_EQ(store.GetStatus("never"), -127);
  EXPECT_EQ(store.GetStatus(nullptr), -127);
  EXPECT_FALSE(store.SetStatus(nullptr, 1));
  store.EraseStatus(nullptr);

  EXPECT_TRUE(store.SetStatus("alice", 1));
  EXPECT_EQ(store.GetStatus("ALICE"), 1);
  EXPECT_FALSE(store.SetStatus("ALICE", 1));
  EXPECT_EQ(store.StatusCount(), 1u);
  EXPECT_TRUE(store.SetStatus("Alice", 2));
  EXPECT_EQ(store.GetStatus("alice"), 2);
  EXPECT_EQ(store.StatusCount(), 1u);
  store.EraseStatus("aLiCe");
  EXPECT_EQ(store.GetStatus("alice"), -127);
  EXPECT_EQ(store.StatusCount(), 0u);
}

TEST(StatusStorage, OnlyAsciiLettersFold) {
  Statuses store;
  // Latin-1 and UTF-8 capitals are other bytes, so other users.
  EXPECT_TRUE(store.SetStatus("\xC9", 1));
  EXPECT_TRUE(store.SetStatus("\xE9", 2));
  EXPECT_TRUE(store.SetStatus("\xC3\x89ve", 3));
  EXPECT_TRUE(store.SetStatus("\xC3\xA9ve", 4));
  EXPECT_EQ(store.StatusCount(), 4u);
  EXPECT_EQ(store.GetStatus("\xC9"), 1);
  EXPECT_EQ(store.GetStatus("\xE9"), 2);
  EXPECT_EQ(store.GetStatus("\xC3\x89VE"), 3);
  EXPECT_EQ(store.GetStatus("\xC3\xA9Ve"), 4);

  const HX_StatusStorage::ci_less less;
  struct Row {
    const char* a;
    const char* b;
    bool aLess;
    bool bLess;
  };
  const Row rows[] = {
      {"ab", "ABC", true, false},    // the shorter prefix first
      {"abc", "ABC", false, false},  // one key
      {"[", "A", true, false},       // 'A' is compared as 'a', after '['
      {"z", "\x80", true, false},    // bytes compare unsigned
      {"", "a", true, false},       {"\xC9", "\xE9", true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.a) + " / " + row.b);
    EXPECT_EQ(less(row.a, row.b), row.aLess);
    EXPECT_EQ(less(row.b, row.a), row.bLess);
  }
}

TEST(StatusStorage, ClearingStatusesKeepsExtendedStatusesAndClearsTheFlag) {
  Statuses store;
  EXPECT_FALSE(store.getStatusSubscription());
  store.setStatusSubscription();
  EXPECT_TRUE(store.getStatusSubscription());
  store.SetStatus("bob", 1);
  const HX_Container c = Received({Int32("Mood", 5)});
  store.ParseExtStatus("bob", &c);

  store.ClearStatusHolder();
  EXPECT_FALSE(store.getStatusSubscription());
  EXPECT_EQ(store.StatusCount(), 0u);
  HX_StatusStorage::ExtStatusMap map;
  EXPECT_TRUE(store.GetExtStatusMap("BOB", map));
  EXPECT_EQ(Names(map), (std::set<std::string>{"Mood"}));

  store.ClearExtStatusHolder();
  EXPECT_FALSE(store.GetExtStatusMap("bob", map));
  EXPECT_EQ(store.ExtStatusCount(), 0u);
}

TEST(StatusStorage, SettersNeedAnEntryThatOnlyAReceivedContainerCreates) {
  Statuses store;
  store.SetExtStatus("carol", "Mood", 3);
  store.SetExtStatusMap("carol", {{"Mood", HX_Variant(3)}});
  int value = 0;
  EXPECT_FALSE(store.GetExtStatus("carol", "Mood", value));
  HX_StatusStorage::ExtStatusMap map;
  EXPECT_FALSE(store.GetExtStatusMap("carol", map));
  store.EraseExtStatus("carol", "Mood");
  EXPECT_EQ(store.ExtStatusCount(), 0u);

  const HX_Container c = Received({Text("Note", "hi")});
  store.ParseExtStatus("Carol", &c);
  store.SetExtStatus("CAROL", "Mood", 3);
  EXPECT_TRUE(store.GetExtStatus("carol", "Mood", value));
  EXPECT_EQ(value, 3);
  std::string note;
  EXPECT_TRUE(store.GetExtStatus("carol", "Note", note));
  EXPECT_EQ(note, "hi");
  // Names are exact.
  EXPECT_FALSE(store.GetExtStatus("carol", "mood", value));
  EXPECT_FALSE(store.GetExtStatus("carol", "Absent", value));
}

TEST(StatusStorage, TypedValuesRoundTrip) {
  Statuses store;
  const HX_Container c = Received({Bool("seed", true)});
  store.ParseExtStatus("dave", &c);

  store.SetExtStatus("dave", "b", true);
  store.SetExtStatus("dave", "i", -7);
  store.SetExtStatus("dave", "l", 1LL << 40);
  store.SetExtStatus("dave", "s", std::string("text"));
  const uint8_t blob[] = {0, 1, 0xff};
  store.SetExtStatus("dave", "bin", blob, sizeof blob);
  store.SetExtStatus("dave", "empty", blob, 0);
  store.SetExtStatus("dave", "v", HX_Variant(std::string("copy")));

  HX_Variant v;
  ASSERT_TRUE(store.GetExtStatus("dave", "b", v));
  EXPECT_EQ(v.getTag(), HX_Variant::kBool);
  ASSERT_TRUE(store.GetExtStatus("dave", "i", v));
  EXPECT_EQ(v.getTag(), 2);
  ASSERT_TRUE(store.GetExtStatus("dave", "l", v));
  EXPECT_EQ(v.getTag(), 3);
  ASSERT_TRUE(store.GetExtStatus("dave", "s", v));
  EXPECT_EQ(v.getTag(), HX_Variant::kString);
  ASSERT_TRUE(store.GetExtStatus("dave", "bin", v));
  EXPECT_EQ(v.getTag(), HX_Variant::kBinary);
  ASSERT_TRUE(store.GetExtStatus("dave", "v", v));
  EXPECT_EQ(v.getString(), "copy");

  bool b = false;
  int i = 0;
  long long l = 0;
  EXPECT_TRUE(store.GetExtStatus("dave", "b", b));
  EXPECT_TRUE(b);
  EXPECT_TRUE(store.GetExtStatus("dave", "i", i));
  EXPECT_EQ(i, -7);
  EXPECT_TRUE(store.GetExtStatus("dave", "l", l));
  EXPECT_EQ(l, 1LL << 40);
  // Numbers read whatever the tag.
  EXPECT_TRUE(store.GetExtStatus("dave", "i", l));
  EXPECT_EQ(l, -7);

  std::string s = "stale";
  EXPECT_TRUE(store.GetExtStatus("dave", "s", s));
  EXPECT_EQ(s, "text");
  s = "stale";
  EXPECT_TRUE(store.GetExtStatus("dave", "i", s));  // an int32: true and ""
  EXPECT_EQ(s, "");

  void* bytes = nullptr;
  size_t size = 0;
  EXPECT_TRUE(store.GetExtStatus("dave", "bin", bytes, size));
  ASSERT_NE(bytes, nullptr);
  ASSERT_EQ(size, sizeof blob);
  EXPECT_EQ(std::memcmp(bytes, blob, size), 0);
  std::free(bytes);
  for (const char* name : {"empty", "s", "i"}) {
    SCOPED_TRACE(name);
    bytes = reinterpret_cast<void*>(1);
    size = 9;
    EXPECT_TRUE(store.GetExtStatus("dave", name, bytes, size));
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(size, 0u);
  }

  store.EraseExtStatus("dave", std::vector<std::string>{"b", "i", "nothing"});
  store.EraseExtStatus("dave", "l");
  HX_StatusStorage::ExtStatusMap map;
  ASSERT_TRUE(store.GetExtStatusMap("dave", map));
  EXPECT_EQ(Names(map), (std::set<std::string>{"bin", "empty", "s", "seed", "v"}));
}

// Received containers, read from their bytes. Each row is applied to a user whose entry holds
// "Old" = 1 and "Keep" = 2 before.
TEST(StatusStorage, ParseExtStatusOverReceivedContainers) {
  struct Row {
    const char* label;
    std::vector<Bytes> entries;
    std::set<std::string> names;  // the user's names afterwards
  };
  const std::vector<Row> rows = {
      {"Cause 1 with one name replaces everything", {Int32("Cause", 1), Int32("New", 3)}, {"New"}},
      {"Cause 1 after the name", {Int32("New", 3), Int32("Cause", 1)}, {"New"}},
      {"Cause 0 merges", {Int32("Cause", 0), Int32("New", 3)}, {"Keep", "New", "Old"}},
      {"no Cause merges", {Int32("New", 3)}, {"Keep", "New", "Old"}},
      {"Cause that is not an int32 merges",
       {Text("Cause", "1"), Int32("New", 3)},
       {"Keep", "New", "Old"}},
      {"Cause 1 alone empties", {Int32("Cause", 1)}, {}},
      {"DelExtSt before the setting", {Text("DelExtSt", "New"), Int32("New", 3)}, {"Keep", "Old"}},
      {"DelExtSt after the setting", {Int32("New", 3), Text("DelExtSt", "New")}, {"Keep", "Old"}},
      {"two removals", {Text("DelExtSt", "Old"), Text("DelExtSt", "Keep")}, {}},
      {"DelExtSt not a string",
       {Int32("DelExtSt", 7), Binary("DelExtSt", {'O', 'l', 'd'})},
       {"Keep", "Old"}},
      {"DelExtSt of an unknown name", {Text("DelExtSt", "Nobody")}, {"Keep", "Old"}},
      {"removal names are exact", {Text("DelExtSt", "old")}, {"Keep", "Old"}},
      {"entry without a name",
       {Entry("", HX_CNT_INTEGER_VT, Le32(9)), Int32("New", 3)},
       {"Keep", "New", "Old"}},
      {"a setting replaces", {Int32("Old", 5)}, {"Keep", "Old"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    Statuses store;
    const HX_Container seed = Received({Int32("Old", 1), Int32("Keep", 2)});
    store.ParseExtStatus("erin", &seed);
    const HX_Container c = Received(row.entries);
    store.ParseExtStatus("ERIN", &c);
    HX_StatusStorage::ExtStatusMap map;
    ASSERT_TRUE(store.GetExtStatusMap("erin", map));
    EXPECT_EQ(Names(map), row.names);
    EXPECT_EQ(store.ExtStatusCount(), 1u);
  }
}

// A "DelExtSt" that is not a string names nothing, not even the empty name that only a local
// setter can store.
TEST(StatusStorage, RemovalThatIsNotAStringRemovesNothing) {
  Statuses store;
  const HX_Container seed = Received({Int32("Old", 1)});
  store.ParseExtStatus("erin", &seed);
  store.SetExtStatus("erin", "", 4);
  const HX_Container c = Received({Int32("DelExtSt", 0), Binary("DelExtSt", {})});
  store.ParseExtStatus("erin", &c);
  HX_StatusStorage::ExtStatusMap map;
  ASSERT_TRUE(store.GetExtStatusMap("erin", map));
  EXPECT_EQ(Names(map), (std::set<std::string>{"", "Old"}));
  const HX_Container removal = Received({Text("DelExtSt", "")});
  store.ParseExtStatus("erin", &removal);
  ASSERT_TRUE(store.GetExtStatusMap("erin", map));
  EXPECT_EQ(Names(map), (std::set<std::string>{"Old"}));
}

TEST(StatusStorage, ParseExtStatusValueKinds) {
  Statuses store;
  const HX_Container c =
      Received({Bool("b", true), Int32("i", -2), Int64("l", -(1LL << 50)), Text("s", "x y"),
                Binary("bin", {1, 2, 3}), Double("d", 2.5), Int32("Cause", 1)});
  store.ParseExtStatus("frank", &c);
  HX_StatusStorage::ExtStatusMap map;
  ASSERT_TRUE(store.GetExtStatusMap("frank", map));
  EXPECT_EQ(Names(map), (std::set<std::string>{"b", "bin", "d", "i", "l", "s"}));
  EXPECT_EQ(map["b"].getTag(), HX_Variant::kBool);
  EXPECT_TRUE(map["b"].getBool());
  EXPECT_EQ(map["i"].getTag(), 2);
  EXPECT_EQ(map["i"].getInt(), -2);
  EXPECT_EQ(map["l"].getTag(), 3);
  EXPECT_EQ(map["l"].getInt64(), -(1LL << 50));
  EXPECT_EQ(map["s"].getTag(), HX_Variant::kString);
  EXPECT_EQ(map["s"].getString(), "x y");
  EXPECT_EQ(map["bin"].getTag(), HX_Variant::kBinary);
  EXPECT_EQ(map["bin"].getString(), std::string("\x01\x02\x03", 3));
  // A double is stored as an empty variant.
  EXPECT_EQ(map["d"].getTag(), HX_Variant::kNone);
  HX_Variant d(7);
  EXPECT_TRUE(store.GetExtStatus("frank", "d", d));
  EXPECT_EQ(d.getTag(), HX_Variant::kNone);
}

TEST(StatusStorage, ParseExtStatusCreatesTheEntryOnlyWhenItHasSomethingToApply) {
  Statuses store;
  store.ParseExtStatus("gina", nullptr);
  const HX_Container empty = Received({});
  store.ParseExtStatus("gina", &empty);
  const HX_Container nameless = Received({Entry("", HX_CNT_INTEGER_VT, Le32(1))});
  store.ParseExtStatus("gina", &nameless);
  const HX_Container causeZero = Received({Int32("Cause", 0)});
  store.ParseExtStatus("gina", &causeZero);
  EXPECT_EQ(store.ExtStatusCount(), 0u);

  // A removal alone creates the (empty) entry; so does "Cause" 1 alone.
  const HX_Container removal = Received({Text("DelExtSt", "x")});
  store.ParseExtStatus("gina", &removal);
  const HX_Container cause = Received({Int32("Cause", 1)});
  store.ParseExtStatus("hank", &cause);
  HX_StatusStorage::ExtStatusMap map;
  EXPECT_TRUE(store.GetExtStatusMap("gina", map));
  EXPECT_TRUE(map.empty());
  EXPECT_TRUE(store.GetExtStatusMap("HANK", map));
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(store.ExtStatusCount(), 2u);
}

TEST(StatusStorage, FilterSubscriptionRequest) {
  Statuses store;
  std::set<std::string> ids = {"alice", "zed"};
  store.SetStatus("Alice", 1);
  // Before any complete status list: everything, the set unchanged.
  EXPECT_TRUE(store.filterSubscriptionRequest(ids, false));
  EXPECT_EQ(ids, (std::set<std::string>{"alice", "zed"}));
  EXPECT_TRUE(store.filterSubscriptionRequest(ids, true));
  EXPECT_EQ(ids.size(), 2u);

  store.setStatusSubscription();
  struct Row {
    const char* label;
    std::set<std::string> ids;
    bool full;
    bool answer;
    std::set<std::string> left;
  };
  const std::vector<Row> rows = {
      {"one known, one unknown", {"ALICE", "zed"}, false, false, {"zed"}},
      {"all known", {"alice"}, false, false, {}},
      {"empty", {}, false, false, {}},
      // With full set, a stored user missing from the set (looked up exactly) asks for everything.
      {"full, a stored user missing", {"zed"}, true, true, {"zed"}},
      {"full, stored user in other case", {"alice", "zed"}, true, true, {"alice", "zed"}},
      {"full, every stored user present", {"Alice", "zed"}, true, false, {"zed"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::set<std::string> set = row.ids;
    EXPECT_EQ(store.filterSubscriptionRequest(set, row.full), row.answer);
    EXPECT_EQ(set, row.left);
  }
}

TEST(LStatusStorage, FirstValueStaysAndDropEmpties) {
  HX_LStatusStorage store;
  store.PushLStatus("ivy", static_cast<HX_LStatus>(3));
  store.PushLStatus("ivy", static_cast<HX_LStatus>(4));
  store.PushLStatus("Ivy", static_cast<HX_LStatus>(-5));  // exact ids: another user
  store.PushLStatus(nullptr, static_cast<HX_LStatus>(1));
  const auto list = store.GetLStatusList();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list.at("ivy"), 3);
  EXPECT_EQ(list.at("Ivy"), -5);
  store.DropLStatusList();
  EXPECT_TRUE(store.GetLStatusList().empty());
  store.PushLStatus("ivy", static_cast<HX_LStatus>(4));
  EXPECT_EQ(store.GetLStatusList().at("ivy"), 4);
}

// The contact and status stores side by side, as the shared state carries them.
struct SharedStores : HX_ContactStorage, HX_StatusStorage {};

// The loop thread's changes to the contact list and the subscription, step by step.
template <typename Stores>
void LoopStep(Stores& stores, int i) {
  const std::string id = (i % 2 ? "User" : "user") + std::to_string(i % 97);
  switch (i % 5) {
    case 0:
    case 1:
      stores.PushContact(nullptr, id.c_str(), nullptr, USER_AVAIL, static_cast<uint32_t>(i % 2));
      break;
    case 2:
      stores.SetDisplayName(id.c_str(), ("Name " + std::to_string(i)).c_str());
      break;
    case 3:
      stores.updateContactStatus(id.c_str(), USER_BUSY);
      break;
    default:
      stores.DropContact(id.c_str());
  }
}

// The address-book retry job reads the contacts hash and the subscribed flag on a worker without
// the stores' locks while the loop thread changes both: every hash it sees is one the loop thread
// left between two operations, and once the loop thread is done the worker sees its last values.
TEST(SharedStores, WorkerReadsTheHashAndTheSubscribedFlagWhileTheLoopChangesThem) {
  constexpr int kSteps = 4000;
  std::set<uint32_t> published{0};
  {
    HX_ContactStorage model;
    for (int i = 0; i < kSteps; ++i) {
      LoopStep(model, i);
      published.insert(model.GetContactsHash());
    }
  }
  SharedStores stores;
  std::atomic<bool> done{false};
  std::atomic<int> unknownHashes{0};
  uint32_t lastHash = 0;
  bool lastFlag = true;
  std::thread worker([&] {
    for (;;) {
      const bool finished = done.load();
      const uint32_t hash = stores.GetContactsHash();
      const bool subscribed = stores.getStatusSubscription();
      if (published.count(hash) == 0) ++unknownHashes;
      if (finished) {
        lastHash = hash;
        lastFlag = subscribed;
        return;
      }
    }
  });
  for (int i = 0; i < kSteps; ++i) {
    LoopStep(stores, i);
    if (i % 10 == 0) stores.setStatusSubscription();
    if (i % 10 == 5) stores.ClearStatusHolder();
    stores.SetStatus(("user" + std::to_string(i % 97)).c_str(), i % 3);
  }
  stores.ClearStatusHolder();
  const uint32_t finalHash = stores.GetContactsHash();
  done = true;
  worker.join();
  EXPECT_EQ(unknownHashes.load(), 0);
  EXPECT_EQ(lastHash, finalHash);
  EXPECT_FALSE(lastFlag);
  EXPECT_NE(finalHash, 0u);
}

// Presence is read on one thread, which also localises the name prefixes (a language change),
// while other threads generate names and the loop thread stores statuses: each name carries one
// prefix whole, and each status read is one that was stored.
TEST(SharedStores, StatusReaderLocalizesWhileNamesAreGenerated) {
  SharedStores stores;
  for (int u = 0; u < 8; ++u) {
    const HX_Container c = Received({Int32("Mood", 0)});
    stores.ParseExtStatus(("peer" + std::to_string(u)).c_str(), &c);
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> makers;
  for (int t = 0; t < 2; ++t) {
    makers.emplace_back([&] {
      while (!stop.load()) {
        const std::string room = hx::CallIdParser("\\c\\r").m_dn;
        if (room != "Conference r" && room != "Konferenz r") ADD_FAILURE() << room;
        const std::string guest = hx::CallIdParser("#guest:otto@x").m_dn;
        if (guest != "Guest otto" && guest != "Gast otto") ADD_FAILURE() << guest;
      }
    });
  }
  std::thread reader([&] {
    for (int i = 0; !stop.load(); ++i) {
      const std::string peer = "Peer" + std::to_string(i % 8);
      const HX_UserPresence_Status status = stores.GetStatus(peer.c_str());
      if (status != USER_STATUS_UNDEF && (status < 0 || status > 2)) ADD_FAILURE() << status;
      int mood = -1;
      if (!stores.GetExtStatus(peer.c_str(), "Mood", mood) || mood < 0 || mood > 9) {
        ADD_FAILURE() << peer << " " << mood;
      }
      HX_StatusStorage::ExtStatusMap map;
      if (!stores.GetExtStatusMap(peer.c_str(), map) || map.count("Mood") != 1) {
        ADD_FAILURE() << peer;
      }
      if (i % 2) {
        hx::CallIdParser::localize("Konferenz ", "Gast ");
      } else {
        hx::CallIdParser::localize("Conference ", "Guest ");
      }
    }
  });
  for (int i = 0; i < 4000; ++i) {
    const std::string peer = "peer" + std::to_string(i % 8);
    stores.SetStatus(peer.c_str(), i % 3);
    stores.SetExtStatus(peer.c_str(), "Mood", i % 10);
    if (i % 50 == 0) stores.EraseStatus(peer.c_str());
  }
  stop = true;
  reader.join();
  for (auto& maker : makers) maker.join();
  hx::CallIdParser::localize("Conference ", "Guest ");
}

}  // namespace
