#pragma once
// Delayed calls to an object that may be destroyed before they run. The object owns a
// HXGuardedTarget and revokes it in its destructor; each stored task made by HXGuardedCall
// shares the target and calls the object only while it has not been revoked. Revoke waits for a
// call that is running, so the object is never destroyed under a call.

#include <memory>
#include <tuple>
#include <utility>

#include "core/base/lock.h"
#include "core/base/stored_task.h"

template <class T>
class HXGuardedTarget {
 public:
  explicit HXGuardedTarget(T* target) : m_target(target) {}

  // From now on the calls do nothing; returns once a call that is running has ended.
  void Revoke() {
    HXAutoLock lock(m_lock);
    m_target = nullptr;
  }

  // Calls `method` with `args` unless revoked.
  template <class Method, class Args>
  void Invoke(Method method, Args& args) {
    HXAutoLock lock(m_lock);
    if (m_target == nullptr) return;
    std::apply([&](auto&... values) { (m_target->*method)(values...); }, args);
  }

 private:
  HXLock m_lock;
  T* m_target;
};

template <class T, class... Params>
class HXGuardedCallTask : public HXStoredTask {
 public:
  HXGuardedCallTask(std::shared_ptr<HXGuardedTarget<T>> target, void (T::*method)(Params...),
                    Params... args)
      : m_target(std::move(target)), m_method(method), m_args(args...) {}

  void Execute() override { m_target->Invoke(m_method, m_args); }

 private:
  const std::shared_ptr<HXGuardedTarget<T>> m_target;
  void (T::*const m_method)(Params...);
  std::tuple<Params...> m_args;
};

// A new task (auto-delete set) that calls target->method(args...) while the target lives.
template <class T, class... Params, class... Given>
HXStoredTask* HXGuardedCall(const std::shared_ptr<HXGuardedTarget<T>>& target,
                            void (T::*method)(Params...), Given&&... args) {
  return new HXGuardedCallTask<T, Params...>(target, method, std::forward<Given>(args)...);
}
