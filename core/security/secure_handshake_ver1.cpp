#include "core/security/secure_handshake_ver1.h"

#include <openssl/crypto.h>

#include <cstring>

#include "core/security/certificate_check.h"
#include "core/security/gost_engine.h"
#include "core/security/pkey_crypt.h"
#include "core/security/root_certificate.h"
#include "core/security/secure_handshake.h"

using namespace hx::secure_handshake;

HX_SecureHandshakeVer1_Impl::HX_SecureHandshakeVer1_Impl() : gost_engine_(hx::GostEngineAvailable()) {}

HX_SecureHandshakeVer1_Impl::~HX_SecureHandshakeVer1_Impl() {
  StopHandshakeAct();
  OPENSSL_cleanse(own_private_key_.data(), own_private_key_.size());
}

void HX_SecureHandshakeVer1_Impl::Wipe(Bytes& bytes) {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  bytes.clear();
}

void HX_SecureHandshakeVer1_Impl::StopHandshakeAct() {
  state_ = kIdle;
  type_ = 0;
  stored_size_.reset();
  Wipe(work_);
  Wipe(packet_);
  peer_certificate_.clear();
  read_crypt_.reset();
  write_crypt_.reset();
  read_taken_ = write_taken_ = false;
}

bool HX_SecureHandshakeVer1_Impl::InitAct(int type) {
  if (type == 0 || state_ != kIdle) return false;
  error_code_ = HX_SH_ERROR_NONE;
  type_ = type;
  state_ = kStarted;
  return true;
}

HX_SecureHandshakeState HX_SecureHandshakeVer1_Impl::Next() {
  if (IsServer()) {
    switch (state_) {
      case kStarted:
        state_ = kServerOffer;
        return HX_SH_SEND_CERTIFICATE;
      case kServerOffer:
        return HX_SH_SEND;
      case kAwaitSize:
      case kSize:
        return HX_SH_RECEIVE;
      case kFinished:
        return HX_SH_FINISHED;
      default:
        return HX_SH_FAILED;
    }
  }
  switch (state_) {
    case kStarted:
    case kSize:
    case kCertificateSize:
    case kCertificate:
      return HX_SH_RECEIVE;
    case kBody:
    case kErrorMessage:
      return HX_SH_SEND;
    case kFinished:
      return HX_SH_FINISHED;
    default:
      return HX_SH_FAILED;
  }
}

bool HX_SecureHandshakeVer1_Impl::PreparePacket(uint8_t*& buffer, uint32_t& size) {
  if (state_ % 2 == 0) return Fail(HX_SH_ERROR_STOPPED);
  if (buffer != nullptr) return Fail(HX_SH_ERROR_PACKET_PENDING);
  return IsServer() ? ServerPreparePacket(buffer, size) : ClientPreparePacket(buffer, size);
}

void HX_SecureHandshakeVer1_Impl::FreePacketBuf(uint8_t*& buffer) {
  Wipe(packet_);
  buffer = nullptr;
}

bool HX_SecureHandshakeVer1_Impl::ProcessPacket(const uint8_t* data, uint32_t length) {
  if (state_ % 2 == 0) return Fail(HX_SH_ERROR_STOPPED);
  if (data == nullptr && length > 0) return Fail(HX_SH_ERROR_BAD_SIZE);
  return IsServer() ? ServerProcPacket(data, length) : ClientProcPacket(data, length);
}

bool HX_SecureHandshakeVer1_Impl::ClientPreparePacket(uint8_t*& buffer, uint32_t& size) {
  switch (state_) {
    case kStarted:
      return Receive(4, kCertificateSize, buffer, size);
    case kCertificateSize:
      if (!stored_size_) return Fail(HX_SH_ERROR_INTERNAL);
      return Receive(*stored_size_, kCertificate, buffer, size);
    case kCertificate:
      return Receive(4, kSize, buffer, size);
    case kSize:
      if (!stored_size_) return Fail(HX_SH_ERROR_INTERNAL);
      return Receive(4 * *stored_size_, kBody, buffer, size);
    case kBody: {
      if (work_.size() <= 16) return Fail(HX_SH_ERROR_BAD_SIZE);
      Bytes key_message = work_;
      Wipe(work_);
      return Send(std::move(key_message), kFinished, buffer, size);
    }
    case kErrorMessage:
      return Send(FormErrorMessage(static_cast<uint32_t>(error_code_)), kErrorMessageSent, buffer, size);
    default:
      return Fail(HX_SH_ERROR_INTERNAL);
  }
}

