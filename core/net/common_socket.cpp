#include "core/net/common_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

std::atomic<bool> HXZCommonSocket::TlsDenied{false};
std::atomic<int> HXZCommonSocket::s_defaultTlsMode{0};

HXZCommonSocket::HXZCommonSocket(HXZASocketHelper* helper, bool, bool)
    : HXZTCPSocketHandy(helper, -1, AF_INET, SOCK_STREAM, IPPROTO_TCP) {}

HXZCommonSocket::HXZCommonSocket(HXZASocketHelper* helper, HXZADataHandler& other)
    : HXZTCPSocketHandy(helper, other) {}
