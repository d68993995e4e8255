#include "core/streams/udp_streams_config.h"

#include "core/storage/settings_db.h"

void HX_UdpStreamsConfig::setListenerPort(int64_t port) {
  if (port < 0 || port > UINT16_MAX) {
    m_flags &= ~kListenerRequired;
    return;
  }
  m_flags |= kListenerRequired;
  m_port = static_cast<uint16_t>(port);
}

bool HX_UdpStreamsConfig::load(HX_SettingsDB& settings) {
  setListenerPort(settings.Read<int64_t>(kSettingName, -1));
  return true;
}

bool HX_UdpStreamsConfig::save(HX_SettingsDB& settings) const {
  if (isListenerRequired()) {
    settings.Write(kSettingName, m_port);
  } else {
    settings.Remove(kSettingName);
  }
  return true;
}
