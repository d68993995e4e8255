// The DNS client against a hostile name server (testing/hostile_dns.py, a peer written from the
// DNS message format alone): to every address query it first sends one bad datagram, then the
// proper answer 150 ms later. Whatever the bad datagram is, the proper answer must win and
// nothing of the bad one may reach the cache.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/net/loop/dns_callback.h"
#include "core/net/loop/zserver.h"
#include "core/net/loop/zserver_test_util.h"
#include "testing/test_support.h"

namespace hx::testing {
namespace {

using List = std::vector<std::string>;

constexpr char kGood[] = "192.0.2.7";
constexpr char kBad[] = "198.51.100.66";

class FirstAnswer : public HXDnsCallback {
 public:
  using HXDnsCallback::OnCallbackQueryA;
  void OnCallbackQueryA(const char*, const char* address) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers.push_back(address == nullptr ? "(failed)" : address);
  }
  List answers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_answers;
  }

 private:
  mutable std::mutex m_mutex;
  List m_answers;
};

// The script on a free port; ready once it answers a probe.
class HostileNameServer {
 public:
  HostileNameServer(const std::string& python, const std::string& kase)
      : m_port(FreeLoopbackPort(SOCK_DGRAM)),
        m_process({python, Script(), std::to_string(m_port), kase, kGood, kBad}) {
    m_ready = m_process.started() && WaitUntilAnswering();
  }
  bool ready() const { return m_ready; }
  uint16_t port() const { return m_port; }

 private:
  static std::string Script() {
    const char* source = std::getenv("HX_SOURCE_DIR");
    return std::string(source != nullptr ? source : ".") + "/testing/hostile_dns.py";
  }
  bool WaitUntilAnswering() const {
    const int handle = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(m_port);
    bool answered = false;
    for (int attempt = 0; attempt < 100 && !answered; ++attempt) {
      sendto(handle, "ready?", 6, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
      pollfd item{handle, POLLIN, 0};
      char reply[8];
      answered = poll(&item, 1, 100) == 1 && recv(handle, reply, sizeof reply, 0) == 5;
    }
    close(handle);
    return answered;
  }

  uint16_t m_port;
  ChildProcess m_process;
  bool m_ready = false;
};

class HostileDns : public LoopFixture {};

TEST_F(HostileDns, TheProperAnswerWinsOverEveryBadDatagram) {
  HX_REQUIRE_TOOL("python3", python);
  const char* cases[] = {"wrong-port",   "wrong-address",    "wrong-id",          "wrong-question",
                         "truncated",    "no-response",      "cut-short",         "bad-rdlength",
                         "rdlength-past-end", "compression-loop", "oversized"};
  for (const char* kase : cases) {
    SCOPED_TRACE(kase);
    HostileNameServer server(python, kase);
    ASSERT_TRUE(server.ready());
    ASSERT_TRUE(loop->Rebind({{"127.0.0.1", server.port()}}));
    const std::string name = std::string(kase) + ".hostile.test";

    FirstAnswer answer;
    EXPECT_EQ(HXZServer::QueryA(name, &answer, 5000), "");
    ASSERT_TRUE(WaitFor([&] { return !answer.answers().empty(); }, 8000));
    EXPECT_EQ(answer.answers(), List{kGood});
    List cached;
    EXPECT_TRUE(HXZServer::QueryAMulti(name, cached, nullptr, 5000));
    EXPECT_EQ(cached, List{kGood}) << "the cache holds what the bad datagram named";
  }
}

}  // namespace
}  // namespace hx::testing
