#pragma once
// A position in the proxy list: the ordinal of an entry, or "before the first entry".

#include <cstdint>

namespace hx::netproxy {

class ProxyListIterator {
 public:
  static constexpr uint32_t kBeforeFirst = 0xFFFFFFFF;

  ProxyListIterator() = default;
  explicit ProxyListIterator(uint32_t ordinal) : m_ordinal(ordinal) {}

  uint32_t ordinal() const { return m_ordinal; }
  void setOrdinal(uint32_t ordinal) { m_ordinal = ordinal; }
  bool beforeFirst() const { return m_ordinal == kBeforeFirst; }
  void rewind() { m_ordinal = kBeforeFirst; }

 private:
  uint32_t m_ordinal = kBeforeFirst;
};

}  // namespace hx::netproxy
