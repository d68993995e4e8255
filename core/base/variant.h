#pragma once
// HX_Variant: one tagged value for loosely typed data (chat message attributes, extended presence
// statuses). It can be written into a container under a name, read from the entry a container's
// iteration stands on, and printed for diagnostics. Not thread-safe: one thread changes a variant at
// a time. The string kinds allocate through the standard library, whose out-of-memory exception
// leaves the variant with its old value.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class HX_Container;

class HX_Variant {
 public:
  enum Tag : int32_t {
    kNone = 0,
    kBool = 1,
    kInt32 = 2,
    kInt64 = 3,
    kUint32 = 4,
    kUint64 = 5,
    kString = 6,
    kBinary = 7,
  };

  // What a variant of no kind writes and where a string is expected but none is held.
  static const std::string m_emptyString;

  HX_Variant() = default;
  HX_Variant(bool value) { setBool(value); }
  HX_Variant(int value) { setInt(value); }
  HX_Variant(long long value) { setInt64(value); }
  HX_Variant(unsigned int value) { setUint(value); }
  HX_Variant(unsigned long long value) { setUint64(value); }
  HX_Variant(const std::string& text) { set(text); }
  // A text literal would otherwise silently become a boolean.
  HX_Variant(const char* text) = delete;
  // A copy of the bytes; a null pointer or length 0 gives an empty binary.
  HX_Variant(const void* bytes, size_t length) { set(bytes, length); }
  // The value of the entry the container's iteration stands on (the cursor does not move): boolean,
  // 32-bit integer, 64-bit integer, string or binary. A double entry, no current entry or a null
  // container give a variant of no kind.
  explicit HX_Variant(const HX_Container* container);
  HX_Variant(const HX_Variant& other) { setFrom(other); }
  HX_Variant(HX_Variant&& other) noexcept;
  HX_Variant& operator=(const HX_Variant& other);
  HX_Variant& operator=(HX_Variant&& other) noexcept;
  virtual ~HX_Variant();

  // Leaving the string kinds frees the held string; staying in them reuses it.
  void setBool(bool value) { SetNumber(kBool, value ? 1 : 0); }
  void setInt(int value) { SetNumber(kInt32, static_cast<uint64_t>(int64_t{value})); }
  void setInt64(long long value) { SetNumber(kInt64, static_cast<uint64_t>(value)); }
  void setUint(unsigned int value) { SetNumber(kUint32, value); }
  void setUint64(unsigned long long value) { SetNumber(kUint64, value); }
  void set(const std::string& text);
  void set(const void* bytes, size_t length);
  void setBinary(const std::string& bytes);
  // A deep copy of the other variant's kind and value.
  void setFrom(const HX_Variant& other);

  int32_t getTag() const { return tag_; }
  // The value read as the asked type whatever the tag (0 for the string kinds).
  bool getBool() const { return number_ != 0; }
  int32_t getInt() const { return static_cast<int32_t>(number_); }
  int64_t getInt64() const { return static_cast<int64_t>(number_); }
  uint32_t getUint() const { return static_cast<uint32_t>(number_); }
  uint64_t getUint64() const { return number_; }
  // The held string or bytes; m_emptyString for the other kinds.
  const std::string& getString() const { return text_ ? *text_ : m_emptyString; }

  // Adds one entry under `name`: booleans, 32- and 64-bit integers with their own type (unsigned
  // ones as the same bits), a string up to its first zero byte, a binary (nothing for an empty one),
  // and an empty string for a variant of no kind. False when the container refuses the entry.
  bool fillContainer(HX_Container& container, std::string_view name) const;

  // For a non-empty binary, a copy of the bytes in a new buffer from malloc that the caller frees;
  // otherwise (or without memory) a null buffer and size 0.
  void GetValue(void*& buffer, size_t& size) const;

  // The value for diagnostics, for example "v<int32>: 5" or "v<string>: 'ab'".
  std::string toString() const;

 private:
  void SetNumber(Tag tag, uint64_t bits);
  void SetText(Tag tag, std::string_view bytes);

  uint64_t number_ = 0;          // the numeric kinds, widened by their signedness
  std::string* text_ = nullptr;  // owned; held only by the string kinds
  int32_t tag_ = kNone;
};
