#pragma once
// HX_AvatarStorage: the pictures of other users as the client object asks for them, and the avatar
// downloader, the thread on which avatar fetches run. So far it is the least the client object
// needs: avatars, thumbnails and fetch times are kept in memory (the avatar database comes with
// the contacts subsystem), every operation records what it was asked (calls()), and whether a
// refresh is due is what a test set (by default due for a peer never fetched).
//
// The downloader runs the stored tasks handed to ScheduleAvatarTask one after another on a
// thread of its own while it is started; tasks handed over while it is stopped wait for the next
// start. stopAvatarDownloader deletes the tasks that did not run.
//
// Thread safety: every operation takes the store's own lock; tasks run without it, so a task may
// call back into the store. Start and stop belong to one thread (the client object's Start and
// Shutdown).

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/base/call_record.h"
#include "core/base/event.h"
#include "core/base/lock.h"
#include "core/base/thread.h"

class HXStoredTask;

namespace hx {

// A user's picture as the store holds it. Empty: no bytes.
class Avatar {
 public:
  Avatar() = default;
  explicit Avatar(std::string peer) : peerId(std::move(peer)) {}
  bool empty() const { return bytes.empty(); }
  // Whether the picture should be fetched again.
  bool isRefreshRequired() const { return refreshRequired; }

  std::string peerId;
  std::string mimeType;
  std::vector<uint8_t> bytes;
  std::string hash;
  int64_t lastWriteTime = 0;
  bool refreshRequired = false;
};

// A picture scaled for a list, with its size.
class Thumbnail {
 public:
  Thumbnail() = default;
  Thumbnail(std::string peer, uint32_t w, uint32_t h) : peerId(std::move(peer)), width(w), height(h) {}
  bool empty() const { return bytes.empty(); }
  // Whether the picture it was made from has changed or is due for a refresh.
  bool expired() const { return isExpired; }

  std::string peerId;
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> bytes;
  bool isExpired = false;
};

}  // namespace hx

class HX_AvatarStorage {
 public:
  HX_AvatarStorage();
  virtual ~HX_AvatarStorage();
  HX_AvatarStorage(const HX_AvatarStorage&) = delete;
  HX_AvatarStorage& operator=(const HX_AvatarStorage&) = delete;

  // Opens the avatar list of `user` in `dir`: forgets what another user's list held.
  void InitAvatarList(const char* user, const char* dir);
  void SetAvatar(const char* peer, const void* bytes, uint32_t size, const char* hash, const char* mimeType);
  void UpdateAvatarLastWriteTime(const char* peer, int64_t time);
  // The stored avatar of `peer` (an empty one for that id when none); its refresh flag is
  // isAvatarRefreshRequired (peer). With `cacheOnly` nothing would be loaded from the database.
  hx::Avatar GetAvatar(const char* peer, bool cacheOnly);
  // The thumbnail of `peer` at that size: made from the stored avatar's bytes, expired when its
  // avatar is due for a refresh.
  hx::Thumbnail GetThumbnail(const char* peer, uint32_t width, uint32_t height);
  void SetThumbnail(const char* peer, const hx::Thumbnail& thumbnail);
  // Whether the picture of `id` should be fetched: what setRefreshRequired set, else true until
  // a fetch time or an avatar was recorded for it.
  bool isAvatarRefreshRequired(const char* id);
  std::string GetAvatarHash(const char* peer);
  void SetAvatarFetchTime(const char* peer);

  // Takes `task` over and runs it on the downloader's thread; with `spread` it goes behind the
  // tasks already queued, without it to the front (recorded as "ScheduleAvatarTask <spread>").
  void ScheduleAvatarTask(HXStoredTask* task, bool spread);
  void startAvatarDownloader();
  // Stops the thread; with `wait` returns only once it has ended (it is joined at the next start
  // or at destruction otherwise). Tasks that did not run are deleted.
  void stopAvatarDownloader(bool wait);
  bool isAvatarDownloaderRunning() const;

  // Test seams.
  void setRefreshRequired(const std::string& id, bool required);
  const hx::CallRecord& avatarCalls() const { return m_avatarCalls; }
  // How many tasks wait for the downloader.
  size_t pendingAvatarTasks() const;

 private:
  class Downloader : public HXThread {
   public:
    explicit Downloader(HX_AvatarStorage* owner) : HXThread("AvatarDownloader"), m_owner(owner) {}
    ~Downloader() override;
    void Run() override;
    void OnTerminateRequest() override { m_wake.Set(); }
    HXEvent m_wake{true};

   private:
    HX_AvatarStorage* const m_owner;
  };
  HXStoredTask* popTask();
  void dropTasks();

  mutable HXLock m_avatarLock;
  hx::CallRecord m_avatarCalls;
  std::string m_user;
  std::map<std::string, hx::Avatar> m_avatars;
  std::map<std::string, hx::Thumbnail> m_thumbnails;
  std::map<std::string, bool> m_refresh;
  std::set<std::string> m_fetched;
  std::deque<HXStoredTask*> m_tasks;
  std::unique_ptr<Downloader> m_downloader;
};
