#include "core/conference/store/conference_lock.h"

#include "core/base/lock.h"
#include "core/conference/model/conference.h"

ConferenceLock::~ConferenceLock() {
  if (m_lock != nullptr) m_lock->Unlock();
  m_lock = nullptr;
  m_keepAlive.reset();
}

ConferenceLock::ConferenceLock(ConferenceLock&& other) noexcept
    : m_conference(other.m_conference), m_lock(other.m_lock) {
  other.m_conference = nullptr;
  other.m_lock = nullptr;
}

void ConferenceLock::Lock(HXLock& lock) {
  lock.Lock();
  m_lock = &lock;
}

void ConferenceLock::set(HX_Conference* conference) {
  m_conference = conference;
  m_keepAlive = conference != nullptr ? conference->weak_from_this().lock() : nullptr;
}

void ConferenceLock::set(const std::shared_ptr<HX_Conference>& conference) {
  m_conference = conference.get();
  m_keepAlive = conference;
}

std::shared_ptr<HX_Conference> ConferenceLock::shConference() {
  if (!m_keepAlive && m_lock != nullptr && m_conference != nullptr) {
    m_keepAlive = m_conference->weak_from_this().lock();
  }
  return m_keepAlive;
}

bool ConferenceLock::TempUnlock() {
  if (m_lock == nullptr) return false;
  if (m_conference != nullptr) {
    if (!m_keepAlive) m_keepAlive = m_conference->weak_from_this().lock();
    m_conference = nullptr;
  } else {
    m_keepAlive.reset();
  }
  HXLock* lock = m_lock;
  m_lock = nullptr;
  lock->Unlock();
  return true;
}

bool ConferenceLock::ReLock() {
  if (m_lock != nullptr) return true;
  if (!m_keepAlive) return false;
  HXLock& lock = m_keepAlive->getLock();
  lock.Lock();
  m_lock = &lock;
  m_conference = m_keepAlive.get();
  return true;
}

void ConferenceLock::Unlock() {
  if (m_lock != nullptr) {
    HXLock* lock = m_lock;
    m_lock = nullptr;
    m_conference = nullptr;
    lock->Unlock();
  }
  m_keepAlive.reset();
}
