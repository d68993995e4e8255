#pragma once
// The wire names of the presence service "PRESENCE" and of the participant-list exchange with
// "CONFERENCE", the extended-status keys of call forwarding, and the hashes by which incoming
// methods are recognised. Kept in hx::presence so that they never collide with the names other
// services declare for the same texts.

#include <cstdint>

namespace hx::presence {

inline constexpr char METHOD_PARAM[] = "Method";
inline constexpr char UPDATESTATUS_METHOD[] = "UpdateStatus";
inline constexpr char GETALLUSERSTATUS_METHOD[] = "GetAllUserStatus";
inline constexpr char SENDPARTSLIST_METHOD[] = "SendPartsList";
inline constexpr char SEARCHADDRESSBOOK_METHOD[] = "SearchAddressBook";

inline constexpr char USERPRESSTATUS_PARAM[] = "UserPresStatus";
inline constexpr char EXTSTATUS_PARAM[] = "ExtSt";
inline constexpr char DELETE_EXT_STATUS_PARAM[] = "DelExtSt";
inline constexpr char SEQUENCE_ID_PARAM[] = "SeqID";
inline constexpr char CAUSE_PARAM[] = "Cause";
inline constexpr char CALLID_PARAM[] = "CallId";
inline constexpr char CONFERENCE_PARAM[] = "Conference";
inline constexpr char TYPE_PARAM[] = "Type";
inline constexpr char USERNAME_PARAM[] = "UserName";
inline constexpr char DISPLAYNAME_PARAM[] = "DisplayName";
inline constexpr char ROLE_PARAM[] = "Role";
inline constexpr char DEVICESTATUS_PARAM[] = "DeviceStatus";
inline constexpr char IS_OPERATOR_PARAM[] = "IsOperator";
inline constexpr char VIDEOTYPE_PARAM[] = "VideoType";
inline constexpr char ADDRESSBOOK_PARAM[] = "AddressBook";

// "Cause" of a complete status list.
inline constexpr int32_t kCauseFullList = 1;
// "AddressBook" of the request for a conference's complete participant list.
inline constexpr int32_t kConferencePartsBook = 7;
// Time limit of every request, in milliseconds.
inline constexpr uint32_t kRequestTimeLimitMs = 20000;

// Extended-status keys of the call-forwarding settings.
inline constexpr char esCallFwdTimeoPeerId[] = "fwd_timeout_call_id";
inline constexpr char esCallFwdPeerId[] = "fwd_call_id";
inline constexpr char esCallFwdTimeout[] = "fwd_timeout";
inline constexpr char esCallFwdType[] = "fwd_type";

// The name hashes (core/wire/name_hash.h) of the three incoming methods, computed once at start-up.
extern const uint32_t update_status;
extern const uint32_t alluser_status;
extern const uint32_t part_list;

}  // namespace hx::presence
