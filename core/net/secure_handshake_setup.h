#pragma once
// The one-time set-up of the cryptographic library, run when the network loop is installed
// (on the installing thread, before any other thread uses the library):
// HXHelperHandshakeSecure::InstallOpenSSL, declared with the transport's secure handshake.

#include "core/transport/handshake_secure.h"
