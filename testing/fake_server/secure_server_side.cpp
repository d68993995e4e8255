#include "testing/fake_server/secure_server_side.h"

#include <cstdlib>
#include <cstring>

#include "core/base/container.h"
#include "core/security/pkey.h"

namespace hx::testing {
namespace {

void AppendU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// u32 S, then S bytes: a container of the certificate and the intermediates, as PEM binaries.
std::vector<uint8_t> CertificateMessage(const SecureIdentity& identity) {
  HX_Container container;
  container.AddValue("Certificate", HX_CNT_BINARY_VT, identity.certificate_pem.data(),
                     identity.certificate_pem.size());
  for (const std::string& pem : identity.chain_pems) {
    container.AddValue("Certificate Chain", HX_CNT_BINARY_VT, pem.data(), pem.size());
  }
  uint8_t* serialized = nullptr;
  size_t size = 0;
  std::vector<uint8_t> message;
  if (container.SerializeAlloc(serialized, size)) {
    AppendU32(message, static_cast<uint32_t>(size));
    message.insert(message.end(), serialized, serialized + size);
  }
  std::free(serialized);
  return message;
}

std::vector<uint8_t> KeyOf(const HX_SymmetricCrypt* crypt) {
  std::vector<uint8_t> key(64);
  uint32_t length = 0;
  if (crypt == nullptr || !crypt->GetKey(static_cast<uint32_t>(key.size()), key.data(), length)) {
    return {};
  }
  key.resize(length);
  return key;
}

}  // namespace

bool SecureServerSide::Start(const SecureIdentity& identity) {
  HX_PKey key;
  certificate_message_ = CertificateMessage(identity);
  return !certificate_message_.empty() &&
         key.SetPrivateKey(identity.private_key_pem.c_str(), HX_STORAGE_MEMORY, nullptr) &&
         handshake_.Init(1, HX_SECURE_HANDSHAKE_SERVER) && handshake_.SetPrivateKey(&key);
}

SecureServerSide::Status SecureServerSide::Advance(const uint8_t* input, size_t size,
                                                   size_t& consumed,
                                                   std::vector<std::vector<uint8_t>>& output) {
  consumed = 0;
  while (true) {
    if (pending_ != nullptr) {
      if (size - consumed < pending_size_) return kRunning;
      if (!Receive(input, consumed)) return kFailed;
      continue;
    }
    switch (handshake_.Next()) {
      case HX_SH_SEND_CERTIFICATE:
        output.push_back(certificate_message_);
        break;
      case HX_SH_SEND: {
        uint8_t* packet = nullptr;
        uint32_t packet_size = 0;
        if (!handshake_.PreparePacket(packet, packet_size)) return kFailed;
        output.emplace_back(packet, packet + packet_size);
        handshake_.FreePacket(packet);
        break;
      }
      case HX_SH_RECEIVE:
        if (!handshake_.PreparePacket(pending_, pending_size_)) return kFailed;
        break;
      case HX_SH_FINISHED:
        return TakeKeys() ? kDone : kFailed;
      default:
        return kFailed;
    }
  }
}

bool SecureServerSide::Receive(const uint8_t* input, size_t& consumed) {
  std::memcpy(pending_, input + consumed, pending_size_);
  consumed += pending_size_;
  // The client's packets are a size word and a body; a body of one word is its error message.
  if (++packets_received_ == 2 && pending_size_ == 4) {
    client_error_ = pending_[0] | (pending_[1] << 8) | (pending_[2] << 16) |
                    (static_cast<uint32_t>(pending_[3]) << 24);
  }
  const bool processed = handshake_.ProcessPacket(pending_, pending_size_);
  handshake_.FreePacket(pending_);
  return processed;
}

bool SecureServerSide::TakeKeys() {
  const std::unique_ptr<HX_SymmetricCrypt> read = handshake_.GetReadSymmetricCrypt();
  const std::unique_ptr<HX_SymmetricCrypt> write = handshake_.GetWriteSymmetricCrypt();
  read_key_ = KeyOf(read.get());
  write_key_ = KeyOf(write.get());
  return !read_key_.empty() && !write_key_.empty();
}

}  // namespace hx::testing
