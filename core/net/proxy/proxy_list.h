#pragma once
// The process-wide list of proxies that client connections may go through. The network loop
// creates it on first request and empties it at shutdown. Thread-safe.
//
// Stand-in: the proxy configuration step fills this class (its entries, their selection and
// locking). Until then the list is always empty and every connection goes direct.

class HX_ProxyList {
 public:
  // Forgets every proxy.
  void clear() {}
};
