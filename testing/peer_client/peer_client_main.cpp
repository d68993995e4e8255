// hx_peer_client: a second client for call tests, in a process of its own (the service table and
// the network loop are process-wide). It logs in to a fake server, follows a script and prints
// every call event it sees, one line each ("EVENT ..."), so that a test can read its output.
//
//   hx_peer_client --port N --login USER --password PW --root CA.pem [--dir FOLDER]
//                  [--script STEP,STEP,...] [--short-timers] [--dc-accept-ms N]
//                  [--failing-streams] [--bench-ms N] [--video-rcv N] [--level N] [--screen WxH]
//
// FOLDER is the working folder (created when missing); it stays after the program ends, so that a
// test can read the user's databases. Without it the program works in a temporary folder of its
// own.
//
// Steps, run in order on the main thread:
//   call:PEER            asks for a private room and invites PEER once it is created
//   room:KIND:NAME:PEER  asks for a group room of KIND (1 symmetric, 2 asymmetric, 3 role) and
//                        saves PEER for the invitation
//   wait:PREFIX          waits (20 s at most) for an event line starting with PREFIX
//   join                 joins the last room created
//   accept               accepts the last invitation received
//   reject:CAUSE         rejects the last invitation received with CAUSE
//   acceptrole           answers the last role event with an accept (no user named)
//   podium:BYTES         goes to the podium (a participant asks, with a preview of BYTES bytes)
//   leave                leaves the podium
//   remark               asks to make a remark
//   hangup               hangs the current conference up
//   release-sender       resets the media-format adapter as the send stream does when it stops
//   subscribe:PEER       subscribes to PEER's presence (a complete list comes back)
//   forward:TARGET:TYPE  forwards the own calls to TARGET with forwarding TYPE (0: none)
//   fwdof:PEER           prints PEER's forwarding as the presence store knows it
// Events: "logged-in", "created SID RESULT", "invite PEER SID TYPE", "accept-received PEER SID",
// "accepting PEER RESULT" (the accept has been handled), "reject-received PEER SID CAUSE",
// "join-result SID RESULT", "open-p2p PEER SID KEY", "open-multi SID KEY", "handshake TYPE SUBTYPE
// PEER SID KEY", "deleted SID RESULT", "role USER ROLE TYPE ANSWER", "counts REQUESTED JOINED
// DELETED", "benchmark SCORE SENDLEVEL" (a benchmark record reached the platform), "format WIDTH
// HEIGHT FPS CODEC CONNECTED" (the adapter's send format, codec in hex, after each media handshake
// and after release-sender), "status USER STATUS" (a user's presence status changed), "fwd USER
// TYPE TARGET", "idlist ID,ID,..." (the active conference's participants changed), "done" after
// the last step. A failed step prints "FAILED step" and ends the program with 3. After the script
// the program runs until its standard input closes. The media streams are the stand-ins; they are
// told to succeed, so that a call opens its media all the way (with --failing-streams the send
// stream cannot be connected).
//
// --bench-ms N runs the client object's benchmark at the start (the stored record, then a
// measurement of one encode on a clock that advances N ms per reading, without the pause).
// --video-rcv, --level and --screen set "VideoRcv", "Level" and "ScreenWidth"/"ScreenHeight" of
// the own capability record.

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/conference/conf_manager.h"
#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"
#include "core/contacts/presence/presence_manager.h"
#include "core/media/format/media_format_adapter.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/common_socket.h"
#include "core/security/root_certificate.h"
#include "core/transport/transport.h"
#include "testing/test_console_client.h"
#include "testing/test_support.h"

