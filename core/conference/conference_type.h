#pragma once
// The small value types of the conference layer that several layers share: the kind of a call or
// conference (call links and the servers list carry it), its group sub type and scope, and the
// result codes the conference service passes through its signals.

#include <cstdint>

// 0 private call, 5 group conference over TCP, 6 group conference over UDP multicast; -1 unset.
using HX_Conference_Type = int32_t;
// 0 symmetric, 1 asymmetric, 3 role (podium); -1 unset.
using HX_GroupConf_SubType = int32_t;
using HX_Conference_Scope = int32_t;
// The server's answer to "CreateConference": 1 created, anything else refused.
using HX_ConferenceCreated_Result = int32_t;
// Why a conference ended; the store uses 1 when it deletes on its own account.
using HX_ConferenceDeleted_Result = int32_t;
// Per peer: 0 no direct connection, 1 the peer connected to this client, 2 direct TCP works,
// 4 not yet known, 6 direct UDP.
using HX_DirectConnect_Type = int32_t;
// 1 send stream, 2 receive stream, 5 a direct UDP endpoint used by both.
using HX_StreamClient_Type = int32_t;
// 0 none, 1 ordinary participant of a role conference, 2 operator, 3 podium requested,
// 4 invitation to the podium, 5 remark.
using HX_Participant_Role = int32_t;
// The kind of a role event and the answer to a role inquiry, as "RoleEvent" carries them.
using HX_RoleEvent_Type = int32_t;
using HX_RoleInqury_Answer = int32_t;
// Kinds of participant lists: 0 and 1 full, 2 additions, 3 removals, 4 updates.
using HX_ParticipantListType = int32_t;
// The kind of this client's own video source, as the platform sets it; remote desktop control is
// possible only while it is 2, 3 or 4 (desktop sources). 0 until set.
using HX_VideoSourceType = int32_t;

namespace hx::conference {

inline constexpr HX_Conference_Type kPrivateCall = 0;
inline constexpr HX_Conference_Type kGroupConference = 5;
inline constexpr HX_Conference_Type kGroupConferenceMulticast = 6;

}  // namespace hx::conference
