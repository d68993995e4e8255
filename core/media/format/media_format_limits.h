#pragma once
// HX_MediaFormatManagerLimits: the plain store of the limits under which the send format and the
// send bit rates are chosen. So far it holds the conference's limits, the ones a server or peer
// restriction sets; the media subsystem adds the application's, the server's and the network's.
// Each field has a getter Get<Field> and a setter Set<Field>; all start at 0 (no limit).
//
// Thread safety: the fields are atomics, so a getter may be called from any thread without the
// adapter's lock (the send stream's rate step does so); writers go through the adapter, which
// serialises them under its lock.

#include <atomic>
#include <cstdint>

class HX_MediaFormatManagerLimits {
 public:
  HX_MediaFormatManagerLimits() = default;
  virtual ~HX_MediaFormatManagerLimits() = default;
  HX_MediaFormatManagerLimits(const HX_MediaFormatManagerLimits&) = delete;
  HX_MediaFormatManagerLimits& operator=(const HX_MediaFormatManagerLimits&) = delete;

  // Conference limit, kbit/s.
  int32_t GetCnfUpLimit() const { return m_CnfUpLimit.load(std::memory_order_relaxed); }
  void SetCnfUpLimit(int32_t value) { m_CnfUpLimit.store(value, std::memory_order_relaxed); }

  // Conference camera video limit, kbit/s.
  int32_t GetCnfVideoUpLimit() const { return m_CnfVideoUpLimit.load(std::memory_order_relaxed); }
  void SetCnfVideoUpLimit(int32_t value) {
    m_CnfVideoUpLimit.store(value, std::memory_order_relaxed);
  }

  // Conference desktop-sharing limit, kbit/s.
  int32_t GetCnfDsUpLimit() const { return m_CnfDsUpLimit.load(std::memory_order_relaxed); }
  void SetCnfDsUpLimit(int32_t value) { m_CnfDsUpLimit.store(value, std::memory_order_relaxed); }

  // Conference base-layer limit, kbit/s.
  int32_t GetCnfBaseUpLimit() const { return m_CnfBaseUpLimit.load(std::memory_order_relaxed); }
  void SetCnfBaseUpLimit(int32_t value) {
    m_CnfBaseUpLimit.store(value, std::memory_order_relaxed);
  }

  // Conference base-layer maximum, kbit/s.
  int32_t GetCnfBaseMaxUpLimit() const {
    return m_CnfBaseMaxUpLimit.load(std::memory_order_relaxed);
  }
  void SetCnfBaseMaxUpLimit(int32_t value) {
    m_CnfBaseMaxUpLimit.store(value, std::memory_order_relaxed);
  }

  // Conference frame-rate limit, frames per second x 100.
  int32_t GetCnfFpsLimit() const { return m_CnfFpsLimit.load(std::memory_order_relaxed); }
  void SetCnfFpsLimit(int32_t value) { m_CnfFpsLimit.store(value, std::memory_order_relaxed); }

  // Conference camera picture-size limit, macroblocks per frame.
  uint32_t GetCnfVideoResolutionLimit() const {
    return m_CnfVideoResolutionLimit.load(std::memory_order_relaxed);
  }
  void SetCnfVideoResolutionLimit(uint32_t value) {
    m_CnfVideoResolutionLimit.store(value, std::memory_order_relaxed);
  }

  // Conference desktop-sharing picture-size limit, macroblocks per frame.
  uint32_t GetCnfDsResolutionLimit() const {
    return m_CnfDsResolutionLimit.load(std::memory_order_relaxed);
  }
  void SetCnfDsResolutionLimit(uint32_t value) {
    m_CnfDsResolutionLimit.store(value, std::memory_order_relaxed);
  }

 private:
  std::atomic<int32_t> m_CnfUpLimit{0};
  std::atomic<int32_t> m_CnfVideoUpLimit{0};
  std::atomic<int32_t> m_CnfDsUpLimit{0};
  std::atomic<int32_t> m_CnfBaseUpLimit{0};
  std::atomic<int32_t> m_CnfBaseMaxUpLimit{0};
  std::atomic<int32_t> m_CnfFpsLimit{0};
  std::atomic<uint32_t> m_CnfVideoResolutionLimit{0};
  std::atomic<uint32_t> m_CnfDsResolutionLimit{0};
};
