// The shared client state against a real settings database in a temporary working folder, with a
// small manager holder that answers a real conference manager.
#include "core/client/fsm_shared.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/conference/conf_manager.h"
#include "core/media/format/video_levels.h"
#include "core/storage/settings_db.h"
#include "testing/test_support.h"

namespace {

using Step = std::pair<int, int>;  // (new, old)

class StepRecorder {
 public:
  void OnChanged(hx::fsm now, hx::fsm before) {
    std::lock_guard<std::mutex> lock(mutex);
    steps.emplace_back(static_cast<int>(now), static_cast<int>(before));
  }
  std::mutex mutex;
  std::vector<Step> steps;
};

class Holder : public ManagerHolderBase {
 public:
  HXFSMShared* getFSM() const override { return nullptr; }
  HX_ClientManager* clientManager() const override { return nullptr; }
  HX_ConfManager* confManager() const override { return conf.get(); }
  HXConsoleClient* consoleClient() const override { return nullptr; }
  std::shared_ptr<HX_ContactsManager> contactsManager() const override { return nullptr; }
  std::unique_ptr<HX_ConfManager> conf;
};

class FsmShared : public ::testing::Test {
 protected:
  FsmShared() {
    HXFSMShared::Env()->SetWorkingDir(dir.path());
    fsm = std::make_unique<HXFSMShared>();
    fsm->stateChanged.Connect(&recorder, &StepRecorder::OnChanged);
  }
  hx::testing::TempDir dir;
  std::unique_ptr<HXFSMShared> fsm;
  StepRecorder recorder;
};

TEST_F(FsmShared, StateStepsDownOneAtATimeAndUpAtOnce) {
  struct Case {
    int from;
    int to;
    int result;
    std::vector<Step> steps;
  } cases[] = {
      {5, 3, 5, {{4, 5}, {3, 4}}},         {3, 3, 3, {}},       {1, 5, 1, {{5, 1}}},
      {5, 2, 5, {{4, 5}, {3, 4}, {2, 3}}}, {1, 0, 1, {{0, 1}}},
  };
  for (const Case& c : cases) {
    // Reach the starting state without recording.
    fsm->SetFSMState(static_cast<hx::fsm>(c.from));
    recorder.steps.clear();
    EXPECT_EQ(static_cast<int>(fsm->SetFSMState(static_cast<hx::fsm>(c.to))), c.result)
        << c.from << "->" << c.to;
    EXPECT_EQ(recorder.steps, c.steps) << c.from << "->" << c.to;
    EXPECT_EQ(static_cast<int>(fsm->GetFSMState()), c.to);
  }
}

TEST_F(FsmShared, ALostRaceReturnsTheStateFound) {
  fsm->SetFSMState(hx::fsm::logged_in);
  recorder.steps.clear();
  // The caller believes the state is 5; it is 3: the first step fails, nothing is signalled.
  EXPECT_EQ(fsm->SetFSMState(hx::fsm::connected, hx::fsm::in_conference), hx::fsm::logged_in);
  EXPECT_TRUE(recorder.steps.empty());
  EXPECT_EQ(fsm->GetFSMState(), hx::fsm::logged_in);
}

// A listener that changes the state while a descent is under way makes the descent stop at the
// step it loses, answering the state it found.
TEST_F(FsmShared, AListenerMayCallBackAndInterrupt) {
  struct Interrupter {
    HXFSMShared* fsm;
    bool done = false;
    void OnChanged(hx::fsm now, hx::fsm) {
      if (now == hx::fsm::conference_pending && !done) {
        done = true;
        fsm->SetFSMState(hx::fsm::in_conference, hx::fsm::conference_pending);
      }
    }
  } interrupter{fsm.get()};
  fsm->SetFSMState(hx::fsm::in_conference);
  fsm->stateChanged.Connect(&interrupter, &Interrupter::OnChanged);
  EXPECT_EQ(fsm->SetFSMState(hx::fsm::disconnected), hx::fsm::in_conference);
  EXPECT_EQ(fsm->GetFSMState(), hx::fsm::in_conference);
}

TEST_F(FsmShared, ConcurrentDescentsSignalEveryStepInOrder) {
  for (int round = 0; round < 20; ++round) {
    fsm->SetFSMState(hx::fsm::in_conference);
    recorder.steps.clear();
    std::vector<std::thread> threads;
    std::vector<hx::fsm> results(4);
    std::atomic<bool> go{false};
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&, i] {
        while (!go.load()) std::this_thread::yield();
        results[i] = fsm->SetFSMState(hx::fsm::stopped, hx::fsm::in_conference);
      });
    }
    go = true;
    for (auto& t : threads) t.join();
    // Exactly one descent started from 5 and took every step; the others answered a lower state.
    EXPECT_EQ(recorder.steps, (std::vector<Step>{{4, 5}, {3, 4}, {2, 3}, {1, 2}, {0, 1}}));
    int winners = 0;
    for (hx::fsm result : results) {
      if (result == hx::fsm::in_conference) {
        ++winners;
      } else {
        EXPECT_LT(static_cast<int>(result), 5);
      }
    }
    EXPECT_EQ(winners, 1);
    EXPECT_EQ(fsm->GetFSMState(), hx::fsm::stopped);
  }
}

