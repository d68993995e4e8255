// A peer's capability container as the client keeps it and chooses stream formats from it: the
// record goes into the store of peers' capabilities, a conference type is asked for both
// directions as owner or as participant, and the chosen records size the meeting tools' video
// source. The first 44 bytes also serve as a raw send format of a second peer (any size at all),
// and the whole input as the peer's bitstream.
//
// A video source never holds more than one 8192 x 8192 picture, and never a buffer of a size
// other than the format's 4:2:0 picture or the default 320 x 240.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <utility>

#include "core/client/best_media_format.h"
#include "core/client/meeting_tools.h"
#include "core/media/video/capture_slot_file.h"
#include "core/wire/client_caps.h"

namespace {

class Tools : public HX_MeetingToolsFactory {
 public:
  void OnRequestMediaManagerAdapter(std::shared_ptr<HX_MediaFormatManagerAdapter>&) override {}
  void OnReleaseHardwareSender() override {}
  void OnReleaseHardwareReceiver(const char*) override {}
  void OnRequestMeetingCaps(const char*, const char*, HX_ClientCaps&) override {}
  HXCapabilites GetCapabilites() override { return HXCapabilites(); }
  void OnRequestAudioRecord(const HX_ClientCaps&, std::shared_ptr<HXAudioRecordBase>&) override {}
  void OnRequestVideoRender(const char*, const HX_ClientCaps&,
                            std::shared_ptr<HXVideoRenderBase>&) override {}
};

// Sizes one video source per distinct send size of the input (a source of the largest size is
// 96 MiB: the same one again would only slow the run down).
void CheckSource(Tools& tools, const HX_ClientCaps& caps,
                 std::set<std::pair<uint32_t, uint32_t>>& seen) {
  constexpr unsigned long kLargest = 8192ul * 8192 * 3 / 2;
  HX_MediaFormat format;
  caps.GetMediaFormat(format);
  if (!seen.emplace(format.width, format.height).second) return;
  const std::shared_ptr<HX_CaptureSlotFile> source = tools._CreateVideoSource(caps);
  if (!source || source->frameBufferSize() > kLargest) std::abort();
  const uint64_t own = uint64_t{format.width} * format.height * 3 / 2;
  if (source->frameBufferSize() != own && source->frameBufferSize() != 115200) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Tools* tools = new Tools();
  HX_ClientCaps peer;
  peer.Set(data, size);
  HX_ClientCaps own = HXCapabilites().MakeCaps();
  own.m_videoRcv |= HX_ClientCaps::kTakesAny;  // takes the peer's size over unchecked

  std::set<std::pair<uint32_t, uint32_t>> seen;
  HX_BestMediaFormat store;
  store.SetPeerMediaFormat("me", own);
  store.SetPeerMediaFormat("peer", peer);
  HX_MediaFormat raw;
  HX_ClientCaps rawPeer;
  if (raw.Load(data, size)) rawPeer.SetMediaFormat(raw);
  store.SetPeerMediaFormat("raw", rawPeer);
  // The first byte picks the owner and the conference type (-1 to 8) and is the SVC mode.
  const uint8_t pick = size > 0 ? data[0] : 0;
  const HX_Conference_Type type = pick % 10 - 1;
  store.SetConfMediaFormat("me", (pick & 0x80) != 0 ? "me" : "peer", pick);
  for (const char* other : {"peer", "raw"}) {
    CheckSource(*tools, store.GetMediaCaps("me", other, type), seen);
    CheckSource(*tools, store.GetMediaCaps(other, "me", type), seen);
    HX_ClientCaps out;
    HX_ClientCaps chosen;
    chosen.SetMediaFormat(store.GetMediaFormat("me", other, type, &out));
    CheckSource(*tools, chosen, seen);
    CheckSource(*tools, out, seen);
    chosen.SetMediaFormat(store.GetMediaFormat(other, "me", type, &out));
    CheckSource(*tools, chosen, seen);
  }
  const int length = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
  (void)store.CheckMediaFormat("peer", data, true, length);
  (void)store.CheckMediaFormat("peer", data, false, length);
  return 0;
}
