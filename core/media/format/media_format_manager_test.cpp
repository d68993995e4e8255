// The media format manager on its own: the idle and active choices over a real level table, real
// automatic ladders, a real capture slot list and real capability records that go through their
// serialised form (what a peer sends). A codec factory subclass answers hardware H.264 and
// records its calls, to reach the hardware branches.

#include "core/media/format/media_format_manager.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "core/client/debug_tuning.h"
#include "core/media/video/capture_slot_list.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/wire/client_caps.h"

namespace {

constexpr uint32_t kVP8 = HX_MediaFormat::kCodecVP8;
constexpr uint32_t kH264 = HX_MediaFormat::kCodecH264;

HX_CaptureMode Mode(int w, int h, float fps) {
  HX_CaptureMode m;
  m.width = w;
  m.height = h;
  m.frameRates = {fps / 2, fps};
  return m;
}

// What a peer sends: the record serialised and read back as the receiving side does.
HX_ClientCaps OverTheWire(const HX_ClientCaps& caps) {
  uint8_t* buffer = nullptr;
  size_t length = 0;
  EXPECT_TRUE(caps.Get(buffer, length));
  HX_ClientCaps read;
  read.Set(buffer, length);
  std::free(buffer);
  return read;
}

HX_MediaFormat Format(uint32_t w, uint32_t h, uint32_t codec = kVP8, uint32_t fps = 30) {
  HX_MediaFormat f;
  f.width = w;
  f.height = h;
  f.videoCodec = codec;
  f.frameRate = fps;
  return f;
}

class HardwareFactory : public HX_VideoCodecFactory {
 public:
  bool IsSupportHardware(uint32_t fcc, bool encoder, bool decoder,
                         hx_vfactory_defs::eHardwareCodec& kind) override {
    calls.push_back({fcc, encoder, decoder});
    if (fcc != kH264) return false;
    kind = static_cast<hx_vfactory_defs::eHardwareCodec>(5);
    return true;
  }
  bool IsSupportHardwarePref(uint32_t fcc, bool, bool decoder,
                             hx_vfactory_defs::eHardwareCodec kind) override {
    prefCalls.push_back({fcc, kind, decoder});
    return fcc == kH264 && kind == 5;
  }
  struct Call {
    uint32_t fcc;
    bool encoder;
    bool decoder;
  };
  struct PrefCall {
    uint32_t fcc;
    uint32_t kind;
    bool decoder;
  };
  std::vector<Call> calls;
  std::vector<PrefCall> prefCalls;
};

class MediaFormatManagerTest : public ::testing::Test {
 protected:
  MediaFormatManagerTest() {
    m.SetControlExternal(eCtrlLevelTable, static_cast<void*>(&levels));
    m.ResetConnection();
  }
  void Bench(uint8_t sendLevel) { m.SetControlExternal(eCtrlSndLevel, sendLevel); }
  void Camera() {
    caps.modes = {Mode(640, 480, 30), Mode(1280, 720, 30)};
    list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
    ASSERT_TRUE(list.IsValid());
    m.SetControlExternal(eCtrlCaptureList, static_cast<void*>(&list));
  }
  void Screen() {
    caps.screenCapture = true;
    caps.modes = {Mode(1920, 1080, 30)};
    list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
    ASSERT_TRUE(list.IsValid());
    m.SetControlExternal(eCtrlCaptureList, static_cast<void*>(&list));
  }
  // A point-to-point peer that takes a changing format, at receive level `level`.
  void ConnectP2P(uint8_t level, int clientType = 0, bool h264 = false) {
    HX_ClientCaps peer;
    peer.m_videoRcv = 0x8;
    peer.m_level = level;
    peer.m_clientType = clientType;
    if (h264) {
      const uint32_t codecs[] = {kVP8, kH264};
      peer.SetVideoCodecs(codecs, 2);
    }
    HX_ClientCaps own;
    own.SetMediaFormat(Format(640, 360));
    const HX_ClientCaps wire = OverTheWire(peer);
    m.SetConnection(&wire, &own, true);
  }
  uint8_t Choose(HX_MediaFormat in, HX_MediaFormat& out) {
    unsigned char level = 0;
    m.GetMediaFormat(&in, &out, &level);
    return level;
  }

