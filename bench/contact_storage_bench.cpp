// The contact store taking a whole contact list and then a whole status list,
// as the loop thread applies them after login: 5000 contacts pushed into an
// emptied store under the store's lock, then one status change for each. The
// baseline is the same 10000 inserts (the 5000 contacts, then the 5000 copies
// with their new status) into a plain ordered set of contacts, timed in the
// same iterations, in thread CPU time; "times" is the store's time over the
// baseline's. The store must find each id ignoring letter case, keep one
// element per id and keep the contacts hash; the plain set does none of that,
// so a ratio of a few times is the cost of those promises.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <ctime>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/base/lock.h"
#include "core/contacts/stores/contact_storage.h"

namespace {

constexpr size_t kContacts = 5000;

struct Entry {
  std::string peerId;
  std::string displayName;
  HX_UserPresence_Status status;  // the status the status list brings
};

// Ids in mixed letter case as servers send them, names that share prefixes,
// some online.
std::vector<Entry> ContactList() {
  static const char *const kFirst[] = {"Anna",  "Bernd", "Claire", "Dmitri", "Eva",   "Frank",
                                       "Greta", "Hans",  "Ines",   "Jürgen", "Kasia", "Lars"};
  static const char *const kLast[] = {"Meyer", "Schmidt", "Novak", "Ivanov", "Dubois", "Rossi"};
  std::mt19937 rng(7);
  std::vector<Entry> out;
  out.reserve(kContacts);
  for (size_t i = 0; i < kContacts; ++i) {
    std::string name = std::string(kFirst[rng() % 12]) + " " + kLast[rng() % 6];
    std::string id = (i % 3 == 0 ? "User" : "user") + std::to_string(rng() % 1000000) + "_" +
                     std::to_string(i) + (i % 2 ? "@Example.ORG" : "@example.org");
    const auto status = static_cast<HX_UserPresence_Status>(static_cast<int32_t>(rng() % 6) - 1);
    out.push_back({std::move(id), std::move(name), status});
  }
  return out;
}

double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_ContactListThenStatusesVsPlainSet(benchmark::State &state) {
  const std::vector<Entry> list = ContactList();
  HX_ContactStorage store;
  std::set<hx::Contact> plain;
  double storeSeconds = 0, plainSeconds = 0;
  for (auto _ : state) {
    store.DropContactList();
    plain.clear();

    double start = ThreadSeconds();
    {
      HXAutoLock hold(store.getContactStorageLock());
      for (const Entry &e : list) {
        store.PushContact(nullptr, e.peerId.c_str(), e.displayName.c_str(), USER_STATUS_UNDEF, 0);
      }
    }
    for (const Entry &e : list) store.updateContactStatus(e.peerId.c_str(), e.status);
    storeSeconds += ThreadSeconds() - start;

    start = ThreadSeconds();
    for (const Entry &e : list) plain.emplace(e.peerId, e.displayName, USER_LOGOFF, 0u);
    for (const Entry &e : list) plain.emplace(e.peerId, e.displayName, e.status, 0u);
    plainSeconds += ThreadSeconds() - start;
    benchmark::DoNotOptimize(plain.size());
  }
  // Every contact once, with the status of the status list.
  const auto &stored = store.LockContactList();
  bool right = stored.size() == kContacts;
  for (const Entry &e : list) {
    const auto found = store.SearchContact(e.peerId.c_str());
    right = right && found != stored.end() && found->status == e.status;
  }
  store.UnlockContactList();
  if (!right) state.SkipWithError("the store lost or mixed contacts");

  const double n = static_cast<double>(state.iterations());
  state.counters["store_ms"] = storeSeconds / n * 1e3;
  state.counters["plain_set_ms"] = plainSeconds / n * 1e3;
  state.counters["times"] = storeSeconds / plainSeconds;
}
BENCHMARK(BM_ContactListThenStatusesVsPlainSet)->Unit(benchmark::kMillisecond);

}  // namespace
