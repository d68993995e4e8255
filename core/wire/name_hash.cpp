#include "core/wire/name_hash.h"

#include <bit>

namespace hx {

uint32_t NameHash(const char* name) {
  uint32_t hash = 0;
  if (name == nullptr) return hash;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(name); *c != 0; ++c) {
    const uint32_t x = hash + *c;
    hash = x - std::rotl(x, 13);
  }
  return hash;
}

}  // namespace hx
