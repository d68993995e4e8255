#include "core/contacts/stores/avatar_storage.h"

#include <ostream>

#include "core/base/stored_task.h"
#include "core/base/thread_base.h"
#include "core/base/tick_clock.h"
#include "core/base/wall_clock.h"

namespace {

constexpr uint64_t kDownloaderLeadMs = 25;
constexpr int64_t kStopWaitMs = 10;

std::string Text(const char* text) { return text != nullptr ? text : ""; }

uint64_t Now() {
  const int64_t now = hx::WallClockSeconds();
  return now > 0 ? static_cast<uint64_t>(now) : 0;
}

// Stored times before 1970 read as 1970: such a picture is simply old.
uint64_t StoredTime(int64_t time) { return time > 0 ? static_cast<uint64_t>(time) : 0; }

// A stream that writes into the scratch buffer from its start and stops at its end.
class ScratchStream {
 public:
  explicit ScratchStream(char* scratch)
      : m_window(scratch, scratch + hx::Avatar::kMaxSize), m_out(&m_window) {}
  std::ostream& out() { return m_out; }

 private:
  HXDBBase::streamhelper m_window;
  std::ostream m_out;
};

}  // namespace

HX_AvatarStorage::HX_AvatarStorage()
    : m_downloader("AvatarDnloader", kDownloaderLeadMs),
      m_scratch(new char[hx::Avatar::kMaxSize]) {}

HX_AvatarStorage::~HX_AvatarStorage() {
  // A task still running may call back into the store: it ends before anything here goes.
  stopAvatarDownloader(true);
}

bool HX_AvatarStorage::InitAvatarList(const char* peer, const char* dir) {
  // The open takes the global database lock itself, before the database's own lock.
  return HX_AvatarDB::OpenDatabase(peer, dir);
}

void HX_AvatarStorage::SetAvatar(const char* peer, const void* bytes, uint64_t size, int32_t hash,
                                 const char* mimeType) {
  if (size > hx::Avatar::kMaxSize) return;
  hx::Avatar avatar(peer, bytes, size, Now());
  avatar.setHash(hash);
  HXAutoLock lock(storeLock());
  storeAvatar(avatar, mimeType);
}

void HX_AvatarStorage::SetAvatar(const hx::Avatar& avatar, const char* mimeType) {
  if (avatar.size() > hx::Avatar::kMaxSize) return;
  HXAutoLock lock(storeLock());
  storeAvatar(avatar, mimeType);
}

void HX_AvatarStorage::SetAvatar(const hx::Avatar& avatar, int32_t hash, const char* mimeType) {
  if (avatar.size() > hx::Avatar::kMaxSize) return;
  hx::Avatar copy(avatar);
  copy.setHash(hash);
  HXAutoLock lock(storeLock());
  storeAvatar(copy, mimeType);
}

void HX_AvatarStorage::storeAvatar(const hx::Avatar& avatar, const char* mimeType) {
  m_avatars[avatar.peerId()] = avatar;
  HX_AvatarDB::SetAvatar(avatar.peerId().c_str(), mimeType != nullptr ? mimeType : "",
                         avatar.data(), avatar.size(), avatar.hash());
}

void HX_AvatarStorage::DelAvatar(const char* peer) {
  HXAutoLock lock(storeLock());
  m_avatars.erase(Text(peer));
  HX_AvatarDB::DelAvatar(Text(peer).c_str());
}

hx::Avatar HX_AvatarStorage::GetAvatar(const char* peer, bool cacheOnly) {
  const std::string id = Text(peer);
  HXAutoLock lock(storeLock());
  const auto cached = m_avatars.find(id);
  if (cached != m_avatars.end()) {
    UpdateLastRead(id.c_str());
    return cached->second;
  }
  hx::Avatar loaded;
  if (!cacheOnly && dbLoadAvatar(id.c_str(), loaded)) {
    return m_avatars.emplace(id, std::move(loaded)).first->second;
  }
  return insertPlaceholder(id);
}

bool HX_AvatarStorage::dbLoadAvatar(const char* peer, hx::Avatar& avatar) {
  ScratchStream stream(m_scratch.get());
  std::string mime;
  int64_t hash = 0;
  int64_t lastWrite = 0;
  // The limit is one above the largest picture kept: the statement returns only pictures
  // strictly smaller than it, and every picture the store accepts must read back.
  uint64_t size = hx::Avatar::kMaxSize + 1;
  if (!HX_AvatarDB::GetAvatar(peer, mime, stream.out(), hash, size, lastWrite)) return false;
  // The database hands out only rows whose bytes all fit the buffer and match their size.
  avatar.set(peer, m_scratch.get(), size, StoredTime(lastWrite), static_cast<int32_t>(hash));
  return true;
}

hx::Avatar& HX_AvatarStorage::insertPlaceholder(const std::string& peer) {
  const uint64_t now = Now();
  const uint64_t old = now > hx::Avatar::kFreshSeconds ? now - hx::Avatar::kFreshSeconds : 0;
  return m_avatars.insert_or_assign(peer, hx::Avatar(peer.c_str(), nullptr, 0, old)).first->second;
}

