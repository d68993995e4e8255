#pragma once
// HX_NetListener: the listener of direct connections from peers, as the rest of the core sees it
// so far: the acceptor information (the bound TCP addresses, then the bound UDP addresses) that
// the network-configuration service and the conference store advertise to peers. Until the
// listeners themselves live here, the information is what its owner (a test) sets.
//
// Thread safety: every operation takes the object's lock and returns copies.

#include "core/base/lock.h"
#include "core/net/address/acceptor_info.h"

class HX_NetListener {
 public:
  HX_NetListener() = default;
  HX_NetListener(const HX_NetListener&) = delete;
  HX_NetListener& operator=(const HX_NetListener&) = delete;

  // A fresh copy of the bound addresses.
  HXZAcceptorInfo getAcceptorInfo() const;
  // Replaces the bound addresses.
  void setAcceptorInfo(const HXZAcceptorInfo& info);

 private:
  mutable HXLock m_lock;
  HXZAcceptorInfo m_info;
};
