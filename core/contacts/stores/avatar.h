#pragma once
// hx::Avatar and hx::Thumbnail: a user's picture as the avatar store hands it out, with the times
// that decide when it may be fetched from the server again.
//
// A picture is fresh for a day (86400 s) after it was stored or confirmed unchanged ("last
// write"); after that it needs a refresh, but not before its "next fetch" time, which the store
// puts half an hour ahead whenever a request for it goes out. Times are wall-clock seconds since
// 1970 (hx::WallClockSeconds). A thumbnail is a picture of a given width and height; its last
// write is the time used for its age.
//
// The bytes are owned: copies are deep, a move leaves the source without picture and with size,
// times and hash 0. Size 0 means "no picture" (data() is then null).
//
// Thread safety: plain values; one object belongs to one thread at a time.

#include <cstdint>
#include <memory>
#include <string>

namespace hx {

class Avatar {
 public:
  // The largest picture that is kept, in memory and on disk.
  static constexpr uint64_t kMaxSize = 524288;
  // A picture is fresh this long after its last write.
  static constexpr uint64_t kFreshSeconds = 86400;

  Avatar() = default;
  // Copies the id (empty when null) and `size` bytes (none when `bytes` is null or `size` is 0);
  // last write = `time`, next fetch and hash 0.
  Avatar(const char* peerId, const void* bytes, uint64_t size, uint64_t time);
  Avatar(const Avatar& other);
  Avatar(Avatar&& other) noexcept;
  Avatar& operator=(const Avatar& other);
  Avatar& operator=(Avatar&& other) noexcept;
  virtual ~Avatar();

  // Frees the picture, empties the id, and sets size, times and hash to 0.
  void clear();
  // clear(), then the id; the bytes are kept only when not null and 0 < size <= kMaxSize (else
  // no picture, size 0); last write = `time`, hash = `hash`, next fetch 0.
  void set(const char* peerId, const void* bytes, uint64_t size, uint64_t time, int32_t hash);

  // Whether a day (or `interval` seconds) has passed since the last write.
  bool expired() const;
  bool expired(uint64_t interval) const;
  // expired() and the next fetch time has come.
  bool isRefreshRequired() const;

  const std::string& peerId() const { return m_peerId; }
  const uint8_t* data() const { return m_picture.get(); }
  uint64_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  uint64_t lastWrite() const { return m_lastWrite; }
  uint64_t nextFetch() const { return m_nextFetch; }
  int32_t hash() const { return m_hash; }

  void setLastWrite(uint64_t time) { m_lastWrite = time; }
  void setNextFetch(uint64_t time) { m_nextFetch = time; }
  void setHash(int32_t hash) { m_hash = hash; }

 private:
  void copyBytes(const void* bytes, uint64_t size);

  std::string m_peerId;
  std::unique_ptr<uint8_t[]> m_picture;
  uint64_t m_size = 0;
  uint64_t m_lastWrite = 0;
  uint64_t m_nextFetch = 0;
  int32_t m_hash = 0;
};

class Thumbnail : public Avatar {
 public:
  Thumbnail() = default;
  // As Avatar's constructor, with the picture's width and height in pixels.
  Thumbnail(const char* peerId, const void* bytes, uint64_t size, uint64_t time, uint64_t width,
            uint64_t height);
  Thumbnail(const Thumbnail&) = default;
  Thumbnail(Thumbnail&&) noexcept = default;
  Thumbnail& operator=(const Thumbnail&) = default;
  Thumbnail& operator=(Thumbnail&&) noexcept = default;
  ~Thumbnail() override;

  uint64_t width() const { return m_width; }
  uint64_t height() const { return m_height; }

 private:
  uint64_t m_width = 0;
  uint64_t m_height = 0;
};

}  // namespace hx