  kn_VideoLevelCaps levels;
  kn_AutoLevelCaps ladders;
  HX_MediaFormatManager m;
  HX_VideoCaptureSlotList list{69};
  HX_VideoCaptureCaps caps;
};

TEST_F(MediaFormatManagerTest, ConstructionAndReset) {
  HX_MediaFormatManager fresh;
  EXPECT_TRUE(fresh.GetUseHQAuto());
  EXPECT_FALSE(fresh.IsManagerConnected());
  EXPECT_EQ(fresh.GetCurrentFormat().size, 44u);
  EXPECT_EQ(fresh.GetCurrentFormat().width, 0u);
  EXPECT_EQ(fresh.GetForcedFormat().videoCodec, 0u);
  EXPECT_EQ(fresh.GetLastBitrate(), 128);
  EXPECT_EQ(fresh.GetStoredBitrateLevel(), 32);

  ConnectP2P(51, 3, true);
  HX_MediaFormat forced;
  m.SetControlExternal(eCtrlForceSndFormat, static_cast<void*>(&forced));
  EXPECT_TRUE(m.GetForceSndFormat());
  EXPECT_TRUE(m.IsManagerConnected());
  m.ResetConnection();
  EXPECT_EQ(m.GetBitrateValue(), 128);
  EXPECT_EQ(m.GetLastBitrate(), 128);
  EXPECT_EQ(m.GetStoredBitrateLevel(), 32);
  EXPECT_TRUE(m.GetRcvDynamicFmt());
  EXPECT_FALSE(m.GetFixedRcvFormat() || m.GetCanRcvH264() || m.GetCanRcvH265() ||
               m.GetForceSndFormat() || m.GetCanRcvStereo());
  EXPECT_EQ(m.GetMulCaps(), 2u);
  EXPECT_EQ(m.GetLastFps(), 3000);
  EXPECT_EQ(m.GetConfType(), 0);
  EXPECT_EQ(m.GetRcvResolutionLimit(), 0u);
  EXPECT_FALSE(m.IsManagerConnected());
  EXPECT_EQ(m.GetPeerRcvLevel(), 0);
  EXPECT_EQ(m.GetPeerClientType(), 0);
  EXPECT_EQ(m.GetCurrentFormat().width, 0u);
  EXPECT_EQ(m.GetCurrentFormat().size, 44u);
}

TEST_F(MediaFormatManagerTest, ResetForgetsTheCaptureList) {
  Camera();
  HX_MediaFormat out;
  Choose(Format(320, 240), out);  // idle automatic camera: the capture size of level 91
  EXPECT_NE(out.width, 320u);
  m.ResetConnection();
  Choose(Format(320, 240), out);
  EXPECT_EQ(out.width, 320u);
  EXPECT_EQ(out.height, 240u);
}

// The idle choices, one row each.
TEST_F(MediaFormatManagerTest, IdleChoices) {
  struct Row {
    const char* name;
    bool hqAuto, extStereo, useStereo, screen, capture;
    int srvFps, extFps;
    uint32_t srvRes, extRes;
    uint32_t w, h, fps, stereo;
    int level;  // -1: the automatic level, checked separately
  };
  kn_AutoModeDesc_t top{};
  ASSERT_TRUE(ladders.GetLevelDesc(91, 0, &top));
  const uint32_t packed640 = 640u << 16 | 360, packed320 = 320u << 16 | 240;
  const Row rows[] = {
      {"plain", false, false, false, false, false, 0, 0, 0, 0, 640, 360, 30, 0, 36},
      {"server fps", false, false, false, false, false, 1500, 0, 0, 0, 640, 360, 15, 0, -2},
      {"ext fps", false, false, false, false, false, 0, 12, 0, 0, 640, 360, 12, 0, -2},
      {"server size wins", false, false, false, false, false, 0, 0, packed320, packed640, 320, 240,
       30, 0, -2},
      {"ext size", false, false, false, false, false, 0, 0, 0, packed320, 320, 240, 30, 0, -2},
      {"auto server fps", true, false, false, false, false, 1500, 7, 0, 0, 640, 360, 15, 0, 91},
      {"auto ext fps", true, false, false, false, false, 0, 7, 0, 0, 640, 360, 7, 0, 91},
      {"auto camera", true, false, false, false, false, 0, 0, 0, 0, 640, 360,
       static_cast<uint32_t>(top.frameRate), 0, 91},
      {"auto camera stereo", true, false, true, false, false, 0, 0, 0, 0, 640, 720,
       static_cast<uint32_t>(top.frameRate), 1, 91},
      {"auto camera capture", true, false, false, false, true, 0, 0, 0, 0, 0, 0,
       static_cast<uint32_t>(top.frameRate), 0, 91},
      {"auto screen no list", true, false, false, true, false, 0, 0, 0, 0, 640, 360, 30, 0, -1},
      {"auto screen list", true, false, false, true, true, 0, 0, 0, 0, 0, 0, 0, 0, -1},
      {"ext stereo ignores server fps", false, true, true, false, false, 1500, 0, 0, 0, 640, 720,
       30, 1, -2},
      {"ext stereo ext fps", false, true, false, false, false, 1500, 20, packed640, packed320, 320,
       240, 20, 0, -2},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    HX_MediaFormatManager mgr;
    mgr.SetControlExternal(eCtrlLevelTable, static_cast<void*>(&levels));
    mgr.ResetConnection();
    mgr.SetControlExternal(eCtrlSndLevel, 60);
    mgr.SetControlExternal(eCtrlHQAuto, r.hqAuto ? 1 : 0);
    mgr.SetControlExternal(eCtrlExtStereo, r.extStereo ? 1 : 0);
    mgr.SetControlExternal(eCtrlCaptureStereo, r.useStereo ? 1 : 0);
    mgr.SetControlExternal(eCtrlSrvFps, r.srvFps);
    mgr.SetControlExternal(eCtrlExtFps, r.extFps);
    mgr.SetControlExternal(eCtrlSrvResolution, static_cast<int>(r.srvRes));
    mgr.SetControlExternal(eCtrlExtResolution, static_cast<int>(r.extRes));
    HX_VideoCaptureSlotList rowList(69);
    HX_VideoCaptureCaps rowCaps;
    rowCaps.screenCapture = r.screen;
    rowCaps.modes = {r.screen ? Mode(1920, 1080, 30) : Mode(1280, 720, 30)};
    rowList.SetVideoCaptureCaps(&rowCaps, eHQAutoSchemeStandard);
    if (r.capture || r.screen)
      mgr.SetControlExternal(eCtrlCaptureList, static_cast<void*>(&rowList));
    if (r.screen && !r.capture) {
      // Without a list the flag of the last known list stays: a screen grabber whose list is
      // not handed yet.
      mgr.SetControlExternal(eCtrlCaptureList, static_cast<void*>(nullptr));
      mgr.SetScreenCapture(true);
    }
    uint32_t signalled = 0;
    struct Sink {
      uint32_t* out;
      void On(uint32_t, uint32_t, uint32_t fps100) { *out = fps100; }
    } sink{&signalled};
    mgr.m_formatSignal.Connect(&sink, &Sink::On);
    HX_MediaFormat in = Format(640, 360, kH264, 25);
    in.hardwareCodec = 3;
    in.svcMode = 2;
    HX_MediaFormat out;
    unsigned char level = 0;
    const bool automatic = mgr.GetMediaFormat(&in, &out, &level);
    EXPECT_EQ(automatic, r.hqAuto);
    EXPECT_EQ(out.hardwareCodec, 0u);
    EXPECT_EQ(out.svcMode, 0u);
    EXPECT_EQ(out.stereo, r.stereo);
    EXPECT_EQ(signalled, out.frameRate * 100);
    const bool screenList = r.screen && r.capture;
    const HX_VideoCaptureModeDesc desc = rowList.GetLevelDesc(level, false);
    if (screenList) {
      const uint8_t bench = std::min<uint8_t>(60, HX_DebugTuning::getVideoLevelMax());
      EXPECT_EQ(level, levels.CheckLevel(bench));
      kn_levelVideo_t row{};
      ASSERT_TRUE(levels.GetLevelDesc(level, &row));
      EXPECT_EQ(out.width, static_cast<uint32_t>(desc.width));
      EXPECT_EQ(out.frameRate, static_cast<uint32_t>(std::min(30, row.maxMBps / desc.mbPerFrame)));
      EXPECT_EQ(out.videoCodec, kVP8);
      continue;
    }
    if (r.capture) {
      EXPECT_EQ(out.width, static_cast<uint32_t>(rowList.GetLevelDesc(91, false).width));
      EXPECT_EQ(out.height, static_cast<uint32_t>(rowList.GetLevelDesc(91, false).height));
    } else {
      EXPECT_EQ(out.width, r.w);
      EXPECT_EQ(out.height, r.h);
    }
    EXPECT_EQ(out.frameRate, r.fps);
    if (r.hqAuto && !r.screen)
      EXPECT_EQ(out.videoCodec, top.codec);
    else
      EXPECT_EQ(out.videoCodec, kVP8);
    if (r.level == -2) {
      EXPECT_EQ(level, levels.MBps2Level(static_cast<int>(
                           (out.width * out.frameRate * (out.height >> out.stereo)) >> 8)));
    } else if (r.level == -1) {
      EXPECT_EQ(level,
                levels.CheckLevel(std::min<uint8_t>(60, HX_DebugTuning::getVideoLevelMax())));
    } else {
      EXPECT_EQ(level, r.level);
    }
  }
}

TEST_F(MediaFormatManagerTest, BitrateLevelClimbsAtStepMaximumAndFallsAtStepMinimum) {
  // The edge case: 128, 800, 2000 kbit/s give 32, 47, 63.
  EXPECT_EQ(m.CheckBitrate(128), 32);
  EXPECT_EQ(m.CheckBitrate(800), 47);
  EXPECT_EQ(m.CheckBitrate(2000), 63);
  EXPECT_EQ(m.CheckBitrate(2000), 63);  // same rate: unchanged

  m.ResetConnection();
  kn_AutoModeDesc_t step{};
  ASSERT_TRUE(ladders.GetLevelDesc(32, 0, &step));
  EXPECT_EQ(m.CheckBitrate(step.maxBitrate - 1), 32);  // below the maximum: stays
  const uint8_t up = m.CheckBitrate(step.maxBitrate);
  EXPECT_GT(up, 32);
  kn_AutoModeDesc_t upper{};
  ASSERT_TRUE(ladders.GetLevelDesc(up, 0, &upper));
  EXPECT_EQ(m.CheckBitrate(upper.minBitrate + 1), up);  // falling but above the minimum: stays
  EXPECT_LT(m.CheckBitrate(upper.minBitrate), up);      // at the minimum: falls
}

TEST_F(MediaFormatManagerTest, ActiveAutomaticCameraFollowsPeerLevelAndBitrate) {
  Bench(63);
  m.SetControlExternal(eCtrlAllowHD, 1);
  ConnectP2P(51);
  ASSERT_TRUE(m.GetRcvDynamicFmt());
  HX_MediaFormat out;
  uint8_t chosen = 0;
  for (int rate : {128, 800, 2000}) {
    m.SetControlExternal(eCtrlBitrate, rate);
    chosen = Choose(Format(640, 360), out);
  }
  EXPECT_EQ(m.GetStoredBitrateLevel(), 63);
  EXPECT_EQ(chosen, 47);
  EXPECT_EQ(out.videoCodec, kVP8);
  EXPECT_EQ(out.frameRate, 30u);
  EXPECT_EQ(out.hardwareCodec, 0u);
  EXPECT_TRUE(m.GetHQAutoCurrent());
}

TEST_F(MediaFormatManagerTest, AllowHDFalseCapsAutomaticLevelsAt47) {
  HX_MediaFormat out;
  Bench(69);
  ConnectP2P(89);
  m.SetControlExternal(eCtrlBitrate, 20000);
  m.SetControlExternal(eCtrlAllowHD, 0);
  EXPECT_EQ(Choose(Format(640, 360), out), 47);
  m.SetControlExternal(eCtrlAllowHD, 1);
  EXPECT_GT(Choose(Format(640, 360), out), 47);
  // Screen capture too.
  Screen();
  m.SetControlExternal(eCtrlAllowHD, 0);
  EXPECT_EQ(Choose(Format(640, 360), out), 47);
  EXPECT_TRUE(m.GetScreenCapture());
}

TEST_F(MediaFormatManagerTest, ActiveScreenCaptureRaisesFrameRateToFive) {
  Bench(10);  // a slow device: level 10 cannot give 5 frames of 1920x1080 a second
  ConnectP2P(89);
  Screen();
  HX_MediaFormat out;
  EXPECT_EQ(Choose(Format(640, 360), out), 10);
  EXPECT_EQ(out.frameRate, 5u);
  EXPECT_EQ(out.videoCodec, kVP8);
  EXPECT_EQ(static_cast<int>(out.width), list.GetLevelDesc(91, false).width);
}

TEST_F(MediaFormatManagerTest, HardwareEncoderLiftsCeilingOnlyNearTheBenchLevel) {
  HardwareFactory factory;
  m.SetControlExternal(eCtrlCodecFactory, static_cast<void*>(&factory));
  m.SetControlExternal(eCtrlAllowHD, 1);
  m.SetControlExternal(eCtrlBitrate, 20000);
  HX_MediaFormat out;

  // Bench 30, peer 89: the hardware encoder lifts the ceiling past the bench level.
  Bench(30);
  ConnectP2P(89, 3, true);
  const uint8_t level = Choose(Format(640, 360), out);
  ASSERT_FALSE(factory.calls.empty());
  EXPECT_EQ(factory.calls.back().fcc, kH264);
  EXPECT_TRUE(factory.calls.back().encoder);
  EXPECT_TRUE(factory.calls.back().decoder);  // client type 3
  EXPECT_GT(level, 33);
  kn_AutoModeDesc_t step{};
  ASSERT_TRUE(ladders.GetLevelDesc(level, 1, &step));
  EXPECT_EQ(out.videoCodec, step.codec);
  EXPECT_EQ(out.hardwareCodec, 5u);

  // Bench 69, peer 51: level 47, 47 + 3 is not above 69: column 0 and no hardware codec.
  Bench(69);
  ConnectP2P(51, 1, true);
  EXPECT_EQ(Choose(Format(640, 360), out), 47);
  EXPECT_FALSE(factory.calls.back().decoder);
  EXPECT_EQ(out.videoCodec, kVP8);
  EXPECT_EQ(out.hardwareCodec, 0u);

  // A peer without H.264: the factory is not asked.
  const size_t asked = factory.calls.size();
  ConnectP2P(89, 1, false);
  Choose(Format(640, 360), out);
  EXPECT_EQ(factory.calls.size(), asked);
  EXPECT_EQ(out.hardwareCodec, 0u);
}

TEST_F(MediaFormatManagerTest, ForcedFormatH264BecomesVP8ForClientTypes3And6) {
  for (int type : {1, 3, 6}) {
    SCOPED_TRACE(type);
    ConnectP2P(51, type, true);
    HX_MediaFormat forced = Format(1280, 720, kH264, 24);
    forced.stereo = 0;
    forced.hardwareCodec = 7;
    m.SetControlExternal(eCtrlForceSndFormat, static_cast<void*>(&forced));
    HX_MediaFormat out;
    Choose(Format(640, 360), out);
    EXPECT_FALSE(m.GetHQAutoCurrent());
    EXPECT_EQ(out.width, 1280u);
    EXPECT_EQ(out.height, 720u);
    EXPECT_EQ(out.frameRate, 24u);
    EXPECT_EQ(out.hardwareCodec, 7u);
    EXPECT_EQ(out.videoCodec, type == 1 ? kH264 : kVP8);
  }
}

TEST_F(MediaFormatManagerTest, ActiveExtStereoAndStereoDoubling) {
  HX_ClientCaps peer;
  peer.m_videoRcv = 0x8 | 0x10;  // takes stereo video (0x210)
  HX_ClientCaps own;
  own.SetMediaFormat(Format(640, 360, kVP8, 20));
  HX_ClientCaps wire = OverTheWire(peer);
  m.SetConnection(&wire, &own, true);
  ASSERT_TRUE(m.GetCanRcvStereo());
  m.SetControlExternal(eCtrlExtStereo, 1);
  m.SetControlExternal(eCtrlCaptureStereo, 1);
  HX_MediaFormat out;
  Choose(Format(640, 360), out);
  EXPECT_EQ(out.stereo, 1u);
  EXPECT_EQ(out.width, 640u);
  EXPECT_EQ(out.height, 720u);    // the two views stacked
  EXPECT_EQ(out.frameRate, 20u);  // the current format's
  m.SetControlExternal(eCtrlExtFps, 12);
  m.SetControlExternal(eCtrlExtResolution, static_cast<int>(320u << 16 | 180));
  Choose(Format(640, 360), out);
  EXPECT_EQ(out.frameRate, 12u);
  EXPECT_EQ(out.height, 360u);
}

TEST_F(MediaFormatManagerTest, ConferenceCases) {
  HX_ClientCaps peer, own;
  own.SetMediaFormat(Format(800, 448, kVP8, 25));
  HX_MediaFormat out;

  // Capture unknown: the current format.
  m.SetConnection(&peer, &own, false);
  EXPECT_EQ(m.GetPeerRcvLevel(), 51);
  EXPECT_TRUE(m.GetFixedRcvFormat());
  EXPECT_EQ(m.GetMulCaps(), 8u);
  Choose(Format(640, 360, kH264, 10), out);
  EXPECT_EQ(out.width, 800u);
  EXPECT_EQ(out.videoCodec, kVP8);
  EXPECT_EQ(out.frameRate, 25u);

  // Server size limit.
  Camera();
  m.SetControlExternal(eCtrlSrvResolution, static_cast<int>(320u << 16 | 240));
  Choose(Format(640, 360, kH264, 10), out);
  EXPECT_EQ(out.width, 320u);
  EXPECT_EQ(out.height, 240u);
  EXPECT_EQ(out.frameRate, 25u);
  m.SetControlExternal(eCtrlSrvResolution, 0);

  // HQ-auto camera: 3600 macroblocks at 15 frames per second is level 51.
  Bench(63);
  m.SetControlExternal(eCtrlCnfVideoResolution, 3600);
  m.SetControlExternal(eCtrlCnfFps, 1500);
  EXPECT_EQ(levels.MBps2Level(54000), 51);
  EXPECT_EQ(Choose(Format(640, 360, kH264, 10), out), 51);
  const HX_VideoCaptureModeDesc d51 = list.GetLevelDesc(51, false);
  EXPECT_EQ(static_cast<int>(out.width), d51.width);
  EXPECT_EQ(static_cast<int>(out.height), d51.height);
  EXPECT_EQ(static_cast<int>(out.frameRate), std::min(d51.mbPerSecond / d51.mbPerFrame, 15));
  EXPECT_EQ(out.videoCodec, kVP8);

  // Not HQ-auto: size and codec kept, frame rate of current.
  m.SetControlExternal(eCtrlHQAuto, 0);
  Choose(Format(640, 360, kH264, 10), out);
  EXPECT_EQ(out.width, 640u);
  EXPECT_EQ(out.videoCodec, kH264);
  EXPECT_EQ(out.frameRate, 25u);
}

// A device that never ran the benchmark has bench level 0, which has no capture descriptor.
// Joining a conference with HQ-auto and a camera (or sharing a screen) keeps the current format
// instead of dividing by the descriptor's zero macroblocks per frame.
TEST_F(MediaFormatManagerTest, ConferenceWithoutBenchmarkKeepsCurrentFormat) {
  for (bool screen : {false, true}) {
    SCOPED_TRACE(screen);
    HX_MediaFormatManager mgr;
    mgr.SetControlExternal(eCtrlLevelTable, static_cast<void*>(&levels));
    mgr.ResetConnection();
    HX_SysPerformanceState zero;
    mgr.SetControlExternal(eCtrlSysBenchmark, static_cast<void*>(&zero));
    HX_VideoCaptureSlotList rowList(69);
    HX_VideoCaptureCaps rowCaps;
    rowCaps.screenCapture = screen;
    rowCaps.modes = {Mode(1280, 720, 30)};
    rowList.SetVideoCaptureCaps(&rowCaps, eHQAutoSchemeStandard);
    ASSERT_TRUE(rowList.IsValid());
    ASSERT_EQ(rowList.GetLevelDesc(0, false).mbPerFrame, 0);
    HX_ClientCaps peer, own;
    own.SetMediaFormat(Format(640, 360, kVP8, 25));
    mgr.SetConnection(&peer, &own, false);
    mgr.SetControlExternal(eCtrlCaptureList, static_cast<void*>(&rowList));
    mgr.SetControlExternal(eCtrlCnfVideoResolution, 3600);
    mgr.SetControlExternal(eCtrlCnfDsResolution, 0);  // MBps2Level(0) = 10 for the screen
    mgr.SetControlExternal(eCtrlCnfFps, 1500);
    HX_MediaFormat in = Format(1920, 1080, kH264, 10), out;
    unsigned char level = 0;
    mgr.GetMediaFormat(&in, &out, &level);
    if (!screen) {
      EXPECT_EQ(out.width, 640u);
      EXPECT_EQ(out.height, 360u);
      EXPECT_EQ(out.videoCodec, kVP8);
      EXPECT_EQ(out.frameRate, 25u);
      EXPECT_EQ(level, ladders.CheckLevel(levels.MB2Level((640 * 360) >> 8)));
    } else {
      EXPECT_GE(out.frameRate, 1u);  // a real descriptor of level 10: no division by zero
    }
  }
}

TEST_F(MediaFormatManagerTest, PointToPointDynamicAndFixed) {
  HardwareFactory factory;
  m.SetControlExternal(eCtrlCodecFactory, static_cast<void*>(&factory));
  HX_MediaFormat out;

  // Dynamic with a server size limit: the requested codec, its hardware kind when preferred.
  ConnectP2P(51, 6, true);
  m.SetControlExternal(eCtrlSrvResolution, static_cast<int>(1280u << 16 | 720));
  m.SetControlExternal(eCtrlSrvFps, 2000);
  m.SetControlExternal(eCtrlVideoCodec, static_cast<int>(kH264));
  m.SetControlExternal(eCtrlVideoHardware, 5);
  Choose(Format(320, 240), out);
  EXPECT_EQ(out.width, 1280u);
  EXPECT_EQ(out.frameRate, 20u);
  EXPECT_EQ(out.videoCodec, kH264);
  EXPECT_EQ(out.hardwareCodec, 5u);
  ASSERT_EQ(factory.prefCalls.size(), 1u);
  EXPECT_TRUE(factory.prefCalls[0].decoder);  // client type 6
  EXPECT_EQ(out.stereo, 0u);

  // The peer does not take H.264: the current codec, and no hardware kind for it.
  ConnectP2P(51, 1, false);
  Choose(Format(320, 240), out);
  EXPECT_EQ(out.videoCodec, kVP8);
  EXPECT_EQ(out.hardwareCodec, 0u);

  // Dynamic without a size limit: current's size, requested codec, worked-out frame rate.
  m.SetControlExternal(eCtrlSrvResolution, 0);
  Choose(Format(320, 240), out);
  EXPECT_EQ(out.width, 640u);
  EXPECT_EQ(out.videoCodec, kH264);
  EXPECT_EQ(out.frameRate, 20u);
  EXPECT_EQ(Choose(Format(320, 240), out), ladders.CheckLevel(levels.MB2Level(900)));

  // Fixed (not dynamic): current's size and frame rate.
  HX_ClientCaps peer, own;
  peer.m_videoRcv = 1;
  own.SetMediaFormat(Format(480, 272, kVP8, 12));
  m.SetConnection(&peer, &own, true);
  m.SetControlExternal(eCtrlVideoCodec, 0);
  Choose(Format(320, 240), out);
  EXPECT_EQ(out.width, 480u);
  EXPECT_EQ(out.frameRate, 12u);
  EXPECT_EQ(out.videoCodec, kVP8);
}

TEST_F(MediaFormatManagerTest, SetConnectionFromWireRecords) {
  struct Row {
    int32_t videoRcv, strmDirC;
    bool dynamic, stereo;
    uint32_t mul;
  };
  const Row rows[] = {
      {0x1, 0, false, false, 1},    {0x8, 0, true, false, 1},   {0x20, 0, false, false, 3},
      {0x1, 0x4, false, false, 3},  {0x80, 0, false, false, 5}, {0x100, 0, false, false, 9},
      {0x210, 0, false, true, 1},   {0x10, 0, false, true, 1},  {0x200, 0, false, true, 1},
      {0x3B8, 0x4, true, true, 15},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.videoRcv);
    HX_ClientCaps peer;
    peer.m_videoRcv = r.videoRcv;
    peer.m_streamsDirCon = r.strmDirC;
    HX_ClientCaps wire = OverTheWire(peer), own;
    m.SetConnection(&wire, &own, true);
    EXPECT_EQ(m.GetRcvDynamicFmt(), r.dynamic);
    EXPECT_EQ(m.GetCanRcvStereo(), r.stereo);
    EXPECT_EQ(m.GetMulCaps(), r.mul);
    EXPECT_EQ(m.GetConfType(), 0);
  }

