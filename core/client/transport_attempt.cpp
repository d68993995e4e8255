#include "core/client/transport_attempt.h"

#include <algorithm>

#include "core/base/ios_log.h"

HX_TransportSessionCtrlInfo& HX_TransportSessionCtrlInfo::operator=(const HX_TransportSessionCtrlInfo& other) {
  if (this == &other) return *this;
  params = other.params;
  counter = other.counter;
  scope = other.scope;
  lastAttemptTime = other.lastAttemptTime;
  lostTime = other.lostTime;
  delay = other.delay;
  lastConnectedAddress = other.lastConnectedAddress;
  lastConnectedSid = other.lastConnectedSid;
  lastConnectedPort = other.lastConnectedPort;
  refresh = other.refresh;
  accessibility.store(other.accessibility.load());
  return *this;
}

void HX_TransportSessionCtrlInfo::reset(int32_t access, bool keepParams) {
  accessibility.store(access);
  counter = kCounterReset;
  delay = 0;
  refresh = false;
  lastAttemptTime = 0;
  lostTime = 0;
  if (!keepParams) params.clear();
}

void HX_TransportSessionCtrlInfo::startConnection(int32_t newScope) {
  reset(eWaiting, false);
  scope = newScope;
}

void HX_TransportSessionCtrlInfo::startCloudConnection(const std::string& domain) {
  startConnection(0);
  params.setServerDomain(domain);
}

void HX_TransportSessionCtrlInfo::startServerConnection(const std::string& host, uint16_t port) {
  startConnection(1);
  params.setServerAddress(host, port);
}

void HX_TransportSessionCtrlInfo::stopConnection() { reset(eStopped, false); }

void HX_TransportSessionCtrlInfo::restartKeepingParams() { reset(eWaiting, true); }

bool HX_TransportSessionCtrlInfo::startAttempt() {
  if (!changeAccessibility(eWaiting, eAttempting)) return false;
  ++counter;
  return true;
}

void HX_TransportSessionCtrlInfo::abandonAttempt() {
  changeAccessibility(eAttempting, eWaiting);
  --counter;
}

bool HX_TransportSessionCtrlInfo::serverConnected(const HX_TransportConnectionParam& param) {
  int32_t current = accessibility.load();
  do {
    if (current != eAttempting && current != eConnected && current != eLoggedIn) return false;
  } while (!accessibility.compare_exchange_weak(current, eConnected));
  counter = kCounterReset;
  delay = 0;
  refresh = false;
  lastAttemptTime = 0;
  lostTime = 0;
  params = param;
  lastConnectedAddress = param.getServerAddress();
  lastConnectedPort = param.getServerPort();
  lastConnectedSid = param.getSID();
  return true;
}

void HX_TransportSessionCtrlInfo::serverUnavailable(bool wasLoggedIn, long reason, uint64_t nowSec) {
  accessibility.store(eWaiting);
  if (reason <= 0) {
    if (wasLoggedIn) lostTime = nowSec;
    if (reason == -3 || reason == -2) params.setCID(std::string());
  } else if (wasLoggedIn) {
    const uint64_t silence = static_cast<uint64_t>(reason) / 1000;
    lostTime = nowSec > silence ? nowSec - silence : 0;
  }
}

uint64_t HX_TransportSessionCtrlInfo::checkCID(uint64_t nowSec, uint64_t lifetimeSec) {
  if (params.getCID().empty()) return 0;
  if (lostTime != 0 && nowSec < lostTime + lifetimeSec) return lostTime + lifetimeSec - nowSec;
  params.setCID(std::string());
  return 0;
}

bool HX_TransportSessionCtrlInfo::isLastConnected(const HX_TransportConnectionParam& param) const {
  if (param.getServerPort() == lastConnectedPort && param.getServerAddress() == lastConnectedAddress) return true;
  return param.getSID() == lastConnectedSid;
}

void HX_TransportSessionCtrlInfo::clearLastConnectedServer() {
  lastConnectedAddress.clear();
  lastConnectedSid.clear();
  lastConnectedPort = 0;
  params.setCID(std::string());
}

bool HX_TransportSessionCtrlInfo::userLoggedIn(int32_t* from) {
  int32_t current = accessibility.load();
  if (from != nullptr) *from = current;
  if (current == eConnected || current == eLoggedIn) {
    accessibility.store(eLoggedIn);
    return true;
  }
  ios_log("userLoggedIn() called in state %d", current);
  return accessibility.compare_exchange_strong(current, eLoggedIn);
}

void HX_TransportSessionCtrlInfo::userLoggedOut() { changeAccessibility(eLoggedIn, eConnected); }

uint64_t HX_TransportSessionCtrlInfo::connectLimitMs(uint64_t left) {
  if (left == 0) return 5000;
  if (left >= 5) return 3000;
  return left * 1000;
}

uint32_t HX_TransportSessionCtrlInfo::nextDelay(int32_t attempt, uint32_t current) {
  if (attempt < 1) return current;
  if (current == 0) return kFirstBackOffMs;
  if (current <= kMaxBackOffMs - 1) return std::min<uint32_t>(current * 3 / 2, kMaxBackOffMs);
  return current;
}

uint64_t HX_TransportSessionCtrlInfo::scheduleAttempt(uint64_t nowMs) {
  const uint64_t previous = lastAttemptTime;
  lastAttemptTime = nowMs;
  delay = nextDelay(counter, delay);
  // A run's first attempt has no previous start: its delay (800 ms after a failure during a
  // conference) counts from now, or it would never be waited for.
  const uint64_t due = (previous != 0 ? previous : nowMs) + delay;
  return due > nowMs ? due - nowMs : 0;
}
