#pragma once
// A device-control interface for tests: writes every handler call as one line (values only where
// their flag makes them meaningful), so that a test compares what reached the platform.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/conference/control/conf_ctrl_interface.h"

namespace hx::testing {

class RecordingCtrl : public ::conference::HX_ConfCtrlInterface {
 public:
  explicit RecordingCtrl(const char* conference = "room@srv#x")
      : HX_ConfCtrlInterface(conference) {}
  void OnChangeDevice(const std::string& id, ::conference::DeviceConfig::DeviceType type,
                      int cause) override {
    calls.push_back("ChangeDevice " + id + " " + std::to_string(type) + " " +
                    std::to_string(cause));
  }
  void OnSetDeviceState(const std::string& id, int flags, int volume, bool mute,
                        int cause) override {
    // Values are written only where their flag makes them meaningful.
    std::string line = "SetDeviceState " + id + " flags=" + std::to_string(flags);
    if (flags & 1) line += " volume=" + std::to_string(volume);
    if (flags & 2) line += std::string(" mute=") + (mute ? "1" : "0");
    calls.push_back(line + " cause=" + std::to_string(cause));
  }
  void OnQueryDevices(const std::string& user, int result) override {
    calls.push_back("QueryDevices " + user + " " + std::to_string(result));
  }
  void OnDevicesList(const std::string& user,
                     const ::conference::DeviceConfigList& devices) override {
    std::string line = "DevicesList " + user + ":";
    for (const ::conference::DeviceConfig& d : devices) {
      line += " " + std::to_string(d.type) + "/" + d.id + "/" + d.name;
      EXPECT_EQ(d.volume, 0);
      EXPECT_FALSE(d.mute);
    }
    calls.push_back(line);
  }
  void OnDeviceChanged(const std::string& user, const std::string& id, int cause) override {
    calls.push_back("DeviceChanged " + user + " " + id + " " + std::to_string(cause));
  }
  void OnDeviceState(const std::string& user, const ::conference::DeviceConfig& device,
                     ::conference::DeviceChangeDesc desc) override {
    std::string line = "DeviceState " + user + " " + std::to_string(device.type) + "/" + device.id +
                       "/" + device.name + " flags=" + std::to_string(desc.flags);
    if (desc.flags & 1) line += " volume=" + std::to_string(device.volume);
    if (desc.flags & 2) line += std::string(" mute=") + (device.mute ? "1" : "0");
    calls.push_back(line + " cause=" + std::to_string(desc.cause));
  }
  std::vector<std::string> calls;
};

}  // namespace hx::testing
