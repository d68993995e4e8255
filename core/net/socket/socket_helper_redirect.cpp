#include "core/net/socket/socket_helper_redirect.h"

#include "core/net/socket/socket_data_handler.h"

HXZASocketHelperRedirect::HXZASocketHelperRedirect(HXZASocketHelper* parent)
    : m_parent(parent->addRef()) {}

HXZASocketHelperRedirect::~HXZASocketHelperRedirect() { unrefParent(); }

void HXZASocketHelperRedirect::setParent(HXZASocketHelper* parent) {
  // Take the new reference first: the old and the new parent may be the same helper.
  parent->addRef();
  unrefParent();
  m_parent = parent;
}

void HXZASocketHelperRedirect::unrefParent() { release(m_parent); }

std::unique_ptr<HXZADataHandler> HXZASocketHelperRedirect::AcceptImp(HXZADataHandler* listener) {
  return m_parent->AcceptImp(listener);
}

size_t HXZASocketHelperRedirect::SendImp(const void* buffer, size_t length, int flags,
                                         HXZADataHandler* handler) {
  return m_parent->SendImp(buffer, length, flags, handler);
}

size_t HXZASocketHelperRedirect::RecvImp(void* buffer, size_t length, int flags,
                                         HXZADataHandler* handler) {
  return m_parent->RecvImp(buffer, length, flags, handler);
}

size_t HXZASocketHelperRedirect::RecvFromImp(void* buffer, size_t length, int flags,
                                             HXZADataHandler* handler, HXSockAddr* from) {
  return m_parent->RecvFromImp(buffer, length, flags, handler, from);
}

size_t HXZASocketHelperRedirect::SendToImp(const void* buffer, size_t length,
                                           const HXSockAddr& to, int flags,
                                           HXZADataHandler* handler) {
  return m_parent->SendToImp(buffer, length, to, flags, handler);
}

bool HXZASocketHelperRedirect::ConnectImp(const std::shared_ptr<HXZAEndpointHolder>& endpoint,
                                          HXZADataHandler* handler) {
  return m_parent->ConnectImp(endpoint, handler);
}

bool HXZASocketHelperRedirect::BindImp(HXZAEndpointHolder* endpoint, HXZADataHandler* handler) {
  return m_parent->BindImp(endpoint, handler);
}

bool HXZASocketHelperRedirect::CloseImp(HXZADataHandler* handler) {
  return m_parent->CloseImp(handler);
}

int64_t HXZASocketHelperRedirect::Ioctl_0(int func, HXZADataHandler* handler) {
  return m_parent->Ioctl_0(func, handler);
}

int64_t HXZASocketHelperRedirect::Ioctl_1(int func, HXZADataHandler* handler, intptr_t a) {
  return m_parent->Ioctl_1(func, handler, a);
}

int64_t HXZASocketHelperRedirect::Ioctl_2(int func, HXZADataHandler* handler, intptr_t a,
                                          intptr_t b) {
  return m_parent->Ioctl_2(func, handler, a, b);
}

int64_t HXZASocketHelperRedirect::Ioctl_3(int func, HXZADataHandler* handler, intptr_t a,
                                          intptr_t b, intptr_t c) {
  return m_parent->Ioctl_3(func, handler, a, b, c);
}

bool HXZASocketHelperRedirect::SetImp(HXZASocket* socket, HXZADataHandler* handler) {
  return m_parent->SetImp(socket, handler);
}

bool HXZASocketHelperRedirect::DeleteImp(HXZASocket* socket, HXZADataHandler* handler) {
  return m_parent->DeleteImp(socket, handler);
}

bool HXZASocketHelperRedirect::SendAsync(HXZASocket* socket, HXZADataHandler* handler, bool on) {
  return m_parent->SendAsync(socket, handler, on);
}

bool HXZASocketHelperRedirect::ConnectAsync(const std::shared_ptr<HXZAEndpointHolder>& endpoint,
                                            HXZASocket* socket, HXZADataHandler* handler) {
  return m_parent->ConnectAsync(endpoint, socket, handler);
}

bool HXZASocketHelperRedirect::ReBindAsync(const std::shared_ptr<HXZAEndpointHolder>& endpoint,
                                           HXZASocket* socket, HXZADataHandler* handler) {
  return m_parent->ReBindAsync(endpoint, socket, handler);
}

bool HXZASocketHelperRedirect::CloseAsync(HXZASocket* socket, HXZADataHandler* handler,
                                          bool silent) {
  return m_parent->CloseAsync(socket, handler, silent);
}

bool HXZASocketHelperRedirect::StartTimerImp(HXZASocket* socket, HXZADataHandler* handler,
                                             uint32_t id, uint32_t delay_ms) {
  return m_parent->StartTimerImp(socket, handler, id, delay_ms);
}

bool HXZASocketHelperRedirect::StopTimerImp(HXZASocket* socket, HXZADataHandler* handler,
                                            uint32_t id) {
  return m_parent->StopTimerImp(socket, handler, id);
}

HXZADataHandler* HXZASocketHelperRedirect::Clone(HXZADataHandler* handler) {
  return m_parent->Clone(handler);
}
