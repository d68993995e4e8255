#pragma once
// HX_BestMediaFormat: the store of every peer's advertised capabilities (the own login's
// included) from which the client works out, per conference and per direction, the media format
// and the capability record of a stream.
//
// Peers are kept as HX_PeerHolder records by id: the holder's capability record is what the peer
// advertised, its `value` field (1 at construction) says that the format of the peer's video is
// still to be checked against its bitstream (CheckMediaFormat). Unknown ids are not errors: the
// queries insert a default holder and its default capabilities take part in the choice.
//
// Stream modes (Convert): 0 private call; 2 the owner's side of a group conference of types 2, 4
// and 7; 3 a participant's side of those and of type 3; 4 either side of a TCP group conference
// (type 5) and the owner's side of a multicast one (type 6); 5 a participant's side of a
// multicast conference; -1 no such type. The streams of a call and of a participant (0, 3, 5) are
// negotiated with the peer (HX_ClientCaps::GetFmtFromToMe); the other modes send the own send
// format as it is.
//
// Thread safety: every operation holds the store's own mutex. The capabilities of "Invite" and
// "ReceiverConnected" reach SetPeerMediaFormat on the network loop after the conference store's
// lock is released, the host thread sets the conference format when it asks for a room, and
// urgent jobs and media threads query, so the store cannot lean on any other lock. The
// format-detected delegates are called after the mutex is released, on the thread that called
// CheckMediaFormat; they may use the store.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "core/base/callback_list.h"
#include "core/conference/conference_type.h"
#include "core/conference/service/peer_holder.h"
#include "core/media/video/bitstream/media_probe.h"
#include "core/wire/client_caps.h"
#include "core/wire/media_format.h"

class HX_BestMediaFormat {
 public:
  // Or-ed into the SVC field of the owner's own format in a multicast conference.
  static constexpr uint32_t kMulticastSvcMark = 0xFF000000;

  HX_BestMediaFormat() = default;
  virtual ~HX_BestMediaFormat() = default;
  HX_BestMediaFormat(const HX_BestMediaFormat&) = delete;
  HX_BestMediaFormat& operator=(const HX_BestMediaFormat&) = delete;

  // (peer id, the format its bitstream showed): see CheckMediaFormat.
  hx::CallbackList<const std::string&, HX_MediaFormat> formatDetected;

  // The own id, the conference owner's id (null reads as "") and the conference's SVC mode.
  void SetConfMediaFormat(const char* own, const char* owner, uint32_t svcMode);
  // Records what `peer` advertised. A peer that cannot take a change of the video format
  // ("VideoRcv" without bit 3) stops format changes until ResetVideoFormatChange; a fixed receive
  // format is remembered. Answers 0 when the holder is new, otherwise the new "ClientFlags".
  uint32_t SetPeerMediaFormat(const char* peer, const HX_ClientCaps& caps);
  // Inserts `holder` when none is kept for its id; an existing one stays as it is.
  void SetPeerMediaFormat(const HX_PeerHolder& holder);
  // A copy of the holder of `peer` (a default one inserted first when unknown).
  HX_PeerHolder GetPeerMediaFormat(const char* peer);

  // The stream mode of a conference of `type` on the owner's or a participant's side.
  static int32_t Convert(HX_Conference_Type type, bool owner);
  // The capability record of the stream from `from` to `to`: a copy of `from`'s record whose
  // "MediaFmt" is the format of that stream.
  HX_ClientCaps GetMediaCaps(const char* from, const char* to, HX_Conference_Type type);
  // The format of the stream that reaches `first` from `second`; `out`, when given, receives the
  // capability record the choice was made for (serialised and read back).
  HX_MediaFormat GetMediaFormat(const char* first, const char* second, HX_Conference_Type type,
                                HX_ClientCaps* out);

  // The codec and picture size a received key frame announces: 0 found, -2 a codec recognised
  // without a size, another negative value nothing recognised (fourcc untouched then).
  static int ParseMediaFormat(const uint8_t* bitstream, int length, int& width, int& height,
                              unsigned& fourcc, int& version) {
    return HX_ProbeMediaFormat(bitstream, length, width, height, fourcc, version);
  }
  // Without `check`: -6 while the video format of `peer` is still to be checked, else 0. With
  // `check`: probes `bitstream` starting from the peer's send format; -5 for an odd size or one
  // the receive path does not take (HX_PeerPictureSizeUsable; still to be checked: such a size is
  // never announced), 0 for a codec without a size (checked), another negative probe result as it
  // is (still to be checked); on success the format with the probed size and codec goes to the
  // format-detected delegates and 0 is answered. An unknown peer answers -1.
  int CheckMediaFormat(const char* peer, const uint8_t* bitstream, bool check, int length);

  bool CheckVideoFormatChange() const;
  // False when `skip` is true, otherwise whether the video format may change.
  bool CheckVideoFormatChange(bool skip) const;
  // False when `skip` is true, otherwise whether a peer fixed its receive format.
  bool CheckVideoFormatFixed(bool skip) const;
  // A new conference: the video format may change again and no receive format is fixed.
  void ResetVideoFormatChange();

 private:
  // The holder of `id`, inserted with default capabilities when unknown. Mutex held.
  HX_PeerHolder& HolderNL(const std::string& id);
  // The own send format as it goes out without negotiation: the SVC field set, with the multicast
  // mark in a type-6 conference.
  HX_MediaFormat OwnSendFormatNL(const HX_ClientCaps& own, HX_Conference_Type type) const;

  mutable std::mutex m_mutex;
  std::string m_own;
  std::string m_owner;
  std::map<std::string, HX_PeerHolder> m_peers;
  uint32_t m_svcMode = 0;
  bool m_videoFormatChange = true;
  bool m_videoFormatFixed = false;
};
