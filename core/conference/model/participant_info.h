#pragma once
// The participant records of a conference: conference::ParticipantInfoHolder (device status, role
// and participant flags of one participant, the own client included), conference::RoleInfoHolder
// (what a role event carries besides), conference::PartInfo (one entry of a participant list as
// the presence service builds it) and conference::PeerId (an entry of a conference's id list).
//
// Plain values: no locking of their own; the conference that holds them is guarded by its lock.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "core/conference/conference_type.h"

namespace conference {

// One entry of a participant list; the text points into the received message.
struct PartInfo {
  std::string_view text;
  int32_t role = 0;  // role word: low byte the role, bits 8, 17, 18, 19 participant flags
  int32_t deviceStatus = 0;
  bool isOperator = false;
  int32_t videoType = 0;
};
// Participant lists are keyed by user id in byte order.
using PartInfoMap = std::map<std::string_view, PartInfo>;

// The ids whose participation a participant list changed.
struct ParticipantListUpdateInfo {
  std::set<std::string> ids;
};

class ParticipantInfoHolder {
 public:
  // Participant flag bits.
  static constexpr uint64_t kNotSending = 0x1;  // role-word bit 8
  static constexpr uint64_t kFlagBit1 = 0x2;    // role-word bit 18
  static constexpr uint64_t kOwner = 0x4;       // owner of the conference
  static constexpr uint64_t kOperator = 0x8;
  static constexpr uint64_t kFlagBit4 = 0x10;  // role-word bit 17
  static constexpr uint64_t kFlagBit5 = 0x20;  // role-word bit 19

  ParticipantInfoHolder() : ParticipantInfoHolder(1, false, 0x10001) {}
  // Role = low byte of the word, flags from the word and the operator flag.
  ParticipantInfoHolder(int32_t roleWord, bool isOperator, int32_t deviceStatus);

  // Sets or clears flag bits 0, 4, 1 and 5 from role-word bits 8, 17, 18 and 19 and bit 3 from
  // the operator flag; the other bits stay.
  void setMix(int32_t roleWord, bool isOperator);
  // Copies device status, role and flags; with keepOwner the owner bit stays as it is.
  void set(const ParticipantInfoHolder& other, bool keepOwner);
  // Takes video type, device status, role and text from a participant-list entry, then setMix;
  // with keepOwner the owner bit stays as it is.
  void set(const PartInfo& record, bool keepOwner);

  int32_t videoType = 0;
  int32_t deviceStatus = 0x10001;
  std::string text;
  HX_Participant_Role role = 1;
  uint64_t flags = 0;
};

// The extra information of a role event: the participant record and a preview picture whose
// pointer refers into the received message while the event is delivered.
struct RoleInfoHolder {
  ParticipantInfoHolder info;
  uint64_t previewHeight = 0;
  uint64_t previewWidth = 0;
  uint64_t previewSize = 0;
  const void* preview = nullptr;
};

// An entry of a conference's id list: the participant's id with its record, ordered by the id's
// bytes alone.
struct PeerId {
  PeerId() = default;
  PeerId(std::string peerId, const ParticipantInfoHolder& record = ParticipantInfoHolder())
      : id(std::move(peerId)), info(record) {}
  std::string id;
  ParticipantInfoHolder info;
  bool operator<(const PeerId& other) const { return id < other.id; }
  bool operator==(const PeerId& other) const { return id == other.id; }
};

}  // namespace conference
