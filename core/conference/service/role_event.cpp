// HX_ConfManager: role events ("RoleEvent") of group conferences: asking for a role, answering
// such a request, and reading the events the server sends (queries, answers, notices and role
// changes) into a participant record with an optional preview picture.
//
// Lock discipline: RoleEventSignal is emitted with the conference held (the store's write lock),
// so its handlers apply the event to the conference before anything else can change it.
#include <string>

#include "core/conference/conf_manager.h"
#include "core/conference/model/conference.h"
#include "core/conference/service/conf_protocol.h"
#include "core/conference/service/message_reader.h"

using namespace hx::conference_service;

namespace {

// The device status of a user the conference does not know.
constexpr int32_t kUnknownDeviceStatus = 0x10001;
// The role that carries a preview picture (the podium request).
constexpr HX_Participant_Role kPodiumRole = 3;

// A picture size from the network; a negative one is no size.
uint64_t PictureSize(int32_t value) { return value > 0 ? static_cast<uint64_t>(value) : 0; }

}  // namespace

bool HX_ConfManager::QueryRole(const char* SID, const char* user, HX_Participant_Role role,
                               unsigned long width, unsigned long height, const void* preview,
                               unsigned long size) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, ROLEEVENT_METHOD);
  if (SID != nullptr) body.AddValue(CONFERENCE_PARAM, SID);
  body.AddValue(TYPE_PARAM, static_cast<int32_t>(0));
  if (user != nullptr) body.AddValue(USERNAME_PARAM, user);
  body.AddValue(ROLE_PARAM, static_cast<int32_t>(role));
  if (width != 0 && height != 0 && preview != nullptr && size != 0) {
    body.AddValue(PREVIEW_WIDTH_PARAM, static_cast<int32_t>(width));
    body.AddValue(PREVIEW_HEIGHT_PARAM, static_cast<int32_t>(height));
    const auto bytes = static_cast<uint32_t>(size);
    if (bytes != 0) body.AddValue(PREVIEW_BODY_PARAM, HX_CNT_BINARY_VT, preview, bytes);
  }
  return send(body, ReturnBroker(SID));
}

bool HX_ConfManager::AnswerRole(const char* SID, const char* user, HX_Participant_Role role,
                                HX_RoleInqury_Answer answer) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, ROLEEVENT_METHOD);
  if (SID != nullptr) body.AddValue(CONFERENCE_PARAM, SID);
  body.AddValue(TYPE_PARAM, static_cast<int32_t>(1));
  if (user != nullptr) body.AddValue(USERNAME_PARAM, user);
  body.AddValue(ROLE_PARAM, static_cast<int32_t>(role));
  body.AddValue(RESULT_PARAM, static_cast<int32_t>(answer));
  return send(body, ReturnBroker(SID));
}

void HX_ConfManager::parseRoleEvent(const HX_Container& message) {
  const char* user = Str(message, USERNAME_PARAM);
  const char* sid = Str(message, CONFERENCE_PARAM);
  const int32_t roleWord = Int(message, ROLE_PARAM, 1);
  const HX_RoleEvent_Type type = Int(message, TYPE_PARAM, 3);
  const HX_RoleInqury_Answer answer = Int(message, RESULT_PARAM, 1);
  const bool isOperator = Bool(message, IS_OPERATOR_PARAM, false);

  ConferenceLock lock;
  const bool known = NonEmpty(sid) && getConferenceLock(lock, std::string(sid));
  const int32_t deviceStatus =
      known && user != nullptr ? lock->getDeviceStatus(user) : kUnknownDeviceStatus;
  conference::RoleInfoHolder info;
  info.info = conference::ParticipantInfoHolder(roleWord, isOperator, deviceStatus);
  if (info.info.role == kPodiumRole && Has(message, PREVIEW_WIDTH_PARAM, HX_CNT_INTEGER_VT)) {
    info.previewWidth = PictureSize(Int(message, PREVIEW_WIDTH_PARAM, 0));
    if (Has(message, PREVIEW_HEIGHT_PARAM, HX_CNT_INTEGER_VT)) {
      info.previewHeight = PictureSize(Int(message, PREVIEW_HEIGHT_PARAM, 0));
      size_t size = 0;
      if (const void* picture = Bin(message, PREVIEW_BODY_PARAM, size)) {
        info.preview = picture;
        info.previewSize = size;
      }
    }
  }
  if (!known || !lock->isGroupConf() || user == nullptr) return;
  RoleEventSignal.Emit(lock.conference(), user, info.info.role, type, answer, info);
}
