#include "core/base/variant.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/base/container.h"

const std::string HX_Variant::m_emptyString;

HX_Variant::HX_Variant(const HX_Container* container) {
  if (!container) return;
  switch (container->GetType()) {
    case HX_CNT_BOOL_VT: {
      bool value;
      if (container->GetValue(value)) setBool(value);
      break;
    }
    case HX_CNT_INTEGER_VT: {
      int32_t value;
      if (container->GetValue(value)) setInt(value);
      break;
    }
    case HX_CNT_INT64_VT: {
      int64_t value;
      if (container->GetValue(value)) setInt64(value);
      break;
    }
    case HX_CNT_STRING_VT:
      set(container->GetStrValue());
      break;
    case HX_CNT_BINARY_VT: {
      size_t size = 0;
      const void* bytes = container->GetBinValueRef(size);
      set(bytes, size);
      break;
    }
    default:  // a double, or no current entry
      break;
  }
}

HX_Variant::HX_Variant(HX_Variant&& other) noexcept
    : number_(other.number_), text_(std::exchange(other.text_, nullptr)), tag_(std::exchange(other.tag_, kNone)) {
  other.number_ = 0;
}

HX_Variant& HX_Variant::operator=(const HX_Variant& other) {
  setFrom(other);
  return *this;
}

HX_Variant& HX_Variant::operator=(HX_Variant&& other) noexcept {
  if (this != &other) {
    delete text_;
    number_ = std::exchange(other.number_, 0);
    text_ = std::exchange(other.text_, nullptr);
    tag_ = std::exchange(other.tag_, kNone);
  }
  return *this;
}

HX_Variant::~HX_Variant() { delete text_; }

void HX_Variant::SetNumber(Tag tag, uint64_t bits) {
  delete text_;
  text_ = nullptr;
  number_ = bits;
  tag_ = tag;
}

void HX_Variant::SetText(Tag tag, std::string_view bytes) {
  if (text_)
    text_->assign(bytes);
  else
    text_ = new std::string(bytes);
  number_ = 0;
  tag_ = tag;
}

void HX_Variant::set(const std::string& text) { SetText(kString, text); }

void HX_Variant::set(const void* bytes, size_t length) {
  if (!bytes) length = 0;
  SetText(kBinary, std::string_view(static_cast<const char*>(bytes), length));
}

void HX_Variant::setBinary(const std::string& bytes) { SetText(kBinary, bytes); }

void HX_Variant::setFrom(const HX_Variant& other) {
  if (this == &other) return;
  if (other.text_) {
    SetText(static_cast<Tag>(other.tag_), *other.text_);
  } else {
    SetNumber(static_cast<Tag>(other.tag_), other.number_);
  }
}

bool HX_Variant::fillContainer(HX_Container& container, std::string_view name) const {
  switch (tag_) {
    case kBool:
      return container.AddValue(name, getBool());
    case kInt32:
    case kUint32:
      return container.AddValue(name, getInt());
    case kInt64:
    case kUint64:
      return container.AddValue(name, getInt64());
    case kString:
      return container.AddValue(name, text_->c_str());
    case kBinary:
      return text_->empty() || container.AddValue(name, HX_CNT_BINARY_VT, text_->data(), text_->size());
    default:
      return container.AddValue(name, m_emptyString.c_str());
  }
}

void HX_Variant::GetValue(void*& buffer, size_t& size) const {
  buffer = nullptr;
  size = 0;
  if (tag_ != kBinary || text_->empty()) return;
  buffer = std::malloc(text_->size());
  if (!buffer) return;
  std::memcpy(buffer, text_->data(), text_->size());
  size = text_->size();
}

std::string HX_Variant::toString() const {
  switch (tag_) {
    case kNone:
      return "v<none>:";
    case kBool:
      return std::string("v<bool>: ") + (getBool() ? "true" : "false");
    case kInt32:
      return "v<int32>: " + std::to_string(getInt());
    case kInt64:
      return "v<int64>: " + std::to_string(getInt64());
    case kUint32:
      return "v<uint32>: " + std::to_string(getUint());
    case kUint64:
      return "v<uint64>: " + std::to_string(getUint64());
    case kString:
      return text_->empty() ? "v<string>: <empty>" : "v<string>: '" + *text_ + "'";
    case kBinary:
      return "v<binary>: size " + std::to_string(text_->size());
    default:
      return "v<>: unknown type " + std::to_string(tag_);
  }
}
