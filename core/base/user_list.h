#pragma once
// Tracks the sequence numbers of a list that the server keeps up to date by increments
// (participants of a conference, presence of contacts) and decides when the whole list must be
// requested again. Thread-safe.

#include <cstdint>

#include "core/base/lock.h"

class HX_UserList {
 public:
  // `interval_ms` is the least time between two re-requests; a random 0 to 999 ms is added so
  // that clients do not all ask at the same moment.
  explicit HX_UserList(int64_t interval_ms);

  // Returns true when the caller must request the whole list now. `reset` marks a complete list:
  // its sequence becomes the reference and the interval starts again. A sequence of -1 is always
  // in order. Any other sequence is expected to be the last one + 1; the stored number advances by
  // one whatever arrived, so after a lost update every later one counts as a gap until a complete
  // list resets it, and the interval limits how often a gap asks for the list.
  bool TrackSequence(int32_t sequence, bool reset);

  // TrackSequence at tick `now` (milliseconds of the core's tick clock).
  bool TrackSequenceAt(int32_t sequence, bool reset, int64_t now);

  int64_t CheckInterval() const { return m_checkInterval; }

 private:
  HXLock m_lock;  // guards the two fields below
  int32_t m_lastSequence = -1;  // -1: none yet
  int64_t m_lastRequest = 0;    // tick of the last re-request or reset
  const int64_t m_checkInterval;
};
