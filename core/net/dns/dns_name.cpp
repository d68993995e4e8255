#include "core/net/dns/dns_name.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace hx::dns {
namespace {

constexpr uint8_t NS_CMPRSFLGS = 0xc0;
constexpr uint8_t DNS_LABELTYPE_BITSTRING = 0x41;
constexpr size_t kMaxBits = 256;
constexpr size_t kMaxPointerOffset = 0x4000;

// Characters that must be escaped with a backslash in presentation text.
bool special(int ch) {
  switch (ch) {
    case '"':
    case '.':
    case ';':
    case '\\':
    case '(':
    case ')':
    case '@':  // zone-file modifiers
    case '$':
      return true;
    default:
      return false;
  }
}

bool printable(int ch) { return ch > 0x20 && ch < 0x7f; }

int mklower(int ch) { return ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch; }

bool IsPointer(uint8_t byte) { return (byte & NS_CMPRSFLGS) == NS_CMPRSFLGS; }

// The bytes of a bit-string label after its count byte.
size_t BitBytes(uint8_t count) {
  const size_t bits = count == 0 ? kMaxBits : count;
  return (bits + 7) / 8;
}

// The bytes that follow the first byte of the label at `lp`: the length of an ordinary label, or
// the count byte and the bits of a bit-string label (whose count byte must be readable). -1 for
// compression pointers, reserved and unknown extended label types.
int labellen(const uint8_t* lp) {
  const uint8_t type = lp[0];
  if (type <= NS_MAXLABEL) return type;
  if (type == DNS_LABELTYPE_BITSTRING) return static_cast<int>(1 + BitBytes(lp[1]));
  return -1;
}

// Bounded writer of presentation text; always leaves room for the closing NUL.
class TextOut {
 public:
  TextOut(char* dst, size_t size) : m_dst(dst), m_size(size) {}

  bool Put(char c) {
    if (m_length + 1 >= m_size) return false;
    m_dst[m_length++] = c;
    return true;
  }
  bool Put(const char* text) {
    for (; *text != '\0'; ++text)
      if (!Put(*text)) return false;
    return true;
  }
  // Closes the text and answers its length; the constructor's size must not be 0.
  int Finish() {
    m_dst[m_length] = '\0';
    return static_cast<int>(m_length);
  }

 private:
  char* m_dst;
  size_t m_size;
  size_t m_length = 0;
};

// Bounded writer of wire bytes.
class WireOut {
 public:
  WireOut(uint8_t* dst, size_t size) : m_dst(dst), m_size(size) {}

  bool Put(uint8_t byte) { return Put(&byte, 1); }
  bool Put(const uint8_t* bytes, size_t count) {
    if (count > m_size - m_length) return false;
    std::memcpy(m_dst + m_length, bytes, count);
    m_length += count;
    return true;
  }
  size_t length() const { return m_length; }

