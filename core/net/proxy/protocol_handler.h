#pragma once
// What a proxy configuration makes for one connection attempt: the object that reaches the target
// through the configuration (directly, or through a proxy's tunnel). The proxy layer starts it and
// hands it the socket's readiness events until it answers 2 (connected to the target) or 1
// (failed).
//
// Runs on the network loop's thread.

#include <cstdint>
#include <memory>

#include "core/net/socket/socket_callbacks.h"

class HXZAEndpointHolder;
class HXZCommonSocket;

namespace hx::netproxy {

class Config;

class ProtocolHandler : public HXZASocketCallbacks {
 public:
  ProtocolHandler(std::shared_ptr<Config> config, std::shared_ptr<HXZAEndpointHolder> target);
  ~ProtocolHandler() override;

  // Readiness answers 1 (failed) unless a handler says otherwise; the other events do nothing.
  void OnBoundLocal(bool) override {}

  // Starts the connection on `socket`; false when it could not be started.
  virtual bool start(HXZCommonSocket* socket, HXZADataHandler* handler) = 0;
  virtual void stop(HXZCommonSocket* socket, HXZADataHandler* handler) = 0;

 protected:
  std::shared_ptr<Config> m_config;
  std::shared_ptr<HXZAEndpointHolder> m_target;
};

}  // namespace hx::netproxy
