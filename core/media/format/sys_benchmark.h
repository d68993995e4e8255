#pragma once
// HX_SysBenchmark: measures how fast this device encodes video and turns the
// measurement into video levels (HX_SysPerformanceState,
// sys_performance_state.h).
//
// Execute(previous) starts one run on the benchmark's own thread: a pause of 4
// to 6 seconds (so that the measurement does not compete with the application's
// start), then twenty VP8 encodes of 640x480 random noise (ten pictures, twice
// over) with as many encoder threads as the device has physical cores. The
// measurement is the picture's macroblock count x 3.95 x the frame rate
// achieved; it is averaged with previous's score (a worse measurement moves the
// score a quarter of the way, a better one half of the way; a previous score of
// 0 takes the measurement), and the rates and levels follow from the score. The
// result is emitted through resultSignal on the benchmark thread, then the run
// releases its encoder and pictures.
//
// The owner (the client object) connects resultSignal, emits the stored record
// through it itself, then calls Execute with that record, so that listeners
// receive the stored result first and the new one later.
//
// States: idle --Execute--> running (pause, measurement, emission) --Release-->
// idle. Execute while a run is under way (or being started) answers true and
// changes nothing. Release from another thread ends a run that is still pausing
// at once (nothing is emitted); a measurement already under way completes and
// is reported, and Release takes effect after it. Destruction asks the thread
// to stop and waits for it: a pausing run ends at once, a measurement under way
// is not interrupted, and a run asked to stop emits nothing.
//
// Threads: Execute, Release and the getters may be called from any thread. The
// benchmark lock (the HXLock base) guards the run's state; the measurement
// holds it (about a third of a second on a current machine), the pause and the
// emission do not. Execute waits for a finished run's thread outside the lock,
// since a run released during its pause still takes the lock on its way out.
// resultSignal's listeners run on the benchmark thread without any lock of the
// benchmark; they may call Execute (it answers true while the run is not yet
// released) and Release.
//
// Seams: the tick source read around the encodes and the length of the pause
// are constructor arguments, the system's tick clock and 6000 - rand() x 2000 /
// 2147483647 ms by default.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/base/callback_list.h"
#include "core/base/lock.h"
#include "core/base/thread.h"
#include "core/media/format/sys_performance_state.h"
#include "core/media/format/video_levels.h"
#include "core/media/video/codec/codec_vp8.h"

class HX_SysBenchmark : public HXThread, public HXLock {
 public:
  // Milliseconds on a monotonic scale.
  using TickSource = std::function<int64_t()>;
  // The pause before a measurement, in milliseconds.
  using PauseSource = std::function<uint32_t()>;

  // Pictures of a measurement; each is encoded twice.
  static constexpr int kFrames = 10;
  static constexpr int kEncodes = 2 * kFrames;

  // Empty seams take the defaults; `encodes` (at least 1) shortens a
  // measurement for tests whose tick source decides its duration anyway. Gives
  // the result its default values (score 40000, rates 11600, 13200, 12809,
  // levels 30, 31, 31) and seeds the C random generator with the current time
  // in seconds.
  explicit HX_SysBenchmark(TickSource ticks = nullptr, PauseSource pause = nullptr, int encodes = kEncodes);
  // Stops and waits for the thread (see above).
  ~HX_SysBenchmark() override;

  // Starts a run from `previous` (its score is the score to average with). True
  // when a run is under way or was started; false when the thread could not be
  // started, or when a listener on the benchmark thread asks for a new run
  // after releasing the current one.
  virtual bool Execute(const HX_SysPerformanceState& previous);
  // Ends the current run (see above) and frees its encoder and pictures.
  void Release();

  // True from Execute until the run is released.
  bool IsBenchmarkRunning();
  // Copies the result: the last measured one, or the defaults (with previous's
  // score once Execute ran).
  void GetPerformanceState(HX_SysPerformanceState* state);