namespace {

constexpr int kWaitMs = 20000;

struct Options {
  uint16_t port = 0;
  std::string login;
  std::string password;
  std::string root;
  std::string dir;
  std::vector<std::string> script;
  bool shortTimers = false;
  int dcAcceptMs = 300;
  bool failingStreams = false;
  int64_t benchMs = 0;
  int32_t videoRcv = -1;
  int32_t level = -1;
  int32_t screenWidth = -1;
  int32_t screenHeight = -1;
};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

// The event lines: printed and kept for the waiting steps.
class Events {
 public:
  void Add(const std::string& line) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_lines.push_back(line);
      std::printf("EVENT %s\n", line.c_str());
      std::fflush(stdout);
    }
    m_changed.notify_all();
  }
  // Waits for a line after the ones already consumed that starts with `prefix`; consumes it and
  // those before it.
  bool WaitFor(const std::string& prefix, std::string* found) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
      while (m_next < m_lines.size()) {
        const std::string& line = m_lines[m_next++];
        if (line.compare(0, prefix.size(), prefix) == 0) {
          if (found != nullptr) *found = line;
          return true;
        }
      }
      return false;
    });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::string> m_lines;
  size_t m_next = 0;
};

// Sends requests to "PRESENCE" that the presence manager has no operation for (a subscription is
// the address book's), from a service of its own.
class PresenceSender : public HX_AbstractManager {
 public:
  explicit PresenceSender(std::shared_ptr<HX_TransportSession> session)
      : HX_AbstractManager("PEER_PRESENCE_SENDER", std::move(session)) {}
  ~PresenceSender() override { UnregisterServiceHandler(); }
  bool ParseIncomimgMessage(HX_Container&) override { return false; }
  bool Send(const HX_Container& body) { return ComposeSend(body, "PRESENCE", nullptr, nullptr, 20000); }
};

class PeerClient : public hx::testing::TestConsoleClient {
 public:
  PeerClient(Events& events, bool failingStreams, std::string workingDir)
      : m_events(events), m_failingStreams(failingStreams), m_workingDir(std::move(workingDir)) {}
  // The benchmark hook prints through the events: no record may arrive once this object goes.
  ~PeerClient() override { StopSysBenchmark(); }

  const char* GetWorkingDir() override {
    return m_workingDir.empty() ? TestConsoleClient::GetWorkingDir() : m_workingDir.c_str();
  }

