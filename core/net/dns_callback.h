#pragma once
// What receives the answers of host-name lookups. The network loop's forwarders
// (HXZServer::QueryA, QueryAMulti) take a callback; the loop object itself, the endpoint holders
// and later the proxy selector and server discovery implement it.
//
// The DNS client that answers names (not only numeric texts) comes with a later step; it adds
// the SRV answer to this interface then. Until it is there only numeric names are answered,
// at once, and no callback follows.
//
// Answers arrive on the loop's thread (name-server answers) or on other threads (the system
// resolver, failures at a lookup's deadline): implementations must be safe for both.

#include <string>
#include <vector>

class HXDnsCallbackBase {
 public:
  virtual ~HXDnsCallbackBase();

  // The client answers and reports failures only to a callback that returns true.
  virtual bool AsyncQuerySupported();
  // The answer of a QueryA lookup: `address` is null when the lookup failed.
  virtual void OnCallbackQueryA(const char* name, const char* address);
  // The answer of a QueryAMulti lookup: an empty list when the lookup failed.
  virtual void OnCallbackQueryA(const std::string& name, const std::vector<std::string>& list);
};

// The base of every callback object except the loop itself: its destructor withdraws the object
// from every pending lookup, so no answer reaches a destroyed object.
class HXDnsCallback : public HXDnsCallbackBase {
 public:
  ~HXDnsCallback() override;
};
