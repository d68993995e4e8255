#pragma once
// An endpoint that is a plain text: the address of a ZeroMQ endpoint such as the network loop's
// in-process pipe. It has no socket address and is always resolved.
//
// The text is set before the holder is shared; afterwards it is only read (any thread).

#include <memory>
#include <string>

#include "core/net/loop/endpoint_holder.h"

class HXZEndpointAddrStr : public HXZAEndpointHolder {
 public:
  HXZEndpointAddrStr() = default;
  explicit HXZEndpointAddrStr(std::string text) : m_text(std::move(text)) {}

  static std::shared_ptr<HXZEndpointAddrStr> create(const std::string& text) {
    return std::make_shared<HXZEndpointAddrStr>(text);
  }

  void set(const std::string& text) { m_text = text; }
  std::string getAddrStr() const override { return m_text; }

 private:
  std::string m_text;
};
