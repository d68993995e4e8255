#pragma once
// HXFSMShared: the one object every manager of the client core shares. The client application
// object creates it in CreateApplication (after setting the working folder) and hands its plain
// pointer to every manager. It keeps:
//   - the coarse client state (hx::fsm) and its change signal, stepped down one value at a time;
//   - the identity of the running application (name, version, client type, application endpoint
//     id, own display name, own presence status), the network type and SVC mode;
//   - the settings database in the working folder;
//   - the presence store (its HX_StatusStorage base) and the other stores of what is known
//     about other users (contacts, searches, L-statuses, user details, avatars with the avatar
//     downloader);
//   - through ManagerHolderBase, the way to the sibling managers (forwarded to the holder set with
//     setManagerHolder, which must be set before any manager asks);
//   - through its wrapper bases, copies of the active conference's data and of the transport
//     session's data.
//
// Thread safety: the object's lock (recursive, in FSMSharedWrappersBase) guards the state's
// compare-exchange, the strings, the SVC mode, the settings calls, the UDP configuration and the
// transport-session pointer. The own presence status is atomic; the state, client type, echo flag,
// audio platform, network type and direct-connection flag are atomic plain values. Signals are
// emitted on the caller's thread without the lock, so a listener may call back into the object;
// they follow hx::Signal's rules (connect before emissions start, never disconnect during one).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/client/manager_holder.h"
#include "core/conference/conference_type.h"
#include "core/conference/model/participant_info.h"
#include "core/media/format/sys_performance_state.h"
#include "core/streams/udp_streams_config.h"
#include "core/contacts/stores/avatar_storage.h"
#include "core/contacts/stores/contact_storage.h"
#include "core/contacts/stores/search_storage.h"
#include "core/contacts/stores/status_storage.h"

class HX_SettingsDB;
class HX_TransportSession;

namespace hx {

// The coarse client state.
enum class fsm : int32_t {
  stopped = 0,             // the transport session is stopped; initial value
  disconnected = 1,        // running, not connected to a server
  connected = 2,           // connected to a server, not logged in
  logged_in = 3,           // logged in, no conference
  conference_pending = 4,  // logged in, a conference is being set up
  in_conference = 5,       // in a conference
};

namespace network {
// Raw network type as the platform passes it: 0 none, 4 Wi-Fi only, 8 cellular, with bit 0x8000.
using type = uint32_t;
inline constexpr type kPlatformFlag = 0x8000;
inline constexpr type kPlatformType = 11;
}  // namespace network

// The base of the two wrappers: only the shared state's recursive lock.
class FSMSharedWrappersBase {
 protected:
  mutable HXLock m_lock;
};

// The transport session's data, read through a copied session pointer without holding the lock.
class TransportSessionInfoWrapper : public virtual FSMSharedWrappersBase {
 public:
  void setTransportSession(std::shared_ptr<HX_TransportSession> session);

  std::string GetLogin() const;
  std::string GetLoginSessionKey() const;
  std::string GetSID() const;
  std::string GetAppDomain() const;
  std::string GetServerAddress() const;
  uint16_t GetServerPort() const;
  uint32_t GetRights() const;
  uint32_t GetType() const;
  std::string GetTariffName() const;
  // A null name does nothing.
  void SetTariffName(const char* name);
  uint32_t GetTarifRestr() const;
  std::string GetProperty(const char* name) const;
  // Whether `id` is the session's own user id; false for null or without a session.
  bool IsMyId(const char* id) const;

 private:
  std::shared_ptr<HX_TransportSession> session() const;
  std::shared_ptr<HX_TransportSession> m_session;
};

}  // namespace hx

