#include "core/security/secure_handshake_packets.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "core/base/container.h"
#include "core/wire/little_endian.h"

namespace hx::secure_handshake {
namespace {

bool NameIs(const char* name, const char* wanted) {
  return name != nullptr && strcasecmp(name, wanted) == 0;
}

// Appends `length` bytes and moves the cursor; false when they are not all there.
bool Take(const uint8_t*& cursor, const uint8_t* end, uint64_t length, const uint8_t** taken) {
  if (static_cast<uint64_t>(end - cursor) < length) return false;
  *taken = cursor;
  cursor += length;
  return true;
}

bool TakeU32(const uint8_t*& cursor, const uint8_t* end, uint32_t* value) {
  const uint8_t* bytes = nullptr;
  if (!Take(cursor, end, 4, &bytes)) return false;
  *value = ReadU32(bytes);
  return true;
}

// A size word and the serialised container.
Bytes WithSizeWord(const HX_Container& container) {
  uint8_t* serialised = nullptr;
  size_t size = 0;
  if (!container.SerializeAlloc(serialised, size) || size > kMaxBodySize) {
    std::free(serialised);
    return Bytes();
  }
  Bytes out;
  out.reserve(4 + size);
  AppendU32(out, static_cast<uint32_t>(size));
  out.insert(out.end(), serialised, serialised + size);
  std::free(serialised);
  return out;
}

bool BinaryEntry(const HX_Container& container, const char* name, Bytes* value) {
  size_t size = 0;
  const void* ref = container.GetValueRef(name, HX_CNT_BINARY_VT, size);
  if (ref == nullptr) return false;
  const uint8_t* bytes = static_cast<const uint8_t*>(ref);
  value->assign(bytes, bytes + size);
  return true;
}

}  // namespace

uint32_t ReadU32(const uint8_t* bytes) { return hx::wire::LoadLe32(bytes); }

void AppendU32(Bytes& out, uint32_t value) {
  uint8_t bytes[4];
  hx::wire::StoreLe32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

CertificateParse ParseCertificateMessage(const uint8_t* body, uint32_t length, CertificateMessage* message) {
  // The container's wire form starts with its unpacked length: checked before it is unpacked.
  if (body == nullptr || length < 4) return CertificateParse::kUnreadable;
  if (ReadU32(body) > kMaxCertificateUnpacked) return CertificateParse::kTooLarge;
  HX_Container& container = message->container;
  if (!container.Deserialize(body, length)) return CertificateParse::kUnreadable;
  container.Reset();
  while (container.Next()) {
    if (container.GetType() != HX_CNT_BINARY_VT) continue;
    size_t size = 0;
    const char* value = static_cast<const char*>(container.GetBinValueRef(size));
    if (value == nullptr) continue;
    if (NameIs(container.GetName(), "Certificate")) {
      // Only the first one counts: it is the one verified and the one whose key is used.
      if (!message->has_certificate) message->certificate = std::string_view(value, size);
      message->has_certificate = true;
    } else if (NameIs(container.GetName(), "Certificate Chain")) {
      if (message->chain.size() == kMaxChainEntries) return CertificateParse::kTooLarge;
      message->chain.emplace_back(value, size);
    }
  }
  return CertificateParse::kOk;
}

Bytes FormOffer(bool improved_security, bool gost_engine) {
  std::vector<uint32_t> words = {0};
  if (improved_security && gost_engine) words.push_back(HX_SYMMETRIC_ALG_GOST);
  if (improved_security) words.push_back(HX_SYMMETRIC_ALG_AES256);
  words.push_back(HX_SYMMETRIC_ALG_AES128);
  const uint32_t count = 10 + static_cast<uint32_t>(words.size()) - 2;
  words.resize(count, 0);
  Bytes out;
  AppendU32(out, count);
  for (uint32_t word : words) AppendU32(out, word);
  return out;
}

uint32_t ChooseAlgorithm(const uint8_t* words, uint32_t count, bool gost_engine) {
  uint32_t chosen = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t word = ReadU32(words + 4 * uint64_t{i});
    if (word == HX_SYMMETRIC_ALG_GOST && gost_engine) return word;
    if (word == HX_SYMMETRIC_ALG_AES256) {
      if (!gost_engine) return word;
      chosen = word;  // GOST may still follow
    } else if (word == HX_SYMMETRIC_ALG_AES128 && chosen == 0) {
      chosen = word;
    }
  }
  return chosen;
}

uint32_t KeyLengthFor(uint32_t algorithm) { return algorithm == HX_SYMMETRIC_ALG_AES128 ? 16 : 32; }

HX_SymmetricCipherMode ModeFor(uint32_t algorithm) {
  return algorithm == HX_SYMMETRIC_ALG_GOST ? HX_CIPHER_MODE_GOST : HX_CIPHER_MODE_ECB;
}

Bytes FormKeyBlock(const KeyBlock& block) {
  Bytes out;
  AppendU32(out, block.algorithm);
  AppendU32(out, static_cast<uint32_t>(block.key1.size()));
  out.insert(out.end(), block.key1.begin(), block.key1.end());
  AppendU32(out, static_cast<uint32_t>(block.key2.size()));
  out.insert(out.end(), block.key2.begin(), block.key2.end());
  return out;
}

bool ParseKeyBlock(const uint8_t* bytes, uint32_t length, KeyBlock* block) {
  const uint8_t* cursor = bytes;
  const uint8_t* end = bytes + length;
  uint32_t length1 = 0, length2 = 0;
  const uint8_t *key1 = nullptr, *key2 = nullptr;
  if (!TakeU32(cursor, end, &block->algorithm) || !TakeU32(cursor, end, &length1) ||
      !Take(cursor, end, length1, &key1) || !TakeU32(cursor, end, &length2) ||
      !Take(cursor, end, length2, &key2))
    return false;
  block->key1.assign(key1, key1 + length1);
  block->key2.assign(key2, key2 + length2);
  return true;
}

Bytes FormKeyMessage(const Bytes& sealed_key, const uint8_t* iv, const Bytes& cipher) {
  Bytes out;
  AppendU32(out, static_cast<uint32_t>(8 + sealed_key.size() + kIvSize + cipher.size()));
  AppendU32(out, kEnvelopeAlgorithm);
  AppendU32(out, static_cast<uint32_t>(sealed_key.size()));
  out.insert(out.end(), sealed_key.begin(), sealed_key.end());
  out.insert(out.end(), iv, iv + kIvSize);
  out.insert(out.end(), cipher.begin(), cipher.end());
  return out;
}

bool ParseKeyMessageBody(const uint8_t* body, uint32_t length, KeyMessageBody* parts) {
  const uint8_t* cursor = body;
  const uint8_t* end = body + length;
  if (!TakeU32(cursor, end, &parts->algorithm) || !TakeU32(cursor, end, &parts->sealed_key_length) ||
      !Take(cursor, end, parts->sealed_key_length, &parts->sealed_key) ||
      !Take(cursor, end, kIvSize, &parts->iv))
    return false;
  parts->cipher = cursor;
  parts->cipher_length = static_cast<uint32_t>(end - cursor);
  return true;
}

Bytes FormErrorMessage(uint32_t code) {
  Bytes out;
  AppendU32(out, 4);
  AppendU32(out, code);
  return out;
}

Bytes FormVersion2Offer(const Bytes& offer, const std::string& random_text) {
  HX_Container container;
  if (!container.AddValue("v1_buf", HX_CNT_BINARY_VT, offer.data(), offer.size()) ||
      !container.AddValue("v2rnd", random_text.c_str()))
    return Bytes();
  return WithSizeWord(container);
}

Bytes FormVersion2KeyMessage(const Bytes& key_message, const Bytes& signature) {
  HX_Container container;
  if (!container.AddValue("v1_buf", HX_CNT_BINARY_VT, key_message.data(), key_message.size()) ||
      !container.AddValue("sign", HX_CNT_BINARY_VT, signature.data(), signature.size()))
    return Bytes();
  return WithSizeWord(container);
}

bool ParseVersion2Offer(const uint8_t* body, uint32_t length, Bytes* offer, std::string* random_text) {
  HX_Container container;
  return container.Deserialize(body, length) && BinaryEntry(container, "v1_buf", offer) &&
         container.GetValue("v2rnd", *random_text);
}

bool ParseVersion2KeyMessage(const uint8_t* body, uint32_t length, Bytes* key_message, Bytes* signature) {
  HX_Container container;
  return container.Deserialize(body, length) && BinaryEntry(container, "v1_buf", key_message) &&
         BinaryEntry(container, "sign", signature);
}

}  // namespace hx::secure_handshake
