#pragma once
// NoiseGen makes comfort noise for a jitter buffer that ran dry. Its voice detector teaches it the
// peer's background noise from non-voice blocks (FillBuffer); until the first block arrives it
// synthesises noise from a pseudo-random table scaled by its level, which the detector sets after
// every decision. Served noise fades in and out: the first and last sample of each piece are
// halved.
//
// Thread safety: none inside. The detector's thread writes the noise buffer (FillBuffer) while
// the render thread reads it (GetNoise); a torn read only changes noise samples.

#include <cstdint>
#include <vector>

class NoiseGen {
 public:
  static constexpr int kTableSize = 10000;

  // N = max(ms, 500) × (rate / 1000) samples of noise buffer; refills the random table. False
  // when N < 1.
  bool Init(int rate, int ms);
  // Learns from a non-voice block of count samples.
  void FillBuffer(const short* samples, int count);
  // Writes count samples of noise; nothing for count < 1.
  void GetNoise(short* destination, int count);
  // √(Σx² / count); 0 for count < 1.
  static int GetSummSq(const short* samples, int count);

  void SetLevel(int level) { level_ = level; }
  int GetLevel() const { return level_; }
  int GetN() const { return n_; }
  bool IsBuilt() const { return built_; }
  int GetAverage() const { return average_; }
  const std::vector<int16_t>& GetTable() const { return table_; }
  const std::vector<int16_t>& GetBuffer() const { return buffer_; }

 private:
  // Copies count samples from the buffer at pos, halving the piece's edge samples.
  void ServePiece(short* destination, int pos, int count) const;

  int level_ = 127;
  std::vector<int16_t> buffer_;
  int write_index_ = 0;
  int n_ = 0;
  std::vector<int16_t> table_;
  int read_pos_ = 0;
  int average_ = 0;
  bool built_ = false;
};
