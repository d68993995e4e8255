#pragma once
// HX_RecordPeerProxyBase: the recording hook of a stream. The audio source offers every decoded
// block it buffers to PutAudio; the client's only implementation, HX_RecordPeerProxyStub, does
// nothing.
//
// Thread safety: PutAudio is called on the receiving thread of the stream that owns the source.

class HX_RecordPeerProxyBase {
 public:
  virtual ~HX_RecordPeerProxyBase() = default;
  virtual void PutAudio(const void* data, unsigned long bytes, unsigned sampleRate) = 0;
  virtual void PutVideo(const void* data, unsigned long bytes) = 0;
};

class HX_RecordPeerProxyStub : public HX_RecordPeerProxyBase {
 public:
  void PutAudio(const void*, unsigned long, unsigned) override {}
  void PutVideo(const void*, unsigned long) override {}
};
