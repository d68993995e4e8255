#pragma once
// HX_TransportSessionCtrlInfo: the transport manager's record of the connection attempt under
// way: the parameters of the server now tried or used (CID, address, domain, port, SID), the
// attempt counter and back-off delay that space the attempts of one connect run, when the server
// was lost (a CID is worth keeping for a while after that), the last server a connection reached,
// and the accessibility that lets only one attempt run at a time:
//
//   0 stopped (nothing wanted), 1 waiting (an attempt may start), 2 attempting, 3 connected,
//   5 logged in. 0 -> 1 by a connect run; 1 -> 2 when an attempt starts (startAttempt);
//   2 -> 3 when the server answered; 3 -> 5 on login, 5 -> 3 on logout; any -> 1 when the
//   server is lost; any -> 0 on disconnect.
//
// Thread safety: accessibility is atomic and changes by compare-exchange; every other field is
// the owner's to guard (the transport manager reads and writes them under its lock).

#include <atomic>
#include <cstdint>
#include <string>

#include "core/wire/transport_connection_param.h"

class HX_TransportSessionCtrlInfo {
 public:
  enum Accessibility : int32_t {
    eStopped = 0,
    eWaiting = 1,
    eAttempting = 2,
    eConnected = 3,
    eLoggedIn = 5,
  };

  // The counter after every reset: the first five attempts of a run keep the base delay.
  static constexpr int32_t kCounterReset = -5;
  // The back-off of the sixth attempt on: from 500 ms up by half each time to at most 180000 ms.
  static constexpr uint32_t kFirstBackOffMs = 500;
  static constexpr uint32_t kMaxBackOffMs = 180000;

  HX_TransportSessionCtrlInfo() = default;
  HX_TransportSessionCtrlInfo(const HX_TransportSessionCtrlInfo& other) { *this = other; }
  HX_TransportSessionCtrlInfo& operator=(const HX_TransportSessionCtrlInfo& other);

  // Resets: accessibility 1, counter -5, delay 0, refresh flag false, both times 0, parameters
  // cleared; then the scope (and the domain of a cloud start, the server of a server start).
  void startConnection(int32_t scope);
  void startCloudConnection(const std::string& domain);
  void startServerConnection(const std::string& host, uint16_t port);
  // The same reset with accessibility 0.
  void stopConnection();
  // The reset of a reconnect that keeps the parameters (redirect, better host, network change):
  // accessibility 1, counter -5, delay 0, refresh false, both times 0.
  void restartKeepingParams();

  // 1 -> 2; when it changed, the counter goes up by one and the answer is true.
  bool startAttempt();
  // An attempt that could not start: 2 -> 1 and the counter back down.
  void abandonAttempt();
  // The server answered: 2 or 3 (or 5) become 3 and the parameters and the last connected server
  // become `param`'s, counter -5, delay 0, refresh false, both times 0. From 0 or 1 the answer is
  // ignored: false, nothing changed.
  bool serverConnected(const HX_TransportConnectionParam& param);
  // The server was lost (`nowSec`, calendar seconds): accessibility 1. Reason 0 or below: a
  // logged-in session notes the loss now, and -3 or -2 clear the CID. Above 0 (milliseconds of
  // silence): a logged-in session notes the loss that long ago.
  void serverUnavailable(bool wasLoggedIn, long reason, uint64_t nowSec);
  // The seconds the CID stays worth keeping: 0 without a CID; with a loss noted less than
  // `lifetimeSec` before `nowSec`, what is left of it; otherwise the CID is cleared and 0.
  uint64_t checkCID(uint64_t nowSec, uint64_t lifetimeSec);
  // Whether `param` names the last connected server: same port and address (bytes), or same SID.
  bool isLastConnected(const HX_TransportConnectionParam& param) const;
  // Forgets the last connected server and the CID.
  void clearLastConnectedServer();
  // 3 or 5 -> 5 at once; from another value the change is still made unless the value changed
  // meanwhile (false). `from` receives the value found.
  bool userLoggedIn(int32_t* from = nullptr);
  // 5 -> 3.
  void userLoggedOut();

  // The connect time limit of an attempt when the CID has `left` seconds to live: 1 to 4 seconds
  // give that many seconds, 5 or more 3000 ms, none (no CID) 5000 ms.
  static uint64_t connectLimitMs(uint64_t left);
  // The back-off step of attempt number `counter` (after the increment): for counter 1 and up,
  // `delay` grows (0 -> 500, else 3/2 capped at 180000; above 179999 it stays); below, unchanged.
  static uint32_t nextDelay(int32_t counter, uint32_t delay);
  // Notes an attempt starting at `nowMs` and answers how long it waits: the delay (grown by
  // nextDelay) after the previous attempt's start (after now when there was none), 0 when that
  // has passed.
  uint64_t scheduleAttempt(uint64_t nowMs);

  int32_t getScope() const { return scope; }
  bool isCloud() const { return scope == 0; }
  bool isAttempt() const { return getAccessibility() == eAttempting; }
  int32_t getAccessibility() const { return accessibility.load(); }
  // Compare-exchange of the accessibility.
  bool changeAccessibility(int32_t from, int32_t to) { return accessibility.compare_exchange_strong(from, to); }
  void setAccessibility(int32_t value) { accessibility.store(value); }

  HX_TransportConnectionParam params;
  int32_t counter = kCounterReset;
  int32_t scope = 0;
  uint64_t lastAttemptTime = 0;  // tick clock, ms
  uint64_t lostTime = 0;         // calendar seconds
  uint32_t delay = 0;            // ms
  std::string lastConnectedAddress;
  std::string lastConnectedSid;
  uint16_t lastConnectedPort = 0;
  bool refresh = false;
  std::atomic<int32_t> accessibility{eWaiting};

 private:
  void reset(int32_t access, bool keepParams);
};
