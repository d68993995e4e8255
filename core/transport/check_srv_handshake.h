#pragma once
// HXCheckSrvHandshakeSimple: the server check ping. It opens a TCP connection to a server host
// (through the proxy layer, without TLS), sends the 33-byte "CHECK_SRV" record and reads the
// 33-byte answer, which carries the number of end points connected to the server and its CPU
// load. The score it reports is the round trip in milliseconds plus 1 ms per 50 end points.
// Server discovery and the servers list start one check per host and attach to the result
// signal: (check id, host, resolved address, port, score, domain, server id, callback flag).
//
// Each object checks once and then closes and deletes itself on the network loop, whatever the
// outcome: answer, bad answer, close, socket error, or no answer within the check limit (15 s by
// default), which its own socket timer enforces. Only a valid answer emits the signal. The
// answer may arrive in pieces; the round trip is measured when its last byte arrives.
//
// Threads: create it and call Ping from any thread; every callback and the signal run on the
// network loop's thread. Connect handlers before Ping; the object must not be touched after Ping
// returned true, since it may be deleted on the loop at any time after that. Whatever its
// handlers point at (discovery, the servers list) must outlive the check.

#include <atomic>
#include <cstdint>
#include <string>

#include "core/base/ios_log.h"
#include "core/base/signal.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket_helper.h"
#include "core/net/socket/common_socket.h"

class HXCheckSrvHandshakeSimple : public HXZCommonSocket {
 public:
  static constexpr size_t kRecordSize = 33;
  static constexpr unsigned kCheckTimerId = 0x43534B;  // "CSK"
  static constexpr uint32_t kDefaultCheckLimitMs = 15000;

  enum State : int32_t { eIdle = 0, eConnecting = 1, eRequestSent = 2 };

  // The four integers are not looked at (the socket kind is fixed: IPv4, stream, TCP).
  HXCheckSrvHandshakeSimple(HXZASocketHelper* helper, int, int, int, int);
  ~HXCheckSrvHandshakeSimple() override;

  // Stores what the signal hands back, then Ping(callback).
  bool Ping(int checkId, const std::string& domain, const std::string& serverId,
            const std::string& host, uint16_t port, bool callback);
  // Resets, takes the host's address from the DNS client when it knows it at once, and starts
  // the connect to that address (or to the host name). False when the connect cannot start.
  bool Ping(bool callback);
  void Reset(bool callback);

  static bool CheckPrimaryField(const char* text);

  // The score: -1 until a valid answer arrived.
  int64_t Result() const { return m_score; }
  uint32_t GetEPCount() const { return m_epCount; }
  void SetEPCount(uint32_t count) { m_epCount = count; }
  uint32_t GetCPU() const { return m_cpu; }
  void SetCPU(uint32_t cpu) { m_cpu = cpu; }
  bool GetCallback() const { return m_callback; }

  // The check limit of checks started afterwards (tests shorten it).
  static void SetCheckLimitMs(uint32_t ms) { s_checkLimitMs.store(ms); }
  static uint32_t GetCheckLimitMs() { return s_checkLimitMs.load(); }

  // HXZASocket: the loop's events.
  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void OnClose(HXZADataHandler* closed) override;
  void OnError() override;
  void OnTimer(unsigned id) override;
  size_t SendTo(const void*, size_t, const HXSockAddr&, int) override { return 0; }

  hx::Signal8<int, const char*, const char*, unsigned short, unsigned long long, const char*,
              const char*, bool>
      result;

 private:
  // The request: primary field, version 1, a zero body of 13 bytes, checksums.
  void BuildRequest();
  // Closes the socket and hands the object to the loop for deletion.
  void Finish();

  std::atomic<int32_t> m_state{eIdle};
  uint32_t m_epCount = 0;
  uint32_t m_cpu = 0;
  int64_t m_score = -1;
  uint64_t m_sendTime = 0;
  uint64_t m_roundTrip = 0;
  std::string m_host;
  std::string m_resolved;
  uint16_t m_port = 0;
  std::string m_domain;
  std::string m_serverId;
  int m_checkId = 0;
  bool m_callback = false;
  uint8_t m_record[kRecordSize];
  size_t m_received = 0;  // answer bytes read so far

  static std::atomic<uint32_t> s_checkLimitMs;
};

// Starts a check ping of every host of `hosts` (any set of HXServerEndpoint), each reporting its
// result to `method` of `handler` under `checkId`; a check that cannot start is logged and handed
// back for deletion. Answers how many started (none while no network loop runs).
template <typename Hosts, typename Handler, typename Method>
size_t StartServerChecks(const Hosts& hosts, int checkId, Handler* handler, Method method) {
  size_t started = 0;
  for (const auto& host : hosts) {
    if (HXZServer::m_Instance == nullptr) break;
    auto* check =
        new HXCheckSrvHandshakeSimple(new HXZNativeSocketHelper(HXZServer::m_Instance), 2, 1, 6, 0);
    check->result.Connect(handler, method);
    if (check->Ping(checkId, host.getDomain(), host.getServerId(), host.getHost(), host.getPort(),
                    false)) {
      ++started;
    } else {
      ios_log("FAILED: Check %s %d", host.getHost().c_str(), host.getPort());
      check->GC();
    }
  }
  return started;
}
