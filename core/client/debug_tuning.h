#pragma once
// HX_DebugTuning: overrides for testing the media path, kept in the settings
// database of the shared client state: a cap on the video level
// ("maxVideoLevel"), whether the automatic video mode is on ("autoVideoMode"),
// a forced video and audio format ("videoFormat", "audioFormat"), a
// gain-control compression ("agcCompressionDb") and a flag that makes the audio
// path write debug files ("debugAudio").
//
// The cached values are class-wide and answer their built-in defaults until
// SetFSM hands a shared state over and loads them; the direct loaders read the
// database each time. Media code asks the process-wide instance
// `__debugTuning`.
//
// Thread safety: the class-wide values and the shared-state pointer are guarded
// by one class-wide lock, so SetFSM may run while media threads read the cached
// values. The per-instance debug flag and path are plain fields: set them
// before media threads start.

#include <cstdint>
#include <memory>
#include <string>

class HXFSMShared;

class HX_DebugTuning {
 public:
  static constexpr uint8_t kDefaultMaxVideoLevel = 69;

  HX_DebugTuning() = default;
  ~HX_DebugTuning();
  HX_DebugTuning(const HX_DebugTuning &) = delete;
  HX_DebugTuning &operator=(const HX_DebugTuning &) = delete;

  // Replaces the shared state (releasing the previous one; null is allowed and
  // keeps the cached values), then loads every cached value that can be read;
  // the others keep what they held.
  static void SetFSM(std::shared_ptr<HXFSMShared> fsm);

  // Cached values.
  static uint8_t getVideoLevelMax();
  static bool getAutoVideoMode();
  static int64_t getVideoFormat();
  static int64_t getAudioFormat();

  // Direct loaders: false without touching `out` when no shared state is set or
  // the setting cannot be read. The video level is read as a 4-byte value of
  // which the low byte is kept.
  static bool loadVideoLevelMax(uint8_t &out);
  static bool loadVideoFormat(int64_t &out);
  static bool loadAudioFormat(int64_t &out);
  static bool loadGainControlCompressionDb(int32_t &out);
  // True without a shared state, or when "autoVideoMode" cannot be read, or its
  // byte is not 0.
  static bool loadAudoVideoMode();

  // Stores the flag (as a 4-byte 0 or 1 under "debugAudio") when a shared state
  // is set, and always in this instance.
  void setDebugAudio(bool enabled);
  // Without a shared state this instance's flag; otherwise whether "debugAudio"
  // reads as a 4-byte integer above 0 (unreadable counts as 0).
  bool loadDebugAudio() const;
  void setDebugFilesPath(const std::string &path) { m_debugFilesPath = path; }
  const std::string &debugFilesPath() const { return m_debugFilesPath; }

 private:
  bool m_debugAudio = false;
  std::string m_debugFilesPath;
};

// The process-wide instance; its destruction at exit releases the class-wide
// shared state.
extern HX_DebugTuning __debugTuning;
