#pragma once
// HX_TransportManager: the part of the client application object that owns the one connection to
// the server (HXZTransport), the login service and the network-configuration service, and
// implements the transport session over the connection. So far it is what creation needs: the
// constructor, updateTransportManager (which builds the connection and both managers and attaches
// the session to the shared state) and the session operations forwarded to the connection. The
// connection tasks (connect, login, retries) grow it.
//
// Thread safety: the session operations may be called from any thread (the connection is its own
// lock); updateTransportManager runs once, on the creating thread, before the loop carries
// messages.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/transport/session.h"
#include "core/wire/endpoint_record.h"

class HXFSMShared;
class HXZTransport;
class HXIpIfAddrSet;

class HX_TransportManager : public HX_TransportSession {
 public:
  HX_TransportManager();
  ~HX_TransportManager() override;
  HX_TransportManager(const HX_TransportManager&) = delete;
  HX_TransportManager& operator=(const HX_TransportManager&) = delete;

  // Keeps `fsm`, creates the connection and the login and network-configuration managers (with
  // the session pointer and `fsm`), makes the servers list (initTrSession), attaches the shared
  // state's settings database as session database with GetAppDefaultDomain as default domain and
  // hands the session pointer to the shared state.
  void updateTransportManager(HXFSMShared* fsm);

  // This object as a transport session, with a deleter that does nothing: the pointer handed to
  // every service manager. Valid while this object lives.
  std::shared_ptr<HX_TransportSession> transport() const { return m_self; }
  // The connection, null before updateTransportManager.
  std::shared_ptr<HXZTransport> connection() const;

  // HX_TransportSession over the connection. Without a connection: sequence 0, empty addresses,
  // no parameters, and QueuePacket deletes the message and answers false.
  uint32_t GetNextSequence() override;
  HXZNativeSocketDetails GetTransportAddress() const override;
  bool getLocalBind(HXSockAddr& address) const override;
  std::shared_ptr<HX_TransportConnectionParam> getConnectionParam() const override;
  // Login and logout are driven by the connection tasks, which are not here yet: false.
  bool Login(const char* login, const char* password, bool flag1, bool flag2) override;
  bool Logout(bool flag1, bool flag2) override;
  bool QueuePacket(HX_ClientMessage* message) override;
  // The connection's CID and the session's SID, copied into a buffer of the calling thread: the
  // text stays valid until that thread asks again.
  const char* TransportCid() const override;
  const char* TransportSid() const override;
  // Drops the connection.
  void shutdown() override;
  bool onLogin(const char* user, int32_t type, const char* text1, const char* text2) override;
  void onAcceptorsListUpdated(const HXZAcceptorInfo& acceptors) override;
  virtual void getLocalIPList(HXIpIfAddrSet& list);

  // Hooks of the client object.
  virtual const char* GetAppDefaultDomain() = 0;
  virtual void onIfAddrListChanged(const HXIpIfAddrSet& list) = 0;
  virtual void OnLogin(const char* user, int32_t result, const char* text1, const char* text2) = 0;
  virtual void OnLogout(int result, int cause) = 0;
  virtual void OnRightsUpdated(int rights) = 0;

 protected:
  HXFSMShared* transportFSM() const { return m_fsm; }

 private:
  // Handlers of the connection's and the managers' signals; the connection tasks fill them in.
  void OnServerUpdate(HX_TransportConnectionParam param, const char* host, int result, bool keepAlive);
  void OnServerUnavailable(const char* host, unsigned short port, long reason);
  void onLogout(int result, int cause);
  void onRightsUpdated(int rights);
  void OnScheduleCheckLogin(uint64_t delayMs, uint32_t tag);
  void SaveEndpoints(const char* services, const char* server, const HX_TransportEndpointList& list);
  void OnRedirectListArrived(const char* server, const HX_TransportEndpointList& list);

  mutable HXLock m_lock;
  std::atomic<uint32_t> m_tasks{0};
  std::shared_ptr<HX_TransportSession> m_self;
  HXFSMShared* m_fsm = nullptr;
  std::shared_ptr<HXZTransport> m_connection;
};
