#include "core/security/crc32.h"

#include <zlib.h>

#include <type_traits>

static_assert(std::is_same_v<z_crc_t, unsigned>, "zlib's CRC table must be of unsigned int");

const unsigned* HashTable<unsigned, 79764919>::table() { return get_crc_table(); }

uint32_t HX_Crc32::process_bytes(const void* bytes, size_t length) {
  if (bytes == nullptr || length == 0 || m_table == nullptr) return m_crc;
  const auto* in = static_cast<const unsigned char*>(bytes);
  if (m_table == HashTable<unsigned, 79764919>::table()) {
    // zlib runs the same register between its own complements at entry and exit, many bytes
    // at a time.
    m_crc = ~static_cast<uint32_t>(crc32_z(~m_crc, in, length));
    return m_crc;
  }
  for (size_t i = 0; i < length; ++i) m_crc = (m_crc >> 8) ^ m_table[(m_crc ^ in[i]) & 0xFF];
  return m_crc;
}
