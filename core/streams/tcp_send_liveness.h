#pragma once
// HX_TcpSendLiveness: whether a TCP send connection still moves data. Every write to the socket
// is counted (onSent); a check compares what was written since the previous check plus what the
// socket held then with what it holds now. When the socket drained something, the connection is
// alive and the next real check comes 3 s later; when it did not, the next comes 1 s later, and
// the third check in a row without a drain declares it dead. A write that moved bytes also
// clears the stalls and puts the next check 3 s after it.
//
// Thread safety: every call takes the object's lock (writes come from the network loop, checks
// from the send stream's job, resets from the hardware steps).

#include <cstdint>

#include "core/base/lock.h"

class HX_TcpSendLiveness {
 public:
  static constexpr uint64_t kDrainedDelayMs = 3000;
  static constexpr uint64_t kStalledDelayMs = 1000;
  static constexpr uint32_t kStallLimit = 2;

  struct Snapshot {
    uint32_t stallCount;
    uint64_t lastSocketQueue;
    uint64_t nextCheck;
    uint64_t sentSinceCheck;
  };

  // A fresh start with `socket_queue` bytes in the socket: stalls, sent bytes and next check 0.
  void reset(uint64_t socket_queue);
  // `bytes` (more than 0) were written at `now`.
  void onSent(uint64_t now, uint64_t bytes);
  // The check at `now` with `socket_queue` unsent bytes in the socket; false: dead.
  bool check(uint64_t now, uint64_t socket_queue);
  Snapshot snapshot();
  // For tests: sets the state a check starts from.
  void restore(const Snapshot& state);

 private:
  HXLock m_lock;
  uint32_t m_stallCount = 0;
  uint64_t m_lastSocketQueue = 0;
  uint64_t m_nextCheck = 0;
  uint64_t m_sentSinceCheck = 0;
};
