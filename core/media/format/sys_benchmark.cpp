#include "core/media/format/sys_benchmark.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <vector>

#include "core/base/system_info.h"
#include "core/base/tick_clock.h"

namespace {

// rand()'s range on this platform; the formulas below divide by it.
constexpr int64_t kRandRange = 2147483647;

int32_t ClampTo32(int64_t value) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

}  // namespace

HX_SysBenchmark::HX_SysBenchmark(TickSource ticks, PauseSource pause, int encodes)
    : HXThread("SysBenchmark"),
      m_ticks(ticks ? std::move(ticks) : TickSource(&hx::GetTickCount)),
      m_pause(pause ? std::move(pause) : PauseSource(&HX_SysBenchmark::RandomPause)),
      m_encoderThreads(std::clamp(hx::sysinfo::PhysicalCpu(), 1, kMaxEncoderThreads)),
      m_encodes(std::max(encodes, 1)) {
  m_result.score = 40000;
  m_result.sendRate = 11600;
  m_result.secondRate = 13200;
  m_result.groupRate = GetBenchGroupMBps(11600, 40000, 60, 3.0);
  m_result.sendLevel = m_levels.MBps2Level(m_result.sendRate);
  m_result.secondLevel = m_levels.MBps2Level(m_result.secondRate);
  m_result.groupLevel = m_levels.MBps2Level(m_result.groupRate);
  std::srand(static_cast<unsigned>(std::time(nullptr)));
}

HX_SysBenchmark::~HX_SysBenchmark() {
  Terminate();
  Wait();
  Release();
}

bool HX_SysBenchmark::Execute(const HX_SysPerformanceState& previous) {
  {
    HXAutoLock guard(*this);
    if (m_running || m_starting) return true;
    m_starting = true;
  }
  if (!IsIdle()) {
    // A listener on the benchmark thread that released the run and asks for a
    // new one would wait for its own thread here.
    if (m_hasRunThread.load() && pthread_equal(m_runThread.load(), pthread_self()) != 0) {
      HXAutoLock guard(*this);
      m_starting = false;
      return false;
    }
    // The released run may still need the benchmark lock on its way out: wait
    // without it.
    Wait();
  }

  HXAutoLock guard(*this);
  m_starting = false;
  Release();
  m_encoder = std::make_unique<HXCodecVP8Encoder>();
  m_frameBytes = m_width * m_height * 3 / 2;
  m_result.score = previous.score;
  m_running = true;
  m_wake.Reset();
  if (Start(hx::thread::normal, true) != 0) {
    Release();
    return false;
  }
  return m_running;
}

uint32_t HX_SysBenchmark::RandomPause() {
  return static_cast<uint32_t>(6000 - int64_t{std::rand()} * 2000 / kRandRange);
}

void HX_SysBenchmark::Release() {
  HXAutoLock guard(*this);
  m_running = false;
  m_encoder.reset();
  m_frames.reset();
  m_wake.Set();
}

bool HX_SysBenchmark::IsBenchmarkRunning() {
  HXAutoLock guard(*this);
  return m_running;
}

void HX_SysBenchmark::GetPerformanceState(HX_SysPerformanceState* state) {
  if (state == nullptr) return;
  HXAutoLock guard(*this);
  *state = m_result;
}

void HX_SysBenchmark::OnTerminateRequest() { m_wake.Set(); }

void HX_SysBenchmark::Run() {
  m_runThread.store(pthread_self());
  m_hasRunThread.store(true);

  const uint32_t pause = m_pause();
  if (pause > 0) m_wake.Wait(static_cast<int64_t>(pause));

  bool measured = false;
  HX_SysPerformanceState result;
  {
    HXAutoLock guard(*this);
    if (m_running && m_encoder && !IsTermRequest()) {
      m_frames = std::make_unique<uint8_t[]>(static_cast<size_t>(m_frameBytes) * kFrames);
      GenerateFrameQueue();
      uint64_t duration = 0;
      const int32_t measurement = RunBenchmark(duration);
      if (measurement >= 0) {
        m_result =
            HX_SysPerformanceState::FromScore(AverageScore(m_result.score, measurement), duration, m_levels);
        result = m_result;
        measured = true;
      }
    }
  }
  // Outside the lock: listeners save the record and inform other objects under
  // their own locks.
  if (measured && !IsTermRequest()) resultSignal.Emit(result);
  Release();
}

void HX_SysBenchmark::GenerateFrameQueue() {
  if (!m_frames) return;
  const size_t bytes = static_cast<size_t>(m_frameBytes) * kFrames;
  uint8_t* frames = m_frames.get();
  for (size_t i = 0; i < bytes; ++i) {
    // 64-bit: rand() x 256 does not fit 32 bits. RAND_MAX itself gives 256,
    // stored as 0.
    frames[i] = static_cast<uint8_t>(int64_t{std::rand()} * 256 / kRandRange);
  }
}

