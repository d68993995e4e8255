#include "core/security/secure_handshake_ver2.h"

#include <random>

#include "core/security/secure_handshake.h"
#include "core/security/sign.h"

using namespace hx::secure_handshake;

namespace {

const HX_SignArg kSignature{HX_SignArg::kRsa, HX_SignArg::kSha1};

Bytes SignedBytes(const Bytes& key_message, const std::string& random_text) {
  Bytes out = key_message;
  out.insert(out.end(), random_text.begin(), random_text.end());
  return out;
}

}  // namespace

void HX_SecureHandshakeVer2_Impl::StopHandshakeAct() {
  HX_SecureHandshakeVer1_Impl::StopHandshakeAct();
  random_text_.clear();
  own_certificate_sent_ = false;
  peer_certificate_checked_ = false;
}

HX_SecureHandshakeState HX_SecureHandshakeVer2_Impl::Next() {
  if (!IsServer() && state_ == kStarted && !own_certificate_sent_) {
    state_ = kServerOffer;
    return HX_SH_SEND_CERTIFICATE;
  }
  if (!IsServer() && state_ == kServerOffer) {
    own_certificate_sent_ = true;
    state_ = kStarted;
  }
  return HX_SecureHandshakeVer1_Impl::Next();
}

bool HX_SecureHandshakeVer2_Impl::ClientPreparePacket(uint8_t*& buffer, uint32_t& size) {
  switch (state_) {
    case kSize:  // the offer container: a byte count
      if (!stored_size_) return Fail(HX_SH_ERROR_INTERNAL);
      return Receive(*stored_size_, kBody, buffer, size);
    case kBody:
      return SendSignedKeyMessage(buffer, size);
    default:
      return HX_SecureHandshakeVer1_Impl::ClientPreparePacket(buffer, size);
  }
}

bool HX_SecureHandshakeVer2_Impl::ClientProcPacket(const uint8_t* data, uint32_t length) {
  switch (state_) {
    case kSize:
      if (!StoreSize(data, length, 1, kMaxBodySize)) {
        QueueErrorMessage(HX_SH_ERROR_BAD_SIZE);
        return false;
      }
      return true;
    case kBody:
      return ProcessOffer(data, length);
    default:
      return HX_SecureHandshakeVer1_Impl::ClientProcPacket(data, length);
  }
}

bool HX_SecureHandshakeVer2_Impl::ProcessOffer(const uint8_t* data, uint32_t length) {
  const std::optional<uint32_t> expected = TakeStoredSize();
  if (!expected || length != *expected) return QueueErrorMessage(HX_SH_ERROR_BAD_SIZE);
  Bytes offer;
  if (!ParseVersion2Offer(data, length, &offer, &random_text_) || random_text_.size() > kMaxRandomText)
    return QueueErrorMessage(HX_SH_ERROR_INTERNAL);
  if (offer.size() < 8) return QueueErrorMessage(HX_SH_ERROR_BAD_SIZE);
  const uint32_t count = ReadU32(offer.data());
  if (count > kMaxOfferWords || offer.size() - 4 != 4 * uint64_t{count})
    return QueueErrorMessage(HX_SH_ERROR_BAD_SIZE);
  return ChooseAndSealKeys(offer.data() + 4, count);
}

bool HX_SecureHandshakeVer2_Impl::SendSignedKeyMessage(uint8_t*& buffer, uint32_t& size) {
  if (own_private_key_.empty() || random_text_.empty() || work_.size() <= 16) return Fail(HX_SH_ERROR_INTERNAL);
  HX_Sign sign;
  if (!sign.Init(kSignature) || !sign.SetPrivateKey(own_private_key_.c_str(), HX_STORAGE_MEMORY, nullptr))
    return Fail(HX_SH_ERROR_INTERNAL);
  const Bytes signed_bytes = SignedBytes(work_, random_text_);
  Bytes signature(sign.GetSignSize());
  uint32_t signature_size = static_cast<uint32_t>(signature.size());
  if (!sign.SignData(signed_bytes.data(), static_cast<uint32_t>(signed_bytes.size()), signature.data(),
                     signature_size))
    return Fail(HX_SH_ERROR_INTERNAL);
  signature.resize(signature_size);
  Bytes key_message = FormVersion2KeyMessage(work_, signature);
  work_.clear();
  return Send(std::move(key_message), kFinished, buffer, size);
}

