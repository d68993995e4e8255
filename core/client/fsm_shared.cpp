#include "core/client/fsm_shared.h"

#include "core/storage/db_manager.h"
#include "core/storage/settings_db.h"

void HXFSMShared::HXEnvironment::SetAppDir(const std::string &dir) {
  HXAutoLock guard(m_lock);
  m_appDir = dir;
}

std::string HXFSMShared::HXEnvironment::GetAppDir() const {
  HXAutoLock guard(m_lock);
  return m_appDir;
}

void HXFSMShared::HXEnvironment::SetWorkingDir(const std::string &dir) {
  HXAutoLock guard(m_lock);
  m_workingDir = dir;
  if (!m_workingDir.empty() && m_workingDir.back() != '/') m_workingDir += '/';
}

std::string HXFSMShared::HXEnvironment::getWorkingDirStr() const {
  HXAutoLock guard(m_lock);
  return m_workingDir;
}

HXFSMShared::HXEnvironment *HXFSMShared::Env() {
  // Never destroyed: threads that outlive static destruction may still ask for
  // the folder.
  static HXEnvironment *environment = new HXEnvironment();
  return environment;
}

HXFSMShared::HXFSMShared() : m_settings(std::make_shared<HX_SettingsDBFile>()) {
  HX_DBManager::instance()->openSettingsDB(m_settings.get(), Env()->getWorkingDirStr().c_str());
}

HXFSMShared::~HXFSMShared() = default;

bool HXFSMShared::LoadParam(const char *name, void *buffer, size_t length) {
  HXAutoLock guard(m_lock);
  return name != nullptr && m_settings->ReadRef(name, buffer, length);
}

void HXFSMShared::SaveParam(const char *name, const void *data, size_t length) {
  HXAutoLock guard(m_lock);
  if (name != nullptr) m_settings->Write(name, data, length);
}

void HXFSMShared::RemoveParam(const char *name) {
  HXAutoLock guard(m_lock);
  m_settings->Remove(name);
}
