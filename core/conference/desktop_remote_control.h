#pragma once
// HX_DesktopRemoteControlManager: the client's manager of the server service "DS_CONTROL", which
// relays remote desktop control between two participants of a conference: one asks to control the
// other's shared desktop, the other answers, either side ends the control, and the controlling
// side sends input commands. The manager sends those requests, answers, end notices and commands
// and the kind of the own video source, reads what the service delivers and reports every event
// through its signals.
//
// Who asked whom and who controls whom is kept in the conference record (four sets of peer ids:
// incoming requests, outgoing requests, peers controlling this client, peers under this client's
// control) and the own video source type; the manager reaches them through the conference
// manager's store. Control of this client is possible only while that type is 2, 3 or 4.
//
// Messages go to "DS_CONTROL" with the time limit 20000 ms, no destination user and, except
// "VideoSourceType", the broker of the conference's SID (the text after its first "@") as the
// destination server. "DSControlResponse" "Result": 1 granted, 2 refused because the own source
// is not a desktop, 3 refused by the user, 4 refused for the answering side's second reason.
//
// A received message names its conference in "Conference"; "DSControlFinished", "DSCommand" and
// "DSControlResponse" without it take the active conference, "DSControlRequest" uses it as given.
// A request that finds no desktop source is answered "Result" 2 at once and not kept; a response
// without "Result" is a refusal.
//
// Thread safety: received messages are handled on the network loop thread, the senders on the
// caller's. Each operation takes the store's write lock (ConferenceLock) only around its use of the
// conference record; signals are raised and messages sent after releasing it, so a handler may
// call back into this manager or the conference manager. Signals follow hx::Signal's rules
// (connected before messages flow). The destructor unregisters first.

#include <cstdint>
#include <memory>
#include <string>

#include "core/base/signal.h"
#include "core/client/abstract_manager.h"
#include "core/conference/conference_type.h"

class HX_ConfManager;
class ConferenceLock;

inline constexpr char DSCONTROL_REQUEST_METHOD[] = "DSControlRequest";
inline constexpr char DSCONTROL_RESPONSE_METHOD[] = "DSControlResponse";
inline constexpr char DSCONTROL_FINISH_METHOD[] = "DSControlFinish";
inline constexpr char DSCONTROL_FINISHED_METHOD[] = "DSControlFinished";
inline constexpr char DSCOMMAND_METHOD[] = "DSCommand";
inline constexpr char VIDEOSOURCETYPE_METHOD[] = "VideoSourceType";
inline constexpr char DATA_PARAM[] = "Data";

class HX_DesktopRemoteControlManager : public HX_AbstractManager {
 public:
  static constexpr uint32_t kRequestTimeLimitMs = 20000;
  // "DSControlResponse" results.
  static constexpr int32_t kResultGranted = 1;
  static constexpr int32_t kResultNoDesktop = 2;
  static constexpr int32_t kResultRefused = 3;
  static constexpr int32_t kResultRefusedSecond = 4;

  // `confManager` may be null: every conference then counts as unknown.
  HX_DesktopRemoteControlManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                                 std::shared_ptr<HX_ConfManager> confManager);
  ~HX_DesktopRemoteControlManager() override;

  // False for an invalid container, a method other than "DSControlFinished", "DSControlRequest",
  // "DSCommand" and "DSControlResponse" (compared whole, case-sensitively), or the handler's false.
  bool ParseIncomimgMessage(HX_Container& message) override;

  // ---- requests (any thread). Each answers whether a message was queued.
  // Asks `peer` for control of its desktop. False without a message when the conference is known
  // and a request to `peer` is pending or `peer` is already under control; a request that cannot
  // be queued leaves no pending entry behind. ControlRequestSentSignal follows a queued one.
  bool SendRequestControl(const char* peer, const char* SID);
  // Answers the pending request of `requester`: "Result" 2 without a desktop source, 4 with
  // `second`, 1 with `accept` (the requester then controls this client), else 3. Sends nothing
  // when the conference is known and no request of `requester` is pending, or it already controls
  // this client; for an unknown conference the answer goes without "Result". An answer that cannot
  // be queued changes nothing: the request stays pending and nothing is granted.
  bool SendResponseToControlRequest(const char* requester, const char* SID, bool accept,
                                    bool second);
  // Ends this client's control of `peer`; sends only when `peer` was under control (or the
  // conference is unknown).
  bool SendFinishParticularRemoteControl(const char* peer, const char* SID);
  // Ends every control of this client over others; always sends.
  bool SendFinishAllRemoteControls(const char* SID);
  // Ends `peer`'s control of this client; sends only when `peer` controlled it (or the conference
  // is unknown).
  bool SendStopControlMeSpecific(const char* peer, const char* SID);
  // Ends every peer's control of this client; always sends.
  bool SendStopControlMeAll(const char* SID);
  // An input command for `peer`; refused (false) when the conference is known and `peer` is not
  // under this client's control. "Data" only when `data` and `size` are not 0; false when the
  // data cannot be carried (more than a container entry holds).
  bool SendControlCommand(const char* peer, const char* SID, const void* data, unsigned long size);
  // Stores the own video source type in the conference and tells the server; false for an unknown
  // conference (nothing stored or sent) and when the message is not queued (the type stays
  // stored).
  bool SendVideosource(const char* SID, HX_VideoSourceType type);

  const std::shared_ptr<HX_ConfManager>& conferenceManager() const { return m_confManager; }

  // ---- signals (ids and SIDs are never null; absent texts are "")
  hx::Signal2<const char*, const char*> ControlRequestSentSignal;            // peer, SID
  hx::Signal2<const char*, const char*> ControlRequestReceivedSignal;        // requester, SID
  hx::Signal3<const char*, const char*, const char*> ControlFinishedSignal;  // from, to, SID
  // from, SID, data, size; data lives for the call only.
  hx::Signal4<const char*, const char*, const void*, unsigned long> ControlCommandSignal;
  hx::Signal4<const char*, const char*, bool, int> ControlResponseSignal;  // responder, SID,
                                                                           // granted, result

 private:
  bool send(const HX_Container& body, const char* server);
  std::string myLogin() const;
  // Locks the conference of `SID`; false (nothing held) when it is unknown or there is no store.
  bool lockConference(ConferenceLock& lock, const std::string& SID);
  // "Conference" of `message`, else the active conference's SID; empty without either.
  std::string messageSid(const HX_Container& message);
  bool sendResponse(const char* requester, const char* SID, const int32_t* result);

  bool parseFinished(const HX_Container& message);
  bool parseRequest(const HX_Container& message);
  bool parseCommand(const HX_Container& message);
  bool parseResponse(const HX_Container& message);

  std::shared_ptr<HX_ConfManager> m_confManager;
};
