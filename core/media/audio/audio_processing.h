#pragma once
// HX_AudioProcessingBase is the audio processing module the audio connector runs every capture
// and render block through (echo cancelling, gain control, echo-delay alignment). This system has
// only the pass-through HX_AudioProcessingStub, made by HX_AudioProcessingFactory.
//
// Thread safety: the connector calls a module from the microphone thread (capture), the playback
// render thread (render), its measurement thread (echo offset) and stream threads (Init, options),
// so a module with state guards it itself; the stub has no state at all.

#include <memory>

class HX_AudioResamplerFactory;
class HX_EchoDebugger;

class HX_AudioProcessingBase {
 public:
  virtual ~HX_AudioProcessingBase();
  virtual int Init(unsigned sampleRate, int options) = 0;
  virtual void ResetCapture() = 0;
  virtual bool ProcessRenderAudio(const short* samples, unsigned long count, float deviceFrequency,
                                  int value) = 0;
  // output is the block to send; captured and rendered are the near-end and far-end blocks
  // aligned for the echo-delay detector (either may be null). Answers the samples produced.
  virtual int ProcessCaptureAudio(short* input, short*& output, short*& captured, short*& rendered,
                                  unsigned long count, float sampleRate, int value, bool skip,
                                  bool probePlaying) = 0;
  // Options 0x10 (echo canceller) and 0x02 (gain control).
  virtual void SetOption(int option, bool enable) = 0;
  virtual void EnableLogging(bool enable) = 0;
  // Negative when unknown.
  virtual float GetRmsLevel() = 0;
  virtual float GetMicLevel() = 0;
  // Thousandths.
  virtual void SetMicLevel(int level) = 0;
  virtual void SetEchoOffset(int ms) = 0;
  virtual int GetEchoOffset() = 0;
  virtual void SetResamplerFactory(std::shared_ptr<HX_AudioResamplerFactory> factory) = 0;
  virtual HX_EchoDebugger* GetEchoDebugger() = 0;
};

// Pass-through: the captured block is sent as it is and handed to the echo-delay detector as both
// the near-end and the far-end signal.
class HX_AudioProcessingStub : public HX_AudioProcessingBase {
 public:
  int Init(unsigned, int) override { return 0; }
  void ResetCapture() override {}
  bool ProcessRenderAudio(const short*, unsigned long count, float, int) override {
    return count != 0;
  }
  int ProcessCaptureAudio(short* input, short*& output, short*& captured, short*& rendered,
                          unsigned long count, float, int, bool, bool) override;
  void SetOption(int, bool) override {}
  void EnableLogging(bool) override {}
  float GetRmsLevel() override { return 0.0f; }
  float GetMicLevel() override { return 0.0f; }
  void SetMicLevel(int) override {}
  void SetEchoOffset(int) override {}
  int GetEchoOffset() override { return 0; }
  void SetResamplerFactory(std::shared_ptr<HX_AudioResamplerFactory>) override {}
  HX_EchoDebugger* GetEchoDebugger() override { return nullptr; }
};

class HX_AudioProcessingFactory {
 public:
  virtual ~HX_AudioProcessingFactory();
  // A new processing module owned by the caller.
  virtual HX_AudioProcessingBase* CreateAudioProcessing();
};
