#pragma once
// ConferenceLock: the guard of one conference. Every conference's lock is the conference store's
// write lock, so a guard that holds a conference holds the whole store. The guard keeps a strong
// reference to the conference while it has to release the lock (around listener calls, signal
// emissions and stream calls: TempUnlock, then ReLock), so the conference outlives its removal
// from the store for as long as the guard needs it.
//
// One guard belongs to one thread. Moving hands the conference and the held lock to the new guard;
// the strong reference stays with the source.

#include <memory>

class HXLock;
class HX_Conference;

class ConferenceLock {
 public:
  ConferenceLock() = default;
  // Releases a held lock, then drops the strong reference.
  ~ConferenceLock();
  ConferenceLock(ConferenceLock&& other) noexcept;
  ConferenceLock& operator=(ConferenceLock&&) = delete;
  ConferenceLock(const ConferenceLock&) = delete;
  ConferenceLock& operator=(const ConferenceLock&) = delete;

  // Remembers `lock` and locks it; the conference stays as it is.
  void Lock(HXLock& lock);
  // Records the conference with a strong reference (from its weak self reference, or copied).
  // Neither locks.
  void set(HX_Conference* conference);
  void set(const std::shared_ptr<HX_Conference>& conference);

  bool isLocked() const { return m_lock != nullptr; }
  HX_Conference* conference() const { return m_conference; }
  HX_Conference* operator->() const { return m_conference; }
  explicit operator bool() const { return m_conference != nullptr; }
  // The strong reference; taken from the recorded conference first when empty and a lock is held.
  std::shared_ptr<HX_Conference> shConference();

  // Releases the lock, keeping the conference alive through the strong reference (the conference
  // field is cleared until ReLock). False when nothing is held.
  bool TempUnlock();
  // Takes the conference's lock again and records the conference: true at once when a lock is
  // held; false without a strong reference.
  bool ReLock();
  // Releases a held lock and clears the conference; always drops the strong reference.
  void Unlock();

 private:
  HX_Conference* m_conference = nullptr;
  HXLock* m_lock = nullptr;
  std::shared_ptr<HX_Conference> m_keepAlive;
};
