#pragma once
// Device control between participants: the device records of the six "CONFERENCE" methods
// "ChangeDevice", "SetDeviceState", "QueryDevices", "DevicesList", "DeviceChanged" and
// "DeviceState", and conference::HX_ConfCtrlInterface, the interface a platform installs in a
// conference (HX_Conference::setConfCtrlInterface) to be told about them. The interface reads a
// received message into values (parseConfCtrlMethods) and calls one of six handlers the platform
// implements. The client core installs none, so without a platform the messages are dropped.
//
// Reading rules: an absent string (or one of another type) reads as empty, an absent integer as 0
// unless the method names another default; a device type text that is not one of the four reads
// as -1 and is handed on as it is.
//
// Thread safety: the conference calls parseConfCtrlMethods on the network loop thread with the
// conference's lock (the store's recursive write lock) held, so the handlers run under it. The
// interface keeps no state beyond the conference it serves.

#include <cstdint>
#include <string>
#include <vector>

class HX_Container;

namespace conference {

// Why a device changed; taken from and sent as "Cause" (requests from this client send 4).
using DeviceChangingCause = int32_t;

struct DeviceConfig {
  // 0 "microphone", 1 "speaker", 2 "camera", 3 "desktop"; -1 for a text that is none of them.
  using DeviceType = int32_t;
  static constexpr DeviceType kMicrophone = 0;
  static constexpr DeviceType kSpeaker = 1;
  static constexpr DeviceType kCamera = 2;
  static constexpr DeviceType kDesktop = 3;
  static constexpr DeviceType kUnknown = -1;

  // The wire text of `type`; "" for any value outside 0..3.
  static const char* getTypeStr(DeviceType type);
  // The type of `text`, compared exactly (case matters); -1 for any other text or null.
  static DeviceType typeFromStr(const char* text);

  DeviceType type = kUnknown;
  std::string id;
  std::string name;
  int32_t volume = 0;
  bool mute = false;
};

using DeviceConfigList = std::vector<DeviceConfig>;

// What a device-state report carries besides the device.
struct DeviceChangeDesc {
  static constexpr int32_t kVolumeValid = 0x1;
  static constexpr int32_t kMuteValid = 0x2;
  int32_t flags = 0;
  DeviceChangingCause cause = 0;
};

class HX_ConfCtrlInterface {
 public:
  // `conference` names the conference this interface serves (kept as given).
  explicit HX_ConfCtrlInterface(std::string conference) : m_conference(std::move(conference)) {}
  virtual ~HX_ConfCtrlInterface() = default;
  HX_ConfCtrlInterface(const HX_ConfCtrlInterface&) = delete;
  HX_ConfCtrlInterface& operator=(const HX_ConfCtrlInterface&) = delete;

  const std::string& conference() const { return m_conference; }

  // Compares "Method" with the six names and runs the matching parser, which calls its handler
  // once; false (no handler called) for any other method or an absent one.
  bool parseConfCtrlMethods(const HX_Container& message);

  // A peer asks this client to switch to the device `id` of `type`.
  virtual void OnChangeDevice(const std::string& id, DeviceConfig::DeviceType type, int cause) = 0;
  // A peer asks this client to change a device's state; `flags` bit 0 says `volume` is valid,
  // bit 1 that `mute` is.
  virtual void OnSetDeviceState(const std::string& id, int flags, int volume, bool mute,
                                int cause) = 0;
  // `user` asks for this client's devices (`result` 2 when the message names none).
  virtual void OnQueryDevices(const std::string& user, int result) = 0;
  // `user`'s devices, grouped by type in the order the message lists them.
  virtual void OnDevicesList(const std::string& user, const DeviceConfigList& devices) = 0;
  virtual void OnDeviceChanged(const std::string& user, const std::string& id, int cause) = 0;
  // The device's name is empty; `desc.flags` says which of volume and mute are valid.
  virtual void OnDeviceState(const std::string& user, const DeviceConfig& device,
                             DeviceChangeDesc desc) = 0;

 private:
  void parseChangeDevice(const HX_Container& message);
  void parseSetDeviceState(const HX_Container& message);
  void parseQueryDevices(const HX_Container& message);
  void parseDevicesList(const HX_Container& message);
  void parseDeviceChanged(const HX_Container& message);
  void parseDeviceState(const HX_Container& message);

  const std::string m_conference;
};

}  // namespace conference
