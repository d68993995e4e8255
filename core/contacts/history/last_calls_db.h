#pragma once
// HX_LastCallsDB: the signed-in user's call history, one SQLite file per user
// ("<peer>.lastcalls.sqlite", stored under the per-user file name), schema version 14.
//
// One row per call, invitation, request for an invitation or join by name. A row is created in
// one of the states below and moves on as the conference events arrive (the recorder, which
// derives from this class, drives it); state 999 closes it for good. Opening a file closes every
// row a previous run left unfinished. Files of versions 0 (taken as 11), 11, 12 and 13 are brought
// up to 14 in steps; a file that cannot be upgraded, or is not a database, is created anew empty.
//
// Results: database errors never leave an operation. They answer false (bool operations), all
// ones (row-id lookups), empty text (the named-join lookup) or nothing; a failed write is rolled
// back. Stored files are input from disk: a NULL or a value of the wrong kind in a column that is
// read is a database error too.
//
// Thread safety: every operation may run on any thread. Each holds the object's recursive lock
// (the object is its own HXLock) for its whole session, so operations run one at a time; a caller
// that must make a lookup and the update that follows one step holds the lock around both.
// `lastCallsChanged` is emitted by the recorder only, without the lock.

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <utility>

#include "core/base/signal.h"
#include "core/conference/conference_type.h"
#include "core/storage/db_base.h"

namespace hx::lastCalls {

// Column Type.
enum direction : int32_t {
  incoming = 0,  // the peer called, invited or asked the user
  outgoing = 1,  // the user called, invited, asked or joined
  missed = 2,    // incoming and never joined, or a rejected request for an invitation
};

// Columns InitialState and State.
enum state : int32_t {
  inviteSent = 1,
  inviteReceived = 2,
  inviteToMultiSent = 3,
  inviteToMultiReceived = 4,
  reqInviteSent = 5,
  reqInviteReceived = 6,
  acceptSent = 7,
  acceptReceived = 8,
  namedJoinSent = 9,
  joined = 10,
  finished = 999,
};

// Which rows a list or count covers.
enum requestType : int32_t {
  all = 0,
  read = 1,    // ReadDone = 1
  unread = 2,  // ReadDone = 0
};

// One row as the list query reports it.
struct call {
  call(uint64_t rowId_, hx::lastCalls::direction direction_, HX_Conference_Type confType_,
       std::string peer_, bool readDone_, uint64_t startTime_, uint64_t endTime_,
       uint64_t duration_, std::string confId_, std::string namedConfId_, std::string confName_,
       hx::lastCalls::state state_, bool myConference_)
      : rowId(rowId_),
        direction(direction_),
        confType(confType_),
        peer(std::move(peer_)),
        readDone(readDone_),
        startTime(startTime_),
        endTime(endTime_),
        duration(duration_),
        confId(std::move(confId_)),
        namedConfId(std::move(namedConfId_)),
        confName(std::move(confName_)),
        state(state_),
        myConference(myConference_) {}

  uint64_t rowId;
  hx::lastCalls::direction direction;
  HX_Conference_Type confType;
  std::string peer;
  bool readDone;
  uint64_t startTime;  // seconds since 1970
  uint64_t endTime;    // seconds since 1970; equal to startTime until the row ends
  uint64_t duration;   // 0 while unfinished; EndTime - JoinTime once finished (0 if never joined)
  std::string confId;
  std::string namedConfId;  // the named conference id, or confId when the row has none
  std::string confName;
  hx::lastCalls::state state;
  bool myConference;  // created in state 3, 6 or 10
};

}  // namespace hx::lastCalls

class HX_LastCallsDB : public HXDBBase {
 public:
  static constexpr int kSchemaVersion = 14;
  // The row id that names no row: what the lookups answer when nothing matches.
  static constexpr uint64_t kNoRow = UINT64_MAX;

  HX_LastCallsDB();
  ~HX_LastCallsDB() override;

  // HXDBBase
  bool Create() override;
  bool Drop() override;
  bool handleZeroVersion() override;
  bool Upgrade(int oldVersion) override;

