#pragma once
// A helper that does nothing and reports success: sends and receives "move" the whole length,
// requests are accepted, options answer 0. It stands in for the network loop as the parent of a
// helper where nothing asynchronous should happen, and serves as a registrar base.

#include "core/net/socket/socket_helper.h"

class HXZASocketNullHelper : public HXZASocketHelper {
 public:
  std::unique_ptr<HXZADataHandler> AcceptImp(HXZADataHandler* listener) override;
  size_t SendImp(const void* buffer, size_t length, int flags, HXZADataHandler* handler) override;
  size_t RecvImp(void* buffer, size_t length, int flags, HXZADataHandler* handler) override;
  size_t RecvFromImp(void* buffer, size_t length, int flags, HXZADataHandler* handler,
                     HXSockAddr* from) override;
  size_t SendToImp(const void* buffer, size_t length, const HXSockAddr& to, int flags,
                   HXZADataHandler* handler) override;
  bool ConnectImp(const std::shared_ptr<HXZAEndpointHolder>& endpoint,
                  HXZADataHandler* handler) override;
  bool BindImp(HXZAEndpointHolder* endpoint, HXZADataHandler* handler) override;
  bool CloseImp(HXZADataHandler* handler) override;

  int64_t Ioctl_0(int func, HXZADataHandler* handler) override;
  int64_t Ioctl_1(int func, HXZADataHandler* handler, intptr_t a) override;
  int64_t Ioctl_2(int func, HXZADataHandler* handler, intptr_t a, intptr_t b) override;
  int64_t Ioctl_3(int func, HXZADataHandler* handler, intptr_t a, intptr_t b,
                  intptr_t c) override;

  bool SetImp(HXZASocket* socket, HXZADataHandler* handler) override;
  bool DeleteImp(HXZASocket* socket, HXZADataHandler* handler) override;
  bool SendAsync(HXZASocket* socket, HXZADataHandler* handler, bool on) override;
  bool ConnectAsync(const std::shared_ptr<HXZAEndpointHolder>& endpoint, HXZASocket* socket,
                    HXZADataHandler* handler) override;
  bool ReBindAsync(const std::shared_ptr<HXZAEndpointHolder>& endpoint, HXZASocket* socket,
                   HXZADataHandler* handler) override;
  bool CloseAsync(HXZASocket* socket, HXZADataHandler* handler, bool silent) override;
  bool StartTimerImp(HXZASocket* socket, HXZADataHandler* handler, uint32_t id,
                     uint32_t delay_ms) override;
  bool StopTimerImp(HXZASocket* socket, HXZADataHandler* handler, uint32_t id) override;

  // The handler itself.
  HXZADataHandler* Clone(HXZADataHandler* handler) override;
};
