#include "core/streams/udp_direct_handshake.h"

#include "core/base/container.h"
#include "core/base/net_message.h"
#include "core/base/text_compare.h"
#include "core/base/tick_clock.h"
#include "core/net/address/address_class.h"
#include "core/net/address/if_addr_container_ts.h"
#include "core/net/loop/zserver.h"

namespace hx::streams {
namespace {

constexpr uint64_t kUnknownRtt = 100;
constexpr int64_t kVersion0Conversation = 6000;
constexpr uint32_t kVersion0MaxOkReplies = 4;

// Address and port, the scope id and the protocol ignored.
bool sameEndpoint(const HXSockAddr& a, const HXSockAddr& b) {
  const HXAIpAddressBase& address = a;
  return address.cmp(b, true) == 0 && a.port() == b.port();
}

}  // namespace

UdpDirectHandshakeHelper::UdpDirectHandshakeHelper(udp::TrialDirectConnection&& connection,
                                                   int32_t controlNumber)
    : m_connection(std::move(connection)) {
  m_connection.rtt = 0;
  m_connection.localNat = m_connection.local;
  m_connection.remoteNat = m_connection.remote;
  initVars(controlNumber);
}

void UdpDirectHandshakeHelper::initVars(int32_t controlNumber) {
  m_okCount = 0;
  m_helloAccepted = false;
  m_okAccepted = false;
  m_hellosSent = 0;
  m_ownControlNumber = controlNumber;
  m_peerControlNumber = 0;
  m_peerVersion = -1;
  m_firstHelloSent = 0;
  m_helloDue = kTimeInactive;
  m_okDue = kTimeInactive;
  m_endDue = kTimeInactive;
  m_conversationStart = 0;
  m_lastHelloSent = 0;
  m_peerLastSendTime = 0;
  m_lastOkSent = 0;
}

uint64_t UdpDirectHandshakeHelper::now() const {
  if (m_tickSource) return m_tickSource();
  const int64_t tick = hx::GetTickCount();
  return tick > 0 ? static_cast<uint64_t>(tick) : 0;
}

const udp::ConferenceInfo& UdpDirectHandshakeHelper::confInfo() const {
  static const udp::ConferenceInfo kNone;
  return m_connection.confInfo ? *m_connection.confInfo : kNone;
}

void UdpDirectHandshakeHelper::startHandshake(UdpDirectHandshakeHandler& handler) {
  m_helloDue = 0;
  m_state = State::kRunning;
  handler.setSendStateAsync(true);
}

void UdpDirectHandshakeHelper::onReadySend(UdpDirectHandshakeHandler& handler,
                                           UdpDirectHandshakeSocket& socket) {
  const uint64_t tick = now();
  bool sent = true;
  if (m_okDue == 0) {
    m_okDue = kTimeInactive;
    sent = sendAck(handler, socket, tick);
  } else if (m_helloDue == 0) {
    m_helloDue = kTimeInactive;
    sent = sendHello(handler, socket, tick);
  }
  // A failed send has ended the handshake and withdrawn everything already.
  if (!sent) return;
  if (m_okDue != 0 && m_helloDue != 0) {
    socket.setSendState(false);
    checkConversationDone(handler, socket, tick);
  }
}

void UdpDirectHandshakeHelper::onRecvMsg(UdpDirectHandshakeHandler& handler,
                                         UdpDirectHandshakeSocket& socket,
                                         const UdpDirectDatagram& message) {
  if (udp::isUdpDCHelloHeader(message.data, message.size)) {
    udp::HelloRequestData hello;
    if (!udp::readHelloRequest(message.data, message.size, hello)) return;
    hello.source = message.source;
    // The reply goes out from onReadySend.
    if (checkHelloRequest(hello)) socket.setSendState(true);
    return;
  }
  udp::ReplyData reply;
  if (!udp::readOkReply(message.data, message.size, reply)) return;
  reply.source = message.source;
  if (checkOkReply(reply)) checkConversationDone(handler, socket, now());
}

void UdpDirectHandshakeHelper::onTimer(UdpDirectHandshakeHandler& handler, uint32_t type) {
  uint64_t* due = type == kHelloTimer             ? &m_helloDue
                  : type == kConversationEndTimer ? &m_endDue
                                                  : nullptr;
  if (due == nullptr || *due == kTimeInactive) return;
  const uint64_t tick = now();
  // Socket timers may fire a little early; only a clearly early one is restarted.
  if (*due > tick + kTimerSlack) {
    handler.startTimer(type, *due - tick);
    return;
  }
  if (type == kHelloTimer) {
    m_helloDue = 0;
    handler.setSendStateAsync(true);
  } else {
    m_endDue = kTimeInactive;
    notifyHandshakeDone(handler);
  }
}

bool UdpDirectHandshakeHelper::applyMsg(UdpDirectHandshakeHandler& handler,
                                        UdpDirectHandshakeSocket& socket,
                                        const UdpDirectDatagram& message,
                                        const udp::HelloRequestData& hello) {
  if (m_state == State::kCreated) {
    if (!checkHelloRequest(hello)) return false;
    m_helloDue = 0;
    return true;
  }
  if (m_state != State::kRunning || (m_helloAccepted && m_okAccepted)) return false;
  const bool hasLocalIntEp = hello.version > 0 && !hello.localIntEp.empty();
  if (hasLocalIntEp) {
    if (!sameEndpoint(hello.localIntEp, m_connection.remoteNat)) return false;
  } else if (!isSiblingSocket(handler, socket)) {
    return false;
  }
  if (!checkHelloRequest(hello)) return false;
  const uint32_t socketId = socket.getSocketId();
  if (socketId == handler.getSocketId()) {
    socket.assocFromAddr(message.source);
    socket.setSendState(true);
    return false;
  }
  m_state = State::kMoved;
  m_connection.socketId = socketId;
  m_connection.local = socket.getBoundAddress();
  m_connection.localNat = m_connection.local;
  handler.changeSocket(socketId, message.source);
  m_okDue = 0;
  return false;
}

bool UdpDirectHandshakeHelper::isSiblingSocket(const UdpDirectHandshakeHandler& handler,
                                               const UdpDirectHandshakeSocket& socket) const {
  if (socket.getSocketId() == handler.getSocketId()) return false;
  const HXSockAddr bound = socket.getBoundAddress();
  const HXSockAddr& local = m_connection.local;
  if (bound.family() != local.family() || bound.port() != local.port()) return false;
  if (ip::IANA_Addr_Type::getType(local) == ip::IANA_Addr_Type::link_local) return false;
  HXIfIpAddrContainerTS* interfaces = HXZServer::getIfAddrList();
  if (interfaces == nullptr) return false;
  const HXIpIfAddrSet items = interfaces->getAddrList();
  const HXIpIfListItem* found = nullptr;
  for (const HXAIpAddressBase* wanted : {static_cast<const HXAIpAddressBase*>(&bound),
                                         static_cast<const HXAIpAddressBase*>(&local)}) {
    for (const HXIpIfListItem& item : items) {
      if (static_cast<const HXAIpAddressBase&>(item).cmp(*wanted, true) == 0) {
        found = &item;
        break;
      }
    }
    if (found != nullptr) break;
  }
  if (found == nullptr) return false;
  return found->mask().net(bound).cmp(found->mask().net(local)) == 0;
}

bool UdpDirectHandshakeHelper::checkHelloRequest(const udp::HelloRequestData& hello) {
  const udp::ConferenceInfo& info = confInfo();
  if (hxicomparestr(hello.conferenceName.c_str(), info.conferenceName.c_str()) != 0 ||
      hxicomparestr(hello.participantName.c_str(), m_connection.peerName.c_str()) != 0 ||
      hxicomparestr(hello.connectedParticipantName.c_str(), info.ownName.c_str()) != 0) {
    return false;
  }
  const uint64_t tick = now();
  m_peerControlNumber = hello.controlNumber;
  m_peerVersion = hello.version;
  m_helloAccepted = true;
  if (m_peerVersion > 0) {
    updateNatSettings(hello);
    m_peerLastSendTime = hello.sendTime;
    if (m_conversationStart == 0) {
      m_conversationStart = hello.sendTime != 0 ? hello.sendTime : tick;
    }
  } else if (m_conversationStart == 0) {
    m_conversationStart = tick;
  }
  m_okDue = 0;
  return true;
}

bool UdpDirectHandshakeHelper::checkOkReply(const udp::ReplyData& reply) {
  if (reply.controlNumber != m_ownControlNumber || m_lastHelloSent == 0) return false;
  const uint64_t tick = now();
  ++m_okCount;
  m_peerVersion = reply.version;
  m_okAccepted = true;
  m_helloDue = kTimeInactive;

  bool sampled = false;
  uint64_t sample = 0;
  if (m_peerVersion > 0) {
    m_peerLastSendTime = reply.sendTime;
    if (m_conversationStart == 0) m_conversationStart = reply.sendTime;
    updateNatSettings(reply);
    if (reply.retBackTime != 0 && tick > reply.retBackTime) {
      sample = tick - reply.retBackTime;
      sampled = true;
    }
  } else if (tick > m_lastHelloSent) {
    // A version-0 peer echoes no time: the reply answers some hello sent since the first, and
    // unanswered hellos each stand for a resend interval the path may have taken.
    const uint64_t unanswered =
        m_hellosSent > m_okCount ? uint64_t{m_hellosSent - m_okCount} * kHelloInterval : 0;
    const uint64_t extra = m_firstHelloSent + unanswered > tick ? kHelloInterval : unanswered;
    sample = tick - m_lastHelloSent + extra;
    sampled = true;
  }
  if (sampled && (m_connection.rtt == 0 || m_connection.rtt > sample)) m_connection.rtt = sample;
  if (m_conversationStart == 0) m_conversationStart = tick;
  return true;
}

bool UdpDirectHandshakeHelper::checkConversationDone(UdpDirectHandshakeHandler& handler,
                                                     UdpDirectHandshakeSocket& socket,
                                                     uint64_t tick) {
  if (!m_helloAccepted || !m_okAccepted) return false;
  // The end is counted from our last OK reply: while one is still waiting for its send, the
  // check runs again once it has left (onReadySend).
  if (m_okDue == 0) return true;
  const int64_t rtt = m_connection.rtt != 0 ? static_cast<int64_t>(m_connection.rtt) : kUnknownRtt;
  int64_t end;
  bool forced;
  if (m_peerVersion == 1) {
    end = static_cast<int64_t>(m_lastOkSent) + 3 * rtt + static_cast<int64_t>(kHelloInterval);
    forced = false;
  } else {
    end = static_cast<int64_t>(m_conversationStart) - rtt / 2 + kVersion0Conversation;
    forced = m_okCount > kVersion0MaxOkReplies;
  }
  const int64_t now_signed = static_cast<int64_t>(tick);
  if (forced || end <= now_signed + static_cast<int64_t>(kTimerSlack)) {
    notifyHandshakeDone(handler);
    return true;
  }
  m_endDue = static_cast<uint64_t>(end);
  socket.startTimer(kConversationEndTimer, static_cast<uint64_t>(end - now_signed));
  return true;
}

bool UdpDirectHandshakeHelper::send(UdpDirectHandshakeSocket& socket, const HXNetMessage& message) {
  return socket.sendTo(message.buffer(), message.size(), m_connection.remote) == message.size();
}

bool UdpDirectHandshakeHelper::sendHello(UdpDirectHandshakeHandler& handler,
                                         UdpDirectHandshakeSocket& socket, uint64_t tick) {
  ++m_hellosSent;
  HXNetMessage message;
  if (!createHelloRequest(message, tick) || !send(socket, message)) {
    onSendFailed(handler);
    return false;
  }
  m_lastHelloSent = tick;
  if (m_firstHelloSent == 0) m_firstHelloSent = tick;
  m_helloDue = tick + kHelloInterval;
  socket.startTimer(kHelloTimer, kHelloInterval);
  return true;
}

bool UdpDirectHandshakeHelper::sendAck(UdpDirectHandshakeHandler& handler,
                                       UdpDirectHandshakeSocket& socket, uint64_t tick) {
  HXNetMessage message;
  if (!createAnswer(message, tick) || !send(socket, message)) {
    onSendFailed(handler);
    return false;
  }
  m_lastOkSent = tick;
  return true;
}

void UdpDirectHandshakeHelper::onSendFailed(UdpDirectHandshakeHandler& handler) {
  // Only a path on which both messages were heard is proven; a send that fails before that
  // must not read as a direct connection made.
  finish(handler, m_helloAccepted && m_okAccepted ? State::kDone : State::kFailed);
}

void UdpDirectHandshakeHelper::notifyHandshakeDone(UdpDirectHandshakeHandler& handler) {
  finish(handler, State::kDone);
}

void UdpDirectHandshakeHelper::finish(UdpDirectHandshakeHandler& handler, State outcome) {
  handler.stopTimer(kHelloTimer);
  handler.stopTimer(kConversationEndTimer);
  handler.setSendStateAsync(false);
  if (m_state == State::kRunning) m_state = outcome;
}

bool UdpDirectHandshakeHelper::createHelloRequest(HXNetMessage& message, uint64_t tick) const {
  const udp::ConferenceInfo& info = confInfo();
  udp::HelloRequestData fields;
  fields.conferenceName = info.conferenceName;
  fields.participantName = info.ownName;
  fields.connectedParticipantName = m_connection.peerName;
  fields.sendTime = tick;
  fields.localIntEp = m_connection.local;
  fields.remoteExtEp = m_connection.remote;
  HX_Container body;
  udp::addCommonReqFields(fields, body);
  udp::addCtrlNum(body, m_ownControlNumber);
  return udp::fillMsg(message, body, udp::kHelloText, udp::kHelloHeaderSize);
}

bool UdpDirectHandshakeHelper::createAnswer(HXNetMessage& message, uint64_t tick) const {
  HX_Container body;
  udp::addCtrlNum(body, m_peerControlNumber);
  if (m_peerVersion > 0) {
    const udp::ConferenceInfo& info = confInfo();
    udp::HelloRequestData fields;
    fields.conferenceName = info.conferenceName;
    fields.participantName = info.ownName;
    fields.connectedParticipantName = m_connection.peerName;
    fields.sendTime = tick;
    fields.localIntEp = m_connection.local;
    fields.remoteExtEp = m_connection.remote;
    udp::addCommonReqFields(fields, body);
    if (m_peerLastSendTime != 0) udp::addRetBackTime(body, m_peerLastSendTime);
  }
  return udp::fillMsg(message, body, udp::kOkReplyText, udp::kOkReplyHeaderSize);
}

void UdpDirectHandshakeHelper::updateNatSettings(const udp::HelloRequestData& data) {
  // Later sends go where the peer's datagrams come from: a NAT in between answers only there.
  if (!data.source.empty() && data.source.cmp(m_connection.remote) != 0) {
    m_connection.remote = data.source;
  }
  if (!data.localIntEp.empty() && !sameEndpoint(data.localIntEp, m_connection.remoteNat)) {
    updateNatRemote(data.localIntEp);
  }
  if (!data.remoteExtEp.empty() && !sameEndpoint(data.remoteExtEp, m_connection.localNat)) {
    updateNatLocal(data.remoteExtEp);
  }
}

// Both resets go back to the connection's own addresses rather than to the one reported; the
// peer's view is only used to notice that something in between rewrites addresses.
void UdpDirectHandshakeHelper::updateNatLocal(const HXSockAddr&) {
  m_connection.localNat = m_connection.local;
}

void UdpDirectHandshakeHelper::updateNatRemote(const HXSockAddr&) {
  m_connection.remoteNat = m_connection.remote;
  m_helloAccepted = false;
}

void UdpDirectHandshakeHelper::setExtRtt(uint64_t ms) {
  if (m_connection.rtt != 0 && ms < m_connection.rtt) m_connection.rtt = ms;
}

void UdpDirectHandshakeHelper::saveRtt(uint64_t ms) {
  if (m_connection.rtt == 0 || ms < m_connection.rtt) m_connection.rtt = ms;
}

std::string UdpDirectHandshakeHelper::str() const {
  return "UDP trial conn state " + std::to_string(static_cast<uint32_t>(m_state)) + " " +
         m_connection.str();
}

}  // namespace hx::streams
