#pragma once
// HX_DesktopRemoteControlManager: the remote desktop control service "DS_CONTROL". So far it
// registers under its name, keeps the conference manager it works with and answers false to
// every message; the remote-desktop work grows it. The destructor unregisters first.

#include <memory>

#include "core/client/abstract_manager.h"

class HX_ConfManager;

class HX_DesktopRemoteControlManager : public HX_AbstractManager {
 public:
  HX_DesktopRemoteControlManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                                 std::shared_ptr<HX_ConfManager> confManager);
  ~HX_DesktopRemoteControlManager() override;
  bool ParseIncomimgMessage(HX_Container& message) override;
  const std::shared_ptr<HX_ConfManager>& conferenceManager() const { return m_confManager; }

 private:
  std::shared_ptr<HX_ConfManager> m_confManager;
};
