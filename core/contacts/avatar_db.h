#pragma once
// HX_AvatarDB: the pictures (avatars) of other users and the thumbnails made from them, one SQLite
// file per signed-in user ("<peer>.avatar.sqlite", stored under the per-user file name), schema
// version 11. The avatar store derives from it and is its only caller.
//
// Storing a picture replaces it whole and deletes every thumbnail of that user in the same
// transaction, so thumbnails always come from the current picture; a picture of no bytes is an
// empty row that still records the hash and the times. Reads renew the row's "LastRead"; rows not
// read for more than 1209600 s (14 days) are deleted whenever the file is created or rebuilt (a
// version other than 11; version 0 is refused, which creates the file anew).
//
// Reads are careful with what the file holds: the bytes handed out are exactly the bytes fetched,
// and a row whose bytes do not fit the caller's stream, or differ in length from its "PicSize",
// reads as absent, so that no answer carries bytes an earlier read left in the caller's buffer.
// NULLs or non-numbers in number columns read as absent too.
//
// Results: the three reads answer false when nothing usable was found or the database failed;
// the writes answer true whether or not their statements succeeded (failures are rolled back).
//
// Thread safety: every operation takes the object's recursive lock for its whole run; the store
// holds its own lock around each call (store first, then this one). Opening takes the global
// database lock first.

#include <cstdint>
#include <ostream>
#include <string>

#include "core/storage/db_peer_base.h"

class HX_AvatarDB : public HXDBPeerBase {
 public:
  static constexpr int kSchemaVersion = 11;
  // Rows not read for longer than this (seconds) go when the file is created or rebuilt.
  static constexpr int64_t kExpirySeconds = 1209600;

  HX_AvatarDB();
  ~HX_AvatarDB() override;

  // HXDBBase
  std::string GetStorageNameSuffix() const override;
  bool Create() override;
  bool Drop() override;

  // Opens the file of `peer` in `dir` (read-write, created anew when unusable). False, with the
  // object closed, for a null or empty peer and when the file can be neither opened nor created
  // (a missing or unwritable folder); nothing is thrown.
  bool OpenDatabase(const char* peer, const char* dir);
  using HXDBPeerBase::OpenDatabase;

  // Stores the picture (null bytes or size 0: the empty row) with its MIME type and the server's
  // hash, LastWrite = LastRead = now, and deletes the user's thumbnails.
  bool SetAvatar(const char* peer, const char* mime, const void* bytes, uint64_t size,
                 int64_t hash);
  // Deletes the picture and the thumbnails of the user.
  bool DelAvatar(const char* peer);
  // The stored picture when its "PicSize" is below `size` (a limit on the way in, the picture's
  // length on the way out); its bytes are written to `picture`. Renews "LastRead".
  bool GetAvatar(const char* peer, std::string& mime, std::ostream& picture, int64_t& hash,
                 uint64_t& size, int64_t& lastWrite);
  bool GetAvatarHash(const char* peer, int64_t& hash);
  bool UpdateLastRead(const char* peer);
  bool UpdateLastWriteAvatar(const char* peer, int64_t time);
  // Sets LastWrite of every thumbnail size of the user.
  bool UpdateLastWriteThumbnails(const char* peer, int64_t time);

  // Stores the thumbnail of one size (null bytes or size 0: deletes that size).
  bool SetThumbnail(const char* peer, int64_t width, int64_t height, const void* bytes,
                    uint64_t size);
  // The thumbnail of that size; its bytes are written to `picture`. Renews its "LastRead".
  bool GetThumbnail(const char* peer, std::ostream& picture, int64_t& width, int64_t& height,
                    uint64_t& size, int64_t& lastWrite);
  bool UpdateLastReadThumbnail(const char* peer, int64_t width, int64_t height);
  bool DeleteThumbnails(const char* peer);
};
