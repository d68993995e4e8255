#pragma once
// A real name server for tests: dnsmasq on 127.0.0.1 and a free UDP port, answering only from
// the records given on its command line (no upstream servers, no hosts file), stopped at
// destruction.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace hx::testing {

class DnsmasqServer {
 public:
  // Starts `program` (the path of dnsmasq) with `records`: dnsmasq options such as
  // "--host-record=a.hx.test,10.1.2.3", "--srv-host=..." or "--local=/hx.test/". Waits until
  // it answers, trying up to three ports for 5 s each.
  DnsmasqServer(const std::string& program, const std::vector<std::string>& records);

  // Whether it runs and answered.
  bool ready() const { return m_ready; }
  uint16_t port() const { return m_port; }

 private:
  bool WaitUntilAnswering(int timeout_ms) const;

  uint16_t m_port = 0;
  std::unique_ptr<ChildProcess> m_process;
  bool m_ready = false;
};

}  // namespace hx::testing
