#include "core/transport/stream_helper_simple.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/base/net_message.h"
#include "core/net/socket/abstract_socket.h"
#include "core/streams/stream_handshake.h"

namespace {

unsigned ListLength(const uint8_t* list) {
  unsigned count = 0;
  while (count < 255 && list[count] != 0) ++count;
  return count;
}

// A stream record whose checksums hold; a record of another kind or spoiled on the way is none.
bool isIntactStreamRecord(const HX_ZeroHandshakeFixedPart* record) {
  return std::strncmp(record->primary, HX_Stream_PrimaryField, sizeof record->primary) == 0 &&
         HX_CheckZeroHandshakeCksum(record);
}

}  // namespace

HXHelperStreamSimple::HXHelperStreamSimple() {
  const uint8_t defaults[] = {HX_TrackAudio, HX_TrackVideo, HX_TrackSenderControl, HX_TrackData,
                              HX_TrackCommand};
  std::memcpy(m_ownTracks.data(), defaults, sizeof defaults);
}

HXHelperStreamSimple::~HXHelperStreamSimple() {
  for (HX_ZeroHandshakeFixedPart* record : m_records) std::free(record);
}

bool HXHelperStreamSimple::SetOwnTracks(const uint8_t* tracks, unsigned count) {
  uint8_t table[HX_TrackTableSize];
  if (tracks == nullptr || !HX_SetFTracks(table, tracks, count)) return false;
  m_ownTracks.fill(0);
  std::memcpy(m_ownTracks.data(), tracks, count);
  return true;
}

bool HXHelperStreamSimple::ownMask(uint8_t* mask) const {
  uint8_t table[HX_TrackTableSize];
  if (!HX_SetFTracks(table, m_ownTracks.data(), ListLength(m_ownTracks.data()))) return false;
  HX_SetMTracks(mask, table);
  return true;
}

void HXHelperStreamSimple::ResetHandshake(int32_t type, HX_ZeroHandshakeFixedPart* record) {
  if (type < 0 || type >= kRecordSlots) {
    std::free(record);
    return;
  }
  std::free(m_records[static_cast<size_t>(type)]);
  m_records[static_cast<size_t>(type)] = record;
}

bool HXHelperStreamSimple::prepare(int32_t type) {
  if (type < 0 || type >= kRecordSlots) return false;
  ResetHandshake(type, nullptr);
  m_state.store(stateIdle);
  m_type.store(type);
  return true;
}

bool HXHelperStreamSimple::ConnectStream(const char* conference, const char* user, const char* peer,
                                         int32_t type) {
  uint8_t mask[HX_TrackMaskSize];
  if (!prepare(type) || !ownMask(mask)) return false;
  m_state.store(statePrepared);
  HX_ZeroHandshakeFixedPart* record = nullptr;
  const bool formed = HX_FormStreamHandshake(&record, user, type, conference, user, peer, mask);
  ResetHandshake(type, record);
  return formed;
}

bool HXHelperStreamSimple::AcceptStream(int32_t type) {
  uint8_t mask[HX_TrackMaskSize];
  if (!prepare(type) || !ownMask(mask)) return false;
  m_state.store(statePrepared);
  HX_ZeroHandshakeFixedPart* record = nullptr;
  const bool formed = HX_FormStreamHandshakeResponse(&record, mask);
  ResetHandshake(type, record);
  return formed;
}

bool HXHelperStreamSimple::SendHandshake(HXZASocket* socket, int32_t type) {
  if (type < 0 || type >= kRecordSlots) return false;
  const HX_ZeroHandshakeFixedPart* record = m_records[static_cast<size_t>(type)];
  if (record == nullptr) return false;
  const size_t size = record->RecordLength();
  return socket->Send(record, size, 0) == size;
}

