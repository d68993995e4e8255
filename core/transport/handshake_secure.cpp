#include "core/transport/handshake_secure.h"

#include <sys/socket.h>

#include <cstdlib>

#include "core/net/socket/abstract_socket.h"
#include "core/security/certificate.h"
#include "core/security/openssl_setup.h"

namespace {

constexpr int kHandshakeVersion = 1;
// The certificate extension that marks a conferencing server, and the least value it must hold.
constexpr char kServerExtension[] = "1.2";
constexpr long long kLeastServerExtensionValue = 361;

}  // namespace

HXHelperHandshakeSecure::HXHelperHandshakeSecure() : m_facade(std::make_unique<HX_SecureHandshake>()) {}

HXHelperHandshakeSecure::~HXHelperHandshakeSecure() {
  DropPacket();
  ReleaseCiphers();
}

void HXHelperHandshakeSecure::InstallOpenSSL() { hx::InstallOpenSSL(); }

bool HXHelperHandshakeSecure::InitHandshake(std::shared_ptr<HX_TransportConnectionParam> param) {
  m_param = std::move(param);
  DropPacket();
  ReleaseCiphers();
  m_result = 0;
  m_facade->Init(kHandshakeVersion, HX_SECURE_HANDSHAKE_CLIENT);
  m_secureState = m_facade->Next();
  return true;
}

int32_t HXHelperHandshakeSecure::OnReadyRecvImp(HXZASocket* socket, HXZADataHandler*) {
  return ProcessHandshake(socket, false);
}

int32_t HXHelperHandshakeSecure::OnReadySendImp(HXZASocket* socket, HXZADataHandler*) {
  return ProcessHandshake(socket, true);
}

int32_t HXHelperHandshakeSecure::ProcessHandshake(HXZASocket* socket, bool sending) {
  // The facade moves on when it hands out a packet, so a packet under way is finished first,
  // whatever the facade would do next.
  const HX_SecureHandshakeState next = m_packet != nullptr ? m_packetDirection : m_facade->Next();
  if (next == HX_SH_FINISHED) return Finish(socket);
  if (next == HX_SH_SEND && sending) return SendPacket(socket);
  if (next == HX_SH_RECEIVE && !sending) return ReceivePackets(socket);
  if (next == HX_SH_RECEIVE && m_packet != nullptr) {
    socket->SendAsync(false);  // a ready-to-send event left over from the last packet sent
    return keepGoing;
  }
  // The server may already have sent what follows the packet the client refused; the client's
  // error message still goes out with the next ready-to-send event, unless the stream is over.
  if (next == HX_SH_SEND && !sending && !StreamEnded(socket)) return keepGoing;
  return Fail();
}

bool HXHelperHandshakeSecure::StreamEnded(HXZASocket* socket) {
  uint8_t byte = 0;
  return socket->Recv(&byte, 1, MSG_PEEK) == 0 && socket->RecvEnded();
}

int32_t HXHelperHandshakeSecure::SendPacket(HXZASocket* socket) {
  if (m_packet == nullptr && !TakePacket(HX_SH_SEND)) return failed;
  m_packetDone += socket->Send(m_packet + m_packetDone, m_packetSize - m_packetDone, 0);
  if (m_packetDone == m_packetSize) {
    DropPacket();
    // The packet after this one is sent on the next ready-to-send event; a packet to receive
    // comes with a readable one.
    socket->SendAsync(m_secureState == HX_SH_SEND);
  }
  return keepGoing;
}

// Reads packets as long as the facade wants them and the socket has their bytes; each read asks
// for no more than the packet under way still lacks.
int32_t HXHelperHandshakeSecure::ReceivePackets(HXZASocket* socket) {
  for (;;) {
    if (m_packet == nullptr && !TakePacket(HX_SH_RECEIVE)) return failed;
    while (m_packetDone < m_packetSize) {
      const size_t received = socket->Recv(m_packet + m_packetDone, m_packetSize - m_packetDone, 0);
      if (received == 0) return socket->RecvEnded() ? Fail() : keepGoing;
      m_packetDone += received;
    }
    const bool processed = m_facade->ProcessPacket(m_packet, m_packetSize);
    DropPacket();
    if (!processed) return Fail();
    m_secureState = m_facade->Next();
    switch (m_secureState) {
      case HX_SH_RECEIVE:
        continue;
      case HX_SH_SEND:
        socket->SendAsync(true);
        return keepGoing;
      case HX_SH_FINISHED:
        return Finish(socket);
      case HX_SH_FAILED:
        return Fail();
      default:
        return keepGoing;
    }
  }
}

