#pragma once
// CRC-32 of IEEE 802.3 in its reflected table form. The CRC itself (the running register) is
// kept raw: owners start with 0xFFFFFFFF and take the complement of the result.

#include <cstddef>
#include <cstdint>

// The lookup table of a CRC generator polynomial. Only the IEEE 802.3 polynomial 0x04C11DB7 is
// provided; its table is zlib's (the reflected form, 0xEDB88320), shared and read-only.
template <typename T, T Polynomial>
struct HashTable;

template <>
struct HashTable<unsigned, 79764919> {
  // The 256-entry table; thread-safe.
  static const unsigned* table();
};

// A running CRC over a lookup table supplied by its owner. One thread at a time.
class HX_Crc32 {
 public:
  HX_Crc32(uint32_t crc, const unsigned* table) : m_crc(crc), m_table(table) {}
  virtual ~HX_Crc32() = default;

  // For each byte b: crc = (crc >> 8) ^ table[(crc ^ b) & 0xFF]. Stores and returns the new value.
  uint32_t process_bytes(const void* bytes, size_t length);

 private:
  uint32_t m_crc;
  const unsigned* m_table;
};
