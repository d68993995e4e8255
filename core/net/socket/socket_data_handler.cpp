#include "core/net/socket/socket_data_handler.h"

#include <utility>

#include "core/base/net_message.h"
#include "core/net/socket/socket_callbacks.h"
#include "core/net/socket/socket_helper.h"

HXZADataHandler::HXZADataHandler(int handle, HXZASocketCallbacks* callbacks, int family, int type,
                                 int protocol)
    : m_handle(handle),
      m_callbacks(callbacks),
      m_family(family),
      m_type(type),
      m_protocol(protocol) {}

HXZADataHandler::HXZADataHandler(void* zmq_socket, HXZASocketCallbacks* callbacks)
    : m_zmqSocket(zmq_socket),
      m_handle(0),
      m_callbacks(callbacks),
      m_family(-1),
      m_type(-1),
      m_protocol(-1) {}

HXZADataHandler::HXZADataHandler(const HXZADataHandler& other)
    : m_zmqSocket(other.m_zmqSocket),
      m_handle(other.GetHandle()),
      m_callbacks(other.m_callbacks),
      m_endpoint(other.m_endpoint),
      m_family(other.m_family),
      m_type(other.m_type),
      m_protocol(other.m_protocol),
      m_flags(other.GetFlags() & ~kBufferedData),
      m_active(other.GetState()) {}

HXZADataHandler::~HXZADataHandler() = default;

void HXZADataHandler::SetHandle(int handle) {
  m_handle.store(handle, std::memory_order_relaxed);
  AdvanceEdition();
}

HXZASocketCallbacks* HXZADataHandler::PushCallback(HX_SocketCallbackLink* link) {
  RemoveCallback(link);
  HXZASocketCallbacks* previous = m_callbacks;
  link->setSocketNextCallback(previous);
  m_callbacks = link;
  return previous;
}

HXZASocketCallbacks* HXZADataHandler::RemoveCallback(HX_SocketCallbackLink* link) {
  if (link == nullptr) return nullptr;
  HXZASocketCallbacks* above = nullptr;
  for (HXZASocketCallbacks* layer = m_callbacks; layer != nullptr;
       above = layer, layer = layer->getSocketNextCallback()) {
    if (layer != link) continue;
    HXZASocketCallbacks* below = link->getSocketNextCallback();
    if (above == nullptr) {
      m_callbacks = below;
    } else {
      // Only a link can be re-pointed; any layer that has a layer below it is one.
      auto* above_link = dynamic_cast<HX_SocketCallbackLink*>(above);
      if (above_link == nullptr) return nullptr;
      above_link->setSocketNextCallback(below);
    }
    link->clearSocketNextCallback();
    return below;
  }
  return nullptr;
}

void HXZADataHandler::SetAddress(std::shared_ptr<HXZAEndpointHolder> endpoint) {
  m_endpoint = std::move(endpoint);
}

uint32_t HXZADataHandler::SetFlag(uint32_t bits) {
  uint32_t before = m_flags.fetch_or(bits, std::memory_order_acq_rel);
  return bits & ~before;
}

uint32_t HXZADataHandler::ClearFlag(uint32_t bits) {
  return m_flags.fetch_and(~bits, std::memory_order_acq_rel);
}

std::shared_ptr<HXNetMessage> HXZADataHandler::getDataBuffer(bool take) {
  if (!take) return m_dataBuffer;
  ClearFlag(kBufferedData);
  return std::move(m_dataBuffer);
}

void HXZADataHandler::setDataBuffer(std::shared_ptr<HXNetMessage> buffer) {
  m_dataBuffer = std::move(buffer);
  if (m_dataBuffer != nullptr && m_dataBuffer->size() >= 1) {
    SetFlag(kBufferedData);
  } else {
    ClearFlag(kBufferedData);
  }
}

void HXZADataHandler::SwapHandles(HXZADataHandler& other) {
  std::swap(m_zmqSocket, other.m_zmqSocket);
  int mine = GetHandle();
  m_handle.store(other.GetHandle(), std::memory_order_relaxed);
  other.m_handle.store(mine, std::memory_order_relaxed);
  AdvanceEdition();
  other.AdvanceEdition();
}

HXZADataHPHolder::HXZADataHPHolder(HXZASocketHelper* helper, int handle,
                                   HXZASocketCallbacks* callbacks, int family, int type,
                                   int protocol)
    : HXZADataHandler(handle, callbacks, family, type, protocol),
      m_helper(helper != nullptr ? helper->addRef() : nullptr) {}

HXZADataHPHolder::HXZADataHPHolder(HXZASocketHelper* helper, void* zmq_socket,
                                   HXZASocketCallbacks* callbacks)
    : HXZADataHandler(zmq_socket, callbacks),
      m_helper(helper != nullptr ? helper->addRef() : nullptr) {}

HXZADataHPHolder::HXZADataHPHolder(const HXZADataHPHolder& other)
    : HXZADataHandler(other),
      m_helper(other.m_helper != nullptr ? other.m_helper->addRef() : nullptr) {}

HXZADataHPHolder::~HXZADataHPHolder() { HXZASocketHelper::release(m_helper); }

HXZADataHandler* HXZADataHPHolder::Clone() const {
  auto* copy = new HXZADataHPHolder(*this);
  copy->SetState(false);
  return copy;
}

HXZANullDataHandler::HXZANullDataHandler(int handle, int family, int type, int protocol)
    : HXZADataHPHolder(nullptr, handle, nullptr, family, type, protocol) {}
