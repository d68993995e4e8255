// Debug tuning against a real settings database in a temporary working folder.
// The class-wide values live for the whole process, so the test of the built-in
// defaults runs first.
#include "core/client/debug_tuning.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "core/client/fsm_shared.h"
#include "testing/test_support.h"

namespace {

class DebugTuningTest : public ::testing::Test {
 protected:
  std::shared_ptr<HXFSMShared> MakeFsm() {
    HXFSMShared::Env()->SetWorkingDir(dir.path());
    return std::make_shared<HXFSMShared>();
  }
  void TearDown() override { HX_DebugTuning::SetFSM(nullptr); }

  hx::testing::TempDir dir;
};

TEST_F(DebugTuningTest, WithoutSharedStateEveryValueIsItsDefault) {
  EXPECT_EQ(HX_DebugTuning::getVideoLevelMax(), 69);
  EXPECT_TRUE(HX_DebugTuning::getAutoVideoMode());
  EXPECT_EQ(HX_DebugTuning::getVideoFormat(), 0);
  EXPECT_EQ(HX_DebugTuning::getAudioFormat(), 0);
  EXPECT_TRUE(HX_DebugTuning::loadAudoVideoMode());

  uint8_t level = 7;
  int64_t format = 5;
  int32_t agc = 3;
  EXPECT_FALSE(HX_DebugTuning::loadVideoLevelMax(level));
  EXPECT_FALSE(HX_DebugTuning::loadVideoFormat(format));
  EXPECT_FALSE(HX_DebugTuning::loadAudioFormat(format));
  EXPECT_FALSE(HX_DebugTuning::loadGainControlCompressionDb(agc));
  EXPECT_EQ(level, 7);
  EXPECT_EQ(format, 5);
  EXPECT_EQ(agc, 3);

  // Without a shared state the instance's own flag answers, and nothing is
  // stored.
  HX_DebugTuning tuning;
  EXPECT_FALSE(tuning.loadDebugAudio());
  tuning.setDebugAudio(true);
  EXPECT_TRUE(tuning.loadDebugAudio());
  EXPECT_FALSE(__debugTuning.loadDebugAudio());
}

TEST_F(DebugTuningTest, SetFsmLoadsStoredValuesAndKeepsTheOthers) {
  auto fsm = MakeFsm();
  const uint32_t level = 0x12345628;  // only the low byte counts
  const uint8_t autoMode = 0;
  const int64_t video = -0x0102030405060708LL;
  const int32_t agc = -9;
  fsm->SaveParam("maxVideoLevel", &level, sizeof(level));
  fsm->SaveParam("autoVideoMode", &autoMode, sizeof(autoMode));
  fsm->SaveParam("videoFormat", &video, sizeof(video));
  fsm->SaveParam("agcCompressionDb", &agc, sizeof(agc));

  HX_DebugTuning::SetFSM(fsm);
  EXPECT_EQ(HX_DebugTuning::getVideoLevelMax(), 0x28);
  EXPECT_FALSE(HX_DebugTuning::getAutoVideoMode());
  EXPECT_EQ(HX_DebugTuning::getVideoFormat(), video);
  EXPECT_EQ(HX_DebugTuning::getAudioFormat(), 0);  // not stored: kept
  int32_t loadedAgc = 0;
  EXPECT_TRUE(HX_DebugTuning::loadGainControlCompressionDb(loadedAgc));
  EXPECT_EQ(loadedAgc, -9);

  // A shared state without the settings keeps the cached level and format, but
  // the automatic video mode is read anew and answers true when it is missing.
  fsm->RemoveParam("autoVideoMode");
  HX_DebugTuning::SetFSM(fsm);
  EXPECT_TRUE(HX_DebugTuning::getAutoVideoMode());
  fsm->RemoveParam("maxVideoLevel");
  fsm->RemoveParam("videoFormat");
  HX_DebugTuning::SetFSM(fsm);
  EXPECT_EQ(HX_DebugTuning::getVideoLevelMax(), 0x28);
  EXPECT_EQ(HX_DebugTuning::getVideoFormat(), video);
  uint8_t loadedLevel = 1;
  EXPECT_FALSE(HX_DebugTuning::loadVideoLevelMax(loadedLevel));
  EXPECT_EQ(loadedLevel, 1);
}

TEST_F(DebugTuningTest, AutoVideoModeIsFalseOnlyForAStoredZero) {
  auto fsm = MakeFsm();
  HX_DebugTuning::SetFSM(fsm);
  EXPECT_TRUE(HX_DebugTuning::loadAudoVideoMode());  // missing
  for (uint8_t stored : {0, 1, 2, 255}) {
    fsm->SaveParam("autoVideoMode", &stored, sizeof(stored));
    EXPECT_EQ(HX_DebugTuning::loadAudoVideoMode(), stored != 0) << int(stored);
  }
}

TEST_F(DebugTuningTest, DebugAudioIsStoredAsAFourByteFlag) {
  auto fsm = MakeFsm();
  HX_DebugTuning::SetFSM(fsm);
  HX_DebugTuning tuning;
  EXPECT_FALSE(tuning.loadDebugAudio());  // unreadable counts as 0
  tuning.setDebugAudio(true);
  int32_t stored = 0;
  ASSERT_TRUE(fsm->LoadParam("debugAudio", &stored, sizeof(stored)));
  EXPECT_EQ(stored, 1);
  EXPECT_TRUE(tuning.loadDebugAudio());
  EXPECT_TRUE(__debugTuning.loadDebugAudio());  // read from the database, not the instance

  struct Case {
    int32_t value;
    bool expected;
  } cases[] = {{-1, false}, {0, false}, {1, true}, {1000, true}, {INT32_MIN, false}};
  for (const Case &c : cases) {
    fsm->SaveParam("debugAudio", &c.value, sizeof(c.value));
    EXPECT_EQ(tuning.loadDebugAudio(), c.expected) << c.value;
  }
  tuning.setDebugAudio(false);
  ASSERT_TRUE(fsm->LoadParam("debugAudio", &stored, sizeof(stored)));
  EXPECT_EQ(stored, 0);
}

TEST_F(DebugTuningTest, SetFsmReleasesThePreviousState) {
  auto fsm = MakeFsm();
  std::weak_ptr<HXFSMShared> watched = fsm;
  HX_DebugTuning::SetFSM(std::move(fsm));
  EXPECT_FALSE(watched.expired());
  HX_DebugTuning::SetFSM(nullptr);
  EXPECT_TRUE(watched.expired());
}

TEST_F(DebugTuningTest, DebugFilesPathIsKeptPerInstance) {
  HX_DebugTuning tuning;
  EXPECT_EQ(tuning.debugFilesPath(), "");
  tuning.setDebugFilesPath("/tmp/audio");
  EXPECT_EQ(tuning.debugFilesPath(), "/tmp/audio");
  EXPECT_EQ(__debugTuning.debugFilesPath(), "");
}

}  // namespace
