#include "core/net/loop/zserver.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "core/base/ios_log.h"
#include "core/base/number_format.h"
#include "core/base/stored_task.h"
#include "core/base/thread_pool.h"
#include "core/base/thread_util.h"
#include "core/base/tick_clock.h"
#include "core/net/dns/dns_handler.h"
#include "core/net/dns/resolv_conf.h"
#include "core/net/loop/endpoint_addr_str.h"
#include "core/net/loop/zpipe.h"
#include "core/net/proxy/proxy_list.h"
#include "core/net/socket/socket_helper_null.h"
#include "core/net/socket/socket_helper_redirect.h"
#include "core/security/openssl_setup.h"

HXZServer* HXZServer::m_Instance = nullptr;
void* HXZServer::m_Context = nullptr;
std::atomic<int32_t> HXZServer::_free_sockets{64};
hx::Signal0<> HXZServer::fireZServerStart;
hx::Signal0<> HXZServer::fireZServerStop;
std::atomic<uint32_t> HXZServer::s_connectTimeLimitMs{60000};

namespace {

constexpr int kRunnersPerQueue = 2;
constexpr int kQueues = 2;
constexpr uint64_t kPoolLeadTimeMs = 25;
constexpr int64_t kPoolStopTimeoutMs = 5000;

// Registers the pipe ends in a map of its own while the loop cannot take commands yet.
class PipeRegistrar : public HXZASocketNullHelper {
 public:
  bool SetImp(HXZASocket* socket, HXZADataHandler* handler) override {
    sockets.emplace(socket, handler);
    return true;
  }
  std::unordered_map<HXZASocket*, HXZADataHandler*> sockets;
};

// The pipe's name: base-7 digits of the time plus a random value, without the first digit.
std::string pipeName() {
  const auto seed = static_cast<int32_t>(static_cast<int64_t>(time(nullptr)) + rand());
  char digits[32] = {};
  hxitoa(seed, digits, 7);
  return digits + 1;
}

// Every ZeroMQ socket of the loop: no message limit (a command is refused only when the
// context ends) and no lingering at close (the context must be able to end).
bool preparePipeSocket(void* socket) {
  const int zero = 0;
  return socket != nullptr && zmq_setsockopt(socket, ZMQ_SNDHWM, &zero, sizeof zero) == 0 &&
         zmq_setsockopt(socket, ZMQ_RCVHWM, &zero, sizeof zero) == 0 &&
         zmq_setsockopt(socket, ZMQ_LINGER, &zero, sizeof zero) == 0;
}

}  // namespace

HXZServer::HXZServer()
    : HXThread("zserver"),
      m_pool(std::make_unique<HXThreadPool>(kRunnersPerQueue, kQueues, "HXZServer pool",
                                            kPoolLeadTimeMs, kPoolStopTimeoutMs)) {
  // Socket helpers hold references on their parent, the loop; the loop is deleted by its owner
  // only, never when the last socket helper lets go.
  addRef();
}

HXZServer* HXZServer::installNetworkManager() {
  if (m_Instance != nullptr) return m_Instance;
  hx::InstallOpenSSL();
  m_Context = zmq_ctx_new();
  if (m_Context == nullptr) return nullptr;
  zmq_ctx_set(m_Context, ZMQ_IO_THREADS, 2);
  zmq_ctx_set(m_Context, ZMQ_MAX_SOCKETS, 64);
  zmq_ctx_set(m_Context, ZMQ_IPV6, 1);
  m_Instance = new HXZServer();
  if (!m_Instance->Activate()) {
    delete m_Instance;  // also ends the context
    return nullptr;
  }
  return m_Instance;
}

bool HXZServer::Activate() {
  const std::string name = pipeName();
  auto* registrar = new PipeRegistrar();
  m_pipeHelper = new HXZASocketHelperRedirect(registrar);
  void* read_socket = zmq_socket_create(ZMQ_PAIR);
  void* write_socket = zmq_socket_create(ZMQ_PAIR);
  if (!preparePipeSocket(read_socket) || !preparePipeSocket(write_socket)) {
    if (read_socket != nullptr) zmq_close(read_socket);
    if (write_socket != nullptr) zmq_close(write_socket);
    delete m_pipeHelper;  // and with it the registrar
    m_pipeHelper = nullptr;
    return false;
  }
  m_pipeRead = std::make_unique<HXZPipe>(m_pipeHelper, this, read_socket);
  m_pipeWrite = std::make_unique<HXZPipe>(m_pipeHelper, write_socket);

  m_sockets = std::move(registrar->sockets);
  m_pipeHelper->setParent(this);  // releases the registrar

  const auto endpoint = HXZEndpointAddrStr::create(name);
  return m_pipeRead->Bind(endpoint) && m_pipeWrite->Connect(endpoint);
}

