#include "core/client/fsm_shared.h"

void HXFSMShared::HXEnvironment::SetAppDir(const std::string& dir) {
  HXAutoLock guard(m_lock);
  m_appDir = dir;
}

std::string HXFSMShared::HXEnvironment::GetAppDir() const {
  HXAutoLock guard(m_lock);
  return m_appDir;
}

void HXFSMShared::HXEnvironment::SetWorkingDir(const std::string& dir) {
  HXAutoLock guard(m_lock);
  m_workingDir = dir;
  if (!m_workingDir.empty() && m_workingDir.back() != '/') m_workingDir += '/';
}

std::string HXFSMShared::HXEnvironment::getWorkingDirStr() const {
  HXAutoLock guard(m_lock);
  return m_workingDir;
}

HXFSMShared::HXEnvironment* HXFSMShared::Env() {
  // Never destroyed: threads that outlive static destruction may still ask for the folder.
  static HXEnvironment* environment = new HXEnvironment();
  return environment;
}
