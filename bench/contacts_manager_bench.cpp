// A complete contact list of 5000 records applied through the address-book manager's
// ParseIncomimgMessage: the contact store emptied and refilled, the cache file rewritten in one
// transaction, begin, 5000 setPeer and end to a recording subscriber, and the subscription of
// every contact composed and queued. The baseline writes the same 5000 rows with the cache's two
// contact statements (insert, then update) in one cppdb transaction on a file of the same schema
// and tuning, made by the cache itself, timed in the same iterations. Both files hold the list
// from the first iteration on. "times" is the manager's time over the baseline's; the bound is 4.
#include <benchmark/benchmark.h>
#include <cppdb/frontend.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/client/fsm_shared.h"
#include "core/contacts/addressbook/contacts_manager.h"
#include "core/contacts/cache/address_book_cache_statements.h"
#include "core/net/address/acceptor_info.h"
#include "core/net/socket/native_socket_details.h"
#include "core/storage/db_manager.h"
#include "core/storage/sqlite_statements.h"
#include "core/transport/session.h"
#include "core/wire/client_message.h"
#include "testing/contacts_recorder.h"

namespace {

constexpr int kRecords = 5000;

class BenchSession : public HX_TransportSession {
 public:
  uint32_t GetNextSequence() override { return ++m_sequence; }
  HXZNativeSocketDetails GetTransportAddress() const override { return HXZNativeSocketDetails(); }
  bool getLocalBind(HXSockAddr&) const override { return false; }
  std::shared_ptr<HX_TransportConnectionParam> getConnectionParam() const override {
    return nullptr;
  }
  bool Login(const char*, const char*, bool, bool) override { return false; }
  bool Logout(bool, bool) override { return true; }
  bool QueuePacket(HX_ClientMessage* message) override {
    delete message;
    return true;
  }
  const char* TransportCid() const override { return ""; }
  const char* TransportSid() const override { return ""; }
  void shutdown() override {}
  void onTrSessionStateChanged(int32_t, int32_t) override {}
  bool onLogin(const char*, int32_t, const char*, const char*) override { return true; }
  void onAcceptorsListUpdated(const HXZAcceptorInfo&) override {}

 private:
  uint32_t m_sequence = 0;
};

double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string Id(int i) {
  return "user" + std::to_string(i * 7919 % 100003) + "_" + std::to_string(i) + "@example.org";
}
std::string Name(int i) { return "Contact " + std::to_string(i); }

void BM_CompleteContactListVsTwoStatements(benchmark::State& state) {
  char pattern[] = "/tmp/hx_abook_bench_XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  const std::string dir = std::string(pattern) + "/";
  HX_DBManager::instance();
  HXFSMShared::Env()->SetWorkingDir(dir.c_str());
  auto fsm = std::make_unique<HXFSMShared>();
  auto session = std::make_shared<BenchSession>();
  session->setFSMShared(fsm.get());
  session->SetLogin("me@example.org");
  fsm->setTransportSession(session);
  auto cache = std::make_shared<HX_GrossBuchCache>();
  if (!cache->OpenDatabase("me@example.org", dir.c_str())) std::abort();
  auto manager = std::make_unique<HX_ContactsManager>(session, fsm.get(), cache);
  hx::testing::ContactsRecorder recorder(*manager, *fsm);
  recorder.setCheckLock(false);

  // The baseline's file: made and tuned by the cache itself, then written directly.
  std::string baseFile;
  {
    HX_GrossBuchCache maker;
    if (!maker.OpenDatabase("base@example.org", dir.c_str())) std::abort();
    baseFile = dir + maker.GetStorageFSName("base@example.org");
    maker.Close();
  }
  cppdb::session base("sqlite3:db=" + baseFile);
  base << hx::sqlite::make_async << cppdb::exec;
  base << hx::sqlite::wal_mode << cppdb::row;
  base << (std::string(hx::sqlite::wal_autocheckpoint_val) + "250") << cppdb::row;

  HX_Container list;
  list.AddValue("Method", "SearchAddressBook");
  list.AddValue("AddressBook", 1);
  list.AddValue("Result", kRecords);
  list.AddValue("Cause", 1);
  list.AddValue("Hash", 77);
  for (int i = 0; i < kRecords; ++i) {
    list.AddValue("UserName", ("u" + std::to_string(i)).c_str());
    list.AddValue("CallId", Id(i).c_str());
    list.AddValue("DisplayName", Name(i).c_str());
    list.AddValue("editable", i % 10 != 0);
  }

  double managerSeconds = 0;
  double baseSeconds = 0;
  for (auto _ : state) {
    recorder.Clear();
    double start = ThreadSeconds();
    manager->ParseIncomimgMessage(list);
    managerSeconds += ThreadSeconds() - start;

    start = ThreadSeconds();
    {
      cppdb::transaction transaction(base);
      const long long now = std::time(nullptr);
      for (int i = 0; i < kRecords; ++i) {
        const std::string id = Id(i);
        const std::string name = Name(i);
        const int flags = 1 | (i % 10 == 0 ? 1 << 16 : 0);
        base << hx::cache::insert_contact << id << name << flags << now << cppdb::exec;
        base << hx::cache::update_contact << name << flags << now << id << cppdb::exec;
      }
      transaction.commit();
    }
    baseSeconds += ThreadSeconds() - start;
  }
  if (recorder.Count("setPeer") != static_cast<size_t>(kRecords))
    state.SkipWithError("not every contact reported");
  state.counters["manager_ms"] = managerSeconds * 1000 / static_cast<double>(state.iterations());
  state.counters["baseline_ms"] = baseSeconds * 1000 / static_cast<double>(state.iterations());
  state.counters["times"] = baseSeconds > 0 ? managerSeconds / baseSeconds : 0;
  recorder.Disconnect();
  manager.reset();
  cache.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_CompleteContactListVsTwoStatements)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
