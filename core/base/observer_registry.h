#pragma once
// A registry of requests keyed by 32-bit ids, each holding its listener only weakly, so that a
// listener that has gone away silently ends its requests.
//
// hx::CallbackWrapper<Listener> is the base of a request record: the weak reference.
// hx::ObserverWeakLockedMulti<Record, Param> maps ids to records. Ids count up from 1; after
// 4294967295 the next is 1 again (0 is never an id). A taken id whose listener is gone is freed
// and reused; one whose listener lives is skipped.
//
// Not thread-safe by itself: names ending in NL mean that the caller holds the owner's lock.

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace hx {

template <typename Listener>
class CallbackWrapper {
 public:
  explicit CallbackWrapper(std::weak_ptr<Listener> callback) : m_callback(std::move(callback)) {}
  virtual ~CallbackWrapper() = default;

  // The listener made strong for the duration of a call, or null when it has gone.
  std::shared_ptr<Listener> lockCallback() const { return m_callback.lock(); }
  bool callbackExpired() const { return m_callback.expired(); }

 private:
  std::weak_ptr<Listener> m_callback;
};

template <typename Record, typename Listener, typename Param>
class ObserverWeakLockedMulti {
 public:
  virtual ~ObserverWeakLockedMulti() = default;

  // Creates a record for the listener and stores it under a new id; 0 when no id is free.
  uint32_t addListenerNL(std::weak_ptr<Listener> listener, const Param& param) {
    // Every id taken by a live record is skipped; there are at most size() of them.
    for (size_t attempt = 0; attempt <= m_records.size(); ++attempt) {
      const uint32_t id = nextId();
      auto found = m_records.find(id);
      if (found != m_records.end()) {
        if (!found->second->callbackExpired() || !beforeErase(id, *found->second)) continue;
        m_records.erase(found);
      }
      m_records.emplace(id, createCallbackData(std::move(listener), param));
      return id;
    }
    return 0;
  }

  // Erases the record after beforeErase agreed; false when there is none or it refused.
  bool removeListenerNL(uint32_t id) {
    auto found = m_records.find(id);
    if (found == m_records.end() || !beforeErase(id, *found->second)) return false;
    m_records.erase(found);
    return true;
  }

  // The record of `id`, or null. The pointer stays valid while the caller holds it.
  std::shared_ptr<Record> findNL(uint32_t id) const {
    auto found = m_records.find(id);
    return found == m_records.end() ? nullptr : found->second;
  }
  size_t sizeNL() const { return m_records.size(); }
  // Every record with its id, in ascending id order.
  std::vector<std::pair<uint32_t, std::shared_ptr<Record>>> recordsNL() const {
    return {m_records.begin(), m_records.end()};
  }
  // Where the id sequence stands (the next id is this + 1, or 1 after the largest).
  void setSequenceNL(uint32_t value) { m_sequence = value; }

 protected:
  virtual std::shared_ptr<Record> createCallbackData(std::weak_ptr<Listener> listener,
                                                     const Param& param) = 0;
  virtual bool beforeErase(uint32_t /*id*/, Record& /*record*/) { return true; }

 private:
  uint32_t nextId() {
    m_sequence = m_sequence == UINT32_MAX ? 1 : m_sequence + 1;
    return m_sequence;
  }

  std::map<uint32_t, std::shared_ptr<Record>> m_records;
  uint32_t m_sequence = 0;
};

}  // namespace hx