bool HX_SecureHandshakeVer1_Impl::ServerPreparePacket(uint8_t*& buffer, uint32_t& size) {
  switch (state_) {
    case kServerOffer:
      return Send(FormOffer(HX_SecureHandshake::GetImprovedSecurityState(), gost_engine_), kAwaitSize, buffer,
                  size);
    case kAwaitSize:
      return Receive(4, kSize, buffer, size);
    case kSize:
      if (!stored_size_) return Fail(HX_SH_ERROR_BAD_SIZE);
      return Receive(*stored_size_, kBody, buffer, size);
    default:
      return Fail(HX_SH_ERROR_INTERNAL);
  }
}

bool HX_SecureHandshakeVer1_Impl::ClientProcPacket(const uint8_t* data, uint32_t length) {
  switch (state_) {
    case kCertificateSize:
      if (stored_size_) return QueueErrorMessage(HX_SH_ERROR_INTERNAL);
      if (!StoreSize(data, length, 1, kMaxBodySize)) return QueueErrorMessage(HX_SH_ERROR_BAD_SIZE);
      return true;
    case kCertificate:
      // Success even when the check failed: the queued error message goes out first.
      if (!CheckCertificateMessage(data, length)) QueueErrorMessage(error_code_);
      return true;
    case kSize:
      if (!StoreSize(data, length, 1, kMaxOfferWords)) {
        QueueErrorMessage(HX_SH_ERROR_BAD_SIZE);
        return false;
      }
      return true;
    case kBody: {
      const std::optional<uint32_t> count = TakeStoredSize();
      if (!count || length < 4 || length != 4 * uint64_t{*count}) return QueueErrorMessage(HX_SH_ERROR_BAD_SIZE);
      return ChooseAndSealKeys(data, *count);
    }
    default:
      return Fail(HX_SH_ERROR_INTERNAL);
  }
}

bool HX_SecureHandshakeVer1_Impl::ServerProcPacket(const uint8_t* data, uint32_t length) {
  switch (state_) {
    case kSize:
      // A body is at least the 4 bytes of a client's error code.
      if (stored_size_ || !StoreSize(data, length, 4, kMaxBodySize)) return Fail(HX_SH_ERROR_BAD_SIZE);
      return true;
    case kBody: {
      const std::optional<uint32_t> expected = TakeStoredSize();
      if (!expected || length != *expected) return Fail(HX_SH_ERROR_BAD_SIZE);
      if (length == 4) return RecordPeerRefusal(data);
      return OpenKeyMessage(data, length);
    }
    default:
      return Fail(HX_SH_ERROR_INTERNAL);
  }
}

bool HX_SecureHandshakeVer1_Impl::Send(Bytes packet, int next, uint8_t*& buffer, uint32_t& size) {
  if (packet.empty()) return Fail(HX_SH_ERROR_INTERNAL);
  packet_ = std::move(packet);
  buffer = packet_.data();
  size = static_cast<uint32_t>(packet_.size());
  state_ = next;
  return true;
}

bool HX_SecureHandshakeVer1_Impl::Receive(uint32_t length, int next, uint8_t*& buffer, uint32_t& size) {
  if (length == 0) return Fail(HX_SH_ERROR_BAD_SIZE);
  packet_.assign(length, 0);
  buffer = packet_.data();
  size = length;
  state_ = next;
  return true;
}

bool HX_SecureHandshakeVer1_Impl::Fail(int code) {
  error_code_ = code;
  return false;
}

bool HX_SecureHandshakeVer1_Impl::QueueErrorMessage(int code) {
  error_code_ = code;
  state_ = kErrorMessage;
  return true;
}

bool HX_SecureHandshakeVer1_Impl::RecordPeerRefusal(const uint8_t* code) {
  // The handshake ends here; the client's reason becomes ours, so that the end never reads as
  // "no error".
  const uint32_t reason = ReadU32(code);
  error_code_ = reason != HX_SH_ERROR_NONE && reason <= HX_SH_ERROR_INTERNAL ? static_cast<int>(reason)
                                                                            : HX_SH_ERROR_STOPPED;
  state_ = kErrorMessageSent;
  return true;
}

bool HX_SecureHandshakeVer1_Impl::StoreSize(const uint8_t* data, uint32_t length, uint32_t min, uint32_t max) {
  if (length != 4) return false;
  const uint32_t value = ReadU32(data);
  if (value < min || value > max) return false;
  stored_size_ = value;
  return true;
}

