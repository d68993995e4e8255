#pragma once
// The callback side of a socket. The network loop reports readiness, close, error and timer
// events to the socket, and the socket hands each event to the top of its callback chain. Layers
// (TLS, proxy, the transport connection) stack on that chain as HX_SocketCallbackLink objects;
// each layer decides itself whether it passes an event on to the layer below it.
//
// All callbacks run on the network loop's thread.

#include <cstdint>

class HXZADataHandler;
class HXZASocket;

// What consumes a socket's readiness. Every answer is one of the states below; the owner moves
// on by it.
class HXZADataManager {
 public:
  enum state : int32_t { keepGoing = 0, failed = 1, done = 2 };

  virtual ~HXZADataManager();
  virtual int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler);
  virtual int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler);
};

class HXZASocketCallbacks : public HXZADataManager {
 public:
  ~HXZASocketCallbacks() override;
  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  // The end of a bind request; a failed bind ends in OnError unless overridden.
  virtual void OnBoundLocal(bool ok);
  // `closed` is the copy of the handler that carried the closed descriptor.
  virtual void OnClose(HXZADataHandler* closed);
  virtual void OnError();
  virtual void OnTimer(unsigned id);
  // The layer below this one, or null.
  virtual HXZASocketCallbacks* getSocketNextCallback();
};

// A layer of the chain: it knows the layer below and calls it explicitly where it wants to.
class HX_SocketCallbackLink : public HXZASocketCallbacks {
 public:
  HXZASocketCallbacks* getSocketNextCallback() override;
  void setSocketNextCallback(HXZASocketCallbacks* next) { m_next = next; }
  void setSocketNextCallback(HXZASocketCallbacks* next, HX_SocketCallbackLink* /*link*/) {
    m_next = next;
  }
  void clearSocketNextCallback() { m_next = nullptr; }

 private:
  HXZASocketCallbacks* m_next = nullptr;
};

// Passes readiness, close, error and timer events to a target unchanged.
class HXZASocketCallbackRedirector : public HXZASocketCallbacks {
 public:
  explicit HXZASocketCallbackRedirector(HXZASocketCallbacks* target) : m_target(target) {}

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void OnClose(HXZADataHandler* closed) override;
  void OnError() override;
  void OnTimer(unsigned id) override;

 private:
  HXZASocketCallbacks* m_target;
};
