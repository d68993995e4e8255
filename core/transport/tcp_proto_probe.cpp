#include "core/transport/tcp_proto_probe.h"

#include <cstring>
#include <memory>

#include "core/base/net_message.h"
#include "core/wire/name_hash.h"

namespace {

constexpr size_t kHeadRecord = 21;  // a head and the first body byte

struct PrimaryHashes {
  uint32_t ping = hx::NameHash(HX_Ping_PrimaryField);
  uint32_t transport = hx::NameHash(HX_Transport_PrimaryField);
  uint32_t stream = hx::NameHash(HX_Stream_PrimaryField);
};

const PrimaryHashes& Hashes() {
  static const PrimaryHashes hashes;
  return hashes;
}

// The hash of the 16-byte primary field up to its NUL, never beyond the field.
uint32_t PrimaryHash(const HX_ZeroHandshakeFixedPart& record) {
  char field[sizeof record.primary + 1] = {};
  std::memcpy(field, record.primary, sizeof record.primary);
  return hx::NameHash(field);
}

}  // namespace

HXZTcpProtoProbe::HXZTcpProtoProbe(HXZASocketHelper* helper, HXZADataHandler& other)
    : HXZTCPSocketHandy(helper, other) {}

HXZTcpProtoProbe::~HXZTcpProtoProbe() = default;

bool HXZTcpProtoProbe::start(uint32_t time_limit_ms) {
  SetState(true);
  return startTimer(0, time_limit_ms);
}

void HXZTcpProtoProbe::cleanup() {
  if (m_cleanedUp) return;
  m_cleanedUp = true;
  Close(true);
  DeleteLater();
}

HXZTcpProtoProbe::Verdict HXZTcpProtoProbe::ClassifyFirstRecord(const uint8_t* bytes, size_t count,
                                                                size_t& need) {
  need = kHeadRecord;
  if (count < kHeadRecord) return verdictIncomplete;
  const auto& record = *reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(bytes);
  if (!HX_CheckZeroHandshakeHeadCksum(&record)) return verdictBadHead;
  const uint32_t hash = PrimaryHash(record);
  const PrimaryHashes& known = Hashes();
  if (hash == known.ping) return verdictPing;
  if (hash == known.transport) return verdictTransport;
  if (hash != known.stream) return verdictUnknown;
  need = record.RecordLength();
  if (need > kBufferSize) return verdictBadStream;
  if (count < need) return verdictIncomplete;
  return HX_CheckZeroHandshakeCksum(&record) ? verdictStream : verdictBadStream;
}

int32_t HXZTcpProtoProbe::OnReadyRecvImp(HXZASocket*, HXZADataHandler*) {
  std::shared_ptr<HXNetMessage> buffer = getDataBuffer(false);
  if (buffer == nullptr) {
    setDataBuffer(std::make_shared<HXNetMessage>(kBufferSize));
    buffer = getDataBuffer(false);
  }
  uint64_t total = 0;
  size_t need = kHeadRecord;
  Verdict verdict = verdictIncomplete;
  // Reads exactly the bytes the verdict asks for, so that what follows stays in the socket.
  for (;;) {
    const uint64_t held = RecvToBuffer(need, total);
    size_t more = 0;
    verdict = ClassifyFirstRecord(buffer->buffer(), static_cast<size_t>(held), more);
    if (verdict != verdictIncomplete || held < need || more <= need) break;
    need = more;
  }
  // A freshly read record must not look like bytes waiting for delivery: the loop would take it.
  ClearFlag(kBufferedData);
  switch (verdict) {
    case verdictIncomplete:
      if (total == 0 && RecvEnded()) {
        cleanup();
        return failed;
      }
      return buffer->size() < kHeadRecord ? failed : keepGoing;
    case verdictPing:
      fireProbePing(this);
      break;
    case verdictTransport:
      fireProbeTransport(this);
      break;
    case verdictStream:
      fireProbeStream(*reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(buffer->buffer()), this);
      break;
    default:
      break;
  }
  cleanup();
  return done;
}

int32_t HXZTcpProtoProbe::OnReadySendImp(HXZASocket*, HXZADataHandler*) { return failed; }

void HXZTcpProtoProbe::OnClose(HXZADataHandler*) {}

void HXZTcpProtoProbe::OnError() {
  m_cleanedUp = true;
  DeleteLater();
}

void HXZTcpProtoProbe::OnTimer(unsigned) { cleanup(); }