int32_t HX_AvatarStorage::GetAvatarHash(const char* peer) {
  HXAutoLock lock(storeLock());
  const auto cached = m_avatars.find(Text(peer));
  if (cached != m_avatars.end()) return cached->second.hash();
  int64_t stored = 0;
  if (!HX_AvatarDB::GetAvatarHash(Text(peer).c_str(), stored)) return 0;
  // The database keeps the hash sign-extended.
  return static_cast<int32_t>(stored);
}

bool HX_AvatarStorage::isAvatarRefreshRequired(const char* peer) {
  const std::string id = Text(peer);
  HXAutoLock lock(storeLock());
  const auto cached = m_avatars.find(id);
  if (cached == m_avatars.end()) return insertPlaceholder(id).isRefreshRequired();
  return cached->second.isRefreshRequired();
}

void HX_AvatarStorage::SetAvatarFetchTime(const char* peer) {
  HXAutoLock lock(storeLock());
  const auto cached = m_avatars.find(Text(peer));
  if (cached != m_avatars.end()) cached->second.setNextFetch(Now() + kFetchIntervalSeconds);
}

void HX_AvatarStorage::UpdateAvatarLastWriteTime(const char* peer, int64_t /*time*/) {
  const std::string id = Text(peer);
  const uint64_t now = Now();
  HXAutoLock lock(storeLock());
  UpdateLastWriteAvatar(id.c_str(), static_cast<int64_t>(now));
  UpdateLastWriteThumbnails(id.c_str(), static_cast<int64_t>(now));
  const auto cached = m_avatars.find(id);
  if (cached != m_avatars.end()) cached->second.setLastWrite(now);
}

void HX_AvatarStorage::SetThumbnail(const char* peer, const void* bytes, uint64_t size,
                                    uint64_t width, uint64_t height) {
  SetThumbnail(hx::Thumbnail(peer, bytes, size, 0, width, height));
}

void HX_AvatarStorage::SetThumbnail(const hx::Thumbnail& thumbnail) {
  if (thumbnail.size() > hx::Avatar::kMaxSize) return;
  HXAutoLock lock(storeLock());
  HX_AvatarDB::SetThumbnail(thumbnail.peerId().c_str(), static_cast<int64_t>(thumbnail.width()),
                            static_cast<int64_t>(thumbnail.height()), thumbnail.data(),
                            thumbnail.size());
}

hx::Thumbnail HX_AvatarStorage::GetThumbnail(const char* peer, uint64_t width, uint64_t height) {
  const std::string id = Text(peer);
  HXAutoLock lock(storeLock());
  ScratchStream stream(m_scratch.get());
  auto storedWidth = static_cast<int64_t>(width);
  auto storedHeight = static_cast<int64_t>(height);
  uint64_t size = 0;
  int64_t lastWrite = 0;
  if (!HX_AvatarDB::GetThumbnail(id.c_str(), stream.out(), storedWidth, storedHeight, size,
                                 lastWrite)) {
    return hx::Thumbnail(id.c_str(), nullptr, 0, Now(), width, height);
  }
  // A thumbnail is never younger than the picture it was made from: an old picture makes every
  // thumbnail of its user old, so that asking for one leads to a refresh.
  uint64_t time = StoredTime(lastWrite);
  const auto cached = m_avatars.find(id);
  if (cached != m_avatars.end() && cached->second.lastWrite() < time) {
    time = cached->second.lastWrite();
  }
  return hx::Thumbnail(id.c_str(), m_scratch.get(), size, time,
                       static_cast<uint64_t>(storedWidth), static_cast<uint64_t>(storedHeight));
}

uint32_t HX_AvatarStorage::ScheduleAvatarTask(HXStoredTask* task, bool spread) {
  const int64_t tick = hx::GetTickCount();
  uint64_t due = (tick > 0 ? static_cast<uint64_t>(tick) : 0) + kTaskDelayMs;
  if (spread) due += kSpreadMs * m_downloader.getTaskQueueLen(false);
  return m_downloader.ScheduleTask(due, task, 0, nullptr);
}

void HX_AvatarStorage::startAvatarDownloader() {
  // After a stop without wait the thread may still be ending (finishing a task, dropping the
  // jobs left): until it is joined it is not idle and cannot be started, and the downloader would
  // stay down for good. Its tasks do not wait for the caller, so the join ends.
  if (m_downloader.IsTermRequest()) m_downloader.Wait();
  if (m_downloader.IsIdle()) m_downloader.Start(hx::thread::normal, true);
}

void HX_AvatarStorage::stopAvatarDownloader(bool wait) {
  if (m_downloader.IsIdle()) return;
  m_downloader.Terminate();
  m_downloader.Wait(wait ? -1 : kStopWaitMs);
}

bool HX_AvatarStorage::isAvatarDownloaderRunning() const {
  return m_downloader.IsRunning() && !m_downloader.IsTermRequest();
}

uint64_t HX_AvatarStorage::getAvatarTaskQueueLen() { return m_downloader.getTaskQueueLen(false); }
