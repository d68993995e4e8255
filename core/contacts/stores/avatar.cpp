#include "core/contacts/stores/avatar.h"

#include <cstring>
#include <utility>

#include "core/base/wall_clock.h"

namespace hx {

namespace {

uint64_t Now() {
  const int64_t now = WallClockSeconds();
  return now > 0 ? static_cast<uint64_t>(now) : 0;
}

}  // namespace

Avatar::Avatar(const char* peerId, const void* bytes, uint64_t size, uint64_t time)
    : m_peerId(peerId != nullptr ? peerId : ""), m_lastWrite(time) {
  copyBytes(bytes, size);
}

Avatar::Avatar(const Avatar& other)
    : m_peerId(other.m_peerId),
      m_lastWrite(other.m_lastWrite),
      m_nextFetch(other.m_nextFetch),
      m_hash(other.m_hash) {
  copyBytes(other.m_picture.get(), other.m_size);
}

Avatar::Avatar(Avatar&& other) noexcept
    : m_peerId(std::move(other.m_peerId)),
      m_picture(std::move(other.m_picture)),
      m_size(std::exchange(other.m_size, 0)),
      m_lastWrite(std::exchange(other.m_lastWrite, 0)),
      m_nextFetch(std::exchange(other.m_nextFetch, 0)),
      m_hash(std::exchange(other.m_hash, 0)) {}

Avatar& Avatar::operator=(const Avatar& other) {
  if (this != &other) *this = Avatar(other);
  return *this;
}

Avatar& Avatar::operator=(Avatar&& other) noexcept {
  if (this == &other) return *this;
  m_peerId = std::move(other.m_peerId);
  m_picture = std::move(other.m_picture);
  m_size = std::exchange(other.m_size, 0);
  m_lastWrite = std::exchange(other.m_lastWrite, 0);
  m_nextFetch = std::exchange(other.m_nextFetch, 0);
  m_hash = std::exchange(other.m_hash, 0);
  return *this;
}

Avatar::~Avatar() = default;

void Avatar::clear() {
  m_peerId.clear();
  m_picture.reset();
  m_size = 0;
  m_lastWrite = 0;
  m_nextFetch = 0;
  m_hash = 0;
}

void Avatar::set(const char* peerId, const void* bytes, uint64_t size, uint64_t time,
                 int32_t hash) {
  clear();
  if (peerId != nullptr) m_peerId = peerId;
  if (size <= kMaxSize) copyBytes(bytes, size);
  m_lastWrite = time;
  m_hash = hash;
}

bool Avatar::expired() const { return expired(kFreshSeconds); }

bool Avatar::expired(uint64_t interval) const {
  // Compared by difference, so that a last write near the top of the range cannot wrap.
  const uint64_t now = Now();
  return now >= m_lastWrite && now - m_lastWrite >= interval;
}

bool Avatar::isRefreshRequired() const { return expired() && Now() >= m_nextFetch; }

void Avatar::copyBytes(const void* bytes, uint64_t size) {
  if (bytes == nullptr || size == 0) return;
  m_picture = std::make_unique_for_overwrite<uint8_t[]>(size);
  std::memcpy(m_picture.get(), bytes, size);
  m_size = size;
}

Thumbnail::Thumbnail(const char* peerId, const void* bytes, uint64_t size, uint64_t time,
                     uint64_t width, uint64_t height)
    : Avatar(peerId, bytes, size, time), m_width(width), m_height(height) {}

Thumbnail::~Thumbnail() = default;

}  // namespace hx
