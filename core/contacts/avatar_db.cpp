#include "core/contacts/avatar_db.h"

#include <cppdb/errors.h>

#include <istream>
#include <streambuf>

#include "core/base/wall_clock.h"
#include "core/contacts/avatar_db_statements.h"
#include "core/contacts/db_columns.h"
#include "core/storage/db_guard.h"

namespace db = hx::contacts::db;
using hx::contacts::NumberColumn;
using hx::contacts::TextColumn;

namespace {

const char* Text(const char* text) { return text != nullptr ? text : ""; }

template <typename Write>
bool RunWrite(const HXDBBase& database, Write&& write) {
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = database.Session();
    cppdb::transaction transaction(*held);
    write(held);
    transaction.commit();
  });
}

// Passes the bytes of a blob fetch on to the caller's stream buffer and counts what it took, so
// that a read knows the length it really handed out; a buffer that is full stops the count.
class CountingBuffer : public std::streambuf {
 public:
  explicit CountingBuffer(std::streambuf* target) : m_target(target) {}
  uint64_t count() const { return m_count; }

 protected:
  std::streamsize xsputn(const char* bytes, std::streamsize n) override {
    const std::streamsize taken = m_target != nullptr ? m_target->sputn(bytes, n) : 0;
    m_count += static_cast<uint64_t>(taken);
    return taken;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }

 private:
  std::streambuf* m_target;
  uint64_t m_count = 0;
};

// Fetches the blob of `column` into `picture`; the number of bytes it holds, or -1 when they did
// not all fit.
int64_t FetchBlob(cppdb::result& row, int column, std::ostream& picture) {
  // The bytes go to the stream's buffer directly, past its state: a stream that has failed
  // already takes nothing, so the row cannot be handed out as read.
  if (!picture) return -1;
  CountingBuffer counter(picture.rdbuf());
  std::ostream out(&counter);
  if (!row.fetch(column, out)) throw cppdb::null_value_fetch();
  if (!out) return -1;
  return static_cast<int64_t>(counter.count());
}

// A blob to bind: the statement only reads the bytes.
class BlobStream {
 public:
  BlobStream(const void* bytes, uint64_t size)
      : m_buffer(const_cast<char*>(static_cast<const char*>(bytes)),
                 const_cast<char*>(static_cast<const char*>(bytes)) + size),
        m_in(&m_buffer) {}
  std::istream& stream() { return m_in; }

 private:
  HXDBBase::streamhelper m_buffer;
  std::istream m_in;
};

}  // namespace

HX_AvatarDB::HX_AvatarDB() : HXDBPeerBase(kSchemaVersion, "HX_AvatarDB") {}

HX_AvatarDB::~HX_AvatarDB() { Close(); }

std::string HX_AvatarDB::GetStorageNameSuffix() const { return "avatar.sqlite"; }

bool HX_AvatarDB::Create() {
  const long long now = hx::WallClockSeconds();
  return DB_GUARD_CALL(
      [&] {
        HXDBBaseSessionLock held = Session();
        cppdb::transaction transaction(*held);
        *held << db::create << cppdb::exec;
        *held << db::index_search << cppdb::exec;
        *held << db::clear_avatars << now << cppdb::exec;
        *held << db::create_thumbnails << cppdb::exec;
        *held << db::index_search_thumbnails << cppdb::exec;
        *held << db::clear_thumbnails << now << cppdb::exec;
        SetVersion(held, kSchemaVersion);
        transaction.commit();
      },
      true);
}

// The result is the drop's: a rebuild that could not drop the old tables must fail, so that the
// open creates the file anew instead of keeping tables of another layout.
bool HX_AvatarDB::Drop() {
  return RunWrite(*this, [](const HXDBBaseSessionLock& held) {
    *held << db::drop << cppdb::exec;
    *held << db::drop_thumbnails << cppdb::exec;
  });
}

bool HX_AvatarDB::OpenDatabase(const char* peer, const char* dir) {
  try {
    return HXDBPeerBase::OpenDatabase(peer, dir, ReadWriteOrRecreate);
  } catch (const cppdb::cppdb_error&) {
    // Neither opened nor created anew: the folder is missing or cannot be written.
    return false;
  }
}

bool HX_AvatarDB::SetAvatar(const char* peer, const char* mime, const void* bytes, uint64_t size,
                            int64_t hash) {
  const long long now = hx::WallClockSeconds();
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::delete_all_thumbnail << Text(peer) << cppdb::exec;
    *held << db::insert_avatar << Text(peer) << cppdb::exec;
    if (bytes != nullptr && size != 0) {
      BlobStream blob(bytes, size);
      *held << db::update_avatar << Text(mime) << blob.stream() << static_cast<long long>(hash)
            << static_cast<long long>(size) << now << now << Text(peer) << cppdb::exec;
    } else {
      *held << db::update_avatar_empty_picture << static_cast<long long>(hash) << now << now
            << Text(peer) << cppdb::exec;
    }
  });
  return true;
}

