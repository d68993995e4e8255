#pragma once
// The platform subclass of the client application object for tests: it supplies every hook of
// HXConsoleClient the way a platform would, with a working folder in a fresh temporary folder
// (removed after the client object is gone), a fixed identity and capability defaults, the
// test's own name servers as local DNS list, and hooks that record each call by name in order.
// Like a platform layer, it remembers the callee of a private call it asks for and invites it
// once the server has created the room (its conference-created handler, connected after the
// call-flow helper's).
//
// The benchmark it makes takes the clock, pause and number of encodes a test gives
// (SetBenchmarkSeams, before CreateApplication); without them it is the default one. The
// destructor stops the benchmark before the record of hook calls goes.
//
// Thread safety: the record of hook calls is locked; hooks may run on any thread.

#include <mutex>
#include <string>
#include <vector>

#include "core/client/console_client.h"
#include "core/media/format/sys_benchmark.h"
#include "testing/test_support.h"

namespace hx::testing {

// Holds the working folder; a base before HXConsoleClient, so that the folder is removed only
// after the client object (and its databases) are gone.
class TempDirHolder {
 protected:
  TempDir m_workingDir;
};

class TestConsoleClient : private TempDirHolder, public HXConsoleClient {
 public:
  static constexpr const char* kAppName = "hxclient-test";
  static constexpr const char* kAppVersion = "1.0.0";
  static constexpr const char* kDomain = "test.invalid";
  static constexpr HX_ClientType kClientType = 7;
  static constexpr audio::platform kAudioPlatform = 2;

  // `dns`: the name servers of the test (empty: the system's own).
  explicit TestConsoleClient(DnsList dns = {});
  ~TestConsoleClient() override;

  // The working folder with its trailing "/".
  const std::string& workingDir() const { return m_dirWithSlash; }
  // Every hook called so far, by name, in order.
  std::vector<std::string> HookCalls() const;
  size_t HookCount(const std::string& name) const;
  // The capability defaults the platform filled in.
  HXCapabilites& capabilityDefaults() { return m_caps; }
  // The benchmark's clock, pause and encodes per measurement (see HX_SysBenchmark); empty
  // sources take the defaults. Call before CreateApplication.
  void SetBenchmarkSeams(HX_SysBenchmark::TickSource ticks, HX_SysBenchmark::PauseSource pause,
                         int encodes = HX_SysBenchmark::kEncodes);

  const char* GetAppDefaultDomain() override;
  void UpdateEnvironment() override;
  const char* GetAppName() override;
  const char* GetAppVersion() override;
  HX_ClientType GetClientType() override;
  using HXConsoleClient::GetCapabilites;
  HXCapabilites GetCapabilites(bool group) override;
  audio::platform GetAudioPlatform() override;
  const char* GetWorkingDir() override;
  DnsList GetLocalDNSList() override;
  void UpdateLoginManager() override;
  void UpdateConferenceManager() override;
  void UpdatePresenceManager() override;
  void UpdateContactsManager() override;
  void UpdateChatManager() override;
  void UpdateNetConfigManager() override;
  void UpdateDebugTuningManager() override;
  void OnSysBenchmarkComplete(HX_SysPerformanceState& state) override;
  std::shared_ptr<HX_SysBenchmark> CreateSysBenchmark() override;
  void OnReleaseHardwareSender() override;
  void OnReleaseHardwareReceiver(const char* peer) override;
  void OnRequestAudioRecord(const HX_ClientCaps& caps, std::shared_ptr<HXAudioRecordBase>& recorder) override;
  void OnRequestVideoRender(const char* peer, const HX_ClientCaps& caps,
                            std::shared_ptr<HXVideoRenderBase>& render) override;

  // Records `name` among the hook calls (also for handlers a test overrides).
  void Record(const std::string& name);

  // Asks for a private room; `callee` is invited once the server has created it.
  bool CallPeer(const std::string& callee);
  std::string RememberedCallee() const;

 protected:
  // The platform's conference-created handler: invites the remembered callee (once).
  virtual void OnPlatformConferenceCreated(const char* SID, HX_ConferenceCreated_Result result);

 private:
  std::string m_dirWithSlash;
  DnsList m_dns;
  HXCapabilites m_caps;
  HX_SysBenchmark::TickSource m_benchTicks;
  HX_SysBenchmark::PauseSource m_benchPause;
  int m_benchEncodes = HX_SysBenchmark::kEncodes;
  mutable std::mutex m_mutex;
  std::vector<std::string> m_calls;
  std::string m_callee;
};

}  // namespace hx::testing
