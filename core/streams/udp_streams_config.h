#pragma once
// HX_UdpStreamsConfig: whether the client opens a UDP listener for direct streams, and on which
// port. Stored as one integer setting, "UDPListenerPort": a value from 0 to 65535 means a
// listener on that port (0 included: the listener then picks a port itself); no value, or any
// value outside that range, means no listener.
//
// A value object; not thread-safe on its own (HXFSMShared guards its copy).

#include <cstdint>

class HX_SettingsDB;

class HX_UdpStreamsConfig {
 public:
  static constexpr char kSettingName[] = "UDPListenerPort";
  static constexpr uint32_t kListenerRequired = 1;  // bit 0 of the flags

  // No listener, port 0.
  HX_UdpStreamsConfig() = default;

  bool isListenerRequired() const { return (m_flags & kListenerRequired) != 0; }
  // The port when a listener is required, else 0.
  uint16_t getListenerPort() const { return isListenerRequired() ? m_port : 0; }
  // 0..65535 requires a listener on that port; anything else switches the listener off and keeps
  // the old port.
  void setListenerPort(int64_t port);

  // Applies the stored value as setListenerPort does (no value reads as -1). Always true.
  bool load(HX_SettingsDB& settings);
  // Writes the port when a listener is required, else removes the setting. Always true.
  bool save(HX_SettingsDB& settings) const;

 private:
  uint32_t m_flags = 0;
  uint16_t m_port = 0;
};
