#pragma once
// HXAudioVAD decides whether a decoded block holds voice. It works on pieces of 40 samples: a
// difference filter, a short-term energy that follows rises fast and falls slowly, a noise floor
// that follows a lower energy at once and rises 1.5 dB per 1200 ms otherwise, and a decision that
// the highest energy of the piece lies 8 dB above the floor, held for 240 ms afterwards. A block
// holds voice when any piece does.
//
// In mode 2 (the default after Init) the non-voice blocks teach the owned NoiseGen the peer's
// background noise; mode 0 turns detection off (every block is voice).
//
// Thread safety: none. IsVad runs on the receiving thread; the render thread may read comfort
// noise from GetNoiseGen() at the same time (see noise_gen.h).

#include <cstdint>
#include <memory>
#include <vector>

#include "core/media/audio/noise_gen.h"

class HXAudioVAD {
 public:
  HXAudioVAD();
  ~HXAudioVAD();

  // False unless 4000 <= rate <= 96000 and bits is 16 or 8. A detector whose Init failed must
  // not be used.
  bool Init(int rate, int bits);
  void Release();
  // Whether the block of bytes (16-bit native samples, or 8-bit unsigned ones) holds voice.
  bool IsVad(const unsigned char* block, int bytes);

  void SetMode(int mode) { mode_ = mode; }
  int GetMode() const { return mode_; }
  // 1 voice, 0 no voice, 2 nothing decided since Init.
  int GetState() const { return state_; }
  int GetHangover() const { return hangover_; }
  int GetHangoverReload() const { return hangover_reload_; }
  float GetNoiseFloor() const { return noise_floor_; }
  int GetFloorHold() const { return floor_hold_; }
  int GetFloorHoldReload() const { return floor_hold_reload_; }
  int GetTransitions() const { return transitions_; }
  int GetMinLevel() const { return min_level_; }
  int GetMaxLevel() const { return max_level_; }
  NoiseGen* GetNoiseGen() const { return noise_.get(); }

 private:
  bool VadSubProcess(const short* samples, int count);
  // Runs the energy tracker over d; answers the highest energy, stores the lowest in *low.
  uint64_t ComputeSTA(const short* d, int count, uint64_t* low);
  void ComputeNFE(float lowDb, int count);

  int hangover_ = 0;
  std::unique_ptr<NoiseGen> noise_;
  int mode_ = 2;
  int state_ = 2;
  uint64_t energy_ = 10000;
  float margin_ = 8.0f;
  int floor_hold_ = 0;
  float noise_floor_ = -48.0f;
  int rising_ = 1;
  int transitions_ = 0;
  int samples_per_ms_ = 0;
  int width_ = 16;
  int floor_hold_reload_ = 0;
  int hangover_reload_ = 0;
  int block_length_ = 40;
  float floor_step_ = 1.5f;
  int min_level_ = 65536;
  int max_level_ = 0;
  int16_t previous_ = 0;
  // The converted 8-bit block, or an aligned copy of an unaligned 16-bit one; kept between calls
  // so that a block allocates nothing once the largest block size was seen.
  std::vector<short> converted_;
};