std::optional<uint32_t> HX_SecureHandshakeVer1_Impl::TakeStoredSize() {
  return std::exchange(stored_size_, std::nullopt);
}

bool HX_SecureHandshakeVer1_Impl::CheckCertificateMessage(const uint8_t* data, uint32_t length) {
  const std::optional<uint32_t> expected = TakeStoredSize();
  if (!expected || length != *expected) return Fail(HX_SH_ERROR_BAD_SIZE);
  CertificateMessage message;
  switch (ParseCertificateMessage(data, length, &message)) {
    case CertificateParse::kOk:
      break;
    case CertificateParse::kTooLarge:
      return Fail(HX_SH_ERROR_BAD_SIZE);
    case CertificateParse::kUnreadable:
      return Fail(HX_SH_ERROR_INTERNAL);
  }

  // Only the built-in root is trusted: chain entries may link to it but never stand in for it.
  HX_CertificateCheck check;
  for (const std::string_view intermediate : message.chain)
    check.SetUntrustedCert(intermediate.data(), static_cast<uint32_t>(intermediate.size()), HX_STORAGE_MEMORY);
  const std::string root = hx::BuiltInRootCertificate();
  if (root.empty() || !check.SetCertToChain(root.data(), static_cast<uint32_t>(root.size()), HX_STORAGE_MEMORY))
    return Fail(HX_SH_ERROR_INTERNAL);
  if (!message.has_certificate) return Fail(HX_SH_ERROR_NO_CERTIFICATE);

  // The certificate verified is the one whose key is used and that the owner inspects.
  const std::string_view pem = message.certificate;
  peer_certificate_ = pem;
  if (!check.SetCert(pem.data(), static_cast<uint32_t>(pem.size()), HX_STORAGE_MEMORY) || !check.VerifyCert())
    return Fail(HX_SH_ERROR_CERTIFICATE);
  HX_Certificate certificate;
  if (!certificate.SetCert(pem.data(), static_cast<uint32_t>(pem.size()), HX_STORAGE_MEMORY) ||
      !certificate.GetCertPublicKey(&peer_key_))
    return Fail(HX_SH_ERROR_INTERNAL);
  return true;
}

bool HX_SecureHandshakeVer1_Impl::MakeCiphers(uint32_t algorithm, const Bytes& read_key, const Bytes& write_key) {
  auto read = std::make_unique<HX_SymmetricCrypt>();
  auto write = std::make_unique<HX_SymmetricCrypt>();
  const auto cipher_algorithm = static_cast<HX_SymmetricAlg>(algorithm);
  if (!read->Init(cipher_algorithm, ModeFor(algorithm)) ||
      !read->SetKey(static_cast<uint32_t>(read_key.size()), read_key.data()) ||
      !write->Init(cipher_algorithm, ModeFor(algorithm)) ||
      !write->SetKey(static_cast<uint32_t>(write_key.size()), write_key.data()))
    return false;
  read_crypt_ = std::move(read);
  write_crypt_ = std::move(write);
  return true;
}

bool HX_SecureHandshakeVer1_Impl::ChooseAndSealKeys(const uint8_t* words, uint32_t count) {
  const uint32_t algorithm = ChooseAlgorithm(words, count, gost_engine_);
  if (algorithm == 0) {
    QueueErrorMessage(HX_SH_ERROR_NO_ALGORITHM);
    return false;  // the owner stops without sending it
  }
  KeyBlock block{algorithm, Bytes(KeyLengthFor(algorithm)), Bytes(KeyLengthFor(algorithm))};
  const bool made = HX_SymmetricCrypt::GenerateKey(static_cast<uint32_t>(block.key1.size()), block.key1.data()) &&
                    HX_SymmetricCrypt::GenerateKey(static_cast<uint32_t>(block.key2.size()), block.key2.data()) &&
                    MakeCiphers(algorithm, /*read_key=*/block.key2, /*write_key=*/block.key1);
  Bytes plain = made ? FormKeyBlock(block) : Bytes();
  Wipe(block.key1);
  Wipe(block.key2);
  if (!made) return Fail(HX_SH_ERROR_INTERNAL);

  HX_PKeyCrypt envelope;
  const int key_size = EVP_PKEY_size(peer_key_.GetKeyContext());
  Bytes sealed_key(key_size > 0 ? static_cast<size_t>(key_size) : 0);
  Bytes cipher(plain.size() + 16);
  uint8_t iv[kIvSize];
  uint32_t sealed_size = static_cast<uint32_t>(sealed_key.size());
  uint32_t cipher_size = static_cast<uint32_t>(cipher.size());
  const bool sealed = key_size > 0 && envelope.SetPublicKey(&peer_key_) &&
                      envelope.Encrypt(plain.data(), static_cast<uint32_t>(plain.size()), HX_SYMMETRIC_ALG_AES256,
                                       cipher.data(), cipher_size, iv, sealed_key.data(), sealed_size);
  Wipe(plain);
  if (!sealed) {
    read_crypt_.reset();
    write_crypt_.reset();
    return QueueErrorMessage(HX_SH_ERROR_INTERNAL);
  }
  sealed_key.resize(sealed_size);
  cipher.resize(cipher_size);
  work_ = FormKeyMessage(sealed_key, iv, cipher);
  return true;
}

