#include "core/conference/tcp_handshake_manager.h"

#include <algorithm>

#include "core/base/lock.h"
#include "core/conference/model/conference.h"
#include "core/conference/model/peer.h"
#include "core/conference/model/peer_endpoints.h"
#include "core/streams/media_stream_base.h"
#include "core/streams/media_stream_connection.h"
#include "core/wire/endpoint_record.h"

ConfHandshakeManagerDC::ConfHandshakeManagerDC(HX_MediaStreamBase* stream, uint64_t trialLimit,
                                               uint32_t stepMs, uint32_t lifetimeMs,
                                               HX_TickSource clock)
    : HXHandshakeManagerBase(trialLimit, stepMs, lifetimeMs),
      m_stream(stream),
      m_clock(std::move(clock)) {}

ConfHandshakeManagerDC::~ConfHandshakeManagerDC() { shutdownJobs(); }

int ConfHandshakeManagerDC::createStreamInt(CreateStreamResult& result, int32_t clientType) {
  result.kind = kNothingLeft;
  result.trial = nullptr;
  result.delay = 0;
  HX_Conference* conference = m_stream != nullptr ? m_stream->conference() : nullptr;
  if (conference == nullptr) return -1;
  HXAutoLock lock(conference->getLock());
  const int64_t now = m_clock();
  const int32_t lastId = m_lastId.load();
  if (lastId >= 0) conference->markEndpoint(lastId, false);
  const int64_t threshold = now - kRetryAfterMs;
  const uint64_t since = threshold > 0 ? static_cast<uint64_t>(threshold) : 0;

  conference::Peer* peer = conference->getType() == 0 ? conference->firstPeer() : nullptr;
  conference::PeerEndpointsList* list = nullptr;
  conference::PeerEndpoint* candidate = nullptr;
  if (peer != nullptr && peer->dcHasTcp()) {
    list = &peer->getEndpointsList();
    candidate = list->getTcpAccept(clientType);
    if (candidate == nullptr) {
      candidate = list->getTcpConnect(lastId, conference::kEpClientConnect, clientType, since);
    }
    if (candidate == nullptr) {
      result.kind = kAskLater;
      return 0;
    }
    // 0 is "never tried": the tick starts at 0 with the process, so a young process would
    // otherwise see every fresh endpoint as resting.
    if (candidate->lastAttempt != 0 && static_cast<int64_t>(candidate->lastAttempt) > threshold) {
      result.kind = kAskLater;
      result.delay =
          candidate->lastAttempt - static_cast<uint64_t>(std::max<int64_t>(threshold, 0));
      return 0;
    }
  } else {
    list = &conference->getEndpointsList();
    candidate = list->getTcpConnect(lastId, conference::kEpServerConnect, clientType, since);
    if (candidate == nullptr) {
      result.kind = 0;
      return 0;
    }
  }

  if (candidate->kind == conference::kEpClientAcceptLive) {
    HX_MediaStreamTrialConnection* live = candidate->getLiveStream(true);
    if (live == nullptr) return -1;
    list->remove(candidate->id);
    m_lastId.store(-1);
    result.kind = kNewTrial;
    result.trial = live;
    return 0;
  }
  const std::shared_ptr<HX_Endpoint> endpoint = candidate->getEndpoint();
  if (!endpoint) {
    result.kind = 0;
    return 0;
  }
  m_lastId.store(candidate->id);
  candidate->lastAttempt = static_cast<uint64_t>(std::max<int64_t>(now, 1));
  HX_MediaStreamTrialConnection* trial = createTrialStream();
  if (trial == nullptr) return -1;
  if (!connectTrial(trial, endpoint->getHost(), endpoint->GetPort())) {
    trial->connRecycle();
    return -1;
  }
  result.kind = kNewTrial;
  result.trial = trial;
  return 0;
}

void ConfHandshakeManagerDC::onHandshakeFinished(HX_NetConnectionBase*,
                                                 hx::NetHandshakeConnectResult result, bool) {
  HX_Conference* conference = m_stream != nullptr ? m_stream->conference() : nullptr;
  if (conference == nullptr) return;
  HXAutoLock lock(conference->getLock());
  conference->markEndpoint(m_lastId.load(), result == hx::NetHandshakeConnected);
  m_lastId.store(-1);
}
