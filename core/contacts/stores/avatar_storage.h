#pragma once
// HX_AvatarStorage: the pictures of other users (and of the user himself) for the client. An
// in-memory cache of hx::Avatar values sits in front of the user's avatar database; thumbnails
// live in the database only. The store also owns the avatar downloader, the "AvatarDnloader"
// thread on which picture requests run one at a time, spaced out.
//
// The cache holds real pictures, pictures known to be empty, and placeholders: a placeholder has
// no picture and a last write a day in the past, so it needs a refresh from the moment it is made.
// Every GetAvatar answer puts the user into the cache; entries leave it only through DelAvatar.
// The cache is keyed by the exact id, the database without regard to letter case.
//
// Pictures and thumbnails above hx::Avatar::kMaxSize bytes are dropped without a word. Every read
// from the database goes into one scratch buffer of that size, allocated once; a row whose bytes
// do not fit it, or whose stored size differs from its bytes, reads as absent. While the database
// is closed, reads fall back to placeholders and empty thumbnails and writes reach the cache only.
//
// Thread safety: the host's main thread, the network loop and the downloader's tasks all call in.
// Every picture and thumbnail operation (all but InitAvatarList and the downloader's) holds the
// store's own lock (its HXMultiLock<6> base) for its whole run, database calls included, and so
// does every use of the scratch buffer. Lock order: the store's lock, then the database's; the database's open takes the
// global database lock first. Start and stop of the downloader belong to one thread (the client
// object's Start and Shutdown); they and ScheduleAvatarTask use the scheduler's own lock only, so a
// task may call back into the store.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/base/threaded_timer.h"
#include "core/contacts/avatar_db.h"
#include "core/contacts/stores/avatar.h"

class HXStoredTask;

class HX_AvatarStorage : public HXMultiLock<6>, public HX_AvatarDB {
 public:
  // A download task is due this long after it is scheduled, plus kSpreadMs for every job of the
  // downloader ahead of it when the caller asks for spread.
  static constexpr uint64_t kTaskDelayMs = 500;
  static constexpr uint64_t kSpreadMs = 750;
  // A request for a user's picture is not repeated within this many seconds.
  static constexpr uint64_t kFetchIntervalSeconds = 1800;

  HX_AvatarStorage();
  ~HX_AvatarStorage() override;
  HX_AvatarStorage(const HX_AvatarStorage&) = delete;
  HX_AvatarStorage& operator=(const HX_AvatarStorage&) = delete;

  // Opens the avatar database of `peer` in `dir`; false, with nothing thrown and the database
  // closed, when it can be neither opened nor created there.
  bool InitAvatarList(const char* peer, const char* dir);

  // Stores a picture with the server's hash: into the cache and the database, where the user's
  // thumbnails go with the old picture. Ignored when larger than kMaxSize.
  void SetAvatar(const char* peer, const void* bytes, uint64_t size, int32_t hash,
                 const char* mimeType);
  void SetAvatar(const hx::Avatar& avatar, const char* mimeType);
  void SetAvatar(const hx::Avatar& avatar, int32_t hash, const char* mimeType);
  // Forgets the user's picture and thumbnails, in the cache and on disk.
  void DelAvatar(const char* peer);
  // The cached avatar (its row's read time renewed); else, unless `cacheOnly`, the one stored on
  // disk; else a placeholder. The answer is cached in every case.
  hx::Avatar GetAvatar(const char* peer, bool cacheOnly);
  // The cached hash; else the stored one; 0 when neither knows the user.
  int32_t GetAvatarHash(const char* peer);
  // Whether the user's picture should be requested now; an unknown user gets a placeholder and
  // answers true.
  bool isAvatarRefreshRequired(const char* peer);
  // Puts the next request for a cached user kFetchIntervalSeconds ahead.
  void SetAvatarFetchTime(const char* peer);
  // The picture was confirmed unchanged: now becomes the last write of the user's rows (picture
  // and every thumbnail) and of the cached avatar. The time argument is not used.
  void UpdateAvatarLastWriteTime(const char* peer, int64_t time);

  // Stores a thumbnail of one size; one without bytes deletes that size. Ignored when larger
  // than kMaxSize.
  void SetThumbnail(const char* peer, const void* bytes, uint64_t size, uint64_t width,
                    uint64_t height);
  void SetThumbnail(const hx::Thumbnail& thumbnail);
  // The stored thumbnail of that size, never younger than the user's cached picture; else an
  // empty one of the size asked for, dated now (so not expired).
  hx::Thumbnail GetThumbnail(const char* peer, uint64_t width, uint64_t height);

  // Hands `task` (owned by the downloader from now on) to the downloader, due kTaskDelayMs from
  // now, with `spread` kSpreadMs later for every job waiting or running there. The job id.
  // Tasks handed over while the downloader is stopped run after its next start.
  uint32_t ScheduleAvatarTask(HXStoredTask* task, bool spread);
  // Starts the downloader thread unless it runs; one that a stop without wait left ending is
  // joined first and started again. Returns once the thread runs.
  void startAvatarDownloader();
  // Asks the downloader to end (jobs that did not run are dropped) and waits for it: without a
  // limit when `wait`, otherwise at most 10 ms.
  void stopAvatarDownloader(bool wait);
  // Whether the downloader runs and was not asked to stop.
  bool isAvatarDownloaderRunning() const;
  // The jobs that spread counts: due and waiting, or running.
  uint64_t getAvatarTaskQueueLen();

 private:
  HXLock& storeLock() { return static_cast<HXMultiLock<6>&>(*this); }
  // Reads the user's picture from the database into `avatar`; false when there is none usable.
  bool dbLoadAvatar(const char* peer, hx::Avatar& avatar);
  // Caches a copy and stores it; the caller holds the store's lock.
  void storeAvatar(const hx::Avatar& avatar, const char* mimeType);
  hx::Avatar& insertPlaceholder(const std::string& peer);

  // Guarded by the store's lock.
  std::map<std::string, hx::Avatar> m_avatars;
  HXThreadedTimer m_downloader;
  // Guarded by the store's lock: every database read lands here.
  const std::unique_ptr<char[]> m_scratch;
};