bool HX_SecureHandshakeVer1_Impl::OpenKeyMessage(const uint8_t* body, uint32_t length) {
  if (own_private_key_.empty()) return Fail(HX_SH_ERROR_INTERNAL);
  KeyMessageBody parts;
  if (!ParseKeyMessageBody(body, length, &parts)) return Fail(HX_SH_ERROR_BAD_SIZE);
  HX_PKeyCrypt envelope;
  if (!envelope.SetPrivateKey(own_private_key_.c_str(), HX_STORAGE_MEMORY)) return Fail(HX_SH_ERROR_INTERNAL);
  Bytes plain(parts.cipher_length);
  uint32_t plain_size = parts.cipher_length;
  if (!envelope.Decrypt(parts.cipher, parts.cipher_length, static_cast<int>(parts.algorithm), parts.iv,
                        parts.sealed_key, parts.sealed_key_length, plain.data(), plain_size))
    return Fail(HX_SH_ERROR_OPEN);
  KeyBlock block;
  const bool parsed = ParseKeyBlock(plain.data(), plain_size, &block);
  Wipe(plain);
  const bool made = parsed && MakeCiphers(block.algorithm, /*read_key=*/block.key1, /*write_key=*/block.key2);
  Wipe(block.key1);
  Wipe(block.key2);
  if (!parsed) return Fail(HX_SH_ERROR_BAD_SIZE);
  if (!made) return Fail(HX_SH_ERROR_INTERNAL);
  state_ = kFinished;
  return true;
}

std::unique_ptr<HX_SymmetricCrypt> HX_SecureHandshakeVer1_Impl::GetReadSymmetricCrypt() {
  if (state_ != kFinished || read_taken_) return nullptr;
  read_taken_ = true;
  if (write_taken_) Wipe(work_);
  return std::move(read_crypt_);
}

std::unique_ptr<HX_SymmetricCrypt> HX_SecureHandshakeVer1_Impl::GetWriteSymmetricCrypt() {
  if (state_ != kFinished || write_taken_) return nullptr;
  write_taken_ = true;
  if (read_taken_) Wipe(work_);
  return std::move(write_crypt_);
}

bool HX_SecureHandshakeVer1_Impl::SetPrivateKey(const HX_PKey* key) {
  if (key == nullptr) return false;
  uint32_t size = 0;
  key->GetPrivateKey(HX_STORAGE_MEMORY, nullptr, size);
  std::vector<char> pem(size);
  const bool read = size > 0 && key->GetPrivateKey(HX_STORAGE_MEMORY, pem.data(), size);
  OPENSSL_cleanse(own_private_key_.data(), own_private_key_.size());
  own_private_key_ = read ? std::string(pem.data()) : std::string();
  OPENSSL_cleanse(pem.data(), pem.size());
  return !own_private_key_.empty();
}

std::shared_ptr<HX_Certificate> HX_SecureHandshakeVer1_Impl::CloneCertificate() const {
  if (peer_certificate_.empty()) return nullptr;
  auto certificate = std::make_shared<HX_Certificate>();
  if (!certificate->SetCert(peer_certificate_.data(), static_cast<uint32_t>(peer_certificate_.size()),
                            HX_STORAGE_MEMORY))
    return nullptr;
  return certificate;
}

bool HX_SecureHandshakeVer1_Impl::GetCertificate(uint8_t* buffer, uint32_t& size) const {
  if (peer_certificate_.empty()) return false;
  const uint32_t needed = static_cast<uint32_t>(peer_certificate_.size());
  if (buffer == nullptr || size < needed) {
    size = needed;
    return false;
  }
  std::memcpy(buffer, peer_certificate_.data(), needed);
  size = needed;
  return true;
}
