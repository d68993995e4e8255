#pragma once
// HXZPipe: one end of the network loop's in-process command pipe, a ZeroMQ PAIR socket made in
// the loop's context. Connect and bind take an endpoint whose text is the pipe's name and run at
// once (the pipe must exist before the loop can take commands); the end becomes active when the
// operation succeeds.
//
// Threads: a ZeroMQ socket is used by one thread at a time. The loop guards every send and
// receive with its loop lock.

#include <cstddef>
#include <memory>

#include "core/net/socket/abstract_socket.h"

class HXZPipe : public HXZASocket {
 public:
  // An end whose events go to `callbacks` (the loop, for the read end).
  HXZPipe(HXZASocketHelper* helper, HXZASocketCallbacks* callbacks, void* zmq_socket)
      : HXZASocket(helper, callbacks, zmq_socket) {}
  // An end without callbacks of its own (the write end).
  HXZPipe(HXZASocketHelper* helper, void* zmq_socket) : HXZASocket(helper, zmq_socket) {}

  // "inproc://" and the endpoint's text.
  bool Connect(std::shared_ptr<HXZAEndpointHolder> endpoint) override;
  bool Bind(std::shared_ptr<HXZAEndpointHolder> endpoint) override;
  // Closes the ZeroMQ socket at once.
  bool Close(bool silent) override;
  // Whole messages, never blocking: the byte count, 0 when nothing moved.
  size_t Send(const void* buffer, size_t length, int flags) override;
  size_t SendTo(const void* buffer, size_t length, const HXSockAddr& to, int flags) override;
  size_t Recv(void* buffer, size_t length, int flags) override;

  void OnClose(HXZADataHandler*) override {}
  void OnError() override {}
};
