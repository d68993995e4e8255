#include "core/conference/control/conf_ctrl_interface.h"

#include <cstring>
#include <string_view>

#include "core/base/container.h"
#include "core/conference/service/message_reader.h"

namespace conference {
namespace {

namespace rd = hx::conference_service;

constexpr const char* kTypeTexts[] = {"microphone", "speaker", "camera", "desktop"};

std::string Text(const HX_Container& message, const char* name) { return rd::StrOr(message, name); }

// The current entry's text up to its first zero byte; empty for an entry of another type.
std::string CurrentText(const HX_Container& message) {
  const std::string_view view = message.GetStrValueView();
  if (view.data() == nullptr) return std::string();
  return std::string(view.data(), strnlen(view.data(), view.size()));
}

bool IsNamed(const HX_Container& message, const char* name) {
  const char* current = message.GetName();
  return current != nullptr && std::strcmp(current, name) == 0;
}

}  // namespace

const char* DeviceConfig::getTypeStr(DeviceType type) {
  if (type < 0 || type > kDesktop) return "";
  return kTypeTexts[type];
}

DeviceConfig::DeviceType DeviceConfig::typeFromStr(const char* text) {
  if (text == nullptr) return kUnknown;
  for (DeviceType type = kMicrophone; type <= kDesktop; ++type) {
    if (std::strcmp(text, kTypeTexts[type]) == 0) return type;
  }
  return kUnknown;
}

bool HX_ConfCtrlInterface::parseConfCtrlMethods(const HX_Container& message) {
  const char* method = rd::Str(message, "Method");
  if (method == nullptr) return false;
  using Parser = void (HX_ConfCtrlInterface::*)(const HX_Container&);
  static constexpr struct {
    const char* name;
    Parser parser;
  } kParsers[] = {
      {"ChangeDevice", &HX_ConfCtrlInterface::parseChangeDevice},
      {"SetDeviceState", &HX_ConfCtrlInterface::parseSetDeviceState},
      {"QueryDevices", &HX_ConfCtrlInterface::parseQueryDevices},
      {"DevicesList", &HX_ConfCtrlInterface::parseDevicesList},
      {"DeviceChanged", &HX_ConfCtrlInterface::parseDeviceChanged},
      {"DeviceState", &HX_ConfCtrlInterface::parseDeviceState},
  };
  for (const auto& entry : kParsers) {
    if (std::strcmp(method, entry.name) == 0) {
      (this->*entry.parser)(message);
      return true;
    }
  }
  return false;
}

void HX_ConfCtrlInterface::parseChangeDevice(const HX_Container& message) {
  OnChangeDevice(Text(message, "id"), DeviceConfig::typeFromStr(rd::Str(message, "Type")),
                 rd::Int(message, "Cause", 0));
}

void HX_ConfCtrlInterface::parseSetDeviceState(const HX_Container& message) {
  int flags = 0;
  if (rd::Has(message, "Volume", HX_CNT_INTEGER_VT)) flags |= DeviceChangeDesc::kVolumeValid;
  if (rd::Has(message, "Mute", HX_CNT_BOOL_VT)) flags |= DeviceChangeDesc::kMuteValid;
  OnSetDeviceState(Text(message, "id"), flags, rd::Int(message, "Volume", 0),
                   rd::Bool(message, "Mute", false), rd::Int(message, "Cause", 0));
}

void HX_ConfCtrlInterface::parseQueryDevices(const HX_Container& message) {
  OnQueryDevices(Text(message, "UserName"), rd::Int(message, "Result", 2));
}

void HX_ConfCtrlInterface::parseDevicesList(const HX_Container& message) {
  DeviceConfigList devices;
  bool inGroup = false;
  DeviceConfig::DeviceType type = DeviceConfig::kUnknown;
  message.Reset();
  bool more = message.Next();
  while (more) {
    if (IsNamed(message, "Type")) {
      // A string of another type converts like an absent text: -1.
      type = message.GetType() == HX_CNT_STRING_VT
                 ? DeviceConfig::typeFromStr(CurrentText(message).c_str())
                 : DeviceConfig::kUnknown;
      inGroup = true;
      more = message.Next();
      continue;
    }
    if (!inGroup) {
      more = message.Next();
      continue;
    }
    if (!IsNamed(message, "id")) {
      inGroup = false;
      more = message.Next();
      continue;
    }
    DeviceConfig device;
    device.type = type;
    device.id = CurrentText(message);
    more = message.Next();
    if (!more || !IsNamed(message, "Name")) {
      // The entry after a lone "id" is looked at again: a "Type" there starts the next group.
      inGroup = false;
      continue;
    }
    device.name = CurrentText(message);
    devices.push_back(std::move(device));
    more = message.Next();
  }
  message.Reset();
  OnDevicesList(Text(message, "UserName"), devices);
}

void HX_ConfCtrlInterface::parseDeviceChanged(const HX_Container& message) {
  OnDeviceChanged(Text(message, "UserName"), Text(message, "id"), rd::Int(message, "Cause", 0));
}

void HX_ConfCtrlInterface::parseDeviceState(const HX_Container& message) {
  DeviceConfig device;
  device.id = Text(message, "id");
  device.type = DeviceConfig::typeFromStr(rd::Str(message, "Type"));
  device.volume = rd::Int(message, "Volume", 0);
  device.mute = rd::Bool(message, "Mute", false);
  DeviceChangeDesc desc;
  if (rd::Has(message, "Volume", HX_CNT_INTEGER_VT)) desc.flags |= DeviceChangeDesc::kVolumeValid;
  if (rd::Has(message, "Mute", HX_CNT_BOOL_VT)) desc.flags |= DeviceChangeDesc::kMuteValid;
  desc.cause = rd::Int(message, "Cause", 0);
  OnDeviceState(Text(message, "UserName"), device, desc);
}

}  // namespace conference
