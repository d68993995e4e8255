#include "core/net/socket/socket_handy.h"

bool HXZTCPSocketHandy::Close(bool silent) {
  if (GetHandle() == -1 && silent) return true;
  return Parent()->CloseAsync(this, this, silent);
}

uint64_t HXZTCPSocketHandy::RecvToBuffer(uint64_t max, uint64_t& total) {
  return RecvToBuffer(max, total,
                      [this](void* buffer, size_t length) { return Recv(buffer, length, 0); });
}
