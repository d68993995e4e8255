#pragma once
// hx::CallbackList: a thread-safe list of callables (std::function) that an
// emission calls in order, on the emitting thread. Unlike hx::Signal it may be
// connected to, disconnected from and emitted on from any number of threads at
// once, and a callable may disconnect itself or any other while an emission
// runs.
//
// Connecting appends the callable and yields a Connection: a handle that names
// the entry and refers weakly to the list's shared state. Disconnecting through
// it empties that entry and drops the empty entries at the end of the list; a
// handle disconnects at most once, and a handle of a list that has been
// destroyed or from before a Clear does nothing.
//
// An emission copies the list's callables under the list's own mutex and calls
// every non-empty one, in order, outside it. So the mutex is never held while a
// callable runs (callables may take any lock and may use the list), and a
// callable disconnected while an emission is under way may still be called once
// by that emission: disconnecting does not wait for calls already started. An
// owner whose callable refers to an object about to die must therefore first
// stop whatever emits (join the emitting thread), or keep the object alive
// beyond the last emission.
//
// Destroying the list first invalidates every Connection still held elsewhere;
// the callables themselves are destroyed outside the mutex. Destroying it while
// one of its own emissions runs is a lifetime error of the owner, as for any
// object.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace hx {

template <typename... Args>
class CallbackList {
 public:
  using Callback = std::function<void(Args...)>;

 private:
  struct Entry {
    uint64_t id = 0;  // 0 marks an empty entry
    Callback callback;
  };
  struct State {
    std::mutex mutex;
    std::vector<Entry> entries;
    size_t connected = 0;
    uint64_t nextId = 1;
    bool alive = true;
  };

 public:
  // A handle on one connected callable. Copyable; copies name the same entry,
  // and the first Disconnect through any of them is the one that counts.
  class Connection {
   public:
    Connection() = default;

    // Empties the entry; true when this call removed it (false for an empty
    // handle, an entry already removed, or a list cleared or destroyed).
    bool Disconnect() {
      std::shared_ptr<State> state = state_.lock();
      state_.reset();
      if (!state) return false;
      Callback dropped;  // destroyed after the mutex is released
      std::lock_guard<std::mutex> guard(state->mutex);
      if (!state->alive) return false;
      for (Entry& entry : state->entries) {
        if (entry.id != id_) continue;
        dropped = std::move(entry.callback);
        entry.callback = nullptr;
        entry.id = 0;
        --state->connected;
        while (!state->entries.empty() && state->entries.back().id == 0) state->entries.pop_back();
        return true;
      }
      return false;
    }

    // True while the entry is connected to a live list.
    bool Connected() const {
      std::shared_ptr<State> state = state_.lock();
      if (!state) return false;
      std::lock_guard<std::mutex> guard(state->mutex);
      if (!state->alive) return false;
      for (const Entry& entry : state->entries) {
        if (entry.id == id_) return true;
      }
      return false;
    }

   private:
    friend class CallbackList;
    Connection(std::weak_ptr<State> state, uint64_t id) : state_(std::move(state)), id_(id) {}

    std::weak_ptr<State> state_;
    uint64_t id_ = 0;
  };

  CallbackList() = default;
  CallbackList(const CallbackList&) = delete;
  CallbackList& operator=(const CallbackList&) = delete;
  ~CallbackList() { Invalidate(); }

  // Appends `callback`; an empty callable is accepted and never called.
  Connection Connect(Callback callback) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    const uint64_t id = state_->nextId++;
    state_->entries.push_back(Entry{id, std::move(callback)});
    ++state_->connected;
    return Connection(state_, id);
  }
  // Connects a member function of `object`; the object must outlive the
  // connection (see above).
  template <typename T>
  Connection Connect(T* object, void (T::*method)(Args...)) {
    return Connect([object, method](Args... args) { (object->*method)(std::forward<Args>(args)...); });
  }

  // Calls every connected callable, from the first connected to the last.
  void Emit(Args... args) const {
    std::vector<Callback> copies;
    {
      std::lock_guard<std::mutex> guard(state_->mutex);
      copies.reserve(state_->entries.size());
      for (const Entry& entry : state_->entries) {
        if (entry.id != 0 && entry.callback) copies.push_back(entry.callback);
      }
    }
    for (const Callback& callback : copies) callback(args...);
  }
  void operator()(Args... args) const { Emit(args...); }

  // Removes every callable; the Connections handed out so far then do nothing
  // (entry ids are never reused), and later connections work as usual.
  void Clear() {
    std::vector<Entry> dropped;
    std::lock_guard<std::mutex> guard(state_->mutex);
    dropped.swap(state_->entries);
    state_->connected = 0;
  }

  // The number of connected callables.
  size_t Count() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->connected;
  }

 private:
  void Invalidate() {
    std::vector<Entry> dropped;  // destroyed after the mutex is released
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->alive = false;
    dropped.swap(state_->entries);
    state_->connected = 0;
  }

  // Shared with the connections (weakly), so that a handle outliving the list
  // finds it gone instead of touching freed memory.
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace hx