  // Opens the history of `peer` in `dir` (which ends in a separator) and closes the rows a
  // previous run left unfinished (EndTime becomes the later of JoinTime and EndTime). False for a
  // null or empty peer and when the file can be neither opened nor created anew; true at once when
  // that peer's file is open already. Opening for another peer closes the previous file first.
  virtual bool OpenDatabase(const char* peer, const char* dir);

  // The peer of the last successful open; empty before the first one.
  std::string PeerId() const;

  // Deletes every row.
  void Clear();

  // A new row in `state` (also its initial state), StartTime = EndTime = now, unread. A null text
  // counts as empty; an empty named conference id is stored as NULL.
  void SaveCall(hx::lastCalls::state state, hx::lastCalls::direction direction,
                HX_Conference_Type type, const char* peer, const char* confId,
                const char* namedConfId, const char* confName);
  // The newest unfinished row of that conference and peer moves to `state` with JoinTime = now.
  void JoinToCall(hx::lastCalls::state state, const char* confId, const char* peer);
  // Finishes every unfinished row whose ConfId, Peer or NamedConfId equals `id` (without regard
  // to letter case): EndTime = now for a joined row, and an incoming row (states 2, 4, 6) never
  // joined becomes missed. A null or empty id finishes nothing: it would match every row that has
  // no peer or no conference id yet; such rows are closed by the next open.
  void FinishCall(const char* id);
  // Rows waiting for a join by name (state 9) whose NamedConfId is `namedConfId`, its part before
  // the first '@', or NULL with ConfId equal to `confId`, become joined (state 10) with JoinTime =
  // now and the given ids and name. UpdateMyConf also makes `owner` their peer.
  void JoinToConf(const std::string& namedConfId, const std::string& confId,
                  const std::string& confName);
  void UpdateMyConf(const std::string& namedConfId, const std::string& confId,
                    const std::string& confName, const std::string& owner);
  // A joined row (state 10, JoinTime = StartTime = EndTime = now) for a conference of the user's
  // own; nothing unless `peer` is exactly the open file's peer.
  void JoinToMyConf(hx::lastCalls::direction direction, HX_Conference_Type type,
                    const std::string& peer, const std::string& confId,
                    const std::string& confName);
  // The peer's received request for an invitation (state 6, no conference id yet) ends missed.
  void RejectIncomingReqinvite(const char* peer, const char* confId);
  // Updates of a row found by the lookups below; the row's state is not checked.
  void UpdateReqInvite(uint64_t rowId, hx::lastCalls::state state, const std::string& confId,
                       const std::string& confName);
  void UpdateInviteToMulti(uint64_t rowId, hx::lastCalls::state state);
  // The newest request for an invitation (states 5, 6) of the peer without a conference id yet.
  uint64_t CheckActiveReqInvite(const std::string& peer);
  // An invitation into a group conference (states 3, 4) of that conference id, or by that name
  // while it has no conference id.
  uint64_t CheckActiveInviteToMulti(const std::string& confId);
  // The named conference id of the newest pending join by name; empty when there is none.
  std::string CheckActiveNamedJoinSent();

  // The newest `count` rows of the request type, newest StartTime first. False on a database
  // error (the rows read before it stay in the list) and for an unknown request type (the list
  // stays empty).
  bool GetList(std::list<hx::lastCalls::call>& list, hx::lastCalls::requestType type,
               uint32_t count);
  // Rows per peer of the request type and direction. False as GetList.
  bool GetCount(std::map<std::string, int>& counts, hx::lastCalls::requestType type,
                hx::lastCalls::direction direction);

  // Read marking: one row (kNoRow changes nothing), every row of a peer, every row.
  void SetReadDone(uint64_t rowId);
  void SetReadDone(const hx::lastCalls::call& call);
  void SetReadDone(const std::string& peer);
  void SetReadDoneAll();

  // Emitted by the recorder after the history changed.
  hx::Signal0<> lastCallsChanged;

 protected:
  // The peer of the open file; read and written under the object's lock.
  std::string m_peer;
};
