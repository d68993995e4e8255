#pragma once
// What receives the answers of host-name lookups: the DNS client (core/net/dns/dns_handler.h)
// calls it. The network loop object itself, the endpoint holders, the proxy selector and server
// discovery implement it.
//
// Answers arrive on the loop's thread (name-server answers) or on other threads (the system
// resolver, failures at a lookup's deadline found by another thread's lookup): implementations
// must be safe for both.

#include <string>
#include <vector>

class HXServerEpSetByTarget;

class HXDnsCallbackBase {
 public:
  virtual ~HXDnsCallbackBase();

  // The client answers and reports failures only to a callback that returns true.
  virtual bool AsyncQuerySupported();
  // The answer of a QueryA lookup: `address` is null when the lookup failed.
  virtual void OnCallbackQueryA(const char* name, const char* address);
  // The answer of a QueryAMulti lookup: an empty list when the lookup failed.
  virtual void OnCallbackQueryA(const std::string& name, const std::vector<std::string>& list);
  // The answer of a QuerySRV lookup for `domain`: an empty set when the lookup failed.
  virtual void OnCallbackQuerySRV(const std::string& domain, const HXServerEpSetByTarget& servers);
};

// The base of every callback object except the loop itself: its destructor withdraws the object
// from every pending lookup, so no answer reaches a destroyed object.
class HXDnsCallback : public HXDnsCallbackBase {
 public:
  ~HXDnsCallback() override;
};
