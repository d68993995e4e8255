#pragma once
// Stored tasks: one deferred call (an object, one of its member functions and copies of the
// arguments) kept on the heap until a scheduler runs it on another thread.
//
// Ownership: a task belongs to its creator until it is handed to a scheduler, and to the scheduler
// afterwards. The auto-delete flag tells the scheduler to delete the task when its job ends or is
// removed; a caller that re-arms a job after its runs clears the flag first.
//
// A job re-armed while its run still executes may run on two runners at once, so a task that is
// re-armed that way must tolerate concurrent execution.

#include <atomic>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/base/event.h"

class HXStoredTask {
 public:
  HXStoredTask() = default;
  HXStoredTask(const HXStoredTask&) = delete;
  HXStoredTask& operator=(const HXStoredTask&) = delete;
  virtual ~HXStoredTask() = default;

  virtual void Execute() = 0;

  // A skipped task is not executed, but its job completes as if it had run.
  bool IsSkipped() const { return m_skip.load(std::memory_order_acquire); }
  void SetSkip(bool skip) { m_skip.store(skip, std::memory_order_release); }
  bool IsAutoDelete() const { return m_autoDelete.load(std::memory_order_acquire); }
  void SetAutoDelete(bool autoDelete) { m_autoDelete.store(autoDelete, std::memory_order_release); }

 private:
  std::atomic<bool> m_skip{false};
  std::atomic<bool> m_autoDelete{true};
};

// A stored call with a result of type R (void or a small value such as bool or int). The done
// event (auto reset) is set after every execution and when the task is destroyed.
template <typename R>
class HXCallbackResult : public HXStoredTask {
  static_assert(std::is_trivially_copyable_v<R>, "results are small values");

 public:
  ~HXCallbackResult() override { m_done.Set(); }
  // The result of the latest execution; zero before the first.
  R GetResult() const { return m_result.load(std::memory_order_acquire); }
  HXEvent& DoneEvent() { return m_done; }

 protected:
  void Finish(R result) {
    m_result.store(result, std::memory_order_release);
    m_done.Set();
  }

 private:
  HXEvent m_done{true};
  std::atomic<R> m_result{R{}};
};

template <>
class HXCallbackResult<void> : public HXStoredTask {
 public:
  ~HXCallbackResult() override { m_done.Set(); }
  HXEvent& DoneEvent() { return m_done; }

 protected:
  void Finish() { m_done.Set(); }

 private:
  HXEvent m_done{true};
};

// The call itself: object, member function and one copy of each argument, held by value (so a
// shared pointer argument keeps its object alive until the task is deleted). The object must
// still exist when the task runs.
template <typename R, typename T, typename... Params>
class HXCallbackStorage : public HXCallbackResult<R> {
 public:
  using Method = R (T::*)(Params...);

  template <typename... Given>
  HXCallbackStorage(T* object, Method method, Given&&... args)
      : m_object(object), m_method(method), m_args(std::forward<Given>(args)...) {}

  void Execute() override {
    auto call = [this](auto&... args) -> R { return (m_object->*m_method)(args...); };
    if constexpr (std::is_void_v<R>) {
      std::apply(call, m_args);
      this->Finish();
    } else {
      this->Finish(std::apply(call, m_args));
    }
  }

 private:
  T* m_object;
  Method m_method;
  std::tuple<std::decay_t<Params>...> m_args;
};

template <typename R, typename T>
using HXCallbackStorage0 = HXCallbackStorage<R, T>;
template <typename R, typename T, typename A1>
using HXCallbackStorage1 = HXCallbackStorage<R, T, A1>;
template <typename R, typename T, typename A1, typename A2>
using HXCallbackStorage2 = HXCallbackStorage<R, T, A1, A2>;
template <typename R, typename T, typename A1, typename A2, typename A3>
using HXCallbackStorage3 = HXCallbackStorage<R, T, A1, A2, A3>;
template <typename R, typename T, typename A1, typename A2, typename A3, typename A4>
using HXCallbackStorage4 = HXCallbackStorage<R, T, A1, A2, A3, A4>;

struct HXCallback {
  // A new task calling object->method(args...) with copies of the arguments; skip false and
  // auto-delete true. The caller hands it to a scheduler, which owns it from then on.
  template <typename Object, typename R, typename T, typename... Params, typename... Given>
  static HXCallbackResult<R>* Save(Object* object, R (T::*method)(Params...), Given&&... args) {
    static_assert(sizeof...(Params) == sizeof...(Given), "one argument per parameter");
    return new HXCallbackStorage<R, T, Params...>(static_cast<T*>(object), method,
                                                  std::forward<Given>(args)...);
  }
};