HXZServer::~HXZServer() {
  Shutdown();
  Wait();
  disposeLeftovers();
  m_sockets.clear();
  // The pipe ends close their ZeroMQ sockets; their helper goes with the last of them.
  if (m_pipeRead != nullptr) m_pipeRead->Close(true);
  if (m_pipeWrite != nullptr) m_pipeWrite->Close(true);
  m_pipeRead.reset();
  m_pipeWrite.reset();
  m_pool.reset();
  m_proxyListView.store(nullptr);
  m_proxyList.reset();
  if (m_Context != nullptr) {
    zmq_ctx_term(m_Context);
    m_Context = nullptr;
  }
  if (m_Instance == this) m_Instance = nullptr;
}

int HXZServer::startServerLoop() {
  m_pool->Start();
  const int started = Start(hx::thread::normal, true);
  // Lookups made right after the start must find the DNS client, which the loop makes first.
  if (started == 0) m_dnsCreated.Wait();
  return started;
}

bool HXZServer::Shutdown() {
  useDnsClient([](HXDNSHandler* dns) { dns->stop(); });
  m_pool->Stop(-1);
  Terminate();
  if (HX_ProxyList* list = m_proxyListView.load()) list->clear();
  return true;
}

void HXZServer::OnTerminateRequest() { RescheduleImp(nullptr, nullptr); }

void* HXZServer::zmq_socket_create(int type) {
  return m_Context != nullptr ? zmq_socket(m_Context, type) : nullptr;
}

HX_ProxyList* HXZServer::acquireProxyList() {
  HXAutoLock lock(m_loopLock);
  if (m_proxyList == nullptr) {
    m_proxyList = std::make_unique<HX_ProxyList>();
    m_proxyListView.store(m_proxyList.get());
  }
  return m_proxyList.get();
}

HX_ProxyList* HXZServer::getProxyList() {
  return m_Instance != nullptr ? m_Instance->m_proxyListView.load() : nullptr;
}

HXIfIpAddrContainerTS* HXZServer::getIfAddrList() {
  return m_Instance != nullptr ? &m_Instance->m_ifAddrList : nullptr;
}

template <class Use>
bool HXZServer::useDnsClient(Use&& use) {
  HXZServer* loop = m_Instance;
  if (loop == nullptr) return false;
  ++loop->m_dnsUsers;
  HXDNSHandler* dns = loop->m_dns.load();
  if (dns != nullptr) use(dns);
  --loop->m_dnsUsers;
  return dns != nullptr;
}

void HXZServer::deleteDnsClient() {
  HXDNSHandler* dns = m_dns.exchange(nullptr);
  // A forwarder that found the client just before may still be inside it.
  while (m_dnsUsers.load() != 0) hx::SleepFor(std::chrono::milliseconds(1));
  delete dns;
}

std::string HXZServer::QueryA(const std::string& name, HXDnsCallbackBase* callback,
                              uint32_t time_limit_ms) {
  std::string address;
  useDnsClient([&](HXDNSHandler* dns) { address = dns->QueryA(name, callback, time_limit_ms); });
  return address;
}

bool HXZServer::QueryAMulti(const std::string& name, std::vector<std::string>& list,
                            HXDnsCallbackBase* callback, uint32_t time_limit_ms) {
  bool answered = false;
  useDnsClient(
      [&](HXDNSHandler* dns) { answered = dns->QueryAMulti(name, callback, list, time_limit_ms); });
  return answered;
}

bool HXZServer::QuerySRV(const std::string& service, const std::string& domain,
                         HXDnsCallbackBase* callback, uint32_t time_limit_ms) {
  bool started = false;
  useDnsClient([&](HXDNSHandler* dns) {
    started = dns->QuerySRV(service, domain, callback, time_limit_ms);
  });
  return started;
}

void HXZServer::revokeDNSCallback(HXDnsCallbackBase* callback) {
  useDnsClient([&](HXDNSHandler* dns) { dns->revokeCallback(callback); });
}

void HXZServer::EnableKvoDnsServers(bool on) {
  useDnsClient([&](HXDNSHandler* dns) { dns->enableKvoDns(on); });
}

bool HXZServer::Rebind(const std::vector<std::pair<std::string, uint16_t>>& servers) {
  const hx::dns::NameServerList list = servers.empty() ? hx::dns::SystemNameServers() : servers;
  bool ok = false;
  useDnsClient([&](HXDNSHandler* dns) { ok = dns->Rebind() && dns->SetLocalServersList(list); });
  if (!ok) {
    std::string text;
    for (const auto& [address, port] : list) {
      text += (text.empty() ? "" : ",") + address + ":" + std::to_string(port);
    }
    ios_log("FAILED: Rebind %s", text.c_str());
  }
  return ok;
}

uint64_t HXZServer::now() {
  const int64_t tick = hx::GetTickCount();
  return tick > 0 ? static_cast<uint64_t>(tick) : 0;
}
