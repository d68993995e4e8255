#pragma once
// The TLS layer of client sockets. It sits on a socket's callback chain like every other layer;
// a data handler can carry it from one socket object to another (adoption), which then pushes it
// onto its own chain.

#include "core/net/socket_callbacks.h"

class HXTLSHandler : public HX_SocketCallbackLink {};
