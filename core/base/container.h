#pragma once
// HX_Container: the typed key/value container that carries every protocol body of the core.
//
// A container is a flat, append-only sequence of named, typed entries kept in one contiguous byte
// buffer (the raw form). Each entry is laid out as
//   name length (1 byte, N + 1) | N name bytes | 0 | type (1 byte) | value
// with the value as ContainerVT describes. Names are 0 to 254 arbitrary bytes, compared without
// regard to ASCII case, and need not be unique: lookups return the first entry whose name and type
// both fit. The wire form is the raw length R as u32 LE followed by the raw form coded by
// RCDV_Encode (absent when R = 0).
//
// Nothing here throws or logs; failures are results. A container has no lock: several threads may
// read one only while nobody adds, deserialises or iterates it. Iteration moves a cursor even through
// a const reference, so every thread iterates its own container.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>
#include <string_view>

#include "core/base/time_format.h"

// Type codes, one byte in the raw form. Values are little-endian.
enum ContainerVT : uint8_t {
  HX_CNT_BOOL_VT = 0,     // 1 byte, read as true when non-zero
  HX_CNT_INTEGER_VT = 1,  // signed 32-bit
  HX_CNT_DOUBLE_VT = 2,   // IEEE 754 double
  HX_CNT_STRING_VT = 3,   // u32 length L (text bytes + 1), the text, one zero byte
  HX_CNT_BINARY_VT = 4,   // u32 length L, then L bytes
  HX_CNT_INT64_VT = 5,    // signed 64-bit
};

class HX_Container {
 public:
  // A point of the system clock in microseconds since 1970. It travels as an 8-byte binary entry:
  // a signed count of 100-nanosecond ticks since 1601-01-01 00:00 UTC.
  using TimePoint = tu::TimePoint;

  // The longest name, in bytes.
  static constexpr size_t kMaxNameLength = 254;

  HX_Container() = default;
  HX_Container(const HX_Container& other);
  HX_Container& operator=(const HX_Container& other);
  HX_Container(HX_Container&& other) noexcept;
  HX_Container& operator=(HX_Container&& other) noexcept;
  ~HX_Container();

  // --- Building. Every add appends one entry and leaves the cursor where it is; on failure the
  // container is unchanged. Names longer than kMaxNameLength, unknown types and a raw form that
  // would no longer fit the u32 length field are refused.

  // `size` is used only for strings (text bytes, without a terminator) and binaries.
  bool AddValue(std::string_view name, ContainerVT type, const void* value, size_t size);
  // A string entry of the text up to its first zero byte; a null text is refused.
  bool AddValue(std::string_view name, const char* text);
  bool AddValue(std::string_view name, bool value);
  bool AddValue(std::string_view name, int32_t value);
  bool AddValue(std::string_view name, int64_t value);
  bool AddValue(std::string_view name, double value);
  // Normalises `time` in place with mktime (local time) and stores the 16-byte calendar record:
  // eight u16 LE fields year, month 1-12, day of week, day of month, hour, minute, second, 0.
  // False when mktime fails or the year does not fit 16 bits.
  bool AddValue(std::string_view name, std::tm& time);
  // The other container's wire form as a binary entry. Adding a container to itself is allowed.
  bool AddValue(std::string_view name, const HX_Container& nested);
  // An 8-byte time; false when the point lies too far out to be counted in 100-ns ticks.
  bool AddValue(std::string_view name, TimePoint time);

  // --- Lookup by name: the first entry whose name and type both fit. Nothing is copied on failure.

  // Booleans write one byte (1 when the stored byte is non-zero), integers 4 bytes, doubles and
  // 64-bit integers 8 bytes; `size` is not used for them. For strings and binaries `size` holds the
  // capacity of `destination` on entry and is always set to the stored length L (a string's L counts
  // its terminating zero); the call fails when the capacity is below L. A null destination only
  // reports L.
  bool GetValue(std::string_view name, ContainerVT type, void* destination, size_t& size) const;
  // A pointer into the container's buffer, valid until the container changes: for strings and
  // binaries to the first value byte with `size` set to L; for other types to the value bytes with
  // `size` untouched. Null when nothing fits.
  const void* GetValueRef(std::string_view name, ContainerVT type, size_t& size) const;
  // The string entry's text up to its first zero byte.
  bool GetValue(std::string_view name, std::string& text) const;
  // A 16-byte calendar record read as local time (daylight saving left to mktime); day of week and
  // milliseconds are ignored. True when mktime accepts it.
  bool GetValue(std::string_view name, std::tm& time) const;
  // A binary entry deserialised into `nested`.
  bool GetValue(std::string_view name, HX_Container& nested) const;
  // An 8-byte time; a stored tick count of 0 or less reads as the time point zero.
  bool GetValue(std::string_view name, TimePoint& time) const;

