#pragma once
// Forming and parsing the packets of the secure handshake. All integers are little-endian u32.
//
//   certificate message  u32 S, S bytes: container of "Certificate" (binary PEM of the sender's
//                        certificate) and any number of "Certificate Chain" (binary PEM of one
//                        intermediate), names compared without regard to case
//   offer (version 1)    u32 N, N words: 0, then the offered algorithms by preference, then 0s
//   key block            u32 algorithm, u32 k, k bytes key 1, u32 k, k bytes key 2
//   key message (v1)     u32 L, L bytes: u32 1, u32 K, K bytes sealed session key, 16 bytes IV,
//                        the AES-256-CBC cipher text of the key block
//   error message        u32 4, u32 error code
//   offer (version 2)    u32 S, S bytes: container of "v1_buf" (the whole v1 offer) and "v2rnd"
//   key message (v2)     u32 S, S bytes: container of "v1_buf" (the whole v1 key message) and
//                        "sign" (RSA SHA-1 signature over "v1_buf" followed by "v2rnd")

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/container.h"
#include "core/security/symmetric_crypt.h"

namespace hx::secure_handshake {

using Bytes = std::vector<uint8_t>;

// The largest size field either side accepts for a packet body.
constexpr uint32_t kMaxBodySize = 65536;
// The most words an offer may hold (servers send 10 to 12).
constexpr uint32_t kMaxOfferWords = 64;
constexpr uint32_t kIvSize = 16;
// The envelope algorithm word of the key message: AES-256-CBC under an RSA-sealed key.
constexpr uint32_t kEnvelopeAlgorithm = 1;
constexpr size_t kMaxRandomText = 255;

uint32_t ReadU32(const uint8_t* bytes);
void AppendU32(Bytes& out, uint32_t value);

// Bounds of a certificate message's container. A body within kMaxBodySize could otherwise unpack
// to tens of megabytes; a real chain takes a few kilobytes.
constexpr uint32_t kMaxCertificateUnpacked = 1024 * 1024;
constexpr size_t kMaxChainEntries = 16;

// The certificate and intermediates a certificate message carries. The texts point into
// `container`, which owns them: they stay valid while the message lives and is not changed.
struct CertificateMessage {
  HX_Container container;
  bool has_certificate = false;
  std::string_view certificate;  // the first "Certificate" entry
  std::vector<std::string_view> chain;
};

enum class CertificateParse {
  kOk,
  kUnreadable,  // the container cannot be read
  kTooLarge,    // it would unpack beyond kMaxCertificateUnpacked, or has more chain entries than
                // kMaxChainEntries; refused before anything large is allocated
};
CertificateParse ParseCertificateMessage(const uint8_t* body, uint32_t length, CertificateMessage* message);

// The version-1 offer (its N word included) of a server.
Bytes FormOffer(bool improved_security, bool gost_engine);
// The client's pick from `count` offered words; 0 when none is acceptable.
uint32_t ChooseAlgorithm(const uint8_t* words, uint32_t count, bool gost_engine);

// 16-byte keys for AES-128, 32 for the others.
uint32_t KeyLengthFor(uint32_t algorithm);
// ECB for AES, the GOST mode for GOST.
HX_SymmetricCipherMode ModeFor(uint32_t algorithm);

struct KeyBlock {
  uint32_t algorithm = 0;
  Bytes key1;
  Bytes key2;
};
Bytes FormKeyBlock(const KeyBlock& block);
bool ParseKeyBlock(const uint8_t* bytes, uint32_t length, KeyBlock* block);

// The parts of a version-1 key message body (after its L word); pointers into the body.
struct KeyMessageBody {
  uint32_t algorithm = 0;
  const uint8_t* sealed_key = nullptr;
  uint32_t sealed_key_length = 0;
  const uint8_t* iv = nullptr;
  const uint8_t* cipher = nullptr;
  uint32_t cipher_length = 0;
};
Bytes FormKeyMessage(const Bytes& sealed_key, const uint8_t* iv, const Bytes& cipher);
bool ParseKeyMessageBody(const uint8_t* body, uint32_t length, KeyMessageBody* parts);

Bytes FormErrorMessage(uint32_t code);

// A size word followed by a container of the named entries; empty on failure.
Bytes FormVersion2Offer(const Bytes& offer, const std::string& random_text);
Bytes FormVersion2KeyMessage(const Bytes& key_message, const Bytes& signature);
// Read a version-2 container body; false when it cannot be read or an entry is missing.
bool ParseVersion2Offer(const uint8_t* body, uint32_t length, Bytes* offer, std::string* random_text);
bool ParseVersion2KeyMessage(const uint8_t* body, uint32_t length, Bytes* key_message, Bytes* signature);

}  // namespace hx::secure_handshake
