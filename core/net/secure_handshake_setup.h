#pragma once
// The one-time set-up of the cryptographic library, run when the network loop is installed
// (on the installing thread, before any other thread uses the library).
//
// Stand-in: the secure handshake step owns HXHelperHandshakeSecure and moves this declaration
// into its own header. OpenSSL 3 registers its algorithms by itself on first use, so nothing
// needs to be done here until then.

class HXHelperHandshakeSecure {
 public:
  // Loads every TLS algorithm. Safe to call more than once.
  static void InstallOpenSSL() {}
};