 private:
  uint8_t* m_dst;
  size_t m_size;
  size_t m_length = 0;
};

const char kHexDigits[] = "0123456789abcdef";

// Writes "\[x<hex>/<bits>]" for the bit-string label whose count byte is at `cp`. Only the hex
// digits that hold significant bits are written, their insignificant bits cleared.
bool decode_bitstring(const uint8_t* cp, TextOut& out) {
  const size_t bits = cp[0] == 0 ? kMaxBits : cp[0];
  const uint8_t* data = cp + 1;
  if (!out.Put("\\[x")) return false;
  const size_t digits = (bits + 3) / 4;
  for (size_t i = 0; i < digits; ++i) {
    unsigned nibble = (i % 2 == 0 ? data[i / 2] >> 4 : data[i / 2]) & 0x0f;
    const size_t bitsInDigit = std::min<size_t>(4, bits - 4 * i);
    nibble &= (0x0f << (4 - bitsInDigit)) & 0x0f;
    if (!out.Put(kHexDigits[nibble])) return false;
  }
  char tail[8];
  std::snprintf(tail, sizeof tail, "/%zu]", bits);
  return out.Put(tail);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the body of a bit-string label, "x<hex>[/<bits>]]", after its "\[", and writes the label.
// With a bit count, the hex digits must be just enough for it and the bits past it zero.
bool encode_bitstring(const char*& p, WireOut& out) {
  if (*p++ != 'x') return false;
  uint8_t data[kMaxBits / 8] = {};
  size_t digits = 0;
  int lastNibble = 0;
  for (; HexValue(*p) >= 0; ++p) {
    if (digits == kMaxBits / 4) return false;
    lastNibble = HexValue(*p);
    data[digits / 2] |= static_cast<uint8_t>(digits % 2 == 0 ? lastNibble << 4 : lastNibble);
    ++digits;
  }
  if (digits == 0) return false;
  size_t bits = digits * 4;
  if (*p == '/') {
    ++p;
    if (!IsDigit(*p) || *p == '0') return false;
    size_t given = 0;
    for (; IsDigit(*p); ++p) {
      given = given * 10 + static_cast<size_t>(*p - '0');
      if (given > kMaxBits) return false;
    }
    if ((given + 3) / 4 != digits) return false;
    const size_t unusedBits = bits - given;  // 0 to 3, in the last digit
    if ((lastNibble & ((1 << unusedBits) - 1)) != 0) return false;
    bits = given;
  }
  if (*p++ != ']') return false;
  return out.Put(DNS_LABELTYPE_BITSTRING) &&
         out.Put(static_cast<uint8_t>(bits == kMaxBits ? 0 : bits)) &&
         out.Put(data, BitBytes(static_cast<uint8_t>(bits)));
}

// Reads one character of a label, taking "\c" as c and "\DDD" as the byte DDD.
bool ReadLabelChar(const char*& p, uint8_t& byte) {
  char c = *p++;
  if (c != '\\') {
    byte = static_cast<uint8_t>(c);
    return true;
  }
  c = *p++;
  if (c == '\0') return false;
  if (!IsDigit(c)) {
    byte = static_cast<uint8_t>(c);
    return true;
  }
  if (!IsDigit(p[0]) || !IsDigit(p[1])) return false;
  const int value = (c - '0') * 100 + (p[0] - '0') * 10 + (p[1] - '0');
  if (value > 255) return false;
  p += 2;
  byte = static_cast<uint8_t>(value);
  return true;
}

// Whether the uncompressed `domain` equals the name at `cp` in the message, ignoring the case of
// ordinary labels. The message names were written by ns_name_pack; pointers are followed only
// backwards, so a bad table cannot make this loop.
bool NameEquals(const uint8_t* domain, const uint8_t* msg, const uint8_t* cp) {
  for (;;) {
    if (IsPointer(*cp)) {
      const uint8_t* target = msg + (((cp[0] & 0x3f) << 8) | cp[1]);
      if (target >= cp) return false;
      cp = target;
      continue;
    }
    const int length = labellen(cp);
    if (length < 0 || *cp != *domain) return false;
    if (*cp == DNS_LABELTYPE_BITSTRING) {
      // Same bit count first, so that both labels are known to have `length` bytes.
      if (cp[1] != domain[1] ||
          std::memcmp(cp + 2, domain + 2, static_cast<size_t>(length - 1)) != 0)
        return false;
    } else {
      for (int i = 1; i <= length; ++i)
        if (mklower(cp[i]) != mklower(domain[i])) return false;
    }
    if (*cp == 0) return true;
    cp += 1 + length;
    domain += 1 + length;
  }
}

// The message offset of a name equal to `domain`, looked for among the names listed in
// [first, end) and their suffixes; -1 when none.
int dn_find(const uint8_t* domain, const uint8_t* msg, const uint8_t* const* first,
            const uint8_t* const* end) {
  for (const uint8_t* const* entry = first; entry < end && *entry != nullptr; ++entry) {
    // Each label start of the listed name, up to its root or its own pointer, may begin a match.
    for (const uint8_t* sp = *entry; *sp != 0 && !IsPointer(*sp);) {
      if (static_cast<size_t>(sp - msg) >= kMaxPointerOffset) break;
      if (NameEquals(domain, msg, sp)) return static_cast<int>(sp - msg);
      const int length = labellen(sp);
      if (length < 0) break;
      sp += 1 + length;
    }
  }
  return -1;
}

// The length of the uncompressed name at `src`, or -1 when it is not a valid one.
int WireNameLength(const uint8_t* src) {
  size_t total = 0;
  for (const uint8_t* cp = src;;) {
    const int length = labellen(cp);
    if (length < 0) return -1;
    total += 1 + static_cast<size_t>(length);
    if (total > NS_MAXCDNAME) return -1;
    if (*cp == 0) return static_cast<int>(total);
    cp += 1 + length;
  }
}

}  // namespace

int ns_name_ntop(const uint8_t* src, char* dst, size_t dstsiz) {
  if (src == nullptr || dst == nullptr || dstsiz == 0) return -1;
  if (WireNameLength(src) < 0) return -1;
  TextOut out(dst, dstsiz);
  const uint8_t* cp = src;
  for (; *cp != 0; cp += 1 + labellen(cp)) {
    if (cp != src && !out.Put('.')) return -1;
    if (*cp == DNS_LABELTYPE_BITSTRING) {
      if (!decode_bitstring(cp + 1, out)) return -1;
      continue;
    }
    for (int i = 1; i <= *cp; ++i) {
      const uint8_t c = cp[i];
      bool written;
      if (special(c)) {
        written = out.Put('\\') && out.Put(static_cast<char>(c));
      } else if (printable(c)) {
        written = out.Put(static_cast<char>(c));
      } else {
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\%03u", c);
        written = out.Put(escape);
      }
      if (!written) return -1;
    }
  }
  if (cp == src && !out.Put('.')) return -1;
  return out.Finish();
}

int ns_name_pton(const char* src, uint8_t* dst, size_t dstsiz) {
  if (src == nullptr || dst == nullptr) return -1;
  WireOut out(dst, std::min(dstsiz, NS_MAXCDNAME));
  const char* p = src;
  // The empty text and a lone dot are the root name.
  if (*p == '\0') return out.Put(0) ? 0 : -1;
  if (p[0] == '.' && p[1] == '\0') return out.Put(0) ? 1 : -1;
  for (;;) {
    if (p[0] == '\\' && p[1] == '[') {
      p += 2;
      if (!encode_bitstring(p, out)) return -1;
    } else {
      uint8_t label[NS_MAXLABEL];
      size_t length = 0;
      while (*p != '\0' && *p != '.') {
        uint8_t byte;
        if (!ReadLabelChar(p, byte) || length == NS_MAXLABEL) return -1;
        label[length++] = byte;
      }
      if (length == 0) return -1;  // ".a", "a..b"
      if (!out.Put(static_cast<uint8_t>(length)) || !out.Put(label, length)) return -1;
    }
    if (*p == '\0') return out.Put(0) ? 0 : -1;
    if (*p++ != '.') return -1;  // a bit-string label must end its label
    if (*p == '\0') return out.Put(0) ? 1 : -1;
  }
}

int ns_name_unpack(const uint8_t* msg, const uint8_t* eom, const uint8_t* src, uint8_t* dst,
                   size_t dstsiz) {
  if (msg == nullptr || eom == nullptr || src == nullptr || dst == nullptr) return -1;
  if (eom <= msg || src < msg || src >= eom) return -1;
  const size_t messageLength = static_cast<size_t>(eom - msg);
  const size_t start = static_cast<size_t>(src - msg);
  WireOut out(dst, std::min(dstsiz, NS_MAXCDNAME));
  size_t position = start;
  size_t checked = 0;
  int occupied = -1;  // known once the first pointer is met
  for (;;) {
    if (position >= messageLength) return -1;
    const uint8_t type = msg[position++];
    if (IsPointer(type)) {
      if (position >= messageLength) return -1;
      const size_t target = (static_cast<size_t>(type & 0x3f) << 8) | msg[position++];
      if (occupied < 0) occupied = static_cast<int>(position - start);
      if (target >= messageLength) return -1;
      checked += 2;
      if (checked >= messageLength) return -1;  // seen the whole message: a loop
      position = target;
      continue;
    }
    size_t length;
    if (type <= NS_MAXLABEL) {
      length = type;
    } else if (type == DNS_LABELTYPE_BITSTRING) {
      if (position >= messageLength) return -1;
      length = 1 + BitBytes(msg[position]);
    } else {
      return -1;
    }
    if (length > messageLength - position) return -1;
    if (!out.Put(type) || !out.Put(msg + position, length)) return -1;
    position += length;
    checked += 1 + length;
    if (type == 0) break;
  }
  return occupied >= 0 ? occupied : static_cast<int>(position - start);
}

int ns_name_pack(const uint8_t* src, uint8_t* dst, size_t dstsiz, const uint8_t** dnptrs,
                 const uint8_t** lastdnptr) {
  if (src == nullptr || dst == nullptr || WireNameLength(src) < 0) return -1;
  const uint8_t* msg = nullptr;
  const uint8_t** tableEnd = nullptr;  // the first free slot of the table
  if (dnptrs != nullptr && dnptrs[0] != nullptr) {
    msg = dnptrs[0];
    tableEnd = dnptrs + 1;
    while ((lastdnptr == nullptr || tableEnd < lastdnptr) && *tableEnd != nullptr) ++tableEnd;
  }
  const bool remember = msg != nullptr && lastdnptr != nullptr && tableEnd < lastdnptr - 1 &&
                        dst >= msg && static_cast<size_t>(dst - msg) < kMaxPointerOffset;

  WireOut out(dst, dstsiz);
  for (const uint8_t* cp = src;;) {
    if (*cp != 0 && msg != nullptr) {
      const int offset = dn_find(cp, msg, dnptrs + 1, tableEnd);
      if (offset >= 0) {
        const uint8_t pointer[2] = {static_cast<uint8_t>(NS_CMPRSFLGS | (offset >> 8)),
                                    static_cast<uint8_t>(offset & 0xff)};
        if (!out.Put(pointer, 2)) return -1;
        break;
      }
    }
    const int length = labellen(cp);
    if (!out.Put(cp, 1 + static_cast<size_t>(length))) return -1;
    if (*cp == 0) break;
    cp += 1 + length;
  }
  // Only a name written whole is offered to later names; a name that is just a pointer is not.
  if (remember && !IsPointer(dst[0]) && dst[0] != 0) {
    tableEnd[0] = dst;
    tableEnd[1] = nullptr;
  }
  return static_cast<int>(out.length());
}

int ns_name_uncompress(const uint8_t* msg, const uint8_t* eom, const uint8_t* src, char* dst,
                       size_t dstsiz) {
  uint8_t wire[NS_MAXCDNAME];
  const int occupied = ns_name_unpack(msg, eom, src, wire, sizeof wire);
  if (occupied < 0 || ns_name_ntop(wire, dst, dstsiz) < 0) return -1;
  return occupied;
}

int ns_name_compress(const char* src, uint8_t* dst, size_t dstsiz, const uint8_t** dnptrs,
                     const uint8_t** lastdnptr) {
  uint8_t wire[NS_MAXCDNAME];
  if (ns_name_pton(src, wire, sizeof wire) < 0) return -1;
  return ns_name_pack(wire, dst, dstsiz, dnptrs, lastdnptr);
}

}  // namespace hx::dns
