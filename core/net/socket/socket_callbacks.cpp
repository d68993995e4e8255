#include "core/net/socket/socket_callbacks.h"

HXZADataManager::~HXZADataManager() = default;

int32_t HXZADataManager::OnReadyRecvImp(HXZASocket*, HXZADataHandler*) { return failed; }

int32_t HXZADataManager::OnReadySendImp(HXZASocket*, HXZADataHandler*) { return failed; }

HXZASocketCallbacks::~HXZASocketCallbacks() = default;

int32_t HXZASocketCallbacks::OnReadyRecvImp(HXZASocket*, HXZADataHandler*) { return failed; }

int32_t HXZASocketCallbacks::OnReadySendImp(HXZASocket*, HXZADataHandler*) { return failed; }

void HXZASocketCallbacks::OnBoundLocal(bool ok) {
  if (!ok) OnError();
}

void HXZASocketCallbacks::OnClose(HXZADataHandler*) {}

void HXZASocketCallbacks::OnError() {}

void HXZASocketCallbacks::OnTimer(unsigned) {}

HXZASocketCallbacks* HXZASocketCallbacks::getSocketNextCallback() { return nullptr; }

HXZASocketCallbacks* HX_SocketCallbackLink::getSocketNextCallback() { return m_next; }

int32_t HXZASocketCallbackRedirector::OnReadyRecvImp(HXZASocket* socket,
                                                     HXZADataHandler* handler) {
  return m_target->OnReadyRecvImp(socket, handler);
}

int32_t HXZASocketCallbackRedirector::OnReadySendImp(HXZASocket* socket,
                                                     HXZADataHandler* handler) {
  return m_target->OnReadySendImp(socket, handler);
}

void HXZASocketCallbackRedirector::OnClose(HXZADataHandler* closed) { m_target->OnClose(closed); }

void HXZASocketCallbackRedirector::OnError() { m_target->OnError(); }

void HXZASocketCallbackRedirector::OnTimer(unsigned id) { m_target->OnTimer(id); }
