#pragma once
// HX_UdpStreamLock: holds the owning stream's lock for a UDP handler's operation; nothing to
// lock while the handler has no owner (it is not in use yet).

#include "core/base/lock.h"
#include "core/streams/media_stream_base.h"

class HX_UdpStreamLock {
 public:
  explicit HX_UdpStreamLock(HX_MediaStreamBase* owner)
      : m_lock(owner != nullptr ? &owner->getStreamLock() : nullptr) {
    if (m_lock != nullptr) m_lock->Lock();
  }
  ~HX_UdpStreamLock() {
    if (m_lock != nullptr) m_lock->Unlock();
  }
  HX_UdpStreamLock(const HX_UdpStreamLock&) = delete;
  HX_UdpStreamLock& operator=(const HX_UdpStreamLock&) = delete;

 private:
  HXLock* const m_lock;
};
