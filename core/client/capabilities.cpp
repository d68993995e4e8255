#include "core/client/capabilities.h"

std::pair<HX_MediaFormat, HX_MediaFormat> HXCapabilites::MakePairFormat() const {
  HX_MediaFormat send;
  send.height = sndHeight;
  send.width = sndWidth;
  send.videoCodec = sndVideoCodec;
  send.frameRate = sndFrameRate;
  send.stereo = sndStereo;
  send.hardwareCodec = sndHardwareCodec;
  send.svcMode = 0;
  send.SetAudio(sndSampleRate, sndAudioCodec, HX_MediaFormat::kDefaultDuration);

  HX_MediaFormat receive;
  receive.height = rcvHeight;
  receive.width = rcvWidth;
  receive.videoCodec = rcvVideoCodec;
  receive.frameRate = rcvFrameRate;
  receive.stereo = 0;
  receive.hardwareCodec = 0;
  receive.SetAudio(rcvSampleRate, rcvAudioCodec, HX_MediaFormat::kDefaultDuration);
  return {send, receive};
}

HX_ClientCaps HXCapabilites::MakeCaps() const {
  // Audio either way: capable, takes what the peer proposes, and the own codec list decides.
  constexpr int32_t kAudioBoth = 1 | HX_ClientCaps::kTakesAny | HX_ClientCaps::kListDecides;
  // The stream directions this client can connect.
  constexpr int32_t kStreamDirections = 30;
  const auto [send, receive] = MakePairFormat();
  HX_ClientCaps caps;
  caps.SetMediaFormat(send);
  caps.m_audioRcv = kAudioBoth;
  caps.m_audioSnd = kAudioBoth;
  caps.m_videoRcv = videoRcv;
  caps.m_videoSnd = videoSnd;
  caps.m_streamsDirCon = kStreamDirections;
  caps.m_clientType = 0;
  caps.m_rating = rating;
  caps.m_level = level;
  caps.m_levelGroup = levelGroup;
  caps.m_bandwidthRcv = bandwidthRcv;
  caps.SetResolutionLimit(screenWidthLimit, screenHeightLimit);
  if (fixedRcvFormat) caps.SetMediaFormatRcv(receive);
  std::vector<uint16_t> audio(audioCodecs.begin(), audioCodecs.end());
  caps.SetAudioCodecs(audio.data(), audio.size());
  caps.SetVideoCodecs(videoCodecs.data(), videoCodecs.size());
  return caps;
}
