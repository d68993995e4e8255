#pragma once
// Test support for the conference store: the test platform's client object with its conference
// manager (the store, whose two hooks record their calls), its shared state with a signed-in
// login, and a running network loop for the store's jobs. Listeners and signal recorders lock
// what they record, since the jobs report on the loop's worker threads.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/conference/conf_manager.h"
#include "core/net/loop/zserver.h"
#include "core/transport/session.h"
#include "testing/test_console_client.h"

namespace hx::testing {

using Counts = std::tuple<unsigned, unsigned, unsigned>;

// Records every count change it is told.
class CountRecorder : public hx::ConfStorageListener {
 public:
  void onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted) override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(mutex);
      counts.emplace_back(requested, joined, deleted);
      hook = onChange;
    }
    if (hook) hook();
  }
  std::vector<Counts> seen() {
    std::lock_guard<std::mutex> lock(mutex);
    return counts;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex);
    counts.clear();
  }
  std::mutex mutex;
  std::vector<Counts> counts;
  std::function<void()> onChange;
};

// Records the destroyed signal.
class DestroyRecorder {
 public:
  void OnDestroyed(int id, const char* sid) {
    std::lock_guard<std::mutex> lock(mutex);
    destroyed.emplace_back(id, sid != nullptr ? sid : "");
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return destroyed.size();
  }
  std::mutex mutex;
  std::vector<std::pair<int, std::string>> destroyed;
};

inline bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class ConfStoreFixture : public ::testing::Test {
 protected:
  static constexpr const char* kMe = "me@test.invalid";

  void SetUp() override {
    client = std::make_unique<TestConsoleClient>();
    client->CreateApplication();
    loop = client->networkServer();
    ASSERT_NE(loop, nullptr);
    ASSERT_GE(loop->startServerLoop(), 0);
    cm = client->confManager();
    ASSERT_NE(cm, nullptr);
    cm->getConfTransport()->SetLogin(kMe);
    cm->conferenceDestroyed.Connect(&destroyed, &DestroyRecorder::OnDestroyed);
  }

  void TearDown() override {
    client.reset();
    if (loop != nullptr) {
      loop->Shutdown();
      loop->Wait4Done();
    }
  }

  // A requested conference (of the own user unless `owner` says otherwise), lock released.
  int32_t Request(HX_Conference_Type type = 5, const char* owner = kMe,
                  HX_GroupConf_SubType subType = 0) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->storageRequestCreateConferenceLock(lock, "room", "", owner, 16, 0, type,
                                                       subType, 0, nullptr, false));
    return lock ? lock->getId() : 0;
  }
  // A requested conference confirmed as `sid`.
  int32_t Confirmed(const std::string& sid, HX_Conference_Type type = 5, const char* owner = kMe) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->storageRequestCreateConferenceLock(lock, "room", "", owner, 16, 0, type, 0, 0,
                                                       nullptr, false));
    const int32_t id = lock ? lock->getId() : 0;
    EXPECT_TRUE(cm->storageCreateConferenceCommit(lock, sid.c_str(), 1));
    return id;
  }
  void SetState(int32_t id, ::conference::State state) {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    lock->setState(lock, state);
  }
  int32_t ActiveId() {
    HXAutoLock guard(cm->StorageLock());
    return cm->activeConferenceNL() != nullptr ? cm->activeConferenceNL()->getId() : 0;
  }
  Counts CountsNow() {
    unsigned r = 0, j = 0, d = 0;
    cm->getConferenceCount(r, j, d);
    return Counts(r, j, d);
  }

  std::unique_ptr<TestConsoleClient> client;
  HXZServer* loop = nullptr;
  HX_ConfManager* cm = nullptr;
  DestroyRecorder destroyed;
};

}  // namespace hx::testing
