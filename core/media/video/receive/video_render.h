#pragma once
// HXVideoRenderBase: the renderer of one received stream. The platform implements it (a view
// that shows the pictures); the receive stream owns it and calls OnPaint for every decoded
// picture while the video-enabled flag is set.
//
// Thread safety: SetVideoEnabled and IsVideoEnabled may be called from any thread (the flag is
// atomic); OnPaint is called on the video draw thread, the one thread that decodes.

#include <atomic>
#include <cstdint>

class HXVideoRenderBase {
 public:
  HXVideoRenderBase() = default;
  virtual ~HXVideoRenderBase() = default;
  HXVideoRenderBase(const HXVideoRenderBase&) = delete;
  HXVideoRenderBase& operator=(const HXVideoRenderBase&) = delete;

  // Stores the flag; true when it changed.
  virtual bool SetVideoEnabled(bool enabled) { return m_videoEnabled.exchange(enabled) != enabled; }
  // Draws one packed I420 picture of `size` bytes. The last value is the stream's
  // four-character code; a renderer may ignore it. The picture is valid during the call only.
  virtual void OnPaint(const unsigned char* picture, unsigned long size, unsigned width,
                       unsigned height, uint32_t value) = 0;

  bool IsVideoEnabled() const { return m_videoEnabled.load(); }

 protected:
  std::atomic<bool> m_videoEnabled{false};
};
