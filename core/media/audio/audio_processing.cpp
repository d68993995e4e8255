#include "core/media/audio/audio_processing.h"

HX_AudioProcessingBase::~HX_AudioProcessingBase() = default;

int HX_AudioProcessingStub::ProcessCaptureAudio(short* input, short*& output, short*& captured,
                                                short*& rendered, unsigned long count, float, int,
                                                bool, bool) {
  output = input;
  captured = input;
  rendered = input;
  return static_cast<int>(count);
}

HX_AudioProcessingFactory::~HX_AudioProcessingFactory() = default;

HX_AudioProcessingBase* HX_AudioProcessingFactory::CreateAudioProcessing() {
  return new HX_AudioProcessingStub();
}
