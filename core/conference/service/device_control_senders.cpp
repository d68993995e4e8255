// HX_ConfManager: the six device-control messages a platform sends: asking another participant
// for its devices, to switch a device or to change a device's volume and mute state, and
// reporting the own devices, a device change and a device's state. The client core itself sends
// none of them; the received ones go to the addressed conference, whose
// conference::HX_ConfCtrlInterface (when the platform installed one) reads them.
#include <string>

#include "core/conference/conf_manager.h"
#include "core/conference/service/conf_protocol.h"
#include "core/conference/service/message_reader.h"

namespace {

// The cause this client puts into its requests to another participant.
constexpr int32_t kRequestCause = 4;

void AddHead(HX_Container& body, const char* method, const char* SID, const char* user) {
  body.AddValue(METHOD_PARAM, method);
  if (SID != nullptr) body.AddValue(CONFERENCE_PARAM, SID);
  if (user != nullptr) body.AddValue(USERNAME_PARAM, user);
}

void AddDevice(HX_Container& body, const conference::DeviceConfig& device, bool withName) {
  body.AddValue(TYPE_PARAM, conference::DeviceConfig::getTypeStr(device.type));
  body.AddValue(ID_PARAM, device.id.c_str());
  if (withName) body.AddValue(NAME_PARAM, device.name.c_str());
}

// "Volume" and "Mute" only where `flags` says they are valid.
void AddState(HX_Container& body, const conference::DeviceConfig& device, int32_t flags) {
  if ((flags & conference::DeviceChangeDesc::kVolumeValid) != 0) {
    body.AddValue(VOLUME_PARAM, static_cast<int32_t>(device.volume));
  }
  if ((flags & conference::DeviceChangeDesc::kMuteValid) != 0)
    body.AddValue(MUTE_PARAM, device.mute);
}

}  // namespace

bool HX_ConfManager::ConfCtrlSendReqDeviceState(const char* SID, const char* user) {
  HX_Container body;
  AddHead(body, QUERYDEVICES_METHOD, SID, user);
  return send(body, ReturnBroker(SID));
}

bool HX_ConfManager::ConfCtrlSendReqChangeDevice(const char* SID, const char* user,
                                                 const conference::DeviceConfig& device) {
  HX_Container body;
  AddHead(body, CHANGEDEVICE_METHOD, SID, user);
  AddDevice(body, device, true);
  body.AddValue(CAUSE_PARAM, kRequestCause);
  return send(body, ReturnBroker(SID));
}

bool HX_ConfManager::ConfCtrlSendReqChangeDeviceState(const char* SID, const char* user,
                                                      const conference::DeviceConfig& device,
                                                      int flags) {
  HX_Container body;
  AddHead(body, SETDEVICESTATE_METHOD, SID, user);
  AddDevice(body, device, false);
  AddState(body, device, flags);
  body.AddValue(CAUSE_PARAM, kRequestCause);
  return send(body, ReturnBroker(SID));
}

bool HX_ConfManager::ConfCtrlSendDevices(const char* SID, const DeviceMap& devices) {
  HX_Container body;
  AddHead(body, DEVICESLIST_METHOD, SID, myLogin().c_str());
  // The map is ordered by type, so the groups leave in ascending type order.
  for (const auto& [type, list] : devices) {
    body.AddValue(TYPE_PARAM, conference::DeviceConfig::getTypeStr(type));
    for (const conference::DeviceConfig& device : list) {
      body.AddValue(ID_PARAM, device.id.c_str());
      body.AddValue(NAME_PARAM, device.name.c_str());
    }
  }
  return send(body, ReturnBroker(SID));
}

bool HX_ConfManager::ConfCtrlSendDeviceChanged(const char* SID,
                                               const conference::DeviceConfig& device,
                                               conference::DeviceChangingCause cause) {
  HX_Container body;
  AddHead(body, DEVICECHANGED_METHOD, SID, myLogin().c_str());
  AddDevice(body, device, true);
  body.AddValue(CAUSE_PARAM, static_cast<int32_t>(cause));
  return send(body, ReturnBroker(SID));
}

bool HX_ConfManager::ConfCtrlSendDeviceState(const char* SID,
                                             const conference::DeviceConfig& device,
                                             conference::DeviceChangeDesc desc) {
  HX_Container body;
  AddHead(body, DEVICESTATE_METHOD, SID, myLogin().c_str());
  AddDevice(body, device, false);
  AddState(body, device, desc.flags);
  body.AddValue(CAUSE_PARAM, static_cast<int32_t>(desc.cause));
  return send(body, ReturnBroker(SID));
}

// ---- incoming

void HX_ConfManager::parseConfCtrlMethods(const HX_Container& message) {
  const char* sid = hx::conference_service::Str(message, CONFERENCE_PARAM);
  if (sid == nullptr) return;
  ConferenceLock lock;
  if (!getConferenceLock(lock, std::string(sid))) return;
  lock->parseConfCtrlMethods(message);
}
