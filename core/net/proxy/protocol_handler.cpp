#include "core/net/proxy/protocol_handler.h"

#include <utility>

#include "core/net/loop/endpoint_holder.h"
#include "core/net/proxy/proxy_config.h"

namespace hx::netproxy {

ProtocolHandler::ProtocolHandler(std::shared_ptr<Config> config,
                                 std::shared_ptr<HXZAEndpointHolder> target)
    : m_config(std::move(config)), m_target(std::move(target)) {}

ProtocolHandler::~ProtocolHandler() = default;

}  // namespace hx::netproxy
