#pragma once
// The method and key names of the conference service "CONFERENCE" (and of
// "LogPartStat" to "LOG"). Names the other services share ("Method", "Name",
// "UserName", "DisplayName", the service names) come from
// core/client/protocol_constants.h.

#include "core/client/protocol_constants.h"

// Methods, in the order the incoming dispatch compares them, then the requests
// only sent.
inline constexpr char CONFERENCECREATED_METHOD[] = "ConferenceCreated";
inline constexpr char CONFERENCEDELETED_METHOD[] = "ConferenceDeleted";
inline constexpr char USERREGISTRATIONINFO_METHOD[] = "UserRegistrationInfo";
inline constexpr char CONFIGURATIONUPDATED_METHOD[] = "ConfigurationUpdated";
inline constexpr char INVITE_METHOD[] = "Invite";
inline constexpr char INVITETOMULTI_METHOD[] = "InviteToMulti";
inline constexpr char INVITEREPLY_METHOD[] = "InviteReply";
inline constexpr char ACCEPT_METHOD[] = "Accept";
inline constexpr char REJECT_METHOD[] = "Reject";
inline constexpr char JOIN_METHOD[] = "Join";
inline constexpr char RECEIVERCONNECTED_METHOD[] = "ReceiverConnected";
inline constexpr char SENDERCONNECTED_METHOD[] = "SenderConnected";
inline constexpr char REQINVITE_METHOD[] = "ReqInvite";
inline constexpr char LISTENERSFLTR_METHOD[] = "ListenersFltr";
inline constexpr char SENDCOMMAND_METHOD[] = "SendCommand";
inline constexpr char ROLEEVENT_METHOD[] = "RoleEvent";
inline constexpr char DEVICESTATUS_METHOD[] = "DeviceStatus";
inline constexpr char FECC_METHOD[] = "FECC";
inline constexpr char MANAGELAYOUT_METHOD[] = "ManageLayout";
inline constexpr const char* kConfCtrlMethods[] = {"ChangeDevice", "SetDeviceState", "QueryDevices",
                                                   "DevicesList",  "DeviceChanged",  "DeviceState"};

inline constexpr char CREATECONFERENCE_METHOD[] = "CreateConference";
inline constexpr char DELETECONFERENCE_METHOD[] = "DeleteConference";
inline constexpr char HANGUP_METHOD[] = "Hangup";
inline constexpr char KICK_METHOD[] = "Kick";
inline constexpr char PING_METHOD[] = "Ping";
inline constexpr char CONNECTRECEIVER_METHOD[] = "ConnectReceiver";
inline constexpr char CONNECTSENDER_METHOD[] = "ConnectSender";
inline constexpr char CONNECTFAILURE_METHOD[] = "ConnectFailure";
inline constexpr char MBPSLIST_METHOD[] = "MBpsList";
inline constexpr char SETMYLSTATUS_METHOD[] = "SetMyLStatus";
inline constexpr char CLEARALLLSTATUSES_METHOD[] = "ClearAllLStatuses";
inline constexpr char LOGPARTSTAT_METHOD[] = "LogPartStat";

