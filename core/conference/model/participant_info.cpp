#include "core/conference/model/participant_info.h"

namespace conference {

ParticipantInfoHolder::ParticipantInfoHolder(int32_t roleWord, bool isOperator, int32_t status)
    : deviceStatus(status), role(roleWord & 0xFF) {
  setMix(roleWord, isOperator);
}

void ParticipantInfoHolder::setMix(int32_t roleWord, bool isOperator) {
  const uint32_t word = static_cast<uint32_t>(roleWord);
  const auto put = [this](uint64_t bit, bool on) { flags = on ? (flags | bit) : (flags & ~bit); };
  put(kNotSending, (word & (1u << 8)) != 0);
  put(kFlagBit4, (word & (1u << 17)) != 0);
  put(kFlagBit1, (word & (1u << 18)) != 0);
  put(kFlagBit5, (word & (1u << 19)) != 0);
  put(kOperator, isOperator);
}

void ParticipantInfoHolder::set(const ParticipantInfoHolder& other, bool keepOwner) {
  const uint64_t owner = flags & kOwner;
  deviceStatus = other.deviceStatus;
  role = other.role;
  flags = other.flags;
  if (keepOwner) flags = (flags & ~kOwner) | owner;
}

void ParticipantInfoHolder::set(const PartInfo& record, bool keepOwner) {
  const uint64_t owner = flags & kOwner;
  videoType = record.videoType;
  deviceStatus = record.deviceStatus;
  role = record.role & 0xFF;
  if (record.text.empty()) {
    text.clear();
  } else {
    text.assign(record.text.data(), record.text.size());
  }
  setMix(record.role, record.isOperator);
  if (keepOwner) flags = (flags & ~kOwner) | owner;
}

}  // namespace conference
