#include "core/net/loop/zpipe.h"

#include "core/net/loop/endpoint_addr_str.h"
#include "core/net/socket/socket_helper.h"

namespace {

std::shared_ptr<HXZAEndpointHolder> inprocOf(const std::shared_ptr<HXZAEndpointHolder>& endpoint) {
  return HXZEndpointAddrStr::create("inproc://" + endpoint->getAddrStr());
}

}  // namespace

bool HXZPipe::Connect(std::shared_ptr<HXZAEndpointHolder> endpoint) {
  const bool ok = endpoint != nullptr && Parent()->ConnectImp(inprocOf(endpoint), this);
  SetState(ok);
  return ok;
}

bool HXZPipe::Bind(std::shared_ptr<HXZAEndpointHolder> endpoint) {
  if (endpoint == nullptr) {
    SetState(false);
    return false;
  }
  const std::shared_ptr<HXZAEndpointHolder> address = inprocOf(endpoint);
  const bool ok = Parent()->BindImp(address.get(), this);
  SetState(ok);
  return ok;
}

bool HXZPipe::Close(bool) { return Parent()->CloseImp(this); }

size_t HXZPipe::Send(const void* buffer, size_t length, int flags) {
  return Parent()->SendImp(buffer, length, flags, this);
}

size_t HXZPipe::SendTo(const void* buffer, size_t length, const HXSockAddr& to, int flags) {
  return Parent()->SendToImp(buffer, length, to, flags, this);
}

size_t HXZPipe::Recv(void* buffer, size_t length, int flags) {
  return Parent()->RecvImp(buffer, length, flags, this);
}
