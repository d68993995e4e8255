#pragma once
// The descriptor factory of the core's native sockets.

// A new descriptor, or -1 (logged). Stream and datagram sockets are non-blocking. Sends use
// MSG_NOSIGNAL, so writing to a closed connection never raises SIGPIPE.
int native_socket(int family, int type, int protocol);