TEST_F(FsmShared, PeerIds) {
  // No session: the domain is empty, still joined with the at-sign.
  EXPECT_EQ(fsm->GetPeerId("alice", true), "alice@");
  struct Case {
    const char* id;
    bool add;
    const char* expected;
  } cases[] = {
      {"#conf", true, "#conf"}, {" bob", true, " bob"},    {"bob@srv", true, "bob@srv"},
      {"/x", true, "/x"},       {"alice", false, "alice"}, {"", true, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(fsm->GetPeerId(c.id, c.add), c.expected) << c.id;
  EXPECT_EQ(HXFSMShared::GetShortPeerId("bob@srv/phone"), "bob@srv");
  EXPECT_EQ(HXFSMShared::GetShortPeerId("bob@srv/a/b"), "bob@srv/a");
  EXPECT_EQ(HXFSMShared::GetShortPeerId("bob@srv"), "bob@srv");
}

TEST_F(FsmShared, NetworkTypeAndIdentity) {
  fsm->SetNetworkType(0x8003);
  EXPECT_EQ(fsm->GetNetworkType(), 11u);
  EXPECT_EQ(fsm->GetNetworkMode(), 3u);
  fsm->SetNetworkType(4);
  EXPECT_EQ(fsm->GetNetworkType(), 4u);
  EXPECT_EQ(fsm->GetNetworkMode(), 4u);

  fsm->SetDisplayName("Alice");
  EXPECT_EQ(fsm->GetDisplayName(), "Alice");
  fsm->SetDisplayName(nullptr);
  EXPECT_EQ(fsm->GetDisplayName(), "");
  fsm->SetAppName(nullptr);
  EXPECT_EQ(fsm->GetAppName(), "");
  EXPECT_EQ(fsm->GetMyStatus(), -127);
  EXPECT_EQ(fsm->SetMyStatus(1), -127);
  EXPECT_TRUE(fsm->GetEchoCancel());
  EXPECT_EQ(fsm->GetServerDefaultPort(), 4307);
}

TEST_F(FsmShared, AppIdIsMadeOnceAndKeptAcrossObjects) {
  const std::string id = fsm->GetAppId();
  ASSERT_EQ(id.size(), 32u);
  for (char ch : id) EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(ch)) && !std::islower(ch)) << id;
  EXPECT_EQ(fsm->GetAppId(), id);
  fsm.reset();
  HXFSMShared again;
  EXPECT_EQ(again.GetAppId(), id);
}

