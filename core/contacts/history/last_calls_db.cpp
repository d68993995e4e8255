#include "core/contacts/history/last_calls_db.h"

#include <cppdb/errors.h>

#include "core/base/wall_clock.h"
#include "core/contacts/db_columns.h"
#include "core/contacts/history/last_calls_statements.h"
#include "core/storage/db_guard.h"

namespace db = hx::lastCalls::db;
using hx::contacts::NumberColumn;
using hx::contacts::TextColumn;
using hx::lastCalls::state;

namespace {

// Times and durations are handed out unsigned. A negative one (a file written by someone else, or
// a call that ended after the wall clock stepped back) reads as 0 rather than wrapping to a huge
// number.
uint64_t NotBefore1970(long long seconds) { return seconds > 0 ? static_cast<uint64_t>(seconds) : 0; }

constexpr const char kFileSuffix[] = ".lastcalls.sqlite";

// Binding a null C text would read through a null pointer: null texts are stored as empty.
const char* Text(const char* text) { return text != nullptr ? text : ""; }

// The part of a named conference id before its first '@'; empty when it starts with one or has
// none.
std::string NamePrefix(const std::string& namedConfId) {
  const size_t at = namedConfId.find('@');
  return at == std::string::npos ? std::string() : namedConfId.substr(0, at);
}

// Runs `write` in one session and one transaction; a database error rolls it back and is
// reported by the result only.
template <typename Write>
bool RunWrite(const HXDBBase& database, Write&& write) {
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = database.Session();
    cppdb::transaction transaction(*held);
    write(held);
    transaction.commit();
  });
}

}  // namespace

HX_LastCallsDB::HX_LastCallsDB() : HXDBBase(kSchemaVersion, "HX_LastCallsDB") {}

HX_LastCallsDB::~HX_LastCallsDB() { Close(); }

bool HX_LastCallsDB::Create() {
  return DB_GUARD_CALL(
      [this] {
        HXDBBaseSessionLock held = Session();
        cppdb::transaction transaction(*held);
        *held << db::create << cppdb::exec;
        *held << db::set_indexes_0 << cppdb::exec;
        *held << db::set_indexes_1 << cppdb::exec;
        SetVersion(held, kSchemaVersion);
        transaction.commit();
      },
      true);
}

bool HX_LastCallsDB::Drop() {
  return RunWrite(*this, [](const HXDBBaseSessionLock& held) { *held << db::drop << cppdb::exec; });
}

// A file without a version comes from before versions were written: version 11.
bool HX_LastCallsDB::handleZeroVersion() { return Upgrade(11); }

bool HX_LastCallsDB::Upgrade(int oldVersion) {
  if (oldVersion > kSchemaVersion - 1) return true;  // current or newer: used as it is
  for (const auto& [target, statements] : db::upgrade) {
    if (static_cast<int64_t>(target) <= oldVersion) continue;
    // Each step commits on its own: a later failure leaves the file at the last good version,
    // and the open then creates it anew.
    const bool stepped = RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
      for (const char* statement : statements) *held << statement << cppdb::exec;
      SetVersion(held, target);
    });
    if (!stepped) return false;
  }
  return true;
}

bool HX_LastCallsDB::OpenDatabase(const char* peer, const char* dir) {
  if (peer == nullptr || *peer == '\0') return false;
  HXAutoLock hold(*this);
  // The peer is kept after a failed open of another file, which closed this one: only an open
  // file counts as already open.
  if (m_peer == peer && IsOpen()) return true;
  bool opened = false;
  try {
    opened = _Open(dir, std::string(peer) + kFileSuffix, ReadWriteOrRecreate);
  } catch (const cppdb::cppdb_error&) {
    // The recreate step failed too (a missing or unwritable folder): the history stays closed.
    opened = false;
  }
  if (!opened) return false;
  m_peer = peer;
  RunWrite(*this, [](const HXDBBaseSessionLock& held) {
    *held << db::complete_old_calls << static_cast<int>(state::finished)
          << static_cast<int>(state::finished) << cppdb::exec;
  });
  return true;
}

std::string HX_LastCallsDB::PeerId() const {
  HXDBBaseSessionLock held = Session();
  return m_peer;
}

void HX_LastCallsDB::Clear() {
  RunWrite(*this, [](const HXDBBaseSessionLock& held) { *held << db::clear << cppdb::exec; });
}