// The active conference's data, read from the conference store of the conference manager while
// the store's write lock holds the conference still (activeConferenceRLock): the network loop
// changes these fields under that lock. Every answer is a copy (texts and id sets), so nothing
// points into a conference the network loop may delete; the defaults answer when there is no
// active conference or no conference manager.
class HXActiveConferenceWrapper : public virtual ManagerHolderBase {
 public:
  HX_Conference_Type GetConferenceType() const;  // the store's current type, 0 without one
  int32_t CastConferenceType() const;            // conference::type, 1 without a conference
  int32_t GetConferenceSubType() const;
  int32_t GetConferenceScope() const;
  bool GetConferenceAudio() const;
  uint32_t GetConferenceMaxCast() const;
  uint32_t GetConferenceMaxParticipants() const;
  std::string GetConferenceName() const;
  std::string GetConferenceSID() const;
  std::string GetConferenceCID() const;
  std::string GetConferenceOwner() const;
  std::string GetConferenceServer() const;
  std::string GetConferenceSIDDomain() const;
  std::set<conference::PeerId> GetConferenceIdList() const;
  // 1 without an active conference; the conference's answer (-1 for an unknown id) otherwise.
  int32_t GetConferenceIdRole(const char* id) const;
  int32_t getConferenceIdLeaderType(const char* id) const;  // 0 when unknown or null
  std::string GetLastConferenceSID() const;

 private:
  template <typename T, typename F>
  T FromActive(T def, F read) const;
};

