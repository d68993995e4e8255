#include "core/transport/handshake_simple.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/base/ios_log.h"
#include "core/net/socket/abstract_socket.h"
#include "core/wire/transport_handshake.h"

namespace {

// Copies at most `limit` characters of `text` into `field` (which holds limit + 1 bytes).
template <size_t N>
void CopyName(std::array<char, N>& field, const char* text) {
  field.fill('\0');
  if (text != nullptr) std::strncpy(field.data(), text, N - 1);
}

}  // namespace

HXHelperHandshakeSimple::HXHelperHandshakeSimple() = default;

HXHelperHandshakeSimple::~HXHelperHandshakeSimple() = default;

bool HXHelperHandshakeSimple::InitHandshake(bool keepClientId, bool keepAlive, bool secure,
                                            bool unused) {
  if (!keepClientId) {
    m_sid.fill('\0');
    m_cid.fill('\0');
  }
  m_keepAlive = keepAlive;
  m_secure = secure;
  m_unused = unused;
  m_idleTimeout = kDefaultIdleTimeout;
  m_replyFill = 0;
  m_state.store(stateReadyToSend);
  return true;
}

bool HXHelperHandshakeSimple::SendHandshake(HXZASocket* socket) {
  const bool secure_requested = m_secure && socket->GetTlsContext() == nullptr;
  // The second name of a request holds at most 64 characters, an assigned client id up to 255.
  const std::string second_name(m_cid.data(), strnlen(m_cid.data(), kMaxSidLength));
  HX_ZeroHandshakeFixedPart* request =
      HX_FormTransportHandshake(m_cid.data(), second_name.c_str(), 0, secure_requested, m_keepAlive);
  if (request == nullptr) {
    ios_log("HXHelperHandshakeSimple::SendHandshake cannot form the request");
    m_result = kResultRequestNotSent;
    return false;
  }
  const size_t size = request->RecordLength();
  const size_t sent = socket->Send(request, size, 0);
  std::free(request);
  if (sent < size) {
    ios_log("HXHelperHandshakeSimple::SendHandshake snd_size %u msg_size %u",
            static_cast<unsigned>(sent), static_cast<unsigned>(size));
    m_result = kResultRequestNotSent;
    return false;
  }
  return true;
}

int32_t HXHelperHandshakeSimple::RecvHandshake(HXZASocket* socket) {
  auto* record = reinterpret_cast<HX_ZeroHandshakeFixedPart*>(m_reply.data());
  for (;;) {
    const bool head_complete = m_replyFill >= kZeroHandshakeHeadSize;
    const size_t wanted = head_complete ? record->RecordLength() : kZeroHandshakeHeadSize;
    const size_t received = socket->Recv(m_reply.data() + m_replyFill, wanted - m_replyFill, 0);
    if (received == 0) {
      if (!socket->RecvEnded()) return keepGoing;  // the rest comes with a later event
      m_result = head_complete ? kResultReplyIncomplete : kResultHeadIncomplete;
      return failed;
    }
    m_replyFill += received;
    if (m_replyFill == kZeroHandshakeHeadSize + record->BodyLength()) {
      return CheckHandshake(record, true, socket->GetTlsContext() != nullptr) ? done : failed;
    }
  }
}

bool HXHelperHandshakeSimple::CheckHandshake(const HX_ZeroHandshakeFixedPart* record, bool complete,
                                             bool tls) {
  m_result = kResultNone;
  uint8_t result = 0;
  uint16_t idle_timeout = 0;
  uint8_t value1 = 0;
  uint8_t value2 = 0;
  const char* first_name = nullptr;
  const char* second_name = nullptr;
  bool server_secure = false;
  bool server_keep_alive = false;
  const bool parsed =
      complete && HX_TransformTransportReplyHandshake(record, result, idle_timeout, value1, value2,
                                                      first_name, second_name, server_secure,
                                                      server_keep_alive);
  if (!parsed) {
    m_result = kResultReplyIncomplete;
    idle_timeout = 0;
    server_secure = false;
    server_keep_alive = false;
    first_name = second_name = nullptr;
  } else {
    m_result = result;
    if (result == 0 && !server_secure && !tls) m_result = kResultNotSecure;
  }

  m_secure = m_secure && server_secure;
  m_keepAlive = server_keep_alive;
  m_idleTimeout = idle_timeout;
  CopyName(m_sid, first_name);
  CopyName(m_cid, second_name);

  if (server_keep_alive && !HX_GetKeepAliveSupport()) {
    ios_log("FAILED: %s", "imbalanced network");
    if (m_result == kResultAccepted) m_result = kResultHeadIncomplete;
  }
  return m_result == kResultAccepted;
}

int32_t HXHelperHandshakeSimple::OnReadySendImp(HXZASocket* socket, HXZADataHandler*) {
  if (m_state.load() != stateReadyToSend) {
    socket->SendAsync(false);
    m_result = kResultWrongState;
    return failed;
  }
  const bool sent = SendHandshake(socket);
  socket->SendAsync(false);
  if (!sent) return failed;
  m_replyFill = 0;
  m_state.store(stateRequestSent);
  return keepGoing;
}

int32_t HXHelperHandshakeSimple::OnReadyRecvImp(HXZASocket* socket, HXZADataHandler*) {
  if (m_state.load() != stateRequestSent) {
    m_result = kResultWrongState;
    return failed;
  }
  const int32_t progress = RecvHandshake(socket);
  if (progress == done) m_state.store(stateReplyAccepted);
  return progress;
}

const uint8_t* HXHelperHandshakeSimple::Encrypt(const uint8_t* data, uint32_t length, uint8_t*,
                                                uint32_t& size) {
  size = length;
  return data;
}

const uint8_t* HXHelperHandshakeSimple::Decrypt(const uint8_t* data, uint32_t length, uint8_t*,
                                                uint32_t& size, bool) {
  size = length;
  return data;
}

uint32_t HXHelperHandshakeSimple::GetSymCryptBlockSize() { return 0; }
