#pragma once
// A helper that passes every operation to its parent unchanged. It holds one reference on the
// parent for as long as it points to it. Subclasses take over the operations they perform
// themselves (the native helper does the system calls and leaves the rest to the loop).

#include "core/net/socket/socket_helper.h"

class HXZASocketHelperRedirect : public HXZASocketHelper {
 public:
  explicit HXZASocketHelperRedirect(HXZASocketHelper* parent);
  ~HXZASocketHelperRedirect() override;

  HXZASocketHelper* parent() const { return m_parent; }
  // Re-points to `parent`: takes a reference on it and releases the old parent.
  void setParent(HXZASocketHelper* parent);
  // Releases the reference on the parent (deleting it at 0) but keeps the pointer; for the
  // owner that re-points the helper in steps of its own.
  void unrefParent();

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
  HXZADataHandler* Clone(HXZADataHandler* handler) override;

 private:
  HXZASocketHelper* m_parent;
};
