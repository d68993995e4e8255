#include "core/base/container.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <sstream>

#include "core/base/ios_log.h"
#include "core/base/range_coder.h"
#include "core/base/time_format.h"

// The raw form is little-endian; on a little-endian host values are copied as they are.
static_assert(std::endian::native == std::endian::little, "the raw form is copied in host order");

namespace {

constexpr size_t kFirstAllocation = 1000;
constexpr uint64_t kMaxRawLength = std::numeric_limits<uint32_t>::max();

// The coder cannot carry more than this many raw bytes per coded byte: each symbol shrinks the range
// by at least the factor 65281/65536 (the largest frequency over the smallest total), i.e. by at least
// 0.0056245 bits, while each coded byte adds 8 bits to a 32-bit range that never reaches 0. So n coded
// bytes hold at most 8n / 0.0056245 < 1423n symbols. A claimed raw length above that is refused before
// any memory is set aside for it.
constexpr uint64_t kMaxRawBytesPerCodedByte = 1423;

uint32_t LoadU32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

void StoreU32(uint8_t* p, uint32_t value) { std::memcpy(p, &value, sizeof value); }

// Bytes after the type byte of an entry whose value starts at `value`.
uint64_t ValueSize(uint8_t type, const uint8_t* value) {
  switch (type) {
    case HX_CNT_BOOL_VT:
      return 1;
    case HX_CNT_INTEGER_VT:
      return 4;
    case HX_CNT_DOUBLE_VT:
    case HX_CNT_INT64_VT:
      return 8;
    default:  // string or binary
      return 4 + uint64_t{LoadU32(value)};
  }
}

uint8_t FoldAscii(uint8_t c) { return static_cast<uint8_t>(c - 'A') < 26 ? c + ('a' - 'A') : c; }

bool NameEquals(const uint8_t* stored, std::string_view name) {
  for (size_t i = 0; i < name.size(); ++i)
    if (FoldAscii(stored[i]) != FoldAscii(static_cast<uint8_t>(name[i]))) return false;
  return true;
}

// Checks decoded raw bytes entry by entry and counts the entries. Every bound is computed in 64-bit.
bool CountEntries(const uint8_t* data, uint64_t length, size_t& count) {
  count = 0;
  uint64_t entry = 0;
  for (;;) {
    if (length - entry < 2) return false;
    const uint64_t name_length = data[entry];
    if (name_length == 0) return false;  // no writer makes it, and no lookup could reach it
    const uint64_t type_at = entry + name_length + 1;
    if (type_at >= length || data[type_at - 1] != 0) return false;
    const uint8_t type = data[type_at];
    if (type > HX_CNT_INT64_VT) return false;
    const bool has_length = type == HX_CNT_STRING_VT || type == HX_CNT_BINARY_VT;
    if (has_length && type_at + 1 + 4 > length) return false;
    const uint64_t end = type_at + 1 + ValueSize(type, data + type_at + 1);
    if (end > length) return false;
    if (type == HX_CNT_STRING_VT) {
      // Readers rely on the terminating zero, so a string needs at least that byte.
      const uint64_t stored = LoadU32(data + type_at + 1);
      if (stored == 0 || data[type_at + 4 + stored] != 0) return false;
    }
    ++count;
    if (end == length) return true;
    entry = end;
  }
}

// Ticks since 1601 for a time point; false when the time point lies too far away to be stored
// (the conversion holds such values at the int64 limits).
bool TimePointToTicks(HX_Container::TimePoint time, int64_t& ticks) {
  ticks = tu::UnixSecondsToWindowsTicks(time);
  return ticks != INT64_MIN && ticks != INT64_MAX;
}

// The 16-byte calendar record: year, month 1-12, day of week, day of month, hour, minute, second,
// milliseconds, each u16.
constexpr size_t kCalendarFields = 8;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

HX_Container::HX_Container(const HX_Container& other) { other.CopyTo(*this); }

HX_Container& HX_Container::operator=(const HX_Container& other) {
  if (this != &other) {
    Clear();
    other.CopyTo(*this);
  }
  return *this;
}

HX_Container::HX_Container(HX_Container&& other) noexcept
    : cursor_(other.cursor_),
      buffer_(other.buffer_),
      length_(other.length_),
      capacity_(other.capacity_),
      count_(other.count_) {
  other.buffer_ = nullptr;
  other.Clear();
}

HX_Container& HX_Container::operator=(HX_Container&& other) noexcept {
  if (this != &other) {
    Clear();
    cursor_ = other.cursor_;
    buffer_ = other.buffer_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    count_ = other.count_;
    other.buffer_ = nullptr;
    other.Clear();
  }
  return *this;
}

HX_Container::~HX_Container() { std::free(buffer_); }

void HX_Container::Clear() {
  std::free(buffer_);
  buffer_ = nullptr;
  cursor_ = kBeforeFirst;
  length_ = capacity_ = count_ = 0;
}

bool HX_Container::Reserve(uint64_t entry_size, uint8_t*& retired) {
  retired = nullptr;
  const uint64_t needed = length_ + entry_size;
  if (needed > kMaxRawLength) return false;
  if (needed <= capacity_) return true;
  const uint64_t capacity = buffer_ ? needed + capacity_ : std::max<uint64_t>(kFirstAllocation, needed);
  uint8_t* grown = static_cast<uint8_t*>(std::malloc(capacity));
  if (!grown) return false;
  if (length_ > 0) std::memcpy(grown, buffer_, length_);
  retired = buffer_;
  buffer_ = grown;
  capacity_ = capacity;
  return true;
}

bool HX_Container::AddValue(std::string_view name, ContainerVT type, const void* value, size_t size) {
  if (name.size() > kMaxNameLength || type > HX_CNT_INT64_VT) return false;
  const bool has_length = type == HX_CNT_STRING_VT || type == HX_CNT_BINARY_VT;
  uint64_t value_size;
  switch (type) {
    case HX_CNT_STRING_VT:
      if (size >= kMaxRawLength) return false;
      value_size = 4 + uint64_t{size} + 1;
      break;
    case HX_CNT_BINARY_VT:
      if (size > kMaxRawLength) return false;
      value_size = 4 + uint64_t{size};
      break;
    default:
      size = 0;  // fixed-size values carry no length field
      value_size = type == HX_CNT_BOOL_VT ? 1 : type == HX_CNT_INTEGER_VT ? 4 : 8;
      break;
  }
  if (!value && (!has_length || size > 0)) return false;

  uint8_t* retired;
  if (!Reserve(name.size() + 3 + value_size, retired)) return false;
  uint8_t* p = buffer_ + length_;
  *p++ = static_cast<uint8_t>(name.size() + 1);
  if (!name.empty()) std::memcpy(p, name.data(), name.size());
  p += name.size();
  *p++ = 0;
  *p++ = type;
  if (has_length) {
    StoreU32(p, static_cast<uint32_t>(type == HX_CNT_STRING_VT ? size + 1 : size));
    if (size > 0) std::memcpy(p + 4, value, size);
    if (type == HX_CNT_STRING_VT) p[4 + size] = 0;
  } else {
    std::memcpy(p, value, value_size);
  }
  std::free(retired);
  length_ += name.size() + 3 + value_size;
  ++count_;
  return true;
}

bool HX_Container::AddValue(std::string_view name, const char* text) {
  return text && AddValue(name, HX_CNT_STRING_VT, text, std::strlen(text));
}

bool HX_Container::AddValue(std::string_view name, bool value) {
  const uint8_t byte = value ? 1 : 0;
  return AddValue(name, HX_CNT_BOOL_VT, &byte, 1);
}

bool HX_Container::AddValue(std::string_view name, int32_t value) {
  return AddValue(name, HX_CNT_INTEGER_VT, &value, sizeof value);
}

bool HX_Container::AddValue(std::string_view name, int64_t value) {
  return AddValue(name, HX_CNT_INT64_VT, &value, sizeof value);
}

bool HX_Container::AddValue(std::string_view name, double value) {
  return AddValue(name, HX_CNT_DOUBLE_VT, &value, sizeof value);
}

bool HX_Container::AddValue(std::string_view name, std::tm& time) {
  if (std::mktime(&time) == -1) return false;
  const int64_t year = int64_t{time.tm_year} + 1900;
  if (year < 0 || year > std::numeric_limits<uint16_t>::max()) return false;
  const uint16_t record[kCalendarFields] = {
      static_cast<uint16_t>(year),         static_cast<uint16_t>(time.tm_mon + 1),
      static_cast<uint16_t>(time.tm_wday), static_cast<uint16_t>(time.tm_mday),
      static_cast<uint16_t>(time.tm_hour), static_cast<uint16_t>(time.tm_min),
      static_cast<uint16_t>(time.tm_sec),  0};
  return AddValue(name, HX_CNT_BINARY_VT, record, sizeof record);
}

bool HX_Container::AddValue(std::string_view name, const HX_Container& nested) {
  uint8_t* wire;
  size_t size;
  if (!nested.SerializeAlloc(wire, size)) return false;
  std::unique_ptr<uint8_t, FreeDeleter> owner(wire);
  return AddValue(name, HX_CNT_BINARY_VT, wire, size);
}

bool HX_Container::AddValue(std::string_view name, TimePoint time) {
  int64_t ticks;
  return TimePointToTicks(time, ticks) && AddValue(name, HX_CNT_BINARY_VT, &ticks, sizeof ticks);
}

size_t HX_Container::EntryEnd(size_t entry) const {
  const size_t type_at = entry + buffer_[entry] + 1;
  return type_at + 1 + ValueSize(buffer_[type_at], buffer_ + type_at + 1);
}

const uint8_t* HX_Container::FindValue(std::string_view name, ContainerVT type) const {
  if (name.size() > kMaxNameLength) return nullptr;
  const size_t wanted_length = name.size() + 1;
  size_t entry = 0;
  for (size_t i = 0; i < count_; ++i) {
    const size_t type_at = entry + buffer_[entry] + 1;
    if (buffer_[entry] == wanted_length && buffer_[type_at] == type && NameEquals(buffer_ + entry + 1, name))
      return buffer_ + type_at + 1;
    entry = EntryEnd(entry);
  }
  return nullptr;
}

const uint8_t* HX_Container::CurrentValue(ContainerVT type) const {
  if (cursor_ == kBeforeFirst || cursor_ == kAfterLast) return nullptr;
  const size_t type_at = cursor_ + buffer_[cursor_] + 1;
  return buffer_[type_at] == type ? buffer_ + type_at + 1 : nullptr;
}

bool HX_Container::GetValue(std::string_view name, ContainerVT type, void* destination, size_t& size) const {
  const uint8_t* value = FindValue(name, type);
  if (!value) return false;
  switch (type) {
    case HX_CNT_STRING_VT:
    case HX_CNT_BINARY_VT: {
      const size_t capacity = size;
      size = LoadU32(value);
      if (!destination) return true;
      if (capacity < size) return false;
      std::memcpy(destination, value + 4, size);
      return true;
    }
    case HX_CNT_BOOL_VT:
      if (!destination) return false;
      *static_cast<uint8_t*>(destination) = value[0] != 0;
      return true;
    default:
      if (!destination) return false;
      std::memcpy(destination, value, ValueSize(type, value));
      return true;
  }
}

const void* HX_Container::GetValueRef(std::string_view name, ContainerVT type, size_t& size) const {
  const uint8_t* value = FindValue(name, type);
  if (!value) return nullptr;
  if (type != HX_CNT_STRING_VT && type != HX_CNT_BINARY_VT) return value;
  size = LoadU32(value);
  return value + 4;
}

bool HX_Container::GetValue(std::string_view name, std::string& text) const {
  const uint8_t* value = FindValue(name, HX_CNT_STRING_VT);
  if (!value) return false;
  text.assign(reinterpret_cast<const char*>(value + 4));
  return true;
}

bool HX_Container::GetValue(std::string_view name, std::tm& time) const {
  size_t size;
  const void* value = GetValueRef(name, HX_CNT_BINARY_VT, size);
  if (!value || size != kCalendarFields * 2) return false;
  uint16_t record[kCalendarFields];
  std::memcpy(record, value, sizeof record);
  time.tm_year = record[0] - 1900;
  time.tm_mon = record[1] - 1;
  time.tm_mday = record[3];
  time.tm_hour = record[4];
  time.tm_min = record[5];
  time.tm_sec = record[6];
  time.tm_isdst = -1;
  return std::mktime(&time) != -1;
}

bool HX_Container::GetValue(std::string_view name, HX_Container& nested) const {
  size_t size;
  const void* value = GetValueRef(name, HX_CNT_BINARY_VT, size);
  return value && nested.Deserialize(value, size);
}

bool HX_Container::GetValue(std::string_view name, TimePoint& time) const {
  size_t size;
  const void* value = GetValueRef(name, HX_CNT_BINARY_VT, size);
  if (!value || size != sizeof(int64_t)) return false;
  int64_t ticks;
  std::memcpy(&ticks, value, sizeof ticks);
  time = tu::WindowsTickToUnixSeconds(ticks);
  return true;
}

void HX_Container::Reset() const { cursor_ = kBeforeFirst; }

bool HX_Container::Next() const {
  if (count_ == 0 || cursor_ == kAfterLast) return false;
  const size_t next = cursor_ == kBeforeFirst ? 0 : EntryEnd(cursor_);
  if (next >= length_) {
    cursor_ = kAfterLast;
    return false;
  }
  cursor_ = next;
  return true;
}

const char* HX_Container::GetName() const {
  if (cursor_ == kBeforeFirst || cursor_ == kAfterLast) return nullptr;
  return reinterpret_cast<const char*>(buffer_ + cursor_ + 1);
}

uint8_t HX_Container::GetType() const {
  if (cursor_ == kBeforeFirst || cursor_ == kAfterLast) return 255;
  return buffer_[cursor_ + buffer_[cursor_] + 1];
}

bool HX_Container::GetValue(bool& value) const {
  const uint8_t* stored = CurrentValue(HX_CNT_BOOL_VT);
  if (!stored) return false;
  value = stored[0] != 0;
  return true;
}

bool HX_Container::GetValue(int32_t& value) const {
  const uint8_t* stored = CurrentValue(HX_CNT_INTEGER_VT);
  if (!stored) return false;
  std::memcpy(&value, stored, sizeof value);
  return true;
}

bool HX_Container::GetValue(double& value) const {
  const uint8_t* stored = CurrentValue(HX_CNT_DOUBLE_VT);
  if (!stored) return false;
  std::memcpy(&value, stored, sizeof value);
  return true;
}

bool HX_Container::GetValue(int64_t& value) const {
  const uint8_t* stored = CurrentValue(HX_CNT_INT64_VT);
  if (!stored) return false;
  std::memcpy(&value, stored, sizeof value);
  return true;
}

bool HX_Container::GetValue(std::string& text) const {
  const char* stored = GetStrValueRef();
  if (!stored) return false;
  text.assign(stored);
  return true;
}

bool HX_Container::GetValue(HX_Container& nested) const {
  size_t size;
  const void* value = GetBinValueRef(size);
  return value && nested.Deserialize(value, size);
}

bool HX_Container::GetValue(TimePoint& time) const {
  size_t size;
  const void* value = GetBinValueRef(size);
  if (!value || size != sizeof(int64_t)) return false;
  int64_t ticks;
  std::memcpy(&ticks, value, sizeof ticks);
  time = tu::WindowsTickToUnixSeconds(ticks);
  return true;
}

const char* HX_Container::GetStrValueRef() const {
  const uint8_t* stored = CurrentValue(HX_CNT_STRING_VT);
  return stored ? reinterpret_cast<const char*>(stored + 4) : nullptr;
}

std::string HX_Container::GetStrValue() const {
  const char* stored = GetStrValueRef();
  return stored ? std::string(stored) : std::string();
}

std::string_view HX_Container::GetStrValueView() const {
  const uint8_t* stored = CurrentValue(HX_CNT_STRING_VT);
  if (!stored) return {};
  return {reinterpret_cast<const char*>(stored + 4), LoadU32(stored) - size_t{1}};
}

const void* HX_Container::GetBinValueRef(size_t& size) const {
  const uint8_t* stored = CurrentValue(HX_CNT_BINARY_VT);
  if (!stored) return nullptr;
  size = LoadU32(stored);
  return stored + 4;
}

bool HX_Container::CopyTo(HX_Container& target) const {
  if (count_ == 0) return false;
  if (&target == this) return true;
  const size_t capacity = std::max(kFirstAllocation, length_);
  uint8_t* copy = static_cast<uint8_t*>(std::malloc(capacity));
  if (!copy) return false;
  std::memcpy(copy, buffer_, length_);
  target.Clear();
  target.buffer_ = copy;
  target.length_ = length_;
  target.capacity_ = capacity;
  target.count_ = count_;
  return true;
}

bool HX_Container::Attach(size_t entry, HX_Container& other, bool strict_bool) const {
  const char* stored_name = reinterpret_cast<const char*>(buffer_ + entry + 1);
  const std::string_view name(stored_name, strnlen(stored_name, buffer_[entry] - 1));
  const size_t type_at = entry + buffer_[entry] + 1;
  const auto type = static_cast<ContainerVT>(buffer_[type_at]);
  const uint8_t* value = buffer_ + type_at + 1;
  switch (type) {
    case HX_CNT_BOOL_VT:
      return other.AddValue(name, strict_bool ? value[0] == 1 : value[0] != 0);
    case HX_CNT_STRING_VT: {
      const char* text = reinterpret_cast<const char*>(value + 4);
      return other.AddValue(name, HX_CNT_STRING_VT, text, strnlen(text, LoadU32(value)));
    }
    case HX_CNT_BINARY_VT: {
      const uint32_t size = LoadU32(value);
      return size > 0 && other.AddValue(name, HX_CNT_BINARY_VT, value + 4, size);
    }
    default:
      return other.AddValue(name, type, value, 0);
  }
}

bool HX_Container::AttachCurrentTo(HX_Container& other) const {
  if (cursor_ == kBeforeFirst || cursor_ == kAfterLast) return false;
  return Attach(cursor_, other, false);
}

void HX_Container::AttachToCnt(HX_Container& other) const {
  // Offsets, not pointers: attaching to itself may move the buffer.
  const size_t count = count_;
  size_t entry = 0;
  for (size_t i = 0; i < count; ++i) {
    Attach(entry, other, true);
    entry = EntryEnd(entry);
  }
}

bool HX_Container::Serialize(void* buffer, size_t& size) const {
  if (!buffer) {
    size = GetAllocSize();
    return true;
  }
  if (size < GetAllocSize()) return false;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  StoreU32(out, static_cast<uint32_t>(length_));
  size_t written = 4;
  if (length_ > 0) {
    const int64_t coded = RCDV_Encode(buffer_, length_, out + 4, size - 4);
    if (coded < 0) return false;
    written += static_cast<size_t>(coded);
  }
  size = written;
  return true;
}

bool HX_Container::SerializeAlloc(uint8_t*& buffer, size_t& size) const {
  size = GetAllocSize();
  uint8_t* out = static_cast<uint8_t*>(std::malloc(size));
  if (!out || !Serialize(out, size)) {
    std::free(out);
    return false;
  }
  buffer = out;
  return true;
}

bool HX_Container::Deserialize(const void* data, size_t length) {
  if (!data || length < 4) return false;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  const uint64_t raw_length = LoadU32(bytes);
  if (raw_length == 0) {
    Clear();
    return true;
  }
  const uint64_t coded_length = length - 4;
  if (raw_length > kMaxRawBytesPerCodedByte * coded_length) return false;
  std::unique_ptr<uint8_t, FreeDeleter> decoded(static_cast<uint8_t*>(std::malloc(raw_length)));
  if (!decoded) return false;
  size_t count;
  if (RCDV_DecodeSafe(bytes + 4, decoded.get(), raw_length, coded_length) != static_cast<int64_t>(coded_length) ||
      !CountEntries(decoded.get(), raw_length, count))
    return false;
  std::free(buffer_);
  buffer_ = decoded.release();
  length_ = capacity_ = raw_length;
  count_ = count;
  cursor_ = kBeforeFirst;
  return true;
}

std::ostream& operator<<(std::ostream& out, const HX_Container& container) {
  const std::ios_base::fmtflags saved = out.flags();
  out.width(0);
  out.setf(std::ios_base::dec, std::ios_base::basefield);
  const auto print = [&](const char* tag, auto value) {
    out << tag << container.GetName() << ' ';
    if (container.GetValue(value))
      out << value;
    else
      out << "[error]";
    out << '\n';
  };
  container.Reset();
  while (container.Next()) {
    switch (container.GetType()) {
      case HX_CNT_BOOL_VT: {
        bool value;
        out << "HX_CNT_BOOL_VT " << container.GetName() << ' ';
        out << (container.GetValue(value) ? (value ? "true" : "false") : "[error]") << '\n';
        break;
      }
      case HX_CNT_INTEGER_VT:
        print("HX_CNT_INTEGER_VT ", int32_t{});
        break;
      case HX_CNT_DOUBLE_VT:
        print("HX_CNT_DOUBLE_VT ", double{});
        break;
      case HX_CNT_STRING_VT:
        print("HX_CNT_STRING_VT ", std::string{});
        break;
      case HX_CNT_INT64_VT:
        print("HX_CNT_INT64_VT ", int64_t{});
        break;
      case HX_CNT_BINARY_VT: {
        size_t size = 0;
        out << "HX_CNT_BINARY_VT " << container.GetName() << ' ';
        if (container.GetBinValueRef(size))
          out << size << " bytes long";
        else
          out << "[error]";
        out << '\n';
        break;
      }
      default:
        break;
    }
  }
  out.flags(saved);
  return out;
}

void PrintContainer(const HX_Container& container) {
  std::ostringstream text;
  text << container;
  ios_log("%s", text.str().c_str());
}
