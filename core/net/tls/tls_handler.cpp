#include "core/net/tls/tls_handler.h"

#include <algorithm>
#include <utility>

#include "core/net/socket/common_socket.h"
#include "core/net/socket/socket_helper.h"

namespace {

constexpr size_t kRecvRingSize = 0xC400;
constexpr size_t kSendRingSize = 0x8C00;
// A network read happens only while the receive ring has this much room, which bounds what is
// buffered ahead of the application.
constexpr size_t kReadRoom = 0x7FFF;
// One read: a full TLS record with its overhead.
constexpr size_t kNetworkRead = 17493;
// Plain bytes per record, and the room kept free in the send ring for one record's overhead.
constexpr size_t kMaxPlainRecord = 16384;
constexpr size_t kRecordOverhead = 1109;

}  // namespace

std::atomic<HXTLSHandler::Mode> HXTLSHandler::m_default_mode{HXTLSHandler::modeFallbackPlain};

HXTLSHandler::HXTLSHandler(HXZCommonSocket* owner)
    : m_mode(m_default_mode.load()),
      m_owner(owner),
      m_recvRing(kRecvRingSize),
      m_sendRing(kSendRingSize) {}

HXTLSHandler::~HXTLSHandler() { Reset(); }

void HXTLSHandler::Reset() {
  m_state = stateIdle;
  m_peerClosed = false;
  m_engine.Reset();
  m_flags = 0;
  m_recvRing.Clear();
  m_sendRing.Clear();
}

void HXTLSHandler::SetEndpoint(std::shared_ptr<HXZAEndpointHolder> endpoint) {
  m_endpoint = std::move(endpoint);
}

// --- Handshake ---

int HXTLSHandler::StartHandshake() {
  if (!m_engine.InitSsl() || !m_engine.AddCaCert()) return -1;
  return HandshakeStep();
}

int HXTLSHandler::HandshakeStep() {
  const int step = m_engine.HandshakeStep();
  if (step == 1) {
    m_state = stateEstablished;
    FlushBuffers();
    return 1;
  }
  if (step == 0 && m_engine.PendingOutput() > 0) HandshakeWrite();
  return step;
}

void HXTLSHandler::CollectEngineOutput() {
  for (size_t pending = m_engine.PendingOutput(); pending > 0; pending = m_engine.PendingOutput()) {
    m_sendRing.Reserve(pending);
    const size_t piece = std::min(pending, m_sendRing.linearFreeSpace());
    m_sendRing.Commit(m_engine.ReadOutput(m_sendRing.WritePtr(), piece));
  }
}

void HXTLSHandler::HandshakeWrite() {
  CollectEngineOutput();
  m_flags.fetch_or(kPendingSend);
  m_owner->HXZASocket::SendAsync(true);
}

int HXTLSHandler::HandshakeRead() {
  if (m_recvRing.Empty()) return 0;
  while (!m_recvRing.Empty()) {
    const size_t piece = m_recvRing.linearDataSize();
    if (!m_engine.WriteInput(m_recvRing.ReadPtr(), piece)) return -1;
    m_recvRing.Cut(piece);
  }
  return HandshakeStep();
}

void HXTLSHandler::FlushBuffers() {
  HandshakeWrite();
  DecryptIntoRing();
}

size_t HXTLSHandler::DecryptIntoRing() {
  size_t decrypted = 0;
  for (;;) {
    if (m_recvRing.linearFreeSpace() == 0) m_recvRing.Reserve(kMaxPlainRecord);
    const size_t room = std::min(m_recvRing.linearFreeSpace(), kMaxPlainRecord);
    const size_t n = m_engine.Decrypt(m_recvRing.WritePtr(), room);
    if (n == 0) return decrypted;
    m_recvRing.Commit(n);
    decrypted += n;
  }
}

// --- Receiving ---

int HXTLSHandler::readNetwork(ReadProgress& progress) {
  progress.nearlyFull = m_recvRing.FreeSpace() < kReadRoom;
  if (progress.nearlyFull) {
    progress.more = true;
    return 1;
  }
  uint8_t buffer[kNetworkRead];
  const size_t n = m_owner->Parent()->RecvImp(buffer, sizeof buffer, 0, m_owner);
  if (n == 0) {
    // A readiness without bytes (the loop delivering buffered data, or a spurious wake-up) is
    // not the end of the stream.
    progress.more = false;
    return m_owner->RecvEnded() ? -1 : 0;
  }
  progress.total += n;
  progress.more = n == sizeof buffer;
  if (GetState() != stateEstablished) {
    m_recvRing.Push(buffer, n);
    return 1;
  }
  if (!m_engine.WriteInput(buffer, n)) return 0;
  const size_t decrypted = DecryptIntoRing();
  if (m_engine.PeerClosed() && !m_peerClosed) {
    m_peerClosed = true;
    m_engine.Shutdown();
    m_owner->Close(true);
  }
  return decrypted == 0 ? 0 : 1;
}

