#include "core/transport/zero_handshake_ping.h"

#include <cstring>

#include "core/net/loop/endpoint_fqdn.h"
#include "core/net/socket/native_socket_details.h"
#include "core/transport/ping_record.h"
#include "core/wire/zero_handshake.h"

using namespace hx::ping;

HXZeroHandshakeSimple::HXZeroHandshakeSimple(HXZASocketHelper* helper, int, int, int, int)
    : HXZCommonSocket(helper, false, true) {}

HXZeroHandshakeSimple::HXZeroHandshakeSimple(HXZASocketHelper* helper, HXZADataHandler& other)
    : HXZCommonSocket(helper, other) {}

HXZeroHandshakeSimple::~HXZeroHandshakeSimple() = default;

bool HXZeroHandshakeSimple::Ping(int32_t trial_id, const std::string& conference,
                                 const std::string& from, const std::string& to,
                                 const HXIpSockTarget& target) {
  HXAutoLock lock(m_lock);
  m_trialId = trial_id;
  m_conference = conference;
  m_from = from;
  m_to = to;
  m_target = target;
  m_state.store(stateConnecting);
  if (!Connect(HXZEndpointFqdn::remoteTCP(m_target.host, m_target.port))) {
    Stop();
    return false;
  }
  return true;
}

bool HXZeroHandshakeSimple::Accept() {
  m_trialId = -1;
  m_state.store(stateAccepting);
  SetState(true);
  return true;
}

void HXZeroHandshakeSimple::Stop() {
  HXAutoLock lock(m_lock);
  if (m_stopped) return;
  m_stopped = true;
  SetState(false);
  m_state.store(stateStopped);
  Close(true);
  DeleteLater();
}

void HXZeroHandshakeSimple::emitDone() {
  if (m_state.load() != stateStopped) fireZeroHSDone(this);
}

void HXZeroHandshakeSimple::saveEndpoints() {
  const HXZNativeSocketDetails details(*static_cast<HXZADataHandler*>(this));
  m_local = details.getLocal();
  m_remote = details.getRemote();
  m_result = kResultSuccess;
}

void HXZeroHandshakeSimple::createSendMessage(bool request) {
  int32_t version = m_contentVersion.load();
  FormRecord(m_outgoing, request, version, m_conference, m_from, m_to);
  m_contentVersion.store(version);
  m_sendOffset = 0;
}

std::shared_ptr<HXNetMessage> HXZeroHandshakeSimple::pendingBuffer(uint64_t& total) {
  std::shared_ptr<HXNetMessage> buffer = getDataBuffer(false);
  if (buffer == nullptr) {
    setDataBuffer(std::make_shared<HXNetMessage>(kInitialBuffer));
    return getDataBuffer(false);
  }
  // Bytes handed over with the connection (read by the protocol probe) count as received; the
  // flag goes, or the loop would take the buffer away after this event.
  if ((ClearFlag(kBufferedData) & kBufferedData) != 0) total = buffer->size();
  return buffer;
}

void HXZeroHandshakeSimple::dropPending() {
  if (std::shared_ptr<HXNetMessage> buffer = getDataBuffer(false)) buffer->setSize(0);
}

int32_t HXZeroHandshakeSimple::readRecord(bool head_only, uint64_t& total) {
  const std::shared_ptr<HXNetMessage> buffer = getDataBuffer(false);
  uint64_t want = kHeadSize;
  for (;;) {
    const uint64_t held = RecvToBuffer(want, total);
    size_t need = 0;
    const int32_t verdict = ParseFixedPart(buffer->buffer(), held, head_only, need, m_result);
    if (verdict != 0) return verdict;
    if (held < want || need <= want) return 0;  // the socket has no more for now
    want = need;                                // the head is in: go on with the body
  }
}

int32_t HXZeroHandshakeSimple::RecvHandshakeRequest(uint64_t& total) {
  const int32_t verdict = readRecord(false, total);
  if (verdict <= 0) return verdict;
  if (m_contentVersion.load() > 0) {
    const auto* record =
        reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(getDataBuffer(false)->buffer());
    const uint32_t n = record->BodyLengthField();
    Fields fields;
    if (n == 0) {
      m_contentVersion.store(0);
    } else if (ParseBody(record->Body(), n, true, fields, m_result)) {
      m_conference = fields.conference;
      m_from = fields.to;
      m_to = fields.from;
      m_contentVersion.store(fields.version);
    } else {
      m_contentVersion.store(0);  // answered without a container
    }
  }
  return 1;
}

