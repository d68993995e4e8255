#pragma once
// The kinds of proxy a connection can go through.

#include <cstdint>

// Values outside the named ones can be stored; a configuration of such a kind makes no protocol
// handler.
enum HX_ProxyType : uint32_t {
  kProxyDirect = 0,  // no proxy: connect to the target itself
  kProxyHttp = 1,    // tunnel through an HTTP proxy with CONNECT
};