void HX_LastCallsDB::SaveCall(state callState, hx::lastCalls::direction direction,
                              HX_Conference_Type type, const char* peer, const char* confId,
                              const char* namedConfId, const char* confName) {
  const long long now = hx::WallClockSeconds();
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    cppdb::statement statement = *held << db::insert;
    statement << static_cast<int>(direction) << static_cast<int>(type) << Text(peer) << now << now
              << Text(confId);
    if (namedConfId == nullptr || *namedConfId == '\0') {
      statement.bind_null();
    } else {
      statement.bind(namedConfId);
    }
    statement << Text(confName) << static_cast<int>(callState) << static_cast<int>(callState)
              << cppdb::exec;
  });
}

void HX_LastCallsDB::JoinToCall(state callState, const char* confId, const char* peer) {
  const long long now = hx::WallClockSeconds();
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::join << now << static_cast<int>(callState) << static_cast<int>(state::finished)
          << Text(confId) << Text(peer) << cppdb::exec;
  });
}

void HX_LastCallsDB::FinishCall(const char* id) {
  if (id == nullptr || *id == '\0') return;
  const long long now = hx::WallClockSeconds();
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::finish << static_cast<int>(state::finished) << now
          << static_cast<int>(state::inviteReceived)
          << static_cast<int>(state::inviteToMultiReceived)
          << static_cast<int>(state::reqInviteReceived) << static_cast<int>(hx::lastCalls::missed)
          << static_cast<int>(state::finished) << id << id << id << cppdb::exec;
  });
}

void HX_LastCallsDB::JoinToConf(const std::string& namedConfId, const std::string& confId,
                                const std::string& confName) {
  const long long now = hx::WallClockSeconds();
  const std::string prefix = NamePrefix(namedConfId);
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::join_to_conf << now << confId << confName << static_cast<int>(state::joined)
          << namedConfId << static_cast<int>(state::namedJoinSent) << namedConfId << prefix
          << confId << cppdb::exec;
  });
}

void HX_LastCallsDB::UpdateMyConf(const std::string& namedConfId, const std::string& confId,
                                  const std::string& confName, const std::string& owner) {
  const long long now = hx::WallClockSeconds();
  const std::string prefix = NamePrefix(namedConfId);
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::update_my_conf << now << confId << confName << static_cast<int>(state::joined)
          << namedConfId << owner << static_cast<int>(state::namedJoinSent) << namedConfId << prefix
          << confId << cppdb::exec;
  });
}

void HX_LastCallsDB::JoinToMyConf(hx::lastCalls::direction direction, HX_Conference_Type type,
                                  const std::string& peer, const std::string& confId,
                                  const std::string& confName) {
  const long long now = hx::WallClockSeconds();
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    // Compared under the lock that an open holds while it changes the peer.
    if (peer != m_peer) return;
    *held << db::join_to_my_conf << static_cast<int>(direction) << static_cast<int>(type) << peer
          << now << now << now << confId << confName << static_cast<int>(state::joined)
          << static_cast<int>(state::joined) << cppdb::exec;
  });
}

void HX_LastCallsDB::RejectIncomingReqinvite(const char* peer, const char* confId) {
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::reject_incoming_reqinvite << static_cast<int>(hx::lastCalls::missed)
          << Text(confId) << static_cast<int>(state::finished)
          << static_cast<int>(state::reqInviteReceived) << Text(peer) << cppdb::exec;
  });
}

void HX_LastCallsDB::UpdateReqInvite(uint64_t rowId, state callState, const std::string& confId,
                                     const std::string& confName) {
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::update_reqinvite << confId << confName << static_cast<int>(callState)
          << static_cast<long long>(rowId) << cppdb::exec;
  });
}

void HX_LastCallsDB::UpdateInviteToMulti(uint64_t rowId, state callState) {
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::update_state << static_cast<int>(callState) << static_cast<long long>(rowId)
          << cppdb::exec;
  });
}

uint64_t HX_LastCallsDB::CheckActiveReqInvite(const std::string& peer) {
  uint64_t rowId = kNoRow;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << db::check_active_reqinvite
                              << static_cast<int>(state::reqInviteSent)
                              << static_cast<int>(state::reqInviteReceived) << peer;
    if (row.next()) rowId = static_cast<uint64_t>(NumberColumn<long long>(row, 0));
  });
  return ok ? rowId : kNoRow;
}