int32_t HX_SysBenchmark::RunBenchmark(uint64_t& duration) {
  if (!m_encoder || !m_frames) return -1;
  HX_VideoCoderOptions options;
  options.width = m_width;
  options.height = m_height;
  options.timeBase = 10;
  options.bitrate = 512;
  options.constantBitrate = 1;
  options.keyFrameMaxDistance = 1000;
  options.threads = m_encoderThreads;
  options.lagFrames = 1;
  options.deadlineMode = 1;
  options.cpuUsed = 5;
  options.staticThreshold = 800;
  options.autoKeyFrames = 1;
  options.layerOption = 10;
  // An encoder that does not open would "encode" in no time and rate the device
  // at the top.
  if (!m_encoder->init(&options, 0)) return -1;

  // The encoder writes at most 3 x width x height bytes: twice the picture
  // size.
  std::vector<uint8_t> output(static_cast<size_t>(m_frameBytes) * 2);
  const int64_t t0 = m_ticks();
  for (int i = 0; i < m_encodes; ++i) {
    HX_VideoCodecParam param;
    param.request = 1;
    const size_t picture = static_cast<size_t>(i % kFrames);
    m_encoder->convert(m_frames.get() + static_cast<size_t>(m_frameBytes) * picture, output.data(), param);
  }
  const int64_t t1 = m_ticks();
  // Unsigned difference: a substituted clock may jump across the whole signed range.
  duration = t1 > t0 ? static_cast<uint64_t>(t1) - static_cast<uint64_t>(t0) : 0;
  return MeasurementScore(duration);
}

int32_t HX_SysBenchmark::MeasurementScore(uint64_t duration) {
  // An impossible 79000 / 0 counts as a measurement of 0.
  if (duration == 0) return 0;
  const uint64_t rate = static_cast<uint64_t>(79000.0 / static_cast<double>(duration));
  // 64 bits: 640 x 480 x 79000 does not fit 32 bits (any duration up to 5 ms
  // overflowed).
  return ClampTo32(static_cast<int64_t>((uint64_t{kWidth} * kHeight * rate) >> 8));
}

int32_t HX_SysBenchmark::AverageScore(int64_t previous, int64_t measurement) {
  if (previous == 0) return ClampTo32(measurement);
  // 128 bits: a stored score read back from settings can be any 64-bit number, and the weighted
  // sum of two such numbers does not fit 64 bits.
  const __int128 before = previous;
  const __int128 now = measurement;
  const __int128 average = previous > measurement ? (before * 75 + now * 25) / 100 : (before + now) / 2;
  return ClampTo32(static_cast<int64_t>(std::clamp<__int128>(average, INT64_MIN, INT64_MAX)));
}

int HX_SysBenchmark::GetBenchGroupMBps(int rate, int score, int percent, double factor) const {
  return HX_SysPerformanceState::GroupMBps(m_levels, rate, score, percent, factor);
}

int HX_SysBenchmark::GetLoadDecoder(int load, double x) {
  const double value = (100.0 - load) / (x + 1);
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
  if (value <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

void HX_SysBenchmark::MergeHardwarePerformance(const HX_SysPerformanceState& software,
                                               const HX_SysPerformanceOverall::sysRating& hardware,
                                               HX_SysPerformanceOverall* overall) {
  if (overall == nullptr) return;
  overall->software.setIdc(software);
  overall->hardware = hardware;
  overall->score = software.score;

  const uint8_t s1 = software.sendLevel;
  const uint8_t h1 = hardware.sendLevel;
  uint8_t send = s1;
  if (s1 < h1 && h1 >= 58) {
    if (s1 > 62) {
      send = h1;
    } else if (s1 < 58) {
      send = 58;
    } else {
      send = std::min<uint8_t>(h1, 63);
    }
  }

  // Unlike the send level, the second level follows a hardware value of 58 or
  // more even when the software value is higher.
  const uint8_t s2 = software.secondLevel;
  const uint8_t h2 = hardware.secondLevel;
  uint8_t second = s2;
  if (s2 < h2 || h2 >= 58) {
    if (s2 > 62) {
      second = h2;
    } else if (s2 >= 58) {
      second = std::min<uint8_t>(h2, 63);
    } else {
      second = std::min<uint8_t>(h2, 58);
    }
  }

  overall->merged.sendLevel = send;
  overall->merged.secondLevel = second;
  overall->merged.groupLevel = software.groupLevel;
  overall->merged.fillNames();
}
