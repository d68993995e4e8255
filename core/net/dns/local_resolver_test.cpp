#include "core/net/dns/local_resolver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

using hx::testing::WaitFor;
using Addresses = std::vector<std::string>;

// Records every report, in arrival order.
class Recorder : public HXDNSLocal::Listener {
 public:
  void onQueryAResolvedLocal(uint32_t requestId, const std::string& name,
                             const Addresses& addresses) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reports.push_back({requestId, name, addresses});
  }
  struct Report {
    uint32_t requestId;
    std::string name;
    Addresses addresses;
  };
  std::vector<Report> reports() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
  }
  std::set<uint32_t> ids() const {
    std::set<uint32_t> ids;
    for (const Report& report : reports()) ids.insert(report.requestId);
    return ids;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<Report> m_reports;
};

// A system lookup held at a gate: each lookup counts itself in, waits for the gate to open and
// answers the name itself as its address.
class Gate {
 public:
  LocalResolver::Lookup lookup() {
    return [this](const char* host, Addresses& list) {
      std::unique_lock<std::mutex> lock(m_mutex);
      ++m_entered;
      m_changed.notify_all();
      m_changed.wait(lock, [this] { return m_open; });
      list = {host};
      return true;
    };
  }
  bool waitEntered(int count) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_entered >= count; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_changed.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_entered = 0;
  bool m_open = false;
};

TEST(LocalResolver, SystemLookupTexts) {
  struct Case {
    const char* host;
    bool found;
    Addresses expected;  // empty: only "contains 127.0.0.1" is checked
  };
  const Case cases[] = {
      // getaddrinfo answers a numeric text once per socket type; the texts collapse.
      {"10.1.2.3", true, {"10.1.2.3"}}, {"fd00::5", true, {"fd00::5"}},
      {"localhost", true, {}},          {"no-such-host.invalid", false, {"unchanged"}},
      {"", false, {"unchanged"}},
  };
  for (const Case& c : cases) {
    Addresses list{"unchanged"};
    EXPECT_EQ(LocalResolver::dns_resolv_A_rec(c.host, list), c.found) << c.host;
    if (!c.expected.empty()) {
      EXPECT_EQ(list, c.expected) << c.host;
      continue;
    }
    EXPECT_EQ(std::set<std::string>(list.begin(), list.end()).size(), list.size()) << c.host;
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end())) << c.host;
    EXPECT_NE(std::find(list.begin(), list.end(), "127.0.0.1"), list.end()) << c.host;
  }
  Addresses list;
  EXPECT_FALSE(LocalResolver::dns_resolv_A_rec(nullptr, list));
}

TEST(LocalResolver, ReportsOnlySuccessfulLookups) {
  Recorder recorder;
  // One runner: reports arrive in queue order, so once "localhost" is reported the lookup queued
  // before it has ended without a report.
  std::shared_ptr<HXDNSLocal> pool = std::make_shared<LocalResolver>(&recorder, 20, 1);
  EXPECT_FALSE(pool->queryA(1, nullptr));
  EXPECT_TRUE(pool->queryA(2, "no-such-host.invalid"));
  EXPECT_TRUE(pool->queryA(3, "localhost"));
  ASSERT_TRUE(WaitFor([&] { return !recorder.reports().empty(); }, 20000));
  const auto reports = recorder.reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].requestId, 3u);
  EXPECT_EQ(reports[0].name, "localhost");
  EXPECT_NE(std::find(reports[0].addresses.begin(), reports[0].addresses.end(), "127.0.0.1"),
            reports[0].addresses.end());
  EXPECT_TRUE(pool->stop(true));
}

TEST(LocalResolver, FullQueueDropsItsOldestLookup) {
  Recorder recorder;
  Gate gate;
  hx::testing::LogCapture log;
  auto pool = std::make_shared<LocalResolver>(&recorder, 20, 4, gate.lookup());
  // Four lookups occupy the four runners; 21 more go to the queue, which keeps 20.
  for (uint32_t id = 1; id <= 4; ++id) pool->queryA(id, ("held" + std::to_string(id)).c_str());
  ASSERT_TRUE(gate.waitEntered(4));
  for (uint32_t id = 5; id <= 25; ++id) pool->queryA(id, ("queued" + std::to_string(id)).c_str());
  pool->abandonQuery(25);
  EXPECT_TRUE(log.Contains("LocalResolver queue len 20 + 4 running"));
  gate.open();

  std::set<uint32_t> expected;
  for (uint32_t id = 1; id <= 24; ++id) {
    if (id != 5) expected.insert(id);
  }
  ASSERT_TRUE(WaitFor([&] { return recorder.ids().size() >= expected.size(); }, 20000));
  EXPECT_EQ(recorder.ids(), expected);
  EXPECT_EQ(recorder.reports().size(), expected.size());  // each once
  EXPECT_TRUE(pool->stop(true));
}

TEST(LocalResolver, StopLeavesABlockedLookupBehindAndDropsItsReport) {
  for (const bool wait : {false, true}) {
    Recorder recorder;
    Gate gate;
    auto pool = std::make_shared<LocalResolver>(&recorder, 20, 4, gate.lookup());
    std::weak_ptr<LocalResolver> alive = pool;
    pool->queryA(1, "held");
    pool->queryA(2, "held too");
    ASSERT_TRUE(gate.waitEntered(2));
    pool->queryA(3, "queued");

    // A lookup stuck in the system resolver must not hold stop() up for good.
    auto stopped = std::async(std::launch::async, [&] { return pool->stop(wait); });
    const bool returned = stopped.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!returned) gate.open();
    ASSERT_TRUE(returned) << wait;
    EXPECT_FALSE(stopped.get()) << wait;
    pool.reset();
    EXPECT_FALSE(alive.expired()) << wait;  // kept for the runs still inside the lookup

    gate.open();
    EXPECT_TRUE(WaitFor([&] { return alive.expired(); }, 20000)) << wait;
    EXPECT_TRUE(recorder.reports().empty()) << wait;
  }
}

}  // namespace
