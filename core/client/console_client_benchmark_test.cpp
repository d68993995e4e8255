// The client object's benchmark on the test platform, with a real settings file in a folder two
// client objects share: the stored record is emitted before the new one, the new one is stored as
// 32 bytes that the sqlite3 tool and the next client object read back, the adapter and the
// platform's hook receive each record, and destroying the client object while the benchmark
// pauses or measures ends cleanly. The benchmark encodes with the real VP8 encoder; its clock and
// pause are the test's, so that a measurement takes whatever time the test says and nobody waits
// seconds for it to start.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/base/lock.h"
#include "core/media/format/media_format_adapter.h"
#include "core/media/format/sys_benchmark.h"
#include "core/media/format/video_levels.h"
#include "core/storage/storage_test_helpers.h"
#include "testing/test_console_client.h"
#include "testing/test_support.h"

namespace hx::testing {
namespace {

constexpr auto kWait = std::chrono::seconds(30);

// What the benchmark's clock and the client object's hook share with the test; it outlives the
// client objects. The clock advances `stepMs` per reading, so every measurement takes exactly
// that long; with `holdFirstTick` the first reading (the start of a measurement) blocks until
// the test releases it.
struct BenchProbe {
  struct Delivery {
    HX_SysPerformanceState record;   // what the hook received
    HX_SysPerformanceState adapter;  // the adapter's copy at that moment
  };

  explicit BenchProbe(int64_t step, bool hold = false) : stepMs(step), holdFirstTick(hold) {}

  int64_t Tick() {
    std::unique_lock<std::mutex> lock(mutex);
    const int64_t now = ticks++ * stepMs;
    changed.notify_all();
    if (holdFirstTick && now == 0) changed.wait(lock, [&] { return released; });
    return now;
  }
  void Deliver(const HX_SysPerformanceState& record, const HX_SysPerformanceState& adapter) {
    std::lock_guard<std::mutex> lock(mutex);
    deliveries.push_back({record, adapter});
    changed.notify_all();
  }
  void Set(bool BenchProbe::*flag) {
    std::lock_guard<std::mutex> lock(mutex);
    this->*flag = true;
    changed.notify_all();
  }
  template <typename Predicate>
  bool WaitUntil(Predicate predicate) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kWait, predicate);
  }
  std::vector<Delivery> Deliveries() {
    std::lock_guard<std::mutex> lock(mutex);
    return deliveries;
  }
  int Ticks() {
    std::lock_guard<std::mutex> lock(mutex);
    return ticks;
  }

  const int64_t stepMs;
  const bool holdFirstTick;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Delivery> deliveries;
  int ticks = 0;
  bool released = false;
  bool destroying = false;
};

// The test platform in a given folder, its benchmark on the probe's clock with one encode per
// measurement; the hook records each record with the adapter's copy of the benchmark result.
class BenchClient : public TestConsoleClient {
 public:
  BenchClient(std::string folder, std::shared_ptr<BenchProbe> probe, uint32_t pauseMs = 0)
      : m_folder(std::move(folder)), m_probe(std::move(probe)) {
    SetBenchmarkSeams([probe = m_probe] { return probe->Tick(); }, [pauseMs] { return pauseMs; },
                      1);
  }
  // The hook uses the probe: stop the benchmark before it goes.
  ~BenchClient() override {
    m_probe->Set(&BenchProbe::destroying);
    StopSysBenchmark();
  }

  const char* GetWorkingDir() override { return m_folder.c_str(); }
  void OnSysBenchmarkComplete(HX_SysPerformanceState& state) override {
    TestConsoleClient::OnSysBenchmarkComplete(state);
    const std::shared_ptr<HX_MediaFormatManagerAdapter> adapter = mediaFormatManager();
    HX_SysPerformanceState adapted;
    {
      HXAutoLock guard(*adapter);
      adapted = adapter->GetSysPerformance();
    }
    m_probe->Deliver(state, adapted);
  }

 private:
  const std::string m_folder;
  const std::shared_ptr<BenchProbe> m_probe;
};

std::string Hex(const HX_SysPerformanceState& state) {
  uint8_t bytes[HX_SysPerformanceState::kBytes];
  state.ToBytes(bytes);
  std::string hex;
  for (uint8_t byte : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof(digits), "%02X", byte);
    hex += digits;
  }
  return hex;
}

class ConsoleClientBenchmarkTest : public ::testing::Test {
 protected:
  std::string Folder() const { return m_dir.path() + "/"; }
  std::string SettingsFile() const { return Folder() + "settings.sqlite"; }