int32_t HXZeroHandshakeSimple::RecvHandshakeAnswer(uint64_t& total) {
  const int32_t own = m_contentVersion.load();
  const int32_t verdict = readRecord(own <= 0, total);
  if (verdict <= 0) return verdict;
  if (own > 0) {
    const auto* record =
        reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(getDataBuffer(false)->buffer());
    const uint32_t n = record->BodyLengthField();
    Fields fields;
    if (n == 0 || !ParseBody(record->Body(), n, false, fields, m_result)) {
      m_contentVersion.store(0);
    } else {
      if (!fields.conference.empty() && fields.conference != m_conference) {
        m_result = kResultConference;
        return -1;
      }
      if ((!fields.to.empty() && fields.to != m_from) ||
          (!fields.from.empty() && fields.from != m_to)) {
        m_result = kResultUsers;
        return -1;
      }
      if (fields.version >= 1 && fields.version <= own - 1) m_contentVersion.store(fields.version);
    }
  }
  return 1;
}

bool HXZeroHandshakeSimple::tryRestartConnection() {
  if (m_contentVersion.load() > 0) {
    m_contentVersion.fetch_sub(1);
    HXAutoLock lock(m_lock);
    if (!m_stopped) {
      Close(true);
      dropPending();
      m_state.store(stateConnecting);
      if (Reconnect(HXZEndpointFqdn::remoteTCP(m_target.host, m_target.port))) return true;
    }
  }
  m_result = kResultClosed;
  emitDone();
  Stop();
  return false;
}

int32_t HXZeroHandshakeSimple::OnReadySendImp(HXZASocket*, HXZADataHandler*) {
  const int32_t state = m_state.load();
  if (state == stateConnecting) {
    createSendMessage(true);
    m_state.store(stateRequesting);
  } else if (state != stateAnswering && state != stateRequesting) {
    return 0;
  }
  if (m_sendOffset < m_outgoing.size()) {
    m_sendOffset += Send(m_outgoing.buffer() + m_sendOffset, m_outgoing.size() - m_sendOffset, 0);
    if (m_sendOffset < m_outgoing.size()) return 0;  // the rest at the next event
  }
  SendAsync(false);
  if (m_state.load() == stateRequesting) {
    m_state.store(stateWaitingAnswer);
  } else if (m_state.load() == stateAnswering) {
    saveEndpoints();
    emitDone();
    Stop();
  }
  return 0;
}

int32_t HXZeroHandshakeSimple::OnReadyRecvImp(HXZASocket*, HXZADataHandler*) {
  uint64_t total = 0;
  pendingBuffer(total);
  switch (m_state.load()) {
    case stateConnecting:
      m_result = kResultClosed;
      emitDone();
      Stop();
      break;
    case stateAccepting: {
      const int32_t verdict = RecvHandshakeRequest(total);
      if (verdict < 0) {
        Stop();
      } else if (verdict == 0) {
        if (total == 0 && RecvEnded()) {
          m_result = kResultClosed;
          Stop();
        }
      } else {
        bool accept = true;
        fireWantAccept(this, accept);
        if (accept && m_state.load() == stateAccepting) {
          createSendMessage(false);
          m_state.store(stateAnswering);
          SendAsync(true);
        } else {
          Stop();
        }
      }
      break;
    }
    case stateAnswering:
      Stop();
      break;
    case stateRequesting: {
      // Nothing may come before the request is out.
      RecvToBuffer(getDataBuffer(false)->size() + 1, total);
      if (total > 0) {
        m_result = kResultBody;
        emitDone();
        Stop();
      } else if (RecvEnded()) {
        tryRestartConnection();
      }
      break;
    }
    case stateWaitingAnswer: {
      const int32_t verdict = RecvHandshakeAnswer(total);
      if (verdict > 0) {
        saveEndpoints();
        emitDone();
        Stop();
      } else if (verdict < 0) {
        emitDone();
        Stop();
      } else if (total == 0 && RecvEnded()) {
        tryRestartConnection();
      }
      break;
    }
    default:
      break;
  }
  return 0;
}

void HXZeroHandshakeSimple::OnError() {
  m_result = kResultSocketError;
  emitDone();
  Stop();
}
