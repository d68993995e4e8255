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
// from every pending lookup, so no answer reaches a destroyed object. Withdrawing waits for an
// answer that is being delivered to the object on another thread: a class whose answer methods
// use members of its own withdraws first thing in its (most derived) destructor, before those
// members and its virtual table go, and nobody destroys a callback while holding a lock that its
// answer methods take.
class HXDnsCallback : public HXDnsCallbackBase {
 public:
  ~HXDnsCallback() override;

 protected:
  // Withdraws the object from every lookup; no answer reaches it once this returned (except the
  // one that is calling this, when it is called from inside an answer).
  void revokeAnswers();
};