  // The group rate (HX_SysPerformanceState::GroupMBps) over the benchmark's
  // level table.
  int GetBenchGroupMBps(int rate, int score, int percent, double factor) const;
  // MBps2Level(rate); the first argument is not used.
  uint8_t GetLevel(unsigned, int rate) const { return m_levels.MBps2Level(rate); }
  // The argument unchanged.
  static int CorrectBenchmarkResult(int result) { return result; }
  // truncate((100 - load) / (x + 1)); 0 where that is not a number, clamped to
  // the int range.
  static int GetLoadDecoder(int load, double x);
  // The score after a measurement: the measurement when previous is 0;
  // (previous x 75 + measurement x 25) / 100 when previous is greater;
  // otherwise (previous + measurement) / 2. Integer arithmetic in 64 bits,
  // truncating toward zero, clamped to the 32-bit range.
  static int32_t AverageScore(int64_t previous, int64_t measurement);
  // One measurement's score from its duration: (640 x 480 x truncate(79000 /
  // duration)) >> 8 in 64 bits; 0 for a duration of 0.
  static int32_t MeasurementScore(uint64_t duration);
  // Merges a software result with the platform's hardware rating into
  // `overall`: software levels from `software`, hardware rating a copy of
  // `hardware`, score from `software`, merged levels by the rules in the
  // source, then the merged names.
  static void MergeHardwarePerformance(const HX_SysPerformanceState& software,
                                       const HX_SysPerformanceOverall::sysRating& hardware,
                                       HX_SysPerformanceOverall* overall);

  // libvpx's VP8 encoder refuses to open with more threads than this.
  static constexpr int32_t kMaxEncoderThreads = 64;
  // The encoder threads of a measurement: "hw.physicalcpu" (1 when unknown), at most
  // kMaxEncoderThreads, so that a device with more cores is still measured.
  int32_t EncoderThreads() const { return m_encoderThreads; }
  // The default pause before a measurement: 6000 - rand() x 2000 / 2147483647 ms (4 to 6 s).
  static uint32_t RandomPause();

  // The result: emitted once per completed measurement, on the benchmark
  // thread.
  hx::CallbackList<const HX_SysPerformanceState&> resultSignal;

 protected:
  // The thread body: pause, measure, emit, Release.
  void Run() override;
  // Wakes a pausing run.
  void OnTerminateRequest() override;

  // The steps of a run, called by Run under the benchmark lock with the encoder
  // and the pictures in place. GenerateFrameQueue fills the ten pictures with
  // noise (each byte rand() x 256 / 2147483647). RunBenchmark opens the
  // encoder, encodes the pictures twice over (or the first `encodes` of that
  // sequence) between two readings of the tick source, stores the elapsed
  // milliseconds into `duration` (0 when the clock did not advance or went
  // back) and answers MeasurementScore(duration); -1, with nothing measured,
  // when the encoder cannot be opened.
  void GenerateFrameQueue();
  int32_t RunBenchmark(uint64_t& duration);

 private:
  static constexpr int32_t kWidth = 640;
  static constexpr int32_t kHeight = 480;

  const kn_VideoLevelCaps m_levels;
  const TickSource m_ticks;
  const PauseSource m_pause;
  const int32_t m_width = kWidth;
  const int32_t m_height = kHeight;
  const int32_t m_encoderThreads;
  const int m_encodes;

  // Guarded by the benchmark lock.
  std::unique_ptr<HXCodecVP8Encoder> m_encoder;
  HX_SysPerformanceState m_result;
  bool m_running = false;
  bool m_starting = false;  // an Execute is waiting for the previous run's thread
  int32_t m_frameBytes = 0;
  std::unique_ptr<uint8_t[]> m_frames;

  // Set by Release and by a termination request to end the pause early; reset
  // by Execute.
  HXEvent m_wake{false};
  // The thread of the current or last run, so that Execute never waits for its
  // own thread.
  std::atomic<pthread_t> m_runThread{};
  std::atomic<bool> m_hasRunThread{false};
};