int32_t HXTLSHandler::OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) {
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  int32_t result = HXZADataManager::failed;
  bool first_delivery = true;
  ReadProgress progress;
  for (;;) {
    const int read = readNetwork(progress);
    if (read < 0) {
      if (progress.total > 0) return result;
      const int32_t previous = m_state.exchange(stateFailed);
      if (previous == stateHandshake) {
        OnTlsHandshakeDone(false);
      } else {
        onConnectionClosed();
      }
      return HXZADataManager::failed;
    }
    if (read == 0) return HXZADataManager::keepGoing;

    switch (GetState()) {
      case stateHandshake:
        if (HandshakeRead() < 0) {
          m_state = stateFailed;
          OnTlsHandshakeDone(false);
          return HXZADataManager::failed;
        }
        result = HXZADataManager::keepGoing;
        if (GetState() == stateEstablished) {
          // The layer above gets its first ready-to-send event now.
          m_flags.fetch_or(kWantsSend);
          m_owner->HXZASocket::SendAsync(true);
        }
        break;
      case stateEstablished:
        while (!m_recvRing.Empty()) {
          if (!first_delivery && !handler->GetState()) {
            progress.more = false;
            break;
          }
          first_delivery = false;
          HXZASocketCallbacks* next = getSocketNextCallback();
          if (next == nullptr) break;
          const size_t stored = m_recvRing.Size();
          result = next->OnReadyRecvImp(socket, handler);
          if (m_recvRing.Size() == stored) {
            if (progress.nearlyFull) progress.more = false;
            break;
          }
        }
        break;
      default:
        return HXZADataManager::failed;
    }
    if (result == HXZADataManager::failed || !progress.more) return result;
    // The layer above may have closed the socket while it read (a failed reader, a server that
    // said goodbye): its descriptor is gone and there is nothing more to read in this event.
    if (!handler->GetState() || m_owner->GetHandle() < 0) return result;
  }
}

size_t HXTLSHandler::RecvImpl(void* out, size_t length, bool peek) {
  return m_recvRing.Get(out, length, peek);
}

// --- Sending ---

bool HXTLSHandler::FlushSendRing() {
  while (!m_sendRing.Empty()) {
    const size_t piece = m_sendRing.linearDataSize();
    const size_t sent = m_owner->Parent()->SendImp(m_sendRing.ReadPtr(), piece, 0, m_owner);
    m_sendRing.Cut(sent);
    if (sent < piece) return false;
  }
  return true;
}

int32_t HXTLSHandler::OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) {
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  const int32_t state_on_entry = GetState();
  switch (state_on_entry) {
    case stateIdle:
      m_state = stateHandshake;
      if (StartHandshake() < 0) {
        m_state = stateFailed;
        OnTlsHandshakeDone(false);
        return HXZADataManager::failed;
      }
      break;
    case stateHandshake:
      HandshakeWrite();
      break;
    case stateFailed:
      return HXZADataManager::failed;
    default:
      break;
  }
  if (!FlushSendRing()) return HXZADataManager::keepGoing;
  m_flags.fetch_and(~kPendingSend);
  HXZASocketCallbacks* next = getSocketNextCallback();
  if (state_on_entry == stateEstablished && (m_flags.load() & kWantsSend) != 0 && next != nullptr) {
    return next->OnReadySendImp(socket, handler);
  }
  // Cleared first, then the request looked at again: the layer above may ask for writability
  // from another thread after the look above. Its request then found the socket's bit still set
  // and did not wake the loop, so a clear that came after it would lose the request, and what the
  // layer above queued would wait for a writability that nobody asked for.
  m_owner->HXZASocket::SendAsync(false);
  if (GetState() == stateEstablished && (m_flags.load() & kWantsSend) != 0) {
    m_owner->HXZASocket::SendAsync(true);
  }
  return HXZADataManager::keepGoing;
}