TEST_F(FsmShared, BenchmarkAndUdpConfigurationRecords) {
  EXPECT_EQ(fsm->LoadSysBenchmark(), HX_SysPerformanceState());
  const HX_SysPerformanceState state = HX_SysPerformanceState::FromScore(189600, 500, kn_VideoLevelCaps());
  fsm->SaveSysBenchmark(state);
  EXPECT_EQ(fsm->LoadSysBenchmark(), state);

}

// The stored "UDPListenerPort" as a fresh shared state reads it: the integer decides alone.
TEST_F(FsmShared, UdpListenerPortSettingReadsOnOnlyInsideThePortRange) {
  struct Case {
    const char* stored;  // null: no key
    bool listener;
    uint16_t port;
  };
  const Case cases[] = {
      {nullptr, false, 0}, {"0", true, 0},      {"65535", true, 65535},
      {"65536", false, 0}, {"-5", false, 0},    {"40123", true, 40123},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored != nullptr ? c.stored : "no key");
    if (c.stored != nullptr) {
      ASSERT_TRUE(fsm->SettingsDB()->Write("UDPListenerPort", c.stored));
    } else {
      fsm->SettingsDB()->Remove("UDPListenerPort");
    }
    HXFSMShared fresh;
    const HX_UdpStreamsConfig config = fresh.getUdpStreamsConfig();
    EXPECT_EQ(config.isListenerRequired(), c.listener);
    EXPECT_EQ(config.getListenerPort(), c.port);
  }
}

TEST_F(FsmShared, UdpStreamsConfigSavedOnSetAndOffRemovesTheKey) {
  HX_UdpStreamsConfig config;
  config.setListenerPort(40123);
  fsm->setUdpStreamsConfig(config);
  EXPECT_EQ(fsm->SettingsDB()->Read<int64_t>("UDPListenerPort", -1), 40123);
  EXPECT_EQ(HXFSMShared().getUdpStreamsConfig().getListenerPort(), 40123);

  // Off keeps the old port in the value but not in the store.
  config.setListenerPort(-1);
  EXPECT_FALSE(config.isListenerRequired());
  EXPECT_EQ(config.getListenerPort(), 0);
  fsm->setUdpStreamsConfig(config);
  bool found = true;
  fsm->SettingsDB()->Read<int64_t>("UDPListenerPort", -1, &found);
  EXPECT_FALSE(found);
  EXPECT_FALSE(HXFSMShared().getUdpStreamsConfig().isListenerRequired());
  config.setListenerPort(0);
  EXPECT_TRUE(config.isListenerRequired());
  EXPECT_EQ(config.getListenerPort(), 0);
}

TEST_F(FsmShared, StoredBenchmarkRecordIsReadAsUntrustedInput) {
  const HX_SysPerformanceState truth = HX_SysPerformanceState::FromScore(189600, 500, kn_VideoLevelCaps());
  uint8_t good[32];
  truth.ToBytes(good);
  EXPECT_EQ(std::vector<uint8_t>(good, good + 32)[16], 47) << "the send level at offset 16";

  // Values of another size, written into the settings file as another version or a bad disk
  // would leave them, read as the never-measured record.
  for (size_t size : {1u, 31u, 33u, 40u}) {
    std::vector<uint8_t> value(good, good + 32);
    value.resize(size, 0x5A);
    fsm->SaveParam("SysBenchmark", value.data(), value.size());
    EXPECT_EQ(fsm->LoadSysBenchmark(), HX_SysPerformanceState()) << size;
  }
  // A level without a row in the level table, next to a true score: rebuilt from the score.
  uint8_t lying[32];
  std::memcpy(lying, good, sizeof(lying));
  lying[16] = 255;
  lying[4] = 0xFF;
  fsm->SaveParam("SysBenchmark", lying, sizeof(lying));
  EXPECT_EQ(fsm->LoadSysBenchmark(), truth);
  // A negative score.
  lying[3] = 0x80;
  fsm->SaveParam("SysBenchmark", lying, sizeof(lying));
  EXPECT_EQ(fsm->LoadSysBenchmark(), HX_SysPerformanceState());
  // The true record, read back by another object on the same file.
  fsm->SaveSysBenchmark(truth);
  fsm.reset();
  HXFSMShared again;
  EXPECT_EQ(again.LoadSysBenchmark(), truth);
}

