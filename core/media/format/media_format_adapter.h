#pragma once
// HX_MediaFormatManagerAdapter: the send side's choice of media format under the limits of the
// conference, the server and the network. So far the client object creates it and hands it out;
// it answers "no format yet" (no audio codec, sample rate 0) and stores the conference limits. The
// media subsystem grows it.
//
// Thread safety: every setter stores under the adapter's lock; the limits can be read from any
// thread through the getters of the limits base.

#include <cstdint>

#include "core/base/lock.h"
#include "core/media/format/media_format_limits.h"

class HX_MediaFormatManagerAdapter : public HX_MediaFormatManagerLimits {
 public:
  HX_MediaFormatManagerAdapter() = default;
  ~HX_MediaFormatManagerAdapter() override = default;
  HX_MediaFormatManagerAdapter(const HX_MediaFormatManagerAdapter&) = delete;
  HX_MediaFormatManagerAdapter& operator=(const HX_MediaFormatManagerAdapter&) = delete;

  // The audio codec tag, 0 without one.
  uint32_t GetAudioCodec() const { return 0; }
  // The audio sample rate, 0 without one.
  uint32_t GetAudioSamplerate() const { return 0; }

  // The conference limits: kbit/s, frames per second x 100, macroblocks per frame. The stored
  // fields are signed where the limits base says so; callers pass values up to INT32_MAX. They
  // do not force a new format choice by themselves. Virtual so that a test can watch the calls.
  virtual void SetBitrateConferenceLimit(uint32_t kbps);
  virtual void SetBitrateConferenceVideoLimit(uint32_t kbps);
  virtual void SetBitrateConferenceDsLimit(uint32_t kbps);
  virtual void SetBitrateBaseConferenceLimit(uint32_t kbps);
  virtual void SetBitrateBaseMaxConferenceLimit(uint32_t kbps);
  virtual void SetFpsConferenceLimit(uint32_t fps100);
  virtual void SetResolutionConferenceVideoLimit(uint32_t macroblocks);
  virtual void SetResolutionConferenceDsLimit(uint32_t macroblocks);

 private:
  HXLock m_lock;
};