bool HX_AvatarDB::DelAvatar(const char* peer) {
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::delete_avatar << Text(peer) << cppdb::exec;
    *held << db::delete_all_thumbnail << Text(peer) << cppdb::exec;
  });
  return true;
}

bool HX_AvatarDB::GetAvatar(const char* peer, std::string& mime, std::ostream& picture,
                            int64_t& hash, uint64_t& size, int64_t& lastWrite) {
  const long long now = hx::WallClockSeconds();
  bool found = false;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    // Sizes above the 63-bit range bind as no limit.
    const long long limit =
        size > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<long long>(size);
    {
      cppdb::result row = *held << db::get_avatar << Text(peer) << limit;
      if (!row.next()) return;
      mime = TextColumn(row, 0);
      const int64_t fetched = FetchBlob(row, 1, picture);
      hash = NumberColumn<int64_t>(row, 2);
      const auto stored = NumberColumn<int64_t>(row, 3);
      lastWrite = NumberColumn<int64_t>(row, 4);
      // Bytes that did not fit, or a "PicSize" that lies about them, make the row unusable.
      if (fetched < 0 || stored != fetched) return;
      size = static_cast<uint64_t>(fetched);
      found = true;
    }
    cppdb::transaction transaction(*held);
    *held << db::update_avatar_access_time << now << Text(peer) << cppdb::exec;
    transaction.commit();
  });
  return ok && found;
}

bool HX_AvatarDB::GetAvatarHash(const char* peer, int64_t& hash) {
  bool found = false;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << db::get_avatar_hash << Text(peer);
    if (!row.next()) return;
    hash = NumberColumn<int64_t>(row, 0);
    found = true;
  });
  return ok && found;
}

bool HX_AvatarDB::UpdateLastRead(const char* peer) {
  const long long now = hx::WallClockSeconds();
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::update_avatar_access_time << now << Text(peer) << cppdb::exec;
  });
  return true;
}

bool HX_AvatarDB::UpdateLastWriteAvatar(const char* peer, int64_t time) {
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::update_avatar_write_time << static_cast<long long>(time) << Text(peer)
          << cppdb::exec;
  });
  return true;
}

bool HX_AvatarDB::UpdateLastWriteThumbnails(const char* peer, int64_t time) {
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::update_thumbnails_write_time << static_cast<long long>(time) << Text(peer)
          << cppdb::exec;
  });
  return true;
}

bool HX_AvatarDB::SetThumbnail(const char* peer, int64_t width, int64_t height, const void* bytes,
                               uint64_t size) {
  const long long now = hx::WallClockSeconds();
  const auto w = static_cast<long long>(width);
  const auto h = static_cast<long long>(height);
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::insert_thumbnail << Text(peer) << w << h << cppdb::exec;
    if (bytes != nullptr && size != 0) {
      BlobStream blob(bytes, size);
      *held << db::update_thumbnail << blob.stream() << static_cast<long long>(size) << now << now
            << Text(peer) << w << h << cppdb::exec;
    } else {
      *held << db::delete_thumbnail << Text(peer) << w << h << cppdb::exec;
    }
  });
  return true;
}

bool HX_AvatarDB::GetThumbnail(const char* peer, std::ostream& picture, int64_t& width,
                               int64_t& height, uint64_t& size, int64_t& lastWrite) {
  const long long now = hx::WallClockSeconds();
  const auto w = static_cast<long long>(width);
  const auto h = static_cast<long long>(height);
  bool found = false;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    {
      cppdb::result row = *held << db::get_thumbnail << Text(peer) << w << h;
      if (!row.next()) return;
      const int64_t fetched = FetchBlob(row, 0, picture);
      width = NumberColumn<int64_t>(row, 1);
      height = NumberColumn<int64_t>(row, 2);
      const auto stored = NumberColumn<int64_t>(row, 3);
      lastWrite = NumberColumn<int64_t>(row, 4);
      if (fetched < 0 || stored != fetched) return;
      size = static_cast<uint64_t>(fetched);
      found = true;
    }
    cppdb::transaction transaction(*held);
    *held << db::update_thumbnail_access_time << now << Text(peer) << w << h << cppdb::exec;
    transaction.commit();
  });
  return ok && found;
}

bool HX_AvatarDB::UpdateLastReadThumbnail(const char* peer, int64_t width, int64_t height) {
  const long long now = hx::WallClockSeconds();
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::update_thumbnail_access_time << now << Text(peer) << static_cast<long long>(width)
          << static_cast<long long>(height) << cppdb::exec;
  });
  return true;
}

bool HX_AvatarDB::DeleteThumbnails(const char* peer) {
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::delete_all_thumbnail << Text(peer) << cppdb::exec;
  });
  return true;
}