  HX_ClientCaps peer, own;
  peer.m_rating = 500;
  peer.m_clientType = 6;
  peer.m_screenWidth = 1280;
  peer.m_screenHeight = 720;
  const uint32_t codecs[] = {kH264, HX_MediaFormat::kCodecH265};
  peer.SetVideoCodecs(codecs, 2);
  own.SetMediaFormat(Format(1280, 720, kH264, 15));
  HX_ClientCaps wire = OverTheWire(peer);
  const HX_MediaFormat current = m.SetConnection(&wire, &own, true);
  EXPECT_EQ(current.width, 1280u);
  EXPECT_EQ(current.frameRate, 15u);
  EXPECT_EQ(m.GetPeerRcvLevel(), levels.Rating2LevelRcv(500));
  EXPECT_EQ(m.GetPeerClientType(), 6);
  EXPECT_EQ(m.GetRcvResolutionLimit(), 1280u << 16 | 720);
  EXPECT_TRUE(m.GetCanRcvH264());
  EXPECT_TRUE(m.GetCanRcvH265());
  EXPECT_FALSE(m.GetFixedRcvFormat());

  // "Level" beats "Rating"; a peer with a fixed receive format and an own record that can serve it.
  peer.m_level = 40;
  peer.SetMediaFormatRcv(Format(352, 288));
  own.m_intCaps = HX_ClientCaps::kIntCapsFixedRcv;
  wire = OverTheWire(peer);
  m.SetConnection(&wire, &own, true);
  EXPECT_EQ(m.GetPeerRcvLevel(), 40);
  EXPECT_TRUE(m.GetFixedRcvFormat());
  own.m_intCaps = 0;
  m.SetConnection(&wire, &own, true);
  EXPECT_FALSE(m.GetFixedRcvFormat());
}