size_t HXTLSHandler::SendImpl(const void* data, size_t length, int /*flags*/) {
  if (length == 0 || !m_sendRing.Empty() || GetState() != stateEstablished) return 0;
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t room = m_sendRing.Capacity();
  size_t accepted = 0;
  while (room > kRecordOverhead && accepted < length) {
    size_t piece = std::min(kMaxPlainRecord, length - accepted);
    if (piece > room - kRecordOverhead) {
      if (accepted > 0) break;
      piece = room - kRecordOverhead;
    }
    const int taken = m_engine.Encrypt(bytes + accepted, piece);
    if (taken <= 0) break;
    const size_t before = m_sendRing.Size();
    CollectEngineOutput();
    const size_t produced = m_sendRing.Size() - before;
    room = produced >= room ? 0 : room - produced;
    accepted += static_cast<size_t>(taken);
  }
  if (FlushSendRing()) return accepted;
  // Bytes remain: the next writability sends them, whatever the layer above asks for meanwhile.
  m_flags.fetch_or(kPendingSend);
  m_owner->HXZASocket::SendAsync(true);
  return accepted;
}

void HXTLSHandler::SendAsyncImpl(bool on) {
  if (on) {
    m_flags.fetch_or(kWantsSend);
    m_owner->HXZASocket::SendAsync(true);
    return;
  }
  const uint32_t flags = m_flags.fetch_and(~kWantsSend);
  if ((flags & kPendingSend) != 0) return;
  m_owner->HXZASocket::SendAsync(false);
  // A request from another thread in between found the bit still set: ask again for it.
  if ((m_flags.load() & (kWantsSend | kPendingSend)) != 0) m_owner->HXZASocket::SendAsync(true);
}

// --- Failure, end and close ---

HXZASocketCallbacks* HXTLSHandler::Detach() {
  HXZASocketCallbacks* below = getSocketNextCallback();
  m_owner->RemoveCallback(this);
  m_owner->KillTlsHandler();
  return below;
}

void HXTLSHandler::onConnectionClosed() {
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  HXZASocketCallbacks* below = Detach();
  // The layer above reads the end of the stream itself, now straight from the socket.
  if (below != nullptr) below->OnReadyRecvImp(m_owner, m_owner);
}

void HXTLSHandler::OnTlsHandshakeDone(bool ok) {
  if (ok) return;
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  // The engine's fatal alert (a rejected certificate, a protocol error) goes out before the
  // close, so that the peer learns why; whatever the socket does not take at once is dropped.
  CollectEngineOutput();
  FlushSendRing();
  m_owner->HXZTCPSocketHandy::Close(false);
  // In the fallback mode the close notification that follows reconnects without TLS.
  if (m_mode == modeFallbackPlain) return;
  HXZASocketCallbacks* below = Detach();
  if (below != nullptr) below->OnError();
}

void HXTLSHandler::OnError() {
  if (GetState() != stateIdle) return;
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  HXZASocketCallbacks* below = Detach();
  if (below != nullptr) below->OnError();
}

void HXTLSHandler::socketCloseRequest(bool notify) {
  if (notify) {
    m_flags.fetch_or(kNotifyClose | kOwnerClosing);
  } else {
    m_flags.fetch_and(~kNotifyClose);
    m_flags.fetch_or(kOwnerClosing);
  }
}

void HXTLSHandler::OnClose(HXZADataHandler* closed) {
  const uint32_t flags = m_flags.load();
  OnSocketClosed(closed, (flags & kNotifyClose) != 0, (flags & kOwnerClosing) != 0);
}

void HXTLSHandler::OnSocketClosed(HXZADataHandler* closed, bool notify, bool owner_closing) {
  auto self = weak_from_this().lock();  // keeps the layer alive while it drops itself
  const int32_t state = GetState();
  const bool handshake_failed = state == stateHandshake || state == stateFailed;
  if (handshake_failed && m_mode == modeFallbackPlain && !owner_closing) {
    std::shared_ptr<HXZAEndpointHolder> endpoint = m_endpoint;
    HXZCommonSocket* owner = m_owner;
    HXZASocketCallbacks* below = Detach();
    if (owner->Reconnect(endpoint)) return;
    if (below != nullptr) below->OnClose(closed);
    return;
  }
  HXZASocketCallbacks* below = Detach();
  if (below == nullptr) return;
  if (m_peerClosed) {
    // The peer ended the session in order and the layer closed the socket for it: the layer
    // above reads the end of the stream itself, as after a plain end of the connection.
    below->OnReadyRecvImp(m_owner, m_owner);
  } else if (notify) {
    below->OnClose(closed);
  }
}