// Keys.
inline constexpr char MAXPARTISIPANTS_PARAM[] = "MaxPartisipants";
inline constexpr char DURATION_PARAM[] = "Duration";
inline constexpr char SCOPE_PARAM[] = "Scope";
inline constexpr char CLIENTCAPS_PARAM[] = "ClientCaps";
inline constexpr char APPID_PARAM[] = "appId";
inline constexpr char CONFERENCE_PARAM[] = "Conference";
inline constexpr char CALLID2_PARAM[] = "CallID2";
inline constexpr char DIRECTCONNECT_PARAM[] = "DirectConnect";
inline constexpr char ID_PARAM[] = "id";
inline constexpr char TOPIC_PARAM[] = "topic";
inline constexpr char SYMKEY_PARAM[] = "SymKey";
inline constexpr char HANGUP_FLAGS_PARAM[] = "HangupFlags";
inline constexpr char SYSLOAD_PARAM[] = "SystemLoad";
inline constexpr char NEEDCONNECTINFO_PARAM[] = "NeedConnectInfo";
inline constexpr char MUSTJOIN_PARAM[] = "MustJoin";
inline constexpr char INSTANCE_PARAM[] = "Instance";
inline constexpr char CMR_FLAGS_PARAM[] = "CMRFlags";
inline constexpr char MAXCAST_PARAM[] = "MaxCast";
inline constexpr char SVCMODE_PARAM[] = "SVCMode";
inline constexpr char LSTATUS_PARAM[] = "LStatus";
inline constexpr char URL_PARAM[] = "URL_PARAM";
inline constexpr char MEDIAFILTR_PARAM[] = "MediaFiltr";
inline constexpr char DEVICESTATUS_PARAM[] = "DeviceStatus";
inline constexpr char PORT_PARAM[] = "Port";
inline constexpr char MULTICAST_IP_PARAM[] = "McastIp";
inline constexpr char LAYOUT_PARAM[] = "Layout";
inline constexpr char OWNER_PARAM[] = "Owner";
inline constexpr char HOST_PARAM[] = "Host";
inline constexpr char FRAMESIZEMBUSER_PARAM[] = "FrameSizeMBUser";
inline constexpr char BYTES_SENT_PARAM[] = "BytesSent";
inline constexpr char BYTES_RECEIVED_PARAM[] = "BytesRcvd";
inline constexpr char CONF_BASE_STAT_PARAM[] = "ConferenceBaseStat";
inline constexpr char RESTRICTBITRATE_PARAM[] = "RestrictBtr";
inline constexpr char RESTRICTBITRATESVC_PARAM[] = "RestrictBtrSVC";
inline constexpr char RESTRICTBITRATE_MIN_PARAM[] = "RestrictBtrMin";
inline constexpr char RESTRICTBITRATE_MAX_PARAM[] = "RestrictBtrMax";
inline constexpr char RESTRICTBITRATE_MAX_VIDEO_PARAM[] = "RestrictMaxVideo";
inline constexpr char RESTRICTBITRATE_MAX_DS_PARAM[] = "RestrictMaxDs";
inline constexpr char RESTRICTBITRATE_TOTAL_PARAM[] = "RestrictBtrTotal";
inline constexpr char RESTRICTFRAMERATE_PARAM[] = "RestrictFramerate";
inline constexpr char RESTRICTRESOLUTION_VIDEO_PARAM[] = "RestrictResolutionVideo";
inline constexpr char RESTRICTRESOLUTION_DS_PARAM[] = "RestrictResolutionDs";
inline constexpr char REQESTKEYFRAME_PARAM[] = "RequestKeyFrame";

// Far-end camera control ("FECC").
inline constexpr char FROM_PARAM[] = "From";
inline constexpr char TO_PARAM[] = "To";
inline constexpr char FECCSTATE_PARAM[] = "FeccState";
inline constexpr char PRESET_NUM_PARAM[] = "PresetNum";

// Device control, sent (the received ones are read by conference::HX_ConfCtrlInterface).
inline constexpr char CHANGEDEVICE_METHOD[] = "ChangeDevice";
inline constexpr char SETDEVICESTATE_METHOD[] = "SetDeviceState";
inline constexpr char QUERYDEVICES_METHOD[] = "QueryDevices";
inline constexpr char DEVICESLIST_METHOD[] = "DevicesList";
inline constexpr char DEVICECHANGED_METHOD[] = "DeviceChanged";
inline constexpr char DEVICESTATE_METHOD[] = "DeviceState";
inline constexpr char VOLUME_PARAM[] = "Volume";
inline constexpr char MUTE_PARAM[] = "Mute";

// Role events ("RoleEvent").
inline constexpr char ROLE_PARAM[] = "Role";
inline constexpr char IS_OPERATOR_PARAM[] = "IsOperator";
inline constexpr char PREVIEW_WIDTH_PARAM[] = "PreviewWidthParam";
inline constexpr char PREVIEW_HEIGHT_PARAM[] = "PreviewHeightParam";
inline constexpr char PREVIEW_BODY_PARAM[] = "PreviewBodyParam";