TEST_F(MediaFormatManagerTest, RestrictRcvScreenResolution) {
  struct Row {
    uint32_t limit, w, h, ow, oh;
  };
  const uint32_t hd = 1280u << 16 | 720;
  const Row rows[] = {
      {hd, 1920, 1080, 1280, 720},
      {hd, 1080, 1920, 405, 720},
      {hd, 640, 360, 640, 360},
      {1280u << 16, 1920, 1080, 1920, 1080},  // only a width: no limit
      {720u, 1920, 1080, 1920, 1080},         // only a height: no limit
      {0, 1920, 1080, 1920, 1080},
      {1u << 16 | 1000, 640, 360, 16, 16},  // never below 16 on either side
  };
  for (const Row& r : rows) {
    uint32_t w = r.w, h = r.h;
    HX_MediaFormatManager::RestrictRcvScreenResolution(r.limit, w, h);
    EXPECT_EQ(w, r.ow) << r.limit << " " << r.w << "x" << r.h;
    EXPECT_EQ(h, r.oh) << r.limit << " " << r.w << "x" << r.h;
  }
}

// A peer that sends "ScreenWidth" without "ScreenHeight" (or the other way round) must not shrink
// the send format to nothing for the whole call; hostile numbers must not trap either.
TEST_F(MediaFormatManagerTest, HostilePeerRecordsKeepAUsableFormat) {
  Bench(69);
  Camera();
  struct Row {
    int32_t screenW, screenH, level, rating, videoRcv, clientType;
  };
  const Row rows[] = {
      {1280, 0, 51, 0, 0x8, 0},
      {0, 720, 51, 0, 0x8, 0},
      {INT32_MAX, INT32_MIN, 1000, INT32_MIN, -1, INT32_MAX},
      {-1, -1, -5, INT32_MAX, 0x8, 3},
      {0, 0, 0, 0, 0, 0},
      {1, 1000, 89, 0, 0x8, 0},  // a screen one pixel wide
      {2000, 1, 89, 0, 0x8, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.screenW);
    HX_ClientCaps peer, own;
    peer.m_screenWidth = r.screenW;
    peer.m_screenHeight = r.screenH;
    peer.m_level = r.level;
    peer.m_rating = r.rating;
    peer.m_videoRcv = r.videoRcv;
    peer.m_clientType = r.clientType;
    own.SetMediaFormat(Format(640, 360));
    HX_ClientCaps wire = OverTheWire(peer);
    m.SetConnection(&wire, &own, true);
    m.SetControlExternal(eCtrlCaptureList, static_cast<void*>(&list));
    HX_MediaFormat out;
    Choose(Format(640, 360), out);
    EXPECT_GE(out.width, 16u);
    EXPECT_GE(out.height, 16u);
  }
}

