#pragma once
// The sockets that every user of the core derives from: TCP and UDP sockets that send and
// receive directly through their helper (on the calling thread, usually inside a callback on
// the loop's thread), and end themselves with GC.
//
// Threads: sending and receiving belong to one thread at a time (the socket's owner, usually the
// loop's thread); GC, like every request to the loop, may be called from any thread.

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/base/net_message.h"
#include "core/net/socket/socket_helper.h"
#include "core/net/socket/tcp_udp_sockets.h"

template <class Base>
class HXZTSocketHandy : public Base {
 public:
  using Base::Base;

  // The byte count, 0 when nothing was sent.
  size_t Send(const void* buffer, size_t length, int flags) override {
    return this->Parent()->SendImp(buffer, length, flags, this);
  }
  // The byte count, 0 when nothing was read (GetRecvStatus tells why).
  size_t Recv(void* buffer, size_t length, int flags) override {
    return this->Parent()->RecvImp(buffer, length, flags, this);
  }
  // Closes a socket that has a descriptor (silently) and asks the loop to delete it.
  void GC() {
    if (this->GetHandle() != -1) Base::Close(true);
    this->DeleteLater();
  }
};

class HXZTCPSocketHandy : public HXZTSocketHandy<HXZTCPSocket> {
 public:
  using HXZTSocketHandy<HXZTCPSocket>::HXZTSocketHandy;

  // Not used on TCP.
  size_t SendTo(const void*, size_t, const HXSockAddr&, int) override { return 0; }
  // A silent close of a socket without descriptor sends nothing.
  bool Close(bool silent) override;

  // Reads into the data buffer (which the owner sets with setDataBuffer) until it holds up to
  // `max` bytes, with `reader` (buffer, length) -> count, or with Recv. Bytes read are added to
  // `total`. Returns the bytes the buffer holds; the buffered-data flag is left as it is.
  uint64_t RecvToBuffer(uint64_t max, uint64_t& total);
  template <class Reader>
  uint64_t RecvToBuffer(uint64_t max, uint64_t& total, Reader&& reader);
};

class HXZUDPSocketHandy : public HXZTSocketHandy<HXZUDPSocket> {
 public:
  using HXZTSocketHandy<HXZUDPSocket>::HXZTSocketHandy;

  // One datagram to `to`; the byte count, 0 on failure.
  size_t SendTo(const void* buffer, size_t length, const HXSockAddr& to, int flags) override {
    return Parent()->SendToImp(buffer, length, to, flags, this);
  }
  // One datagram and its sender; the byte count, 0 when none was read.
  virtual size_t RecvFrom(void* buffer, size_t length, int flags, HXSockAddr* from) {
    return Parent()->RecvFromImp(buffer, length, flags, this, from);
  }
};

template <class Reader>
uint64_t HXZTCPSocketHandy::RecvToBuffer(uint64_t max, uint64_t& total, Reader&& reader) {
  const std::shared_ptr<HXNetMessage> buffer = getDataBuffer(false);
  if (buffer == nullptr) return 0;
  const uint64_t used = buffer->size();
  if (used < max) {
    buffer->ensureSize(max);
    const size_t read = reader(buffer->buffer() + used, static_cast<size_t>(max - used));
    if (read > 0) {
      total += read;
      buffer->sizeAdjust(static_cast<uint64_t>(read));
    }
  }
  return buffer->size();
}
