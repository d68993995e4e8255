#pragma once
// HX_MeetingToolsFactory: what a conference asks of the client object when it opens its media:
// the hardware to release, the audio recorder and the video renderer of a peer (hooks the
// platform subclass supplies), and the start of the send and receive sides. So far it is the hook
// interface; the media subsystem gives the operations their arguments' full use.
//
// Thread safety: called on the threads of the conference that asks.

#include <cstdint>

class HX_ClientCaps;

class HX_MeetingToolsFactory {
 public:
  HX_MeetingToolsFactory() = default;
  virtual ~HX_MeetingToolsFactory() = default;
  HX_MeetingToolsFactory(const HX_MeetingToolsFactory&) = delete;
  HX_MeetingToolsFactory& operator=(const HX_MeetingToolsFactory&) = delete;

  // The send side starts with `caps`; nothing to do here.
  virtual void OnSenderStart(const HX_ClientCaps& caps) { (void)caps; }
  // The receive side of `peer` starts with `caps`; nothing to do here.
  virtual void OnReceiverStart(const char* peer, const HX_ClientCaps& caps) {
    (void)peer;
    (void)caps;
  }

  // Hooks of the platform subclass.
  virtual void OnReleaseHardwareSender() = 0;
  virtual void OnReleaseHardwareReceiver(const char* peer) = 0;
  virtual void OnRequestAudioRecord(const char* peer) = 0;
  virtual void OnRequestVideoRender(const char* peer) = 0;
};
