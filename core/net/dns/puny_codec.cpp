#include "core/net/dns/puny_codec.h"

#include <punycode.h>
#include <stringprep.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr char kAcePrefix[] = "xn--";
constexpr size_t kAcePrefixLength = sizeof kAcePrefix - 1;
constexpr size_t kMaxCodePoints = 4100;

using LabelConverter = bool (*)(const char*, size_t, char*, size_t&);

struct FreeDeleter {
  void operator()(void* memory) const { std::free(memory); }
};

// Copies `count` bytes when they fit into `room`; `length` receives the bytes written.
bool CopyIfFits(const char* from, size_t count, char* output, size_t room, size_t& length) {
  if (count > room) return false;
  std::memcpy(output, from, count);
  length = count;
  return true;
}

bool HasAcePrefix(const char* label, size_t labelLength) {
  return labelLength >= kAcePrefixLength && std::memcmp(label, kAcePrefix, kAcePrefixLength) == 0;
}

// Punycode is written with letters, digits and hyphens only.
bool IsPunyText(const char* text, size_t length) {
  if (length == 0) return false;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')) {
      return false;
    }
  }
  return true;
}

// What a decoded label may hold: Unicode scalar values, no control characters and no dot (a
// label must stay one label), and at least one non-ASCII character (else it needed no punycode).
bool IsLabelText(const punycode_uint* codePoints, size_t count) {
  bool nonAscii = false;
  for (size_t i = 0; i < count; ++i) {
    const punycode_uint c = codePoints[i];
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || c < 0x20 || c == 0x7F || c == '.') return false;
    nonAscii = nonAscii || c >= 0x80;
  }
  return nonAscii;
}

// The code points encode back to the given text (letters in either case): the decoder is lenient
// with some malformed input, so only a label in its one encoded form is taken.
bool EncodesBackTo(const punycode_uint* codePoints, size_t count, const char* text, size_t length) {
  std::unique_ptr<char[]> again(new char[length + 1]);
  size_t againLength = length + 1;
  if (punycode_encode(count, codePoints, nullptr, &againLength, again.get()) != PUNYCODE_SUCCESS) {
    return false;
  }
  if (againLength != length) return false;
  for (size_t i = 0; i < length; ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(again[i]) != lower(text[i])) return false;
  }
  return true;
}

// Converts the name label by label (labels end at "." or at the end of the name), writing each
// separator after its label, and stops after the separator of the first label that fails.
std::string ConvertLabels(const char* name, size_t nameLength, LabelConverter convert) {
  char result[HXPunyCodec::kMaxResult];
  size_t written = 0;
  size_t start = 0;
  for (;;) {
    const auto* dot = static_cast<const char*>(std::memchr(name + start, '.', nameLength - start));
    const size_t end = dot == nullptr ? nameLength : static_cast<size_t>(dot - name);
    size_t labelBytes = HXPunyCodec::kMaxResult - written;
    const bool converted = convert(name + start, end - start, result + written, labelBytes);
    written += labelBytes;
    if (dot == nullptr || written == HXPunyCodec::kMaxResult) break;
    result[written++] = '.';
    if (!converted) break;
    start = end + 1;
  }
  return std::string(result, written);
}

}  // namespace

std::string HXPunyCodec::Encode(const char* name) {
  if (name == nullptr || *name == '\0') return std::string();
  return ConvertLabels(name, std::strlen(name), PunyEncode);
}

std::string HXPunyCodec::Encode(const std::string& name) {
  if (name.empty()) return std::string();
  return ConvertLabels(name.data(), name.size(), PunyEncode);
}

std::string HXPunyCodec::Decode(const char* name) {
  if (name == nullptr || *name == '\0') return std::string();
  return ConvertLabels(name, std::strlen(name), PunyDecode);
}

std::string HXPunyCodec::Decode(const std::string& name) {
  if (name.empty()) return std::string();
  return ConvertLabels(name.data(), name.size(), PunyDecode);
}

bool HXPunyCodec::PunyEncode(const char* label, size_t labelLength, char* output, size_t& length) {
  const size_t room = length;
  length = 0;
  if (IsAscii(label, labelLength)) return CopyIfFits(label, labelLength, output, room, length);
  if (room < kAcePrefixLength) return false;
  std::memcpy(output, kAcePrefix, kAcePrefixLength);

  size_t count = 0;
  std::unique_ptr<uint32_t, FreeDeleter> codePoints(
      stringprep_utf8_to_ucs4(label, static_cast<ssize_t>(labelLength), &count));
  if (codePoints == nullptr) {
    // Not UTF-8: keep the bytes behind the prefix, as far as they fit, and report the failure.
    const size_t kept = std::min(labelLength, room - kAcePrefixLength);
    std::memcpy(output + kAcePrefixLength, label, kept);
    length = kAcePrefixLength + kept;
    return false;
  }
  size_t punyLength = room - kAcePrefixLength;
  if (punycode_encode(count, codePoints.get(), nullptr, &punyLength, output + kAcePrefixLength) !=
      PUNYCODE_SUCCESS)
    return false;
  length = kAcePrefixLength + punyLength;
  return true;
}

bool HXPunyCodec::PunyDecode(const char* label, size_t labelLength, char* output, size_t& length) {
  const size_t room = length;
  length = 0;
  if (!HasAcePrefix(label, labelLength))
    return CopyIfFits(label, labelLength, output, room, length);

  // A label that is not valid punycode is kept as it came (a server name from the network may be
  // anything).
  const char* puny = label + kAcePrefixLength;
  const size_t punyLength = labelLength - kAcePrefixLength;
  auto codePoints = std::make_unique<punycode_uint[]>(kMaxCodePoints);
  size_t count = kMaxCodePoints;
  if (!IsPunyText(puny, punyLength) ||
      punycode_decode(punyLength, puny, &count, codePoints.get(), nullptr) != PUNYCODE_SUCCESS ||
      !IsLabelText(codePoints.get(), count) || !EncodesBackTo(codePoints.get(), count, puny, punyLength)) {
    CopyIfFits(label, labelLength, output, room, length);
    return false;
  }
  size_t textLength = 0;
  std::unique_ptr<char, FreeDeleter> text(
      stringprep_ucs4_to_utf8(codePoints.get(), static_cast<ssize_t>(count), nullptr, &textLength));
  if (text == nullptr) return false;
  return CopyIfFits(text.get(), textLength, output, room, length);
}

bool HXPunyCodec::IsAscii(const char* text, size_t length) {
  return std::none_of(text, text + length,
                      [](char c) { return (static_cast<unsigned char>(c) & 0x80) != 0; });
}

bool HXPunyCodec::IsPuny(const char* text) {
  return text != nullptr && std::strncmp(text, kAcePrefix, kAcePrefixLength) == 0;
}

bool HXPunyCodec::PunyCodecTest() { return true; }