bool HX_SecureHandshakeVer2_Impl::ServerPreparePacket(uint8_t*& buffer, uint32_t& size) {
  if (state_ != kServerOffer) return HX_SecureHandshakeVer1_Impl::ServerPreparePacket(buffer, size);
  if (!DrawRandomText()) return Fail(HX_SH_ERROR_INTERNAL);
  const Bytes offer = FormOffer(HX_SecureHandshake::GetImprovedSecurityState(), gost_engine_);
  return Send(FormVersion2Offer(offer, random_text_), kAwaitSize, buffer, size);
}

bool HX_SecureHandshakeVer2_Impl::DrawRandomText() {
  // A NUL would end the text early (an empty text fails the client), so such bytes are drawn again.
  try {
    std::random_device device("/dev/urandom");
    random_text_.clear();
    while (random_text_.size() < 32) {
      const uint32_t value = device();
      for (int shift = 0; shift < 32 && random_text_.size() < 32; shift += 8) {
        const char c = static_cast<char>(value >> shift);
        if (c != '\0') random_text_.push_back(c);
      }
    }
    return true;
  } catch (...) {
    random_text_.clear();
    return false;
  }
}

bool HX_SecureHandshakeVer2_Impl::ServerProcPacket(const uint8_t* data, uint32_t length) {
  if (state_ != kBody) return HX_SecureHandshakeVer1_Impl::ServerProcPacket(data, length);
  if (!peer_certificate_checked_) {
    // The first body is the client's certificate message; a client that fails it goes no further.
    if (!CheckCertificateMessage(data, length)) return false;
    peer_certificate_checked_ = true;
    state_ = kAwaitSize;
    return true;
  }
  return ProcessKeyMessage(data, length);
}

bool HX_SecureHandshakeVer2_Impl::ProcessKeyMessage(const uint8_t* data, uint32_t length) {
  const std::optional<uint32_t> expected = TakeStoredSize();
  if (!expected || random_text_.empty()) return Fail(HX_SH_ERROR_INTERNAL);
  if (length != *expected) return Fail(HX_SH_ERROR_BAD_SIZE);
  if (length == 4) return RecordPeerRefusal(data);
  Bytes key_message, signature;
  if (!ParseVersion2KeyMessage(data, length, &key_message, &signature)) return Fail(HX_SH_ERROR_INTERNAL);

  uint32_t pem_size = 0;
  peer_key_.GetPublicKey(HX_STORAGE_MEMORY, nullptr, pem_size);
  std::vector<char> pem(pem_size);
  HX_Sign verifier;
  if (pem_size == 0 || !peer_key_.GetPublicKey(HX_STORAGE_MEMORY, pem.data(), pem_size) ||
      !verifier.Init(kSignature) || !verifier.SetPublicKey(pem.data(), pem_size, HX_STORAGE_MEMORY))
    return Fail(HX_SH_ERROR_INTERNAL);
  const Bytes signed_bytes = SignedBytes(key_message, random_text_);
  if (verifier.VerifySign(signed_bytes.data(), static_cast<uint32_t>(signed_bytes.size()), signature.data(),
                          static_cast<uint32_t>(signature.size())) != 1)
    return Fail(HX_SH_ERROR_CERTIFICATE);

  if (key_message.size() < 4) return Fail(HX_SH_ERROR_BAD_SIZE);
  const uint32_t body_length = ReadU32(key_message.data());
  if (body_length < 4 || body_length > kMaxBodySize) return Fail(HX_SH_ERROR_BAD_SIZE);
  stored_size_ = body_length;
  return HX_SecureHandshakeVer1_Impl::ServerProcPacket(key_message.data() + 4,
                                                        static_cast<uint32_t>(key_message.size() - 4));
}
