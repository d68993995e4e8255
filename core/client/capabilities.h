#pragma once
// HXCapabilites: what this device can capture, encode and play, as the platform fills it in
// (HXConsoleClient::GetCapabilites(bool)), and its conversion into the HX_ClientCaps that
// travels in conference requests. MakePairFormat gives the send and receive media formats the
// record describes; MakeCaps the capability container with the send format as "MediaFmt" (and
// the receive format as "MdFmtRcv" when the record asks to fix it). The application's name,
// version and client type are not part of it: the client object adds them (OnPrepareCaps).
//
// A plain value, copied by value; not thread-safe.

#include <cstdint>
#include <utility>
#include <vector>

#include "core/wire/client_caps.h"
#include "core/wire/media_format.h"

struct HXCapabilites {
  uint32_t rcvWidth = 320;
  uint32_t rcvHeight = 240;
  uint32_t sndWidth = 320;
  uint32_t sndHeight = 240;
  uint32_t rcvSampleRate = 16000;
  uint32_t sndSampleRate = 16000;
  // Handed to the send stream with the network type when it connects.
  uint32_t sndNetworkParam = 128;
  int32_t videoRcv = 1;  // "VideoRcv"
  int32_t videoSnd = 1;  // "VideoSnd"
  int32_t bandwidthRcv = 128;  // "BandWRcv"
  int32_t rating = 0;  // "Rating"
  uint32_t rcvFrameRate = 15;
  uint32_t sndFrameRate = 15;
  // Send the receive format as fixed ("MdFmtRcv").
  bool fixedRcvFormat = false;
  uint32_t sndAudioCodec = HX_MediaFormat::kAudioOpus;
  uint32_t rcvAudioCodec = HX_MediaFormat::kAudioOpus;
  uint32_t sndVideoCodec = HX_MediaFormat::kCodecVP8;
  uint32_t rcvVideoCodec = HX_MediaFormat::kCodecVP8;
  int32_t level = 0;  // "Level"
  int32_t levelGroup = 0;  // "LevelGroup"
  int32_t screenWidthLimit = 0;  // "ScreenWidth", 0: none
  int32_t screenHeightLimit = 0;  // "ScreenHeight", 0: none
  // The send format's last field (hardware codec) and its stereo field.
  uint32_t sndHardwareCodec = 0;
  uint32_t sndStereo = 0;
  std::vector<int16_t> audioCodecs{static_cast<int16_t>(0x7FF0), 0x7004, 0x7003};
  std::vector<uint32_t> videoCodecs{HX_MediaFormat::kCodecVP8};

  // (send, receive): the default format with this record's sizes, codecs, frame rates and audio.
  // The send format carries the stereo and last fields with the SVC field 0; the receive format
  // has all three 0.
  std::pair<HX_MediaFormat, HX_MediaFormat> MakePairFormat() const;
  // The capability container of conference requests.
  HX_ClientCaps MakeCaps() const;
};