uint64_t HX_LastCallsDB::CheckActiveInviteToMulti(const std::string& confId) {
  uint64_t rowId = kNoRow;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << db::check_active_invite_to_multi
                              << static_cast<int>(state::inviteToMultiReceived)
                              << static_cast<int>(state::inviteToMultiSent) << confId << confId;
    while (row.next()) rowId = static_cast<uint64_t>(NumberColumn<long long>(row, 0));
  });
  return ok ? rowId : kNoRow;
}

std::string HX_LastCallsDB::CheckActiveNamedJoinSent() {
  std::string named;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << db::check_active_named_join_sent
                              << static_cast<int>(state::namedJoinSent);
    if (row.next()) named = TextColumn(row, 0);
  });
  return ok ? named : std::string();
}

bool HX_LastCallsDB::GetList(std::list<hx::lastCalls::call>& list, hx::lastCalls::requestType type,
                             uint32_t count) {
  list.clear();
  if (type != hx::lastCalls::all && type != hx::lastCalls::read && type != hx::lastCalls::unread) {
    return false;
  }
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::statement statement =
        *held << (type == hx::lastCalls::all ? db::select_last_n : db::select_last_n_by_type);
    statement << static_cast<int>(state::finished) << 0;
    if (type != hx::lastCalls::all) statement << (type == hx::lastCalls::read ? 1 : 0);
    statement << static_cast<long long>(count);
    cppdb::result row = statement.query();
    while (row.next()) {
      const auto rowId = static_cast<uint64_t>(NumberColumn<long long>(row, 0));
      const auto direction = static_cast<hx::lastCalls::direction>(NumberColumn<long long>(row, 1));
      const auto confType = static_cast<HX_Conference_Type>(NumberColumn<long long>(row, 2));
      std::string peer = TextColumn(row, 3);
      const bool readDone = NumberColumn<int>(row, 4) != 0;
      const uint64_t startTime = NotBefore1970(NumberColumn<long long>(row, 5));
      const uint64_t endTime = NotBefore1970(NumberColumn<long long>(row, 6));
      const uint64_t duration = NotBefore1970(NumberColumn<long long>(row, 7));
      std::string confId = TextColumn(row, 8);
      std::string namedConfId = TextColumn(row, 9);
      std::string confName = TextColumn(row, 10);
      const long long initialState = NumberColumn<long long>(row, 11);
      const auto callState = static_cast<state>(NumberColumn<long long>(row, 12));
      const bool myConference = initialState == state::inviteToMultiSent ||
                                initialState == state::reqInviteReceived ||
                                initialState == state::joined;
      list.emplace_back(rowId, direction, confType, std::move(peer), readDone, startTime, endTime,
                        duration, std::move(confId), std::move(namedConfId), std::move(confName),
                        callState, myConference);
    }
  });
}

bool HX_LastCallsDB::GetCount(std::map<std::string, int>& counts, hx::lastCalls::requestType type,
                              hx::lastCalls::direction direction) {
  counts.clear();
  if (type != hx::lastCalls::all && type != hx::lastCalls::read && type != hx::lastCalls::unread) {
    return false;
  }
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::statement statement =
        *held << (type == hx::lastCalls::all ? db::select_count : db::select_count_by_type);
    if (type != hx::lastCalls::all) statement << (type == hx::lastCalls::read ? 1 : 0);
    statement << static_cast<int>(direction);
    cppdb::result row = statement.query();
    while (row.next()) {
      std::string peer = TextColumn(row, 0);
      counts.emplace(std::move(peer), NumberColumn<int>(row, 1));
    }
  });
}

void HX_LastCallsDB::SetReadDone(uint64_t rowId) {
  if (rowId == kNoRow) return;
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::set_read_done << static_cast<long long>(rowId) << cppdb::exec;
  });
}

void HX_LastCallsDB::SetReadDone(const hx::lastCalls::call& call) { SetReadDone(call.rowId); }

void HX_LastCallsDB::SetReadDone(const std::string& peer) {
  RunWrite(*this, [&](const HXDBBaseSessionLock& held) {
    *held << db::set_read_done_for_peer << peer << cppdb::exec;
  });
}

void HX_LastCallsDB::SetReadDoneAll() {
  RunWrite(*this,
           [](const HXDBBaseSessionLock& held) { *held << db::set_read_done_all << cppdb::exec; });
}
