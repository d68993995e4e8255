// A peer's capability container as the media format adapter takes it when a call's media is
// ready: the adapter connects with it (point to point, and as a conference), with and without a
// capture list and an HQ-auto choice, and works out the send format. Sizes, levels and rates
// from the peer must never divide by zero, overflow or leave a format without a picture.
#include <cstdint>
#include <cstdlib>

#include "core/media/format/media_format_adapter.h"
#include "core/media/video/capture_slot_list.h"
#include "core/wire/client_caps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HX_ClientCaps peer;
  peer.Set(data, size);
  HX_ClientCaps own;
  own.m_intCaps = HX_ClientCaps::kIntCapsFixedRcv;
  static HX_VideoCaptureSlotList* list = [] {
    auto* l = new HX_VideoCaptureSlotList(69);
    HX_VideoCaptureCaps caps;
    HX_CaptureMode mode;
    mode.width = 1280;
    mode.height = 720;
    mode.frameRates = {15, 30};
    caps.modes = {mode};
    l->SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
    return l;
  }();
  for (int round = 0; round < 4; ++round) {
    HX_MediaFormatManagerAdapter adapter([] { return int64_t{0}; });
    HX_SysPerformanceState bench;
    bench.sendLevel = round % 2 ? 69 : 0;
    adapter.SetSysBenchmarkResult(bench);
    adapter.SetUseHDInput(round > 1);
    adapter.SetResolutionConferenceVideoLimit(3600);
    adapter.SetFpsConferenceLimit(1500);
    adapter.SetCaptureList(list);
    adapter.SetConnection(&peer, &own, round < 2);
    unsigned char level = 0;
    adapter.SetBitrate(round * 700);
    HX_MediaFormat f = adapter.RequestMediaFormat(level);
    if (round < 2 && (f.width == 0 || f.height == 0)) std::abort();
    adapter.Reset();
    f = adapter.RequestMediaFormat(level);
  }
  return 0;
}
