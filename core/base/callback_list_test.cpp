// hx::CallbackList: order of calls, disconnecting (also from inside an
// emission, also twice), handles that outlive their list, and connects,
// disconnects and emissions from several threads at once (run under
// ThreadSanitizer in the thread-sanitizer build).
#include "core/base/callback_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using IntList = hx::CallbackList<int>;

struct Recorder {
  std::mutex mutex;
  std::vector<int> calls;
  void Add(int value) {
    std::lock_guard<std::mutex> guard(mutex);
    calls.push_back(value);
  }
};

TEST(CallbackList, CallsInConnectionOrderAndSkipsEmptyCallables) {
  IntList list;
  Recorder rec;
  list.Connect([&](int v) { rec.Add(v * 10 + 1); });
  list.Connect(nullptr);
  list.Connect([&](int v) { rec.Add(v * 10 + 2); });
  EXPECT_EQ(list.Count(), 3u);
  list.Emit(4);
  list(5);
  EXPECT_EQ(rec.calls, (std::vector<int>{41, 42, 51, 52}));
}

TEST(CallbackList, MemberFunctionConnection) {
  IntList list;
  Recorder rec;
  IntList::Connection c = list.Connect(&rec, &Recorder::Add);
  list.Emit(7);
  EXPECT_TRUE(c.Disconnect());
  list.Emit(8);
  EXPECT_EQ(rec.calls, (std::vector<int>{7}));
}

TEST(CallbackList, DisconnectEmptiesOneEntryOnceAndTrimsTheEnd) {
  IntList list;
  Recorder rec;
  IntList::Connection a = list.Connect([&](int) { rec.Add(1); });
  IntList::Connection b = list.Connect([&](int) { rec.Add(2); });
  IntList::Connection copyOfB = b;
  EXPECT_TRUE(b.Connected());
  EXPECT_TRUE(b.Disconnect());
  EXPECT_FALSE(b.Connected());
  EXPECT_FALSE(b.Disconnect());
  // The trimmed slot is taken by a new callable: the stale copy of b must not
  // remove it.
  IntList::Connection c = list.Connect([&](int) { rec.Add(3); });
  EXPECT_FALSE(copyOfB.Disconnect());
  EXPECT_TRUE(c.Connected());
  list.Emit(0);
  EXPECT_EQ(rec.calls, (std::vector<int>{1, 3}));
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_TRUE(a.Disconnect());
  EXPECT_TRUE(c.Disconnect());
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_FALSE(IntList::Connection().Disconnect());
}

TEST(CallbackList, HandlesOutlivingTheListDoNothing) {
  IntList::Connection kept;
  {
    IntList list;
    kept = list.Connect([](int) {});
    EXPECT_TRUE(kept.Connected());
  }
  // AddressSanitizer reports a handle that reaches into the destroyed list.
  EXPECT_FALSE(kept.Connected());
  EXPECT_FALSE(kept.Disconnect());
}

TEST(CallbackList, ClearInvalidatesEarlierHandlesOnly) {
  IntList list;
  Recorder rec;
  IntList::Connection old = list.Connect([&](int) { rec.Add(1); });
  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  IntList::Connection fresh = list.Connect([&](int) { rec.Add(2); });
  EXPECT_FALSE(old.Disconnect());
  list.Emit(0);
  EXPECT_EQ(rec.calls, (std::vector<int>{2}));
  EXPECT_TRUE(fresh.Disconnect());
}

TEST(CallbackList, CallablesMayDisconnectThemselvesOrOthersDuringAnEmission) {
  IntList list;
  Recorder rec;
  IntList::Connection self;
  IntList::Connection other;
  self = list.Connect([&](int v) {
    rec.Add(v * 10 + 1);
    self.Disconnect();
    other.Disconnect();
  });
  other = list.Connect([&](int v) { rec.Add(v * 10 + 2); });
  // The emission under way works on its copy: the other callable is still
  // called this once.
  list.Emit(1);
  list.Emit(2);
  EXPECT_EQ(rec.calls, (std::vector<int>{11, 12}));
  EXPECT_EQ(list.Count(), 0u);
}

TEST(CallbackList, CallablesMayConnectAndEmitDuringAnEmission) {
  IntList list;
  Recorder rec;
  bool connected = false;
  list.Connect([&](int v) {
    rec.Add(v);
    if (!connected) {
      connected = true;
      list.Connect([&](int w) { rec.Add(100 + w); });  // called from the next emission on
      if (v == 1) list.Emit(2);                        // no lock is held: no deadlock
    }
  });
  list.Emit(1);
  list.Emit(3);
  EXPECT_EQ(rec.calls, (std::vector<int>{1, 2, 102, 3, 103}));
}

TEST(CallbackList, ConcurrentConnectDisconnectAndEmit) {
  auto list = std::make_unique<IntList>();
  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) list->Emit(1);
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        IntList::Connection c = list->Connect([&](int v) { calls.fetch_add(v); });
        if (i % 3 == 0) std::this_thread::yield();
        EXPECT_TRUE(c.Disconnect());
      }
    });
  }
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
  stop = true;
  threads[0].join();
  threads[1].join();
  EXPECT_EQ(list->Count(), 0u);
  // A handle kept while the list dies, used from another thread.
  IntList::Connection late = list->Connect([](int) {});
  std::thread user([late]() mutable {
    for (int i = 0; i < 100; ++i) late.Connected();
    late.Disconnect();
  });
  list.reset();
  user.join();
  EXPECT_FALSE(late.Connected());
}

}  // namespace
