#pragma once
// Thread-local storage of the core's threads: each thread may own one small store that maps
// integer keys to pointers.
//
// HXTLSBase is one thread's store. It is meant to be used only by the thread it belongs to, so it
// has no lock. The pointers in it are not owned: the store never deletes them.
//
// HXTLS hands every thread its own store through one system thread-specific key. The core keeps
// one process-wide HXTLS (see HXThreadBase::TLSRegisterHandler); its methods are thread-safe and
// always act on the calling thread's store. A store left attached when its thread ends is deleted
// then.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <map>

class HXTLSBase {
 public:
  HXTLSBase() = default;
  virtual ~HXTLSBase() = default;
  HXTLSBase(const HXTLSBase&) = delete;
  HXTLSBase& operator=(const HXTLSBase&) = delete;

  // Stores `value` under `key`, replacing an earlier value.
  void Set(int32_t key, void* value) { m_values[key] = value; }
  // The value under `key`, or null.
  void* Get(int32_t key) const {
    const auto found = m_values.find(key);
    return found == m_values.end() ? nullptr : found->second;
  }
  // Forgets `key`, if present.
  void Del(int32_t key) { m_values.erase(key); }

 private:
  std::map<int32_t, void*> m_values;
};

class HXTLS {
 public:
  HXTLS();
  virtual ~HXTLS();
  HXTLS(const HXTLS&) = delete;
  HXTLS& operator=(const HXTLS&) = delete;

  // Gives the calling thread a new empty store and returns it. A store the thread had before is
  // detached but not deleted, so call this only on a thread without one (see TLSGet).
  HXTLSBase* TLSInit();
  // Deletes the calling thread's store, if any.
  void TLSFree();
  // The calling thread's store, or null.
  HXTLSBase* TLSGet();

 private:
  pthread_key_t m_key{};
  std::atomic<int> m_err{0};  // result of the last key operation, of whichever thread
  bool m_keyCreated = false;  // the key is usable only when creating it worked
};