  // --- Iteration over entries in the order they were added.

  // Puts the cursor before the first entry.
  void Reset() const;
  // Moves to the next entry; false when there is none (and keeps returning false until Reset()).
  bool Next() const;
  // The current entry's name (zero-terminated), or null without a current entry.
  const char* GetName() const;
  // The current entry's type code, or 255 without a current entry.
  uint8_t GetType() const;

  // The current entry's value; each fails (false, null or empty) without a current entry or when its
  // type differs. Strings are taken up to their first zero byte unless said otherwise.
  bool GetValue(bool& value) const;
  bool GetValue(int32_t& value) const;
  bool GetValue(double& value) const;
  bool GetValue(int64_t& value) const;
  bool GetValue(std::string& text) const;
  bool GetValue(HX_Container& nested) const;
  bool GetValue(TimePoint& time) const;
  const char* GetStrValueRef() const;
  std::string GetStrValue() const;
  // All L - 1 text bytes, zero bytes inside the text included.
  std::string_view GetStrValueView() const;
  const void* GetBinValueRef(size_t& size) const;

  // --- Copying.

  // Replaces the target's content with a copy of this one's (cursor before-first). False, target
  // untouched, when this container has no entries or memory runs out.
  bool CopyTo(HX_Container& target) const;
  // Appends the current entry to `other` under the same name and type. Names and strings are taken
  // up to their first zero byte, a boolean as (stored byte != 0); an empty binary is not appended.
  bool AttachCurrentTo(HX_Container& other) const;
  // Appends every entry, in order, as AttachCurrentTo does, except that a boolean is re-added as
  // (stored byte == 1). Empty binaries are skipped. The cursor does not move.
  void AttachToCnt(HX_Container& other) const;

  // Frees the buffer; the container is empty with its cursor before-first.
  void Clear();
  bool IsEmpty() const { return count_ == 0; }
  bool IsValid() const { return buffer_ != nullptr && count_ > 0; }

  // --- Wire form.

  // The room every serialiser reserves: 2R + 4.
  size_t GetAllocSize() const { return 2 * length_ + 4; }
  // With a null buffer sets `size` to GetAllocSize() and succeeds. Otherwise fails when `size` is
  // below GetAllocSize() or the coded form would not fit the buffer; else writes the wire form and
  // sets `size` to its length.
  bool Serialize(void* buffer, size_t& size) const;
  // Serialises into a new buffer of GetAllocSize() bytes from malloc; the caller frees it.
  bool SerializeAlloc(uint8_t*& buffer, size_t& size) const;
  // Replaces the whole content from a wire form of exactly `length` bytes and puts the cursor before
  // the first entry. On failure (short, cut or corrupt input, trailing bytes, a raw length that does
  // not match the entries, any malformed entry) the previous content stays.
  bool Deserialize(const void* data, size_t length);

 private:
  static constexpr size_t kBeforeFirst = SIZE_MAX;
  static constexpr size_t kAfterLast = SIZE_MAX - 1;

  // Makes room for `entry_size` more bytes. When the buffer moves, the old one goes to `retired`
  // for the caller to free once the entry is written, so a value or name that points into this
  // container's own buffer stays readable meanwhile. False when the raw form would outgrow the u32
  // length field or memory runs out.
  bool Reserve(uint64_t entry_size, uint8_t*& retired);
  // Offset just past the entry that starts at `entry`.
  size_t EntryEnd(size_t entry) const;
  // The value bytes (just after the type byte) of the first entry that fits, or null.
  const uint8_t* FindValue(std::string_view name, ContainerVT type) const;
  // The current entry's value bytes when it has `type`, or null.
  const uint8_t* CurrentValue(ContainerVT type) const;
  // Appends the entry that starts at `entry` to `other`; `strict_bool` re-adds a boolean as
  // (stored byte == 1) instead of (stored byte != 0).
  bool Attach(size_t entry, HX_Container& other, bool strict_bool) const;

  // The cursor is an offset, not a pointer, so that growing the buffer leaves it on its entry.
  mutable size_t cursor_ = kBeforeFirst;  // offset of the current entry, kBeforeFirst or kAfterLast
  uint8_t* buffer_ = nullptr;             // from malloc, owned
  size_t length_ = 0;                     // used bytes R
  size_t capacity_ = 0;
  size_t count_ = 0;
};

// Writes one line per entry: the type tag (for example "HX_CNT_INTEGER_VT "), the name, a space and
// the value. The stream's format flags are kept; the container's cursor is left after the last entry.
std::ostream& operator<<(std::ostream& out, const HX_Container& container);

// Formats the container as operator<< does and hands the text to the diagnostic log.
void PrintContainer(const HX_Container& container);
