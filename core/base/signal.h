#pragma once
// hx::Signal: an ordered list of delegates (object and member function) that an emission calls
// one after the other, on the emitting thread. hx::Signal0 ... hx::Signal8 name the argument types:
// hx::Signal2<int, bool&> calls void (T::*)(int, bool&). By-value arguments are copied for each
// delegate; reference arguments are shared, so a later delegate sees what an earlier one wrote.
//
// Threads: emissions take no lock and may run on any number of threads at once. Connect may run
// at the same time as emissions and other connects; a delegate connected during an emission is
// appended at the end and is called by that emission. Disconnecting from a signal, or destroying
// it, while any emission is running is a programming error: it is detected (emissions are counted)
// and ends the process with a diagnostic instead of freeing a node that an emission still walks.
// Disconnect and destruction must not race with Connect either.

#include <atomic>
#include <cstddef>

#include "core/base/delegate.h"

namespace hx {

namespace detail {
// Reports a forbidden change of a signal during an emission and aborts.
[[noreturn]] void SignalChangedDuringEmission(const char* operation);
}  // namespace detail

template <typename... Args>
class Signal {
 public:
  using DelegateType = Delegate<void(Args...)>;

  Signal() = default;
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  ~Signal() {
    if (emissions_.load(std::memory_order_acquire) != 0) {
      detail::SignalChangedDuringEmission("destroyed");
    }
    DeleteAll();
  }

  // Appends the delegate; connecting the same delegate twice makes it called twice.
  void Connect(const DelegateType& delegate) {
    Node* node = new Node(delegate);
    // The node becomes visible to emissions through one release exchange of the last link.
    std::atomic<Node*>* link = &head_;
    for (;;) {
      Node* expected = nullptr;
      if (link->compare_exchange_weak(expected, node, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
        break;
      }
      if (expected != nullptr) link = &expected->next;
    }
    count_.fetch_add(1, std::memory_order_relaxed);
  }
  template <typename T>
  void Connect(T* object, void (T::*method)(Args...)) {
    Connect(DelegateType(object, method));
  }

  // Removes the first delegate equal to the given one; nothing when there is none.
  void Disconnect(const DelegateType& delegate) {
    RequireNoEmission("disconnected");
    for (std::atomic<Node*>* link = &head_;;) {
      Node* node = link->load(std::memory_order_acquire);
      if (node == nullptr) return;
      if (node->delegate == delegate) {
        link->store(node->next.load(std::memory_order_acquire), std::memory_order_release);
        delete node;
        count_.fetch_sub(1, std::memory_order_relaxed);
        return;
      }
      link = &node->next;
    }
  }
  template <typename T>
  void Disconnect(T* object, void (T::*method)(Args...)) {
    Disconnect(DelegateType(object, method));
  }

  // Removes every delegate.
  void DisconnectAll() {
    RequireNoEmission("cleared");
    DeleteAll();
  }

  // Calls every delegate, from the first connected to the last.
  void Emit(Args... args) const {
    EmissionCount counted(emissions_);
    for (Node* node = head_.load(std::memory_order_acquire); node != nullptr;
         node = node->next.load(std::memory_order_acquire)) {
      node->delegate(args...);
    }
  }
  void operator()(Args... args) const { Emit(args...); }

  size_t Count() const { return count_.load(std::memory_order_relaxed); }

 private:
  struct Node {
    explicit Node(const DelegateType& d) : delegate(d) {}
    const DelegateType delegate;
    std::atomic<Node*> next{nullptr};
  };

  class EmissionCount {
   public:
    explicit EmissionCount(std::atomic<int>& count) : count_(count) {
      count_.fetch_add(1, std::memory_order_acq_rel);
    }
    ~EmissionCount() { count_.fetch_sub(1, std::memory_order_acq_rel); }
    EmissionCount(const EmissionCount&) = delete;
    EmissionCount& operator=(const EmissionCount&) = delete;

   private:
    std::atomic<int>& count_;
  };

  void RequireNoEmission(const char* operation) const {
    if (emissions_.load(std::memory_order_acquire) != 0) {
      detail::SignalChangedDuringEmission(operation);
    }
  }

  void DeleteAll() {
    Node* node = head_.exchange(nullptr, std::memory_order_acq_rel);
    while (node != nullptr) {
      Node* next = node->next.load(std::memory_order_acquire);
      delete node;
      node = next;
    }
    count_.store(0, std::memory_order_relaxed);
  }

  std::atomic<Node*> head_{nullptr};
  std::atomic<size_t> count_{0};
  mutable std::atomic<int> emissions_{0};
};

template <typename R = void>
using Signal0 = Signal<>;
template <typename A1>
using Signal1 = Signal<A1>;
template <typename A1, typename A2>
using Signal2 = Signal<A1, A2>;
template <typename A1, typename A2, typename A3>
using Signal3 = Signal<A1, A2, A3>;
template <typename A1, typename A2, typename A3, typename A4>
using Signal4 = Signal<A1, A2, A3, A4>;
template <typename A1, typename A2, typename A3, typename A4, typename A5>
using Signal5 = Signal<A1, A2, A3, A4, A5>;
template <typename A1, typename A2, typename A3, typename A4, typename A5, typename A6>
using Signal6 = Signal<A1, A2, A3, A4, A5, A6>;
template <typename A1, typename A2, typename A3, typename A4, typename A5, typename A6, typename A7>
using Signal7 = Signal<A1, A2, A3, A4, A5, A6, A7>;
template <typename A1, typename A2, typename A3, typename A4, typename A5, typename A6, typename A7,
          typename A8>
using Signal8 = Signal<A1, A2, A3, A4, A5, A6, A7, A8>;

}  // namespace hx
