#pragma once
// ConfHandshakeManagerDC: the handshake manager of a stream carried over TCP, directly to the
// peer of a call or to the server. Each step picks the next endpoint to try:
//   - in a call whose peer has direct TCP: the peer's live accepted connection first (taken out
//     of its endpoint, which goes), else the peer's next client-connect endpoint, retried at most
//     every 5000 ms (a wait otherwise);
//   - otherwise the conference's next server-connect endpoint, at once.
// and starts a trial towards it. The endpoint tried last is marked as not proven when the next
// step comes, and as working (or not) when the attempt ends, so that a reconnect starts with the
// one that worked.
//
// The trial connections themselves (TCP to the peer or to the server) come from the subclass:
// createTrialStream and connectTrial.
//
// Threads: createStream and onHandshakeFinished run on the worker pool's jobs; both hold the
// conference's lock (the store's write lock) while they read and mark endpoints.

#include <atomic>
#include <cstdint>
#include <string>

#include "core/streams/stream_clock.h"
#include "core/transport/handshake_manager.h"

class HX_MediaStreamBase;
class HX_MediaStreamTrialConnection;

class ConfHandshakeManagerDC : public HXHandshakeManagerBase {
 public:
  // How long an endpoint rests between two attempts (ms).
  static constexpr int64_t kRetryAfterMs = 5000;

  // `stepMs` and `lifetimeMs` are the base's step delay and trial lifetime (800 and 5000).
  ConfHandshakeManagerDC(HX_MediaStreamBase* stream, uint64_t trialLimit, uint32_t stepMs,
                         uint32_t lifetimeMs, HX_TickSource clock = HX_CoreTickSource());
  ~ConfHandshakeManagerDC() override;

  void onHandshakeFinished(HX_NetConnectionBase* connection, hx::NetHandshakeConnectResult result,
                           bool usableNow) override;

  // A new trial for the stream's handler; null when none can be made.
  virtual HX_MediaStreamTrialConnection* createTrialStream() = 0;
  // Asks `trial` to connect to host:port; false when it refuses.
  virtual bool connectTrial(HX_MediaStreamTrialConnection* trial, const std::string& host,
                            uint16_t port) = 0;

  int32_t lastTried() const { return m_lastId.load(); }

 protected:
  // One step for a stream of `clientType` (1 sender, 2 receiver).
  int createStreamInt(CreateStreamResult& result, int32_t clientType);

  HX_MediaStreamBase* const m_stream;

 private:
  const HX_TickSource m_clock;
  std::atomic<int32_t> m_lastId{-1};
};
