#include "core/transport/check_srv_handshake.h"

#include <cstring>

#include "core/base/ios_log.h"
#include "core/base/tick_clock.h"
#include "core/net/loop/endpoint_fqdn.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket_error.h"
#include "core/wire/zero_handshake.h"

namespace {

constexpr uint32_t kDnsLimitMs = 4000;

uint32_t load32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

std::atomic<uint32_t> HXCheckSrvHandshakeSimple::s_checkLimitMs{kDefaultCheckLimitMs};

HXCheckSrvHandshakeSimple::HXCheckSrvHandshakeSimple(HXZASocketHelper* helper, int, int, int, int)
    : HXZCommonSocket(helper, false, true) {
  BuildRequest();
}

HXCheckSrvHandshakeSimple::~HXCheckSrvHandshakeSimple() = default;

void HXCheckSrvHandshakeSimple::BuildRequest() {
  std::memset(m_record, 0, sizeof m_record);
  auto* head = reinterpret_cast<HX_ZeroHandshakeFixedPart*>(m_record);
  head->SetPrimaryField(HX_CHECK_SRV_PRIMARY_FIELD);
  head->SetVersion(1);
  head->SetBodyLengthField(kRecordSize - kZeroHandshakeHeadSize - 1);
  HX_CalcZeroHandshakeCksums(head);
}

bool HXCheckSrvHandshakeSimple::CheckPrimaryField(const char* text) {
  return text != nullptr && std::strncmp(text, HX_CHECK_SRV_PRIMARY_FIELD, 15) == 0;
}

void HXCheckSrvHandshakeSimple::Reset(bool callback) {
  m_state = eIdle;
  m_epCount = 0;
  m_cpu = 0;
  m_score = -1;
  m_sendTime = 0;
  m_roundTrip = 0;
  m_received = 0;
  m_callback = callback;
  m_resolved.clear();
}

bool HXCheckSrvHandshakeSimple::Ping(int checkId, const std::string& domain,
                                     const std::string& serverId, const std::string& host,
                                     uint16_t port, bool callback) {
  m_host = host;
  m_port = port;
  m_domain = domain;
  m_serverId = serverId;
  m_checkId = checkId;
  return Ping(callback);
}

bool HXCheckSrvHandshakeSimple::Ping(bool callback) {
  Reset(callback);
  m_resolved = HXZServer::QueryA(m_host, nullptr, kDnsLimitMs);
  m_state = eConnecting;
  return Connect(HXZEndpointFqdn::remoteTCP(m_resolved.empty() ? m_host : m_resolved, m_port));
}

int32_t HXCheckSrvHandshakeSimple::OnReadySendImp(HXZASocket*, HXZADataHandler*) {
  if (m_state != eConnecting) {
    Finish();
    return 0;
  }
  m_state = eRequestSent;
  // The same buffer takes the answer, so the request is built anew (its body zeroed).
  BuildRequest();
  m_received = 0;
  m_sendTime = static_cast<uint64_t>(hx::GetTickCount());
  SendAsync(false);
  if (Send(m_record, kRecordSize, 0) != kRecordSize) {
    Finish();
    return 0;
  }
  // A host that accepts and never answers would keep this object and its socket for good.
  startTimer(kCheckTimerId, s_checkLimitMs.load());
  return 0;
}

int32_t HXCheckSrvHandshakeSimple::OnReadyRecvImp(HXZASocket*, HXZADataHandler*) {
  if (m_state == eConnecting) return 0;  // not connected yet
  if (m_state != eRequestSent) {
    Finish();
    return 0;
  }
  // The answer may come in pieces: gather it, never reading past its 33 bytes.
  const size_t read = Recv(m_record + m_received, kRecordSize - m_received, 0);
  if (read == 0) {
    if (GetRecvStatus() == HXZRecvStatus::wouldBlock) return 0;
    Finish();  // closed or broken before the whole answer came
    return 0;
  }
  m_received += read;
  if (m_received < kRecordSize) return 0;

  const auto* head = reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(m_record);
  const bool valid = head->RecordLength() == kRecordSize && HX_CheckZeroHandshakeCksum(head) &&
                     CheckPrimaryField(head->primary);
  if (valid) {
    m_epCount = load32(m_record + 20);
    m_cpu = load32(m_record + 24);
    m_roundTrip = static_cast<uint64_t>(hx::GetTickCount()) - m_sendTime;
    m_score = static_cast<int64_t>(m_roundTrip + m_epCount / 50);
    if (m_resolved.empty()) m_resolved = HXZServer::QueryA(m_host, nullptr, kDnsLimitMs);
    // Copies: a handler may be anything, and the texts must stay put while it runs.
    const std::string host = m_host;
    const std::string resolved = m_resolved;
    const std::string domain = m_domain;
    const std::string server_id = m_serverId;
    result.Emit(m_checkId, host.c_str(), resolved.c_str(), m_port,
                static_cast<unsigned long long>(m_score), domain.c_str(), server_id.c_str(),
                m_callback);
  }
  Finish();
  return 0;
}

void HXCheckSrvHandshakeSimple::OnClose(HXZADataHandler*) {}

void HXCheckSrvHandshakeSimple::OnError() {
  ios_log("HXCheckSrvHandshakeSimple::OnError %d", HXZNativeSocketError(GetHandle()).GetError());
  Finish();
}

void HXCheckSrvHandshakeSimple::OnTimer(unsigned id) {
  if (id != kCheckTimerId) return;
  ios_log("HXCheckSrvHandshakeSimple: no answer from %s:%u", m_host.c_str(), m_port);
  Finish();
}

void HXCheckSrvHandshakeSimple::Finish() {
  if (m_state.exchange(eIdle) == eIdle && GetHandle() == -1) return;  // finished already
  stopTimer(kCheckTimerId);
  Close(true);
  DeleteLater();
}
