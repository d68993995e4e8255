#include "testing/fake_server/message_cutter.h"

#include "testing/fake_server/message_frame.h"

namespace hx::testing {
namespace {

// Nine empty names (a length byte and a NUL each) after the fixed part.
constexpr uint64_t kSmallestHeader = kMessageFixedPartSize + 9 * 2;

bool HeaderTooShort(const uint8_t* fixed_part, CutResult& result) {
  const uint64_t header_length = fixed_part[2] | (fixed_part[3] << 8);
  if (header_length >= kSmallestHeader) return false;
  result.status = CutResult::kBroken;
  result.problem = "header length " + std::to_string(header_length) + " below " +
                   std::to_string(kSmallestHeader);
  return true;
}

CutResult CutPlain(const uint8_t* data, size_t size) {
  CutResult result;
  if (size < kMessageFixedPartSize || HeaderTooShort(data, result)) return result;
  const uint64_t length = MessageSizeFromFixedPart(data);
  if (size < length) return result;
  result.status = CutResult::kMessage;
  result.consumed = length;
  result.message.assign(data, data + length);
  return result;
}

CutResult CutEnciphered(const uint8_t* data, size_t size, MessageCipher& cipher) {
  CutResult result;
  uint8_t fixed_part[MessageCipher::kBlockSize];
  static_assert(sizeof(fixed_part) == kMessageFixedPartSize);
  if (size < sizeof(fixed_part)) return result;
  if (!cipher.DecipherBlocks(data, sizeof(fixed_part), fixed_part)) {
    result.status = CutResult::kBroken;
    result.problem = "first cipher block cannot be deciphered";
    return result;
  }
  if (HeaderTooShort(fixed_part, result)) return result;
  const uint64_t length = MessageSizeFromFixedPart(fixed_part);
  const uint64_t cipher_length = MessageCipher::CipherSize(length);
  if (size < cipher_length) return result;
  if (!cipher.DecipherMessage(data, cipher_length, result.message, result.problem)) {
    result.status = CutResult::kBroken;
    return result;
  }
  if (result.message.size() != length) {
    result.status = CutResult::kBroken;
    result.problem = "padding leaves " + std::to_string(result.message.size()) + " bytes of a " +
                     std::to_string(length) + "-byte message";
    return result;
  }
  result.status = CutResult::kMessage;
  result.consumed = cipher_length;
  return result;
}

}  // namespace

CutResult CutMessage(const uint8_t* data, size_t size, MessageCipher& cipher) {
  return cipher.IsOn() ? CutEnciphered(data, size, cipher) : CutPlain(data, size);
}

}  // namespace hx::testing
