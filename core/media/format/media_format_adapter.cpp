#include "core/media/format/media_format_adapter.h"

namespace {

// The signed limit fields keep the bit pattern of what they are given (C++20 conversion).
int32_t AsLimit(uint32_t value) { return static_cast<int32_t>(value); }

}  // namespace

void HX_MediaFormatManagerAdapter::SetBitrateConferenceLimit(uint32_t kbps) {
  HXAutoLock lock(m_lock);
  SetCnfUpLimit(AsLimit(kbps));
}

void HX_MediaFormatManagerAdapter::SetBitrateConferenceVideoLimit(uint32_t kbps) {
  HXAutoLock lock(m_lock);
  SetCnfVideoUpLimit(AsLimit(kbps));
}

void HX_MediaFormatManagerAdapter::SetBitrateConferenceDsLimit(uint32_t kbps) {
  HXAutoLock lock(m_lock);
  SetCnfDsUpLimit(AsLimit(kbps));
}

void HX_MediaFormatManagerAdapter::SetBitrateBaseConferenceLimit(uint32_t kbps) {
  HXAutoLock lock(m_lock);
  SetCnfBaseUpLimit(AsLimit(kbps));
}

void HX_MediaFormatManagerAdapter::SetBitrateBaseMaxConferenceLimit(uint32_t kbps) {
  HXAutoLock lock(m_lock);
  SetCnfBaseMaxUpLimit(AsLimit(kbps));
}

void HX_MediaFormatManagerAdapter::SetFpsConferenceLimit(uint32_t fps100) {
  HXAutoLock lock(m_lock);
  SetCnfFpsLimit(AsLimit(fps100));
}

void HX_MediaFormatManagerAdapter::SetResolutionConferenceVideoLimit(uint32_t macroblocks) {
  HXAutoLock lock(m_lock);
  SetCnfVideoResolutionLimit(macroblocks);
}

void HX_MediaFormatManagerAdapter::SetResolutionConferenceDsLimit(uint32_t macroblocks) {
  HXAutoLock lock(m_lock);
  SetCnfDsResolutionLimit(macroblocks);
}