  void Wire() {
    HX_ConfManager* manager = confManager();
    manager->InviteNoticeSignal.Connect(this, &PeerClient::OnInviteNotice);
    manager->AcceptReceivedSignal.Connect(this, &PeerClient::OnAcceptReceived);
    manager->RejectReceivedSignal.Connect(this, &PeerClient::OnRejectReceived);
    manager->conferenceJoinResult.Connect(this, &PeerClient::OnJoinResult);
    manager->conferenceDeleted.Connect(this, &PeerClient::OnDeleted);
    manager->RoleEventOccuredSignal.Connect(this, &PeerClient::OnRole);
    HX_PresenceManager& presence = *presenceManager();
    presence.setPeerStatus.Connect(this, &PeerClient::OnPeerStatus);
    presence.conferenceIdListChanged.Connect(this, &PeerClient::OnIdList);
    m_sender = std::make_unique<PresenceSender>(std::shared_ptr<HX_TransportSession>(std::shared_ptr<void>(), this));
  }
  // Subscribes to `peer`'s presence, asking for a complete list.
  bool Subscribe(const std::string& peer) {
    HX_Container body;
    body.AddValue("Method", "Subscribe");
    body.AddValue("Cause", 1);
    body.AddValue("CallId", peer.c_str());
    return m_sender->Send(body);
  }
  void PrintForwarding(const std::string& peer) {
    hx::CallForwardingStatus status;
    presenceManager()->getCallFwdStatus(peer, status);
    m_events.Add("fwd " + peer + " " + std::to_string(status.type) + " " + status.fwdPeerId);
  }
  // The last invitation's inviter and SID.
  std::pair<std::string, std::string> LastInvite() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastInvite;
  }
  std::string LastCreated() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastCreated;
  }

  bool AcceptPeer(const std::string& peer, int id) override {
    const bool result = HX_ConferenceHelper::AcceptPeer(peer, id);
    m_events.Add("accepting " + peer + " " + (result ? "true" : "false"));
    return result;
  }

  void OpenConferenceP2P(std::string peer, std::string sid, std::string key) override {
    m_events.Add("open-p2p " + peer + " " + sid + " " + key);
    StreamsSucceed(sid);
    HX_ConferenceHelper::OpenConferenceP2P(peer, sid, key);
  }
  void OpenConferenceMulti(std::string sid, std::string key) override {
    m_events.Add("open-multi " + sid + " " + key);
    StreamsSucceed(sid);
    HX_ConferenceHelper::OpenConferenceMulti(sid, key);
  }
  void MediaHandshakeReady(HX_Conference_Type type, HX_GroupConf_SubType subType, const char* peer,
                           const char* sid, const char* key) override {
    m_events.Add("handshake " + std::to_string(type) + " " + std::to_string(subType) + " " + peer +
                 " " + sid + " " + key);
    HXConsoleClient::MediaHandshakeReady(type, subType, peer, sid, key);
    AddFormat();
  }
  void OnSysBenchmarkComplete(HX_SysPerformanceState& state) override {
    TestConsoleClient::OnSysBenchmarkComplete(state);
    m_events.Add("benchmark " + std::to_string(state.score) + " " +
                 std::to_string(state.sendLevel));
  }
  // What the send stream does when it stops.
  bool ReleaseSender() {
    mediaFormatManager()->Reset();
    AddFormat();
    return true;
  }
  void onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted) override {
    m_events.Add("counts " + std::to_string(requested) + " " + std::to_string(joined) + " " +
                 std::to_string(deleted));
    HXConsoleClient::onConfCountChange(requested, joined, deleted);
  }

 protected:
  void OnPlatformConferenceCreated(const char* sid, HX_ConferenceCreated_Result result) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (result == 1 && sid != nullptr) m_lastCreated = sid;
    }
    m_events.Add("created " + std::string(sid != nullptr ? sid : "") + " " +
                 std::to_string(result));
    TestConsoleClient::OnPlatformConferenceCreated(sid, result);
  }

 private:
  void AddFormat() {
    const std::shared_ptr<HX_MediaFormatManagerAdapter> adapter = mediaFormatManager();
    const HX_MediaFormat format = adapter->GetMediaFormat();
    char codec[16];
    std::snprintf(codec, sizeof(codec), "%08x", format.videoCodec);
    m_events.Add("format " + std::to_string(format.width) + " " + std::to_string(format.height) +
                 " " + std::to_string(format.frameRate) + " " + codec + " " +
                 (adapter->IsConnected() ? "1" : "0"));
  }
  void StreamsSucceed(const std::string& sid) {
    ConferenceLock lock;
    if (!confManager()->getConferenceLock(lock, sid)) return;
    for (const char* name :
         {"createSender", "createReceiver", "connectSender", "connectReceiver"}) {
      lock->mediaStandIn().setAnswer(name, true);
    }
    if (m_failingStreams) lock->mediaStandIn().setAnswer("connectSender", false);
  }
  void OnInviteNotice(const char* peer, const char*, const char* sid, const char*,
                      HX_Conference_Type type, bool) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_lastInvite = {peer, sid};
    }
    m_events.Add("invite " + std::string(peer) + " " + sid + " " + std::to_string(type));
  }
  void OnAcceptReceived(const char* peer, const char*, const char* sid, const char*) {
    m_events.Add("accept-received " + std::string(peer) + " " + sid);
  }
  void OnRejectReceived(const char* peer, const char*, const char* sid, HX_Reject_Cause cause) {
    m_events.Add("reject-received " + std::string(peer != nullptr ? peer : "") + " " +
                 (sid != nullptr ? sid : "") + " " + std::to_string(cause));
  }
  void OnJoinResult(const char* sid, const char*, const char*, int result) {
    m_events.Add("join-result " + std::string(sid != nullptr ? sid : "") + " " +
                 std::to_string(result));
  }
  void OnDeleted(const char* sid, HX_ConferenceDeleted_Result result) {
    m_events.Add("deleted " + std::string(sid != nullptr ? sid : "") + " " +
                 std::to_string(result));
  }
  void OnRole(const char* user, HX_Participant_Role role, HX_RoleEvent_Type type,
              HX_RoleInqury_Answer answer, const conference::RoleInfoHolder&) {
    m_events.Add("role " + std::string(user) + " " + std::to_string(role) + " " +
                 std::to_string(type) + " " + std::to_string(answer));
  }

  void OnPeerStatus(const char*, const char* user, const char*, HX_UserPresence_Status status, int) {
    m_events.Add("status " + std::string(user != nullptr ? user : "") + " " + std::to_string(status));
  }
  void OnIdList(const HX_PresenceManager::PeerIdSet& ids) {
    std::string line = "idlist ";
    for (const conference::PeerId& id : ids) line += (line.size() > 7 ? "," : "") + id.id;
    m_events.Add(line);
  }

  Events& m_events;
  const bool m_failingStreams;
  const std::string m_workingDir;  // with its trailing '/'; empty: the temporary folder
  std::unique_ptr<PresenceSender> m_sender;
  std::mutex m_mutex;
  std::pair<std::string, std::string> m_lastInvite;
  std::string m_lastCreated;
};