TEST_F(FsmShared, ActiveConferenceAnswersAreCopies) {
  Holder holder;
  holder.conf = std::make_unique<HX_ConfManager>("CONFERENCE_FSM_TEST", nullptr, fsm.get());
  fsm->setManagerHolder(&holder);
  EXPECT_EQ(fsm->CastConferenceType(), 1);
  EXPECT_EQ(fsm->GetConferenceName(), "");
  EXPECT_EQ(fsm->GetConferenceScope(), -1);
  EXPECT_EQ(fsm->GetConferenceIdRole("x"), 1);

  // A group conference (asymmetric) confirmed as "sid-1", with one operator participant.
  HX_ConfStorage* store = holder.conf->confStorage();
  {
    ConferenceLock lock;
    ASSERT_TRUE(store->storageRequestCreateConferenceLock(lock, "room@srv", "", "owner@srv", 16, 0,
                                                          5, 1, 0, nullptr, false));
    ASSERT_TRUE(store->storageCreateConferenceCommit(lock, "sid-1", 1));
    conference::Peer* peer = lock->addPeer("a@srv", 6);
    peer->role = 2;
    peer->flags |= conference::ParticipantInfoHolder::kOperator;
  }
  EXPECT_EQ(fsm->CastConferenceType(), 2);
  EXPECT_EQ(fsm->GetConferenceType(), 5);
  EXPECT_EQ(fsm->GetConferenceIdRole("a@srv"), 2);
  EXPECT_EQ(fsm->getConferenceIdLeaderType("a@srv"), 2);
  EXPECT_EQ(fsm->getConferenceIdLeaderType("owner@srv"), 1);
  EXPECT_EQ(fsm->getConferenceIdLeaderType(nullptr), 0);
  EXPECT_EQ(fsm->GetConferenceOwner(), "owner@srv");
  EXPECT_EQ(fsm->GetConferenceSID(), "sid-1");

  // The answers stay valid after the conference is gone.
  const std::string name = fsm->GetConferenceName();
  const std::set<conference::PeerId> ids = fsm->GetConferenceIdList();
  EXPECT_TRUE(store->DeleteConference("sid-1", false));
  EXPECT_EQ(name, "room@srv");
  // The own entry (no login here: an empty id) and the one listed participant.
  EXPECT_EQ(ids, (std::set<conference::PeerId>{conference::PeerId(""), conference::PeerId("a@srv")}));
  EXPECT_EQ(fsm->GetConferenceName(), "");
  EXPECT_EQ(fsm->GetConferenceType(), 0);
  EXPECT_EQ(fsm->GetLastConferenceSID(), "sid-1");

  // IsMyConference answers false below state 4 even for the active conference.
  {
    ConferenceLock lock;
    ASSERT_TRUE(store->storageCreateForeignConferenceLock(lock, "sid-2", "room@srv", "", "owner@srv",
                                                          16, 0, 5, 0, 0, nullptr, false));
  }
  fsm->SetFSMState(hx::fsm::logged_in);
  EXPECT_FALSE(fsm->IsMyConference("room@srv"));
  fsm->SetFSMState(hx::fsm::in_conference);
  EXPECT_TRUE(fsm->IsMyConference("room@srv"));
  EXPECT_FALSE(fsm->IsMyConference("other@srv"));
  EXPECT_FALSE(fsm->IsMyConference(nullptr));
  fsm->setManagerHolder(nullptr);
}

}  // namespace
