#pragma once
// What a socket connects or binds to. A holder hides whether the endpoint is one socket address,
// a host name still being resolved, a list of addresses to try in turn or a plain text. Sockets
// and protocol layers share holders through shared pointers; the network loop asks for the
// current address and the resolution state and waits for a pending resolution to end.

#include <cstdint>
#include <string>
#include <vector>

#include "core/net/address/sock_addr.h"

class HXZAEndpointHolder {
 public:
  // Resolution states.
  enum State : int32_t { stateFailed = 0, stateResolving = 1, stateResolved = 2 };

  // Whoever waits for the end of a resolution.
  class Handler {
   public:
    virtual ~Handler();
    virtual void onEPAddrResolved(const HXZAEndpointHolder* holder) = 0;
  };

  // How a socket is prepared for binding to this endpoint: one 32-bit word.
  //   value 1   set SO_REUSEADDR          value 8   the value given to both reuse options
  //   value 2   set SO_REUSEPORT          value 16  the value given to IPV6_V6ONLY
  //   value 4   set IPV6_V6ONLY (IPv6 sockets only)
  //   bits 5-31 the listen backlog (TCP sockets listen after binding when it is at least 1)
  struct BindParam {
    static constexpr uint32_t kSetReuseAddr = 1;
    static constexpr uint32_t kSetReusePort = 2;
    static constexpr uint32_t kSetV6Only = 4;
    static constexpr uint32_t kReuseValue = 8;
    static constexpr uint32_t kV6OnlyValue = 16;
    static constexpr int kBacklogShift = 5;
    // IPv6-only on, no address or port reuse, a backlog of 16.
    static constexpr uint32_t kDefault = 532;

    uint32_t value = kDefault;

    bool setReuseAddr() const { return (value & kSetReuseAddr) != 0; }
    bool setReusePort() const { return (value & kSetReusePort) != 0; }
    bool setV6Only() const { return (value & kSetV6Only) != 0; }
    bool reuseValue() const { return (value & kReuseValue) != 0; }
    bool v6OnlyValue() const { return (value & kV6OnlyValue) != 0; }
    uint32_t backlog() const { return value >> kBacklogShift; }
  };

  HXZAEndpointHolder() = default;
  HXZAEndpointHolder(const HXZAEndpointHolder&) = default;
  HXZAEndpointHolder& operator=(const HXZAEndpointHolder&) = default;
  virtual ~HXZAEndpointHolder();

  // The endpoint as text.
  virtual std::string getAddrStr() const = 0;
  // The number of addresses.
  virtual int getCount() const;
  // The current address; empty when there is none (yet).
  virtual HXSockAddr getSockAddr() const;
  // Fills `list` with every address; false when the holder keeps no list.
  virtual bool getSockAddrList(std::vector<HXSockAddr>* list) const;
  virtual bool isMulti() const;
  // The next address to try.
  virtual HXSockAddr next();
  // Registers `handler` to be told when a pending resolution ends; false when not registered.
  virtual bool notifyOnResolv(Handler* handler);
  // Unregisters `handler` when it is the one registered.
  virtual void notifyOnResolvRemoveIf(Handler* handler);
  // Makes next() start again at the first address.
  virtual void rewind();
  // One of State.
  virtual int32_t state() const;

  BindParam getBindParam() const { return m_bindParam; }
  void setBindParam(BindParam param) { m_bindParam = param; }

 private:
  BindParam m_bindParam;
};