bool ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--short-timers") {
      options.shortTimers = true;
      continue;
    }
    if (name == "--failing-streams") {
      options.failingStreams = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (name == "--port") {
      options.port = static_cast<uint16_t>(std::atoi(value.c_str()));
    } else if (name == "--login") {
      options.login = value;
    } else if (name == "--password") {
      options.password = value;
    } else if (name == "--root") {
      options.root = value;
    } else if (name == "--dir") {
      options.dir = value;
    } else if (name == "--dc-accept-ms") {
      options.dcAcceptMs = std::atoi(value.c_str());
    } else if (name == "--script") {
      options.script = Split(value, ',');
    } else if (name == "--bench-ms") {
      options.benchMs = std::atoll(value.c_str());
    } else if (name == "--video-rcv") {
      options.videoRcv = std::atoi(value.c_str());
    } else if (name == "--level") {
      options.level = std::atoi(value.c_str());
    } else if (name == "--screen") {
      if (std::sscanf(value.c_str(), "%dx%d", &options.screenWidth, &options.screenHeight) != 2) {
        return false;
      }
    } else {
      return false;
    }
  }
  return options.port != 0 && !options.login.empty() && !options.root.empty();
}

// Runs one step; false when it failed.
bool RunStep(const std::string& step, PeerClient& client, Events& events) {
  const std::vector<std::string> parts = Split(step, ':');
  const std::string& verb = parts.empty() ? step : parts[0];
  if (verb == "call" && parts.size() == 2) return client.CallPeer(parts[1]);
  if (verb == "room" && parts.size() == 4) {
    const std::set<std::string> peers = {parts[3]};
    const char* name = parts[2].c_str();
    switch (std::atoi(parts[1].c_str())) {
      case 1:
        return client.CreateConferenceRoom<1>(name, "", true, peers, false);
      case 2:
        return client.CreateConferenceRoom<2>(name, "", true, peers, false);
      case 3:
        return client.CreateConferenceRoom<3>(name, "", true, peers, false);
      default:
        return false;
    }
  }
  if (verb == "wait" && parts.size() >= 2) {
    return events.WaitFor(step.substr(5), nullptr);
  }
  if (verb == "join") return client.Join(client.LastCreated().c_str());
  if (verb == "leave") return client.LeaveFromPodium();
  if (verb == "remark") return client.SayRemark(true);
  if (verb == "accept") {
    const auto [peer, sid] = client.LastInvite();
    return client.Accept(peer.c_str(), sid.c_str());
  }
  if (verb == "reject" && parts.size() == 2) {
    return client.Reject(client.LastInvite().first.c_str(), std::atoi(parts[1].c_str()));
  }
  if (verb == "acceptrole") return client.AcceptRole(nullptr, 0);
  if (verb == "podium" && parts.size() == 2) {
    const std::vector<uint8_t> preview(static_cast<size_t>(std::atoi(parts[1].c_str())), 0x5A);
    return client.GotoPodium(160, 120, preview.data(), preview.size());
  }
  if (verb == "hangup") return client.Hangup(false);
  if (verb == "release-sender") return client.ReleaseSender();
  if (verb == "subscribe" && parts.size() == 2) return client.Subscribe(parts[1]);
  if (verb == "forward" && parts.size() == 3) {
    hx::CallForwardingStatus status;
    status.setForwarding(parts[1], static_cast<hx::CallForwardingType>(std::atoi(parts[2].c_str())));
    return client.presenceManager()->setCallForwarding(status);
  }
  if (verb == "fwdof" && parts.size() == 2) {
    client.PrintForwarding(parts[1]);
    return true;
  }
  return false;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArguments(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: hx_peer_client --port N --login USER --password PW --root CA.pem "
                 "[--script STEP,...] [--short-timers]\n");
    return 2;
  }
  HXZCommonSocket::SetDenyTLS(true);
  hx::SetBuiltInRootCertificate(ReadFile(options.root));
  Events events;
  int status = 0;
  {
    std::string workingDir;
    if (!options.dir.empty()) {
      std::error_code ignored;
      std::filesystem::create_directories(options.dir, ignored);
      workingDir = options.dir + "/";
    }
    PeerClient client(events, options.failingStreams, workingDir);
    HXCapabilites& caps = client.capabilityDefaults();
    if (options.videoRcv >= 0) caps.videoRcv = options.videoRcv;
    if (options.level >= 0) caps.level = options.level;
    if (options.screenWidth >= 0) caps.screenWidthLimit = options.screenWidth;
    if (options.screenHeight >= 0) caps.screenHeightLimit = options.screenHeight;
    if (options.benchMs > 0) {
      auto clock = std::make_shared<std::atomic<int64_t>>(0);
      client.SetBenchmarkSeams([clock, step = options.benchMs] { return clock->fetch_add(step); },
                               [] { return 0u; }, 1);
    }
    client.CreateApplication();
    client.Wire();
    if (options.benchMs > 0) client.GetSysBechmarkResult();
    if (options.shortTimers) {
      HX_ConferenceHelper::Delays delays;
      delays.dcCheck = 300;
      delays.dcAccept = static_cast<uint32_t>(options.dcAcceptMs);
      delays.guiAccept = 1500;
      client.setDelaysForTest(delays);
    }
    using S = HX_TransportSession::State;
    const bool loggedIn =
        client.Start(0x8004, false) && client.ConnectServer("127.0.0.1", options.port) &&
        hx::testing::WaitFor([&] { return client.getStateTrs() == S::eConnected; }, kWaitMs) &&
        client.Login(options.login.c_str(), options.password.c_str(), true, true) &&
        hx::testing::WaitFor([&] { return client.getStateTrs() == S::eLoggedIn; }, kWaitMs);
    if (!loggedIn) {
      std::printf("FAILED login\n");
      status = 3;
    } else {
      events.Add("logged-in");
      for (const std::string& step : options.script) {
        if (!RunStep(step, client, events)) {
          std::printf("FAILED %s\n", step.c_str());
          status = 3;
          break;
        }
      }
      events.Add("done");
      // Runs on until the test closes the pipe.
      std::string ignored;
      while (std::getline(std::cin, ignored)) {
      }
    }
    std::fflush(stdout);
    if (client.getStateTrs() != HX_TransportSession::State::eNoConnection)
      client.DisconnectServer();
    if (auto connection = client.connection()) connection->DisconnectServer();
    client.Shutdown(true);
  }
  // The loop's jobs still scheduled go with it.
  delete HXZServer::installNetworkManager();
  return status;
}