  TempDir m_dir;
};

TEST_F(ConsoleClientBenchmarkTest, StoredRecordFirstThenTheMeasuredOneKeptInTheSettingsFile) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  const kn_VideoLevelCaps levels;
  // A first run measured in 500 ms: score 189600, send level 47.
  const HX_SysPerformanceState first = HX_SysPerformanceState::FromScore(189600, 500, levels);
  ASSERT_EQ(first.sendLevel, 47);
  {
    auto probe = std::make_shared<BenchProbe>(500);
    BenchClient client(Folder(), probe);
    client.CreateApplication();
    client.GetSysBechmarkResult();
    ASSERT_TRUE(probe->WaitUntil([&] { return probe->deliveries.size() == 2; }));
    const std::vector<BenchProbe::Delivery> got = probe->Deliveries();
    EXPECT_EQ(got[0].record, HX_SysPerformanceState());  // nothing stored yet: all zero
    EXPECT_EQ(got[1].record, first);
    for (const BenchProbe::Delivery& delivery : got) EXPECT_EQ(delivery.adapter, delivery.record);
    EXPECT_EQ(client.HookCount("OnSysBenchmarkComplete"), 2u);
    // Another reader of the file sees the 32 bytes while the client object still has it open.
    EXPECT_EQ(
        storage_testing::Sqlite(sqlite3, SettingsFile(),
                                "SELECT hex(Value) FROM settings WHERE Name = 'SysBenchmark';"),
        Hex(first) + "\n");
  }
  // The next client object on the folder reads the record back unchanged, emits it first, and
  // averages its own measurement (250 ms: 379200, better, so half way) with the stored score.
  auto probe = std::make_shared<BenchProbe>(250);
  BenchClient client(Folder(), probe);
  client.CreateApplication();
  EXPECT_EQ(client._LoadSysBenchmark(), first);
  client.GetSysBechmarkResult();
  ASSERT_TRUE(probe->WaitUntil([&] { return probe->deliveries.size() == 2; }));
  const std::vector<BenchProbe::Delivery> got = probe->Deliveries();
  EXPECT_EQ(got[0].record, first);
  EXPECT_EQ(got[1].record, HX_SysPerformanceState::FromScore((189600 + 379200) / 2, 250, levels));
  for (const BenchProbe::Delivery& delivery : got) EXPECT_EQ(delivery.adapter, delivery.record);
  EXPECT_EQ(client._LoadSysBenchmark(), got[1].record);
}

// A pause as long as the default one would be (or far longer) ends with the client object:
// nothing is measured and nothing but the stored record is delivered.
TEST_F(ConsoleClientBenchmarkTest, DestroyedDuringThePause) {
  auto probe = std::make_shared<BenchProbe>(500);
  const auto start = std::chrono::steady_clock::now();
  {
    BenchClient client(Folder(), probe, 600000);
    client.CreateApplication();
    client.GetSysBechmarkResult();
    ASSERT_TRUE(client.sysBenchmark()->IsBenchmarkRunning());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  EXPECT_EQ(probe->Ticks(), 0);
  EXPECT_EQ(probe->Deliveries().size(), 1u);
}

// The measurement is under way (its clock read once, held) when the client object starts to go;
// the clock is released once destruction has begun. Destruction waits for the measurement, which
// then emits nothing: the folder keeps the stored record.
TEST_F(ConsoleClientBenchmarkTest, DestroyedDuringAMeasurement) {
  auto probe = std::make_shared<BenchProbe>(500, true);
  std::thread releaser;
  {
    BenchClient client(Folder(), probe);
    client.CreateApplication();
    client.GetSysBechmarkResult();
    ASSERT_TRUE(probe->WaitUntil([&] { return probe->ticks == 1; }));
    releaser = std::thread([probe] {
      probe->WaitUntil([&] { return probe->destroying; });
      // Let the destructor get on to the stop before the measurement goes on.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      probe->Set(&BenchProbe::released);
    });
  }
  releaser.join();
  EXPECT_EQ(probe->Ticks(), 2);  // the measurement ran to its end
  EXPECT_EQ(probe->Deliveries().size(), 1u);
  BenchClient again(Folder(), std::make_shared<BenchProbe>(500));
  again.CreateApplication();
  EXPECT_EQ(again._LoadSysBenchmark(), HX_SysPerformanceState());
}

}  // namespace
}  // namespace hx::testing
