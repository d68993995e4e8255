#pragma once
// The ready-made steps of socket scenarios: bind the socket, close it.
// Threads: as their scenario (its socket's owner starts it, the loop's callbacks drive it).

#include <memory>

#include "core/net/loop/endpoint_holder.h"
#include "core/net/loop/socket_scenario.h"

// Binds the holder's socket to an endpoint; the step ends with the loop's OnBoundLocal.
class HXZSocketBindAction : public HXSocketActionBase {
 public:
  explicit HXZSocketBindAction(HXSocketActionHolder* holder = nullptr)
      : HXSocketActionBase(holder) {}
  explicit HXZSocketBindAction(std::shared_ptr<HXZAEndpointHolder> endpoint,
                               HXSocketActionHolder* holder = nullptr)
      : HXSocketActionBase(holder), m_endpoint(std::move(endpoint)) {}

  void setBindAddress(std::shared_ptr<HXZAEndpointHolder> endpoint) {
    m_endpoint = std::move(endpoint);
  }

  // 0 when the bind request was sent, 1 when it was refused (or there is no socket).
  int32_t startAction(HXZASocket* socket, HXZADataHandler* handler) override;

 private:
  std::shared_ptr<HXZAEndpointHolder> m_endpoint;
};

// Closes the holder's socket silently. The step is complete as soon as the close was accepted:
// the socket no longer owns a descriptor then (the loop closes the old one before any later
// request of the socket), and a silent close brings no event to wait for.
class HXZSocketCloseAction : public HXSocketActionBase {
 public:
  explicit HXZSocketCloseAction(HXSocketActionHolder* holder = nullptr)
      : HXSocketActionBase(holder) {}

  // 2 without descriptor or when the close was accepted; 1 when it was refused.
  int32_t startAction(HXZASocket* socket, HXZADataHandler* handler) override;
  // A close reported for the step's socket ends the step with success.
  virtual void saOnClose(HXZASocket* socket, HXZADataHandler* handler);
  using HXSocketActionBase::saOnClose;
};
