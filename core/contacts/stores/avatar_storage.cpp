#include "core/contacts/stores/avatar_storage.h"

#include "core/base/stored_task.h"

namespace {
std::string Text(const char* text) { return text != nullptr ? text : ""; }
}  // namespace

HX_AvatarStorage::HX_AvatarStorage() = default;

HX_AvatarStorage::~HX_AvatarStorage() {
  stopAvatarDownloader(true);
  dropTasks();
}

HX_AvatarStorage::Downloader::~Downloader() {
  Terminate();
  Wait();
}

void HX_AvatarStorage::Downloader::Run() {
  while (!Terminated()) {
    HXStoredTask* task = m_owner->popTask();
    if (task == nullptr) {
      m_wake.Wait(1000);
      continue;
    }
    if (!task->IsSkipped()) task->Execute();
    if (task->IsAutoDelete()) delete task;
  }
}

void HX_AvatarStorage::InitAvatarList(const char* user, const char* dir) {
  m_avatarCalls.Record("InitAvatarList", user, dir);
  HXAutoLock lock(m_avatarLock);
  if (Text(user) == m_user) return;
  m_user = Text(user);
  m_avatars.clear();
  m_thumbnails.clear();
  m_fetched.clear();
}

void HX_AvatarStorage::SetAvatar(const char* peer, const void* bytes, uint32_t size, const char* hash,
                                 const char* mimeType) {
  m_avatarCalls.Record("SetAvatar", peer, size, hash, mimeType);
  if (peer == nullptr) return;
  HXAutoLock lock(m_avatarLock);
  hx::Avatar& avatar = m_avatars[peer];
  avatar.peerId = peer;
  avatar.mimeType = Text(mimeType);
  avatar.hash = Text(hash);
  const auto* data = static_cast<const uint8_t*>(bytes);
  avatar.bytes.assign(data, data != nullptr ? data + size : data);
  m_fetched.insert(peer);
  m_thumbnails.erase(peer);
}

void HX_AvatarStorage::UpdateAvatarLastWriteTime(const char* peer, int64_t time) {
  m_avatarCalls.Record("UpdateAvatarLastWriteTime", peer, time);
  if (peer == nullptr) return;
  HXAutoLock lock(m_avatarLock);
  m_avatars[peer].peerId = peer;
  m_avatars[peer].lastWriteTime = time;
  m_fetched.insert(peer);
}

hx::Avatar HX_AvatarStorage::GetAvatar(const char* peer, bool cacheOnly) {
  m_avatarCalls.Record("GetAvatar", peer, cacheOnly);
  hx::Avatar avatar(Text(peer));
  const bool refresh = isAvatarRefreshRequired(peer);
  HXAutoLock lock(m_avatarLock);
  const auto found = m_avatars.find(avatar.peerId);
  if (found != m_avatars.end()) avatar = found->second;
  avatar.refreshRequired = refresh;
  return avatar;
}

hx::Thumbnail HX_AvatarStorage::GetThumbnail(const char* peer, uint32_t width, uint32_t height) {
  m_avatarCalls.Record("GetThumbnail", peer, width, height);
  hx::Thumbnail thumbnail(Text(peer), width, height);
  const bool refresh = isAvatarRefreshRequired(peer);
  HXAutoLock lock(m_avatarLock);
  const auto stored = m_thumbnails.find(thumbnail.peerId);
  if (stored != m_thumbnails.end() && stored->second.width == width && stored->second.height == height) {
    thumbnail = stored->second;
  } else {
    const auto found = m_avatars.find(thumbnail.peerId);
    if (found != m_avatars.end()) thumbnail.bytes = found->second.bytes;
  }
  thumbnail.isExpired = thumbnail.isExpired || refresh;
  return thumbnail;
}

void HX_AvatarStorage::SetThumbnail(const char* peer, const hx::Thumbnail& thumbnail) {
  m_avatarCalls.Record("SetThumbnail", peer, thumbnail.width, thumbnail.height);
  if (peer == nullptr) return;
  HXAutoLock lock(m_avatarLock);
  m_thumbnails[peer] = thumbnail;
}

bool HX_AvatarStorage::isAvatarRefreshRequired(const char* id) {
  if (id == nullptr) return false;
  HXAutoLock lock(m_avatarLock);
  const auto set = m_refresh.find(id);
  if (set != m_refresh.end()) return set->second;
  return m_fetched.count(id) == 0;
}

std::string HX_AvatarStorage::GetAvatarHash(const char* peer) {
  if (peer == nullptr) return std::string();
  HXAutoLock lock(m_avatarLock);
  const auto found = m_avatars.find(peer);
  return found != m_avatars.end() ? found->second.hash : std::string();
}

void HX_AvatarStorage::SetAvatarFetchTime(const char* peer) {
  m_avatarCalls.Record("SetAvatarFetchTime", peer);
  if (peer == nullptr) return;
  HXAutoLock lock(m_avatarLock);
  m_fetched.insert(peer);
}

void HX_AvatarStorage::ScheduleAvatarTask(HXStoredTask* task, bool spread) {
  m_avatarCalls.Record("ScheduleAvatarTask", spread);
  if (task == nullptr) return;
  HXAutoLock lock(m_avatarLock);
  if (spread) {
    m_tasks.push_back(task);
  } else {
    m_tasks.push_front(task);
  }
  if (m_downloader) m_downloader->m_wake.Set();
}

void HX_AvatarStorage::startAvatarDownloader() {
  m_avatarCalls.Record("startAvatarDownloader");
  std::unique_ptr<Downloader> old;
  {
    HXAutoLock lock(m_avatarLock);
    if (m_downloader && m_downloader->IsRunning() && !m_downloader->IsTermRequest()) return;
    old = std::move(m_downloader);
  }
  // A thread stopped without waiting is joined here, outside the lock its tasks take.
  old.reset();
  auto fresh = std::make_unique<Downloader>(this);
  fresh->Start(hx::thread::normal, true);
  HXAutoLock lock(m_avatarLock);
  m_downloader = std::move(fresh);
}

void HX_AvatarStorage::stopAvatarDownloader(bool wait) {
  m_avatarCalls.Record("stopAvatarDownloader", wait);
  Downloader* downloader = nullptr;
  {
    HXAutoLock lock(m_avatarLock);
    downloader = m_downloader.get();
  }
  if (downloader != nullptr) {
    downloader->Terminate();
    if (wait) downloader->Wait();
  }
  dropTasks();
}

bool HX_AvatarStorage::isAvatarDownloaderRunning() const {
  HXAutoLock lock(m_avatarLock);
  return m_downloader && m_downloader->IsRunning() && !m_downloader->IsTermRequest();
}

void HX_AvatarStorage::setRefreshRequired(const std::string& id, bool required) {
  HXAutoLock lock(m_avatarLock);
  m_refresh[id] = required;
}

size_t HX_AvatarStorage::pendingAvatarTasks() const {
  HXAutoLock lock(m_avatarLock);
  return m_tasks.size();
}

HXStoredTask* HX_AvatarStorage::popTask() {
  HXAutoLock lock(m_avatarLock);
  if (m_tasks.empty()) return nullptr;
  HXStoredTask* task = m_tasks.front();
  m_tasks.pop_front();
  return task;
}

void HX_AvatarStorage::dropTasks() {
  std::deque<HXStoredTask*> tasks;
  {
    HXAutoLock lock(m_avatarLock);
    tasks.swap(m_tasks);
  }
  for (HXStoredTask* task : tasks) {
    if (task->IsAutoDelete()) delete task;
  }
}