int32_t HXHelperHandshakeSecure::Finish(HXZASocket* socket) {
  if (checkCertificate()) {
    m_readCrypt = m_facade->GetReadSymmetricCrypt();
    m_writeCrypt = m_facade->GetWriteSymmetricCrypt();
  } else {
    ReleaseCiphers();
  }
  socket->SendAsync(false);
  m_facade->StopHandshake();
  const bool ciphers = m_readCrypt != nullptr && m_writeCrypt != nullptr;
  m_secureState = ciphers ? HX_SH_FINISHED : HX_SH_FAILED;
  return ciphers ? done : failed;
}

int32_t HXHelperHandshakeSecure::Fail() {
  m_result = m_facade->GetHandshakeErrorCode();
  m_secureState = HX_SH_FAILED;
  DropPacket();
  return failed;
}

bool HXHelperHandshakeSecure::TakePacket(HX_SecureHandshakeState direction) {
  m_packetDone = 0;
  m_packetDirection = direction;
  if (m_facade->PreparePacket(m_packet, m_packetSize)) return true;
  m_packet = nullptr;
  m_packetSize = 0;
  m_result = m_facade->GetHandshakeErrorCode();
  m_secureState = HX_SH_FAILED;
  return false;
}

void HXHelperHandshakeSecure::DropPacket() {
  if (m_packet != nullptr) m_facade->FreePacket(m_packet);
  m_packet = nullptr;
  m_packetSize = 0;
  m_packetDone = 0;
}

void HXHelperHandshakeSecure::ReleaseCiphers() {
  HX_SecureHandshake::ReleaseSymmetricCrypt(m_readCrypt);
  HX_SecureHandshake::ReleaseSymmetricCrypt(m_writeCrypt);
}

bool HXHelperHandshakeSecure::checkCertificate() {
  const std::shared_ptr<HX_Certificate> certificate = m_facade->CloneCertificate();
  const std::string server_id = m_param != nullptr ? m_param->getSID() : std::string();
  const int32_t result = CheckServerCertificate(certificate.get(), server_id);
  if (result == 0) return true;
  m_result = result;
  m_secureState = HX_SH_FAILED;
  return false;
}

int32_t HXHelperHandshakeSecure::CheckServerCertificate(const HX_Certificate* certificate,
                                                        const std::string& serverId) {
  if (certificate == nullptr) return kResultNoCertificate;
  std::string common_name, country, organisation, surname, email, not_before, not_after;
  if (!certificate->GetCertificateData(common_name, country, organisation, surname, email) ||
      !certificate->GetExpirationTime(not_before, not_after, true)) {
    return kResultNoCertificate;
  }
  if (!serverId.empty() && common_name != serverId) return kResultWrongCommonName;

  std::string extension;
  if (!certificate->GetExtension(kServerExtension, extension) ||
      std::strtoll(extension.c_str(), nullptr, 10) < kLeastServerExtensionValue) {
    return kResultMissingExtension;
  }
  switch (certificate->CheckExpirationTime()) {
    case 0:
      return 0;
    case 1:
      return kResultExpired;
    case -1:
      return kResultNotYetValid;
    default:
      return kResultNoCertificate;
  }
}

const uint8_t* HXHelperHandshakeSecure::Encrypt(const uint8_t* data, uint32_t length, uint8_t* out,
                                                uint32_t& size) {
  if (m_writeCrypt == nullptr || !m_writeCrypt->Encrypt(data, length, out, size)) return nullptr;
  return out;
}

const uint8_t* HXHelperHandshakeSecure::Decrypt(const uint8_t* data, uint32_t length, uint8_t* out,
                                                uint32_t& size, bool last_piece) {
  if (m_readCrypt == nullptr || !m_readCrypt->Decrypt(data, length, out, size, last_piece)) {
    return nullptr;
  }
  return out;
}

uint32_t HXHelperHandshakeSecure::GetSymCryptBlockSize() {
  return m_readCrypt != nullptr ? m_readCrypt->GetBlockSize() : 0;
}