TEST_F(MediaFormatManagerTest, SmallHelpers) {
  EXPECT_EQ(HX_MediaFormatManager::GetResolution(1280, 720), 1280u << 16 | 720);
  EXPECT_EQ(HX_MediaFormatManager::GetWidth(1280u << 16 | 720), 1280u);
  EXPECT_EQ(HX_MediaFormatManager::GetHeight(1280u << 16 | 720), 720u);
  uint32_t w = 641, h = 359;
  HX_MediaFormatManager::FixMultiplicityResolution(w, h, 15);
  EXPECT_EQ(w, 656u);
  EXPECT_EQ(h, 368u);
  w = 1280, h = 720;
  HX_MediaFormatManager::CorrectAspectRatioResolution(900, w, h, 4096);  // 900 MB at 16:9
  EXPECT_EQ(w, 640u);
  EXPECT_EQ(h, 360u);
  w = 0, h = 720;
  HX_MediaFormatManager::CorrectAspectRatioResolution(900, w, h, 4096);
  EXPECT_EQ(w, 0u);
  EXPECT_EQ(h, 720u);
  EXPECT_EQ(m.GetSndLevel(true, 10), ladders.GetMaxLevel());
  EXPECT_EQ(m.GetSndLevel(false, 250), HX_DebugTuning::getVideoLevelMax());
}

}  // namespace
