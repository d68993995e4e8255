#include "core/client/debug_tuning.h"

#include <mutex>

#include "core/client/fsm_shared.h"

namespace {

constexpr char kMaxVideoLevel[] = "maxVideoLevel";
constexpr char kAutoVideoMode[] = "autoVideoMode";
constexpr char kVideoFormat[] = "videoFormat";
constexpr char kAudioFormat[] = "audioFormat";
constexpr char kAgcCompressionDb[] = "agcCompressionDb";
constexpr char kDebugAudio[] = "debugAudio";

// The class-wide values. Built on first use so that media objects made during
// static initialisation find the defaults; never destroyed (the shared state is
// released by the destructor of __debugTuning instead).
struct Tuning {
  std::mutex mutex;
  std::shared_ptr<HXFSMShared> fsm;
  uint8_t maxVideoLevel = HX_DebugTuning::kDefaultMaxVideoLevel;
  bool autoVideoMode = true;
  int64_t videoFormat = 0;
  int64_t audioFormat = 0;
};

Tuning &State() {
  static Tuning *tuning = new Tuning();
  return *tuning;
}

// The current shared state, copied out of the lock so that database reads run
// without it.
std::shared_ptr<HXFSMShared> CurrentFsm() {
  Tuning &tuning = State();
  std::lock_guard<std::mutex> guard(tuning.mutex);
  return tuning.fsm;
}

template <typename T>
bool LoadExact(const char *name, T &out) {
  const std::shared_ptr<HXFSMShared> fsm = CurrentFsm();
  if (fsm == nullptr) return false;
  T value{};
  if (!fsm->LoadParam(name, &value, sizeof(value))) return false;
  out = value;
  return true;
}

}  // namespace

HX_DebugTuning __debugTuning;

HX_DebugTuning::~HX_DebugTuning() {
  if (this != &__debugTuning) return;
  Tuning &tuning = State();
  std::shared_ptr<HXFSMShared> released;
  std::lock_guard<std::mutex> guard(tuning.mutex);
  released.swap(tuning.fsm);
}

void HX_DebugTuning::SetFSM(std::shared_ptr<HXFSMShared> fsm) {
  Tuning &tuning = State();
  std::shared_ptr<HXFSMShared> previous;
  {
    std::lock_guard<std::mutex> guard(tuning.mutex);
    previous = std::move(tuning.fsm);
    tuning.fsm = std::move(fsm);
  }
  // The previous state dies here, outside the lock: its destructor closes a
  // database.
  previous.reset();

  uint8_t level = 0;
  const bool haveLevel = loadVideoLevelMax(level);
  const bool autoMode = loadAudoVideoMode();
  int64_t video = 0;
  const bool haveVideo = loadVideoFormat(video);
  int64_t audio = 0;
  const bool haveAudio = loadAudioFormat(audio);

  std::lock_guard<std::mutex> guard(tuning.mutex);
  if (haveLevel) tuning.maxVideoLevel = level;
  tuning.autoVideoMode = autoMode;
  if (haveVideo) tuning.videoFormat = video;
  if (haveAudio) tuning.audioFormat = audio;
}

uint8_t HX_DebugTuning::getVideoLevelMax() {
  Tuning &tuning = State();
  std::lock_guard<std::mutex> guard(tuning.mutex);
  return tuning.maxVideoLevel;
}

bool HX_DebugTuning::getAutoVideoMode() {
  Tuning &tuning = State();
  std::lock_guard<std::mutex> guard(tuning.mutex);
  return tuning.autoVideoMode;
}

int64_t HX_DebugTuning::getVideoFormat() {
  Tuning &tuning = State();
  std::lock_guard<std::mutex> guard(tuning.mutex);
  return tuning.videoFormat;
}

int64_t HX_DebugTuning::getAudioFormat() {
  Tuning &tuning = State();
  std::lock_guard<std::mutex> guard(tuning.mutex);
  return tuning.audioFormat;
}

bool HX_DebugTuning::loadVideoLevelMax(uint8_t &out) {
  uint32_t value = 0;
  if (!LoadExact(kMaxVideoLevel, value)) return false;
  out = static_cast<uint8_t>(value & 0xff);
  return true;
}

bool HX_DebugTuning::loadVideoFormat(int64_t &out) { return LoadExact(kVideoFormat, out); }

bool HX_DebugTuning::loadAudioFormat(int64_t &out) { return LoadExact(kAudioFormat, out); }

bool HX_DebugTuning::loadGainControlCompressionDb(int32_t &out) { return LoadExact(kAgcCompressionDb, out); }

bool HX_DebugTuning::loadAudoVideoMode() {
  const std::shared_ptr<HXFSMShared> fsm = CurrentFsm();
  if (fsm == nullptr) return true;
  uint8_t stored = 1;
  if (!fsm->LoadParam(kAutoVideoMode, &stored, sizeof(stored))) return true;
  return stored != 0;
}

void HX_DebugTuning::setDebugAudio(bool enabled) {
  if (const std::shared_ptr<HXFSMShared> fsm = CurrentFsm()) {
    const int32_t stored = enabled ? 1 : 0;
    fsm->SaveParam(kDebugAudio, &stored, sizeof(stored));
  }
  m_debugAudio = enabled;
}

bool HX_DebugTuning::loadDebugAudio() const {
  const std::shared_ptr<HXFSMShared> fsm = CurrentFsm();
  if (fsm == nullptr) return m_debugAudio;
  int32_t stored = 0;
  if (!fsm->LoadParam(kDebugAudio, &stored, sizeof(stored))) return false;
  return stored > 0;
}