class HXFSMShared : public HX_ContactStorage,
                    public HX_StatusStorage,
                    public HX_SearchManager,
                    public HX_LStatusStorage,
                    public HX_UserDetailsStorage,
                    public HX_AvatarStorage,
                    public virtual ManagerHolderBase,
                    public HXActiveConferenceWrapper,
                    public hx::TransportSessionInfoWrapper {
 public:
  // The process-wide environment: application and working folders. Created empty on first use
  // and never destroyed.
  class HXEnvironment {
   public:
    void SetAppDir(const std::string& dir);
    std::string GetAppDir() const;
    // Stores the folder and appends "/" when it is not empty and does not end in one.
    void SetWorkingDir(const std::string& dir);
    // The working folder, ending in "/" unless it is empty. A copy: another thread may set it.
    std::string getWorkingDirStr() const;
    std::string GetWorkingDir() const { return getWorkingDirStr(); }

   private:
    mutable HXLock m_lock;
    std::string m_appDir;
    std::string m_workingDir;
  };

  // The characters that, leading an id, keep GetPeerId from adding the domain.
  static constexpr char ForbiddenFix[] = "!@#$%^&*()+ \\|/";
  static constexpr uint16_t kServerDefaultPort = 4307;

  // Opens the settings database in the environment's working folder, which must be set first.
  HXFSMShared();
  ~HXFSMShared() override;

  static HXEnvironment* Env();

  // ManagerHolderBase: getFSM answers this object; the others forward to the holder.
  void setManagerHolder(ManagerHolderBase* holder);
  HXFSMShared* getFSM() const override { return const_cast<HXFSMShared*>(this); }
  HX_ClientManager* clientManager() const override;
  HX_ConfManager* confManager() const override;
  HXConsoleClient* consoleClient() const override;
  std::shared_ptr<HX_ContactsManager> contactsManager() const override;

  // State.
  hx::fsm GetFSMState() const { return m_state.load(); }
  // Steps from the current state to `target`.
  hx::fsm SetFSMState(hx::fsm target);
  // Steps from `expected` to `target`: going down one value per step, going up in one step, each
  // step signalled (new, old) without the lock. Answers `expected` on success; when another
  // thread changed the state first, stops at once and answers the state it found. Target equal
  // to expected: nothing happens and the current state is answered.
  hx::fsm SetFSMState(hx::fsm target, hx::fsm expected);
  // False for a null name or below conference_pending; else whether `name` is the active
  // conference.
  bool IsMyConference(const char* name) const;

  // Identity; a null text stores "".
  void SetAppName(const char* name);
  std::string GetAppName() const;
  void SetAppVersion(const char* version);
  std::string GetAppVersion() const;
  void SetDisplayName(const char* name);
  std::string GetDisplayName() const;
  void SetClientType(int32_t type) { m_clientType = type; }
  int32_t GetClientType() const { return m_clientType; }
  void SetEchoCancel(bool on) { m_echoCancel = on; }
  bool GetEchoCancel() const { return m_echoCancel; }
  void SetAudioPlatformType(int32_t platform) { m_audioPlatform = platform; }
  int32_t GetAudioPlatformType() const { return m_audioPlatform; }
  void SetForceDisableDirectConnection(bool on) { m_forceDisableDirect = on; }
  bool GetForceDisableDirectConnection() const { return m_forceDisableDirect; }
  // Stores the status atomically and answers the previous one.
  int32_t SetMyStatus(int32_t status) { return m_myStatus.exchange(status); }
  int32_t GetMyStatus() const { return m_myStatus.load(); }
  void SetSVCMode(uint32_t mode);
  uint32_t GetSVCMode() const;
  uint16_t GetServerDefaultPort() const { return kServerDefaultPort; }
  // The application endpoint id: made once per installation (32 upper-case hexadecimal digits)
  // and kept under "AppEndpId".
  std::string GetAppId();

  // Network type: 11 while bit 0x8000 of the stored value is set; the mode is the value without it.
  void SetNetworkType(hx::network::type type) { m_networkType = type; }
  hx::network::type GetNetworkType() const;
  hx::network::type GetNetworkMode() const;

  // `id` with "@" and the session's application domain when `addDomain` is set, the id does not
  // begin with a character of ForbiddenFix and holds no "@"; else `id` unchanged. An empty id
  // comes back empty.
  std::string GetPeerId(const std::string& id, bool addDomain) const;
  // `id` cut before its last "/"; unchanged without one.
  static std::string GetShortPeerId(const std::string& id);

  // Settings parameters, each under the object's lock. LoadParam reads at most `length` bytes of
  // the stored value into `buffer`; true when the setting exists.
  bool LoadParam(const char* name, void* buffer, size_t length);
  void SaveParam(const char* name, const void* data, size_t length);
  void RemoveParam(const char* name);
  // The settings database (never null; when it failed to open, reads find nothing).
  std::shared_ptr<HX_SettingsDB> SettingsDB() const { return m_settings; }

  // The benchmark record under "SysBenchmark", stored as its 32 little-endian bytes. Loading reads
  // the stored bytes as untrusted input (HX_SysPerformanceState::FromBytes): nothing stored, a
  // value of another size or an impossible score reads as the all-zero record, and fields that
  // disagree with the score are rebuilt from it. A record saved here reads back unchanged.
  using SysPerformanceState = HX_SysPerformanceState;
  void SaveSysBenchmark(const SysPerformanceState& state);
  SysPerformanceState LoadSysBenchmark();

  // The UDP streams configuration ("UDPListenerPort"): loaded on the first get, saved on set.
  HX_UdpStreamsConfig getUdpStreamsConfig();
  void setUdpStreamsConfig(const HX_UdpStreamsConfig& config);

  // (new state, old state), once per step.
  hx::Signal2<hx::fsm, hx::fsm> stateChanged;
  // Emitted by the transport session data after every replacement or clearing of the server or
  // user property set, on the thread that changed it.
  hx::Signal0<void> propertiesUpdated;
  // (user id, display name, flag): a display name became known.
  hx::Signal3<const char*, const char*, bool> peerNameUpdated;

 private:
  std::atomic<hx::fsm> m_state{hx::fsm::stopped};
  std::string m_appId;
  std::string m_displayName;
  std::string m_appName;
  std::string m_appVersion;
  std::atomic<ManagerHolderBase*> m_holder{nullptr};
  uint32_t m_svcMode = 0;
  std::atomic<int32_t> m_clientType{0};
  std::atomic<bool> m_echoCancel{true};
  std::shared_ptr<HX_SettingsDB> m_settings;
  std::atomic<int32_t> m_audioPlatform{0};
  std::atomic<hx::network::type> m_networkType{0};
  std::atomic<int32_t> m_myStatus{kUnknownStatus};
  std::atomic<bool> m_forceDisableDirect{false};
  bool m_udpConfigLoaded = false;
  HX_UdpStreamsConfig m_udpConfig;
};
