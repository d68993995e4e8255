#pragma once
// Least-squares estimators over rings of recent samples.
//
// HX_TimeDeviation fits arrival-time samples v against their absolute index i (v = intercept +
// slope × i) and reports the average, the largest and the rms deviation from that line; the
// receive frame queues and the video receive ring use it for jitter.
//
// HX_FreqDeviation fits pairs (x, y) of two counters (y = intercept + slope × x); the slope is
// the drift between the two clocks.
//
// Both answer false (or -1) until Init, and while too little data is known: fewer samples than
// capacity / 50, or at most 4 samples while the capacity exceeds 5. Outputs are then left at 0.
//
// Thread safety: none; the owner serialises access.

#include <cstdint>
#include <vector>

class HX_TimeDeviation {
 public:
  // Replaces the ring with one of capacity samples and restarts; the estimator is then valid.
  void Init(unsigned capacity);
  // Forgets the samples and zeroes the results; keeps the ring. Reads then fail until enough
  // samples arrive again.
  void Clear();
  void Snap(int sample);

  bool Predict(double& intercept, double& slope) const;
  // Refits when a sample arrived since the last calculation. False when not valid or too little
  // data is known.
  bool Calculate();
  // Average rounded half away from zero.
  bool GetAverage(int& out);
  // Largest deviation from the fitted line, rounded.
  bool GetMax(int& out);
  // Rms deviation from the fitted line, rounded.
  bool GetDeviation(int& out);
  // The fitted value at index x, or -1.
  int GetPredicted(double x) const;
  // The fitted value x samples after the newest one, or -1.
  int GetPredictedFromLast(double x) const;

 private:
  std::vector<int32_t> ring_;
  uint32_t capacity_ = 0;
  uint32_t count_ = 0;
  double max_deviation_ = 0.0;
  double rms_deviation_ = 0.0;
  double average_ = 0.0;
  bool valid_ = false;
  bool stale_ = true;
};

class HX_FreqDeviation {
 public:
  void Init(int capacity);
  void Clear();
  void Snap(double x, double y);

  bool Predict(double& intercept, double& slope) const;
  // Both outputs zeroed, then the fit; false when not valid or the fit fails.
  bool GetA(double& intercept, double& slope) const;
  // The slope, or -1.0.
  double GetA1() const;
  // Diagnostic: writes the held pairs, oldest first, to the text file "%8.2f.txt" of name.
  void DumpData(double name) const;

 private:
  std::vector<double> x_;
  std::vector<double> y_;
  int32_t capacity_ = 0;
  int32_t count_ = 0;
  bool valid_ = false;
  bool stale_ = true;
};
