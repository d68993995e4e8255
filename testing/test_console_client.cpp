#include "testing/test_console_client.h"

#include <algorithm>

#include "core/conference/conf_manager.h"

namespace hx::testing {

TestConsoleClient::TestConsoleClient(DnsList dns)
    : m_dirWithSlash(m_workingDir.path() + "/"), m_dns(std::move(dns)) {
  m_caps.sndWidth = 640;
  m_caps.sndHeight = 480;
  m_caps.sndFrameRate = 25;
  m_caps.sndNetworkParam = 512;
  m_caps.bandwidthRcv = 1024;
}

TestConsoleClient::~TestConsoleClient() { StopSysBenchmark(); }

void TestConsoleClient::SetBenchmarkSeams(HX_SysBenchmark::TickSource ticks,
                                          HX_SysBenchmark::PauseSource pause, int encodes) {
  m_benchTicks = std::move(ticks);
  m_benchPause = std::move(pause);
  m_benchEncodes = encodes;
}

std::shared_ptr<HX_SysBenchmark> TestConsoleClient::CreateSysBenchmark() {
  return std::make_shared<HX_SysBenchmark>(m_benchTicks, m_benchPause, m_benchEncodes);
}

std::vector<std::string> TestConsoleClient::HookCalls() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_calls;
}

size_t TestConsoleClient::HookCount(const std::string& name) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<size_t>(std::count(m_calls.begin(), m_calls.end(), name));
}

void TestConsoleClient::Record(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_calls.push_back(name);
}

const char* TestConsoleClient::GetAppDefaultDomain() { return kDomain; }
void TestConsoleClient::UpdateEnvironment() { Record("UpdateEnvironment"); }
const char* TestConsoleClient::GetAppName() { return kAppName; }
const char* TestConsoleClient::GetAppVersion() { return kAppVersion; }
HX_ClientType TestConsoleClient::GetClientType() { return kClientType; }
HXCapabilites TestConsoleClient::GetCapabilites(bool) { return m_caps; }
audio::platform TestConsoleClient::GetAudioPlatform() { return kAudioPlatform; }
const char* TestConsoleClient::GetWorkingDir() {
  Record("GetWorkingDir");
  return m_dirWithSlash.c_str();
}
HXConsoleClient::DnsList TestConsoleClient::GetLocalDNSList() { return m_dns; }
void TestConsoleClient::UpdateLoginManager() { Record("UpdateLoginManager"); }
void TestConsoleClient::UpdateConferenceManager() {
  Record("UpdateConferenceManager");
  if (HX_ConfManager* manager = confManager()) {
    manager->conferenceCreated.Connect(this, &TestConsoleClient::OnPlatformConferenceCreated);
  }
}

bool TestConsoleClient::CallPeer(const std::string& callee) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_callee = callee;
  }
  return CreateConferenceRoom<0>(nullptr, nullptr, true, {}, false);
}

std::string TestConsoleClient::RememberedCallee() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_callee;
}

void TestConsoleClient::OnPlatformConferenceCreated(const char*, HX_ConferenceCreated_Result result) {
  if (result != 1) return;
  std::string callee;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    callee.swap(m_callee);
  }
  if (!callee.empty()) Invite(callee.c_str());
}
void TestConsoleClient::UpdatePresenceManager() { Record("UpdatePresenceManager"); }
void TestConsoleClient::UpdateContactsManager() { Record("UpdateContactsManager"); }
void TestConsoleClient::UpdateChatManager() { Record("UpdateChatManager"); }
void TestConsoleClient::UpdateNetConfigManager() { Record("UpdateNetConfigManager"); }
void TestConsoleClient::UpdateDebugTuningManager() { Record("UpdateDebugTuningManager"); }
void TestConsoleClient::OnSysBenchmarkComplete(HX_SysPerformanceState&) { Record("OnSysBenchmarkComplete"); }
void TestConsoleClient::OnReleaseHardwareSender() { Record("OnReleaseHardwareSender"); }
void TestConsoleClient::OnReleaseHardwareReceiver(const char*) { Record("OnReleaseHardwareReceiver"); }
void TestConsoleClient::OnRequestAudioRecord(const HX_ClientCaps&, std::shared_ptr<HXAudioRecordBase>&) {
  Record("OnRequestAudioRecord");
}
void TestConsoleClient::OnRequestVideoRender(const char*, const HX_ClientCaps&,
                                             std::shared_ptr<HXVideoRenderBase>&) {
  Record("OnRequestVideoRender");
}

}  // namespace hx::testing