bool HXHelperStreamSimple::CheckHandshakeRequest(const HX_ZeroHandshakeFixedPart* record) {
  uint8_t own[HX_TrackMaskSize];
  if (!ownMask(own)) return false;
  int32_t type = 0;
  const char *conference, *stream_id, *peer_id, *name;
  const uint8_t* mask = nullptr;
  if (!HX_GetStreamHandshakeFields(record, type, conference, stream_id, peer_id, name, mask) ||
      mask == nullptr) {
    return false;
  }
  uint8_t common[HX_TrackMaskSize];
  std::memcpy(common, mask, sizeof common);
  if (HX_CrossingMTracks(common, own) == 0) return false;
  uint8_t table[HX_TrackTableSize];
  HX_GetFTracks(table, common);
  if (HX_GetTracks(m_tracks.data(), table) == 0) return false;
  return type == m_type.load();
}

bool HXHelperStreamSimple::CheckHandshakeAnswer(const HX_ZeroHandshakeFixedPart* record) {
  const uint8_t* mask = nullptr;
  return HX_GetStreamHandshakeResponseFields(record, mask);
}

int32_t HXHelperStreamSimple::recvRecord(HXZASocket* socket, HXZADataHandler* handler,
                                         uint64_t& total, bool request) {
  const std::shared_ptr<HXNetMessage> buffer = handler->getDataBuffer(false);
  // Reads up to `max` bytes in all, never more: what follows the record stays in the socket.
  auto fill = [&](uint64_t max) {
    if (buffer->size() < max) {
      buffer->ensureSize(max);
      const size_t read = socket->Recv(buffer->buffer() + buffer->size(),
                                       static_cast<size_t>(max - buffer->size()), 0);
      total += read;
      buffer->sizeAdjust(static_cast<uint64_t>(read));
    }
    return buffer->size();
  };
  if (fill(kZeroHandshakeHeadSize) < kZeroHandshakeHeadSize) return 0;
  const uint64_t length =
      reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(buffer->buffer())->RecordLength();
  if (length > kBufferSize) return -1;
  if (fill(length) < length) return 0;
  const auto* record = reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(buffer->buffer());
  // The record comes from the peer: only an intact stream record is read at all.
  if (!isIntactStreamRecord(record)) return -1;
  const bool accepted = request ? CheckHandshakeRequest(record) : CheckHandshakeAnswer(record);
  return accepted ? 1 : -1;
}

int32_t HXHelperStreamSimple::OnReadySendImp(HXZASocket* socket, HXZADataHandler*) {
  if (m_state.load() != statePrepared) return failed;
  if (!SendHandshake(socket, m_type.load())) return failed;
  socket->SendAsync(false);
  m_state.store(stateRequestSent);
  return keepGoing;
}

int32_t HXHelperStreamSimple::OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) {
  const int32_t state = m_state.load();
  if (state != statePrepared && state != stateRequestSent) return failed;
  uint64_t total = 0;
  std::shared_ptr<HXNetMessage> buffer = handler->getDataBuffer(false);
  if (buffer == nullptr) {
    handler->setDataBuffer(std::make_shared<HXNetMessage>(kBufferSize));
  } else if ((handler->ClearFlag(HXZADataHandler::kBufferedData) &
              HXZADataHandler::kBufferedData) != 0) {
    // The bytes the protocol probe read count as received.
    total = buffer->size();
  }
  const int32_t verdict = recvRecord(socket, handler, total, state == statePrepared);
  if (verdict < 0) return failed;
  if (verdict == 0) return total == 0 && socket->RecvEnded() ? failed : keepGoing;
  if (state == statePrepared && !SendHandshake(socket, m_type.load())) return failed;
  m_state.store(stateDone);
  return done;
}

const uint8_t* HXHelperStreamSimple::Encrypt(const uint8_t* data, uint32_t length, uint8_t*,
                                             uint32_t& size) {
  size = length;
  return data;
}

const uint8_t* HXHelperStreamSimple::Decrypt(const uint8_t* data, uint32_t length, uint8_t*,
                                             uint32_t& size, bool) {
  size = length;
  return data;
}

uint32_t HXHelperStreamSimple::GetSymCryptBlockSize() { return 0; }
