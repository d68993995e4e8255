#include "core/base/signal.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Records which of its handlers ran, in order.
struct Recorder {
  std::vector<std::string>* calls;
  std::string name;
  void OnEvent(int value) { calls->push_back(name + std::to_string(value)); }
  void OnOther(int value) { calls->push_back(name + "other" + std::to_string(value)); }
};

TEST(SignalTest, CallsDelegatesInConnectionOrderAndDisconnectsTheFirstEqualOne) {
  std::vector<std::string> calls;
  Recorder a{&calls, "A"};
  Recorder b{&calls, "B"};
  hx::Signal1<int> signal;
  signal.Emit(0);  // nothing connected: nothing happens
  signal.Connect(&a, &Recorder::OnEvent);
  signal.Connect(&b, &Recorder::OnEvent);
  signal.Connect(&a, &Recorder::OnEvent);
  signal.Emit(1);
  EXPECT_EQ(calls, (std::vector<std::string>{"A1", "B1", "A1"}));

  calls.clear();
  signal.Disconnect(&a, &Recorder::OnOther);  // same object, other method: not connected
  signal.Disconnect(&b, &Recorder::OnOther);
  signal(2);
  EXPECT_EQ(calls, (std::vector<std::string>{"A2", "B2", "A2"}));

  calls.clear();
  signal.Disconnect(&a, &Recorder::OnEvent);
  EXPECT_EQ(signal.Count(), 2u);
  signal(3);
  EXPECT_EQ(calls, (std::vector<std::string>{"B3", "A3"}));

  calls.clear();
  signal.DisconnectAll();
  signal(4);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(signal.Count(), 0u);
}

TEST(SignalTest, DelegatesCompareObjectAndMethod) {
  std::vector<std::string> calls;
  Recorder a{&calls, "A"};
  Recorder b{&calls, "B"};
  using D = hx::Delegate1<int>;
  EXPECT_EQ(D(&a, &Recorder::OnEvent), D(&a, &Recorder::OnEvent));
  EXPECT_FALSE(D(&a, &Recorder::OnEvent) == D(&b, &Recorder::OnEvent));
  EXPECT_FALSE(D(&a, &Recorder::OnEvent) == D(&a, &Recorder::OnOther));
  D(&b, &Recorder::OnOther)(7);
  EXPECT_EQ(calls, (std::vector<std::string>{"Bother7"}));
}

struct Base {
  virtual ~Base() = default;
  virtual void Handle(int) { handled_by = "base"; }
  std::string handled_by;
};
struct Derived : Base {
  void Handle(int) override { handled_by = "derived"; }
};

TEST(SignalTest, VirtualMembersDispatchOnTheObject) {
  Derived derived;
  hx::Signal1<int> signal;
  signal.Connect(static_cast<Base*>(&derived), &Base::Handle);
  signal.Emit(1);
  EXPECT_EQ(derived.handled_by, "derived");
}

// Each handler changes its by-value copy and the shared reference.
struct Mutator {
  std::vector<std::string> seen;
  void Handle(std::string text, bool& accept, int& counter) {
    seen.push_back(text);
    text += "!";
    accept = !accept;
    ++counter;
  }
};

TEST(SignalTest, ValueArgumentsAreCopiedPerDelegateAndReferencesShared) {
  Mutator first;
  Mutator second;
  hx::Signal3<std::string, bool&, int&> signal;
  signal.Connect(&first, &Mutator::Handle);
  signal.Connect(&second, &Mutator::Handle);
  bool accept = true;
  int counter = 0;
  signal.Emit("hello", accept, counter);
  EXPECT_EQ(first.seen, std::vector<std::string>{"hello"});
  EXPECT_EQ(second.seen, std::vector<std::string>{"hello"});
  EXPECT_TRUE(accept);  // flipped twice: the last writer's value comes back
  EXPECT_EQ(counter, 2);
}

TEST(SignalTest, EightArgumentsAndNoArgument) {
  struct Sum {
    long total = 0;
    int calls = 0;
    void Add(int a, long b, short c, char d, unsigned e, long long f, unsigned char g, bool h) {
      total = a + b + c + d + static_cast<long>(e) + static_cast<long>(f) + g + (h ? 1 : 0);
    }
    void Ping() { ++calls; }
  } sum;
  hx::Signal8<int, long, short, char, unsigned, long long, unsigned char, bool> eight;
  eight.Connect(&sum, &Sum::Add);
  eight.Emit(1, 2, 3, 4, 5, 6, 7, true);
  EXPECT_EQ(sum.total, 29);

  hx::Signal0<void> none;
  none.Connect(&sum, &Sum::Ping);
  none();
  none.Emit();
  EXPECT_EQ(sum.calls, 2);
}

// Connects a further handler while the signal is emitting.
struct Chain {
  hx::Signal0<>* signal;
  int calls = 0;
  int remaining_links;
  void Link() {
    ++calls;
    if (remaining_links-- > 0) signal->Connect(this, &Chain::Link);
  }
};

TEST(SignalTest, DelegateConnectedDuringEmissionIsCalledByIt) {
  hx::Signal0<> signal;
  Chain chain{&signal, 0, 3};
  signal.Connect(&chain, &Chain::Link);
  signal.Emit();
  EXPECT_EQ(chain.calls, 4);  // the first handler and the three it connected
  EXPECT_EQ(signal.Count(), 4u);
}

struct Counter {
  std::atomic<int> calls{0};
  void Count() { calls.fetch_add(1, std::memory_order_relaxed); }
};

TEST(SignalTest, EmitsFromManyThreadsWhileOthersConnect) {
  constexpr int kEmitters = 4;
  constexpr int kEmissions = 2000;
  constexpr int kConnects = 200;
  hx::Signal0<> signal;
  std::vector<Counter> counters(kConnects + 1);
  signal.Connect(&counters[0], &Counter::Count);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kEmitters; ++t) {
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kEmissions; ++i) signal.Emit();
    });
  }
  for (int half = 0; half < 2; ++half) {
    threads.emplace_back([&, half] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 1 + half; i <= kConnects; i += 2) signal.Connect(&counters[i], &Counter::Count);
    });
  }
  go.store(true);
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(signal.Count(), static_cast<size_t>(kConnects + 1));
  EXPECT_EQ(counters[0].calls.load(), kEmitters * kEmissions);
  signal.Emit();  // every concurrently connected handler is in the list exactly once
  for (int i = 1; i <= kConnects; ++i) {
    EXPECT_GE(counters[i].calls.load(), 1) << i;
    EXPECT_LE(counters[i].calls.load(), kEmitters * kEmissions + 1) << i;
  }
}

// Tries to change the signal it is called by.
struct Vandal {
  hx::Signal0<>* signal;
  void DisconnectSelf() { signal->Disconnect(this, &Vandal::DisconnectSelf); }
  void ClearAll() { signal->DisconnectAll(); }
  void Destroy() { delete signal; }
};

TEST(SignalDeathTest, ChangingASignalDuringItsEmissionIsCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    void (Vandal::*handler)();
    const char* message;
  };
  const Case cases[] = {
      {&Vandal::DisconnectSelf, "Signal disconnected during its emission"},
      {&Vandal::ClearAll, "Signal cleared during its emission"},
      {&Vandal::Destroy, "Signal destroyed during its emission"},
  };
  for (const Case& c : cases) {
    EXPECT_DEATH(
        {
          auto* signal = new hx::Signal0<>;
          Vandal vandal{signal};
          signal->Connect(&vandal, c.handler);
          signal->Emit();
        },
        c.message);
  }
}

}  // namespace
