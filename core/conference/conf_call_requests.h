#pragma once
// HX_ConfCallRequests: the conference store's reaction to a new local address of the signalling
// connection while a conference is joined. Until the store does it, this stand-in records each
// call (calls()).
//
// Thread safety: the record is locked.

#include "core/base/call_record.h"

class HXSockAddr;

class HX_ConfCallRequests {
 public:
  HX_ConfCallRequests() = default;
  virtual ~HX_ConfCallRequests() = default;
  HX_ConfCallRequests(const HX_ConfCallRequests&) = delete;
  HX_ConfCallRequests& operator=(const HX_ConfCallRequests&) = delete;

  // The signalling connection's local address changed while a conference is joined.
  virtual void onTransportLocalBindUpdated(const HXSockAddr& address);

  const hx::CallRecord& calls() const { return m_calls; }

 private:
  hx::CallRecord m_calls;
};
