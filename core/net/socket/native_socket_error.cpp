#include "core/net/socket/native_socket_error.h"

#include <sys/socket.h>

#include <cerrno>

HXZNativeSocketError::HXZNativeSocketError(int handle) : m_error(0) {
  socklen_t length = sizeof(m_error);
  if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &m_error, &length) != 0) m_error = errno;
}
