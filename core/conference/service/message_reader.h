#pragma once
// Reading keys of an incoming conference-service message by the container's
// rules: an absent string or binary reads as null; an absent integer or boolean
// (or one of another type) keeps the default. A string whose stored bytes are
// not terminated inside the entry reads as absent, so that no reader runs past
// the value.

#include <cstddef>
#include <cstdint>

#include "core/base/container.h"

namespace hx::conference_service {

inline const char* Str(const HX_Container& message, const char* name) {
  size_t size = 0;
  const auto* text = static_cast<const char*>(message.GetValueRef(name, HX_CNT_STRING_VT, size));
  if (text == nullptr || size == 0 || text[size - 1] != '\0') return nullptr;
  return text;
}

// The text, or "" when absent.
inline const char* StrOr(const HX_Container& message, const char* name, const char* fallback = "") {
  const char* text = Str(message, name);
  return text != nullptr ? text : fallback;
}

inline bool NonEmpty(const char* text) { return text != nullptr && text[0] != '\0'; }

inline int32_t Int(const HX_Container& message, const char* name, int32_t fallback) {
  int32_t value = fallback;
  size_t size = sizeof(value);
  if (!message.GetValue(name, HX_CNT_INTEGER_VT, &value, size)) return fallback;
  return value;
}

inline bool Has(const HX_Container& message, const char* name, ContainerVT type) {
  size_t size = 0;
  return message.GetValueRef(name, type, size) != nullptr;
}

inline int64_t Int64(const HX_Container& message, const char* name, int64_t fallback) {
  int64_t value = fallback;
  size_t size = sizeof(value);
  if (!message.GetValue(name, HX_CNT_INT64_VT, &value, size)) return fallback;
  return value;
}

inline bool Bool(const HX_Container& message, const char* name, bool fallback) {
  bool value = fallback;
  size_t size = sizeof(value);
  if (!message.GetValue(name, HX_CNT_BOOL_VT, &value, size)) return fallback;
  return value;
}

// The binary's bytes and size, or null.
inline const void* Bin(const HX_Container& message, const char* name, size_t& size) {
  size = 0;
  const void* bytes = message.GetValueRef(name, HX_CNT_BINARY_VT, size);
  if (bytes == nullptr) size = 0;
  return bytes;
}

}  // namespace hx::conference_service
