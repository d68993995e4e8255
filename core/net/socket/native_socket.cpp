#include "core/net/socket/native_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/base/ios_log.h"

int native_socket(int family, int type, int protocol) {
  int handle = socket(family, type, protocol);
  if (handle == -1) {
    ios_log("%s, Err = %d", "FAILED: open socket", errno);
    return -1;
  }
  if (type == SOCK_STREAM || type == SOCK_DGRAM) {
    // A blocking descriptor would stall the network loop: better no socket at all.
    int flags = fcntl(handle, F_GETFL);
    if (flags == -1 || fcntl(handle, F_SETFL, flags | O_NONBLOCK) == -1) {
      ios_log("%s, Err = %d", "FAILED: open socket", errno);
      close(handle);
      return -1;
    }
  }
  return handle;
}
