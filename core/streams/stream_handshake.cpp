#include "core/streams/stream_handshake.h"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kMaxText = 255;

bool TrackPresent(const uint8_t* mtracks, unsigned track) {
  return (mtracks[track / 8] & (1u << (track % 8))) != 0;
}

// Appends one length-prefixed, NUL-terminated text.
uint8_t* PutText(uint8_t* out, const char* text, size_t length) {
  *out++ = static_cast<uint8_t>(length);
  if (length > 0) std::memcpy(out, text, length);
  out[length] = 0;
  return out + length + 1;
}

// Reads one text of the request body at `pos`; false when its length byte or its NUL lies beyond
// the body or the byte at the NUL's place is not zero.
bool GetText(const uint8_t* body, size_t body_length, size_t& pos, const char*& text) {
  if (pos >= body_length) return false;
  const size_t length = body[pos];
  const size_t end = pos + 1 + length;  // the NUL's place
  if (end >= body_length || body[end] != 0) return false;
  text = reinterpret_cast<const char*>(body + pos + 1);
  pos = end + 1;
  return true;
}

HX_ZeroHandshakeFixedPart* NewRecord(size_t body_length) {
  auto* record =
      static_cast<HX_ZeroHandshakeFixedPart*>(std::calloc(1, kZeroHandshakeHeadSize + body_length));
  if (record == nullptr) return nullptr;
  record->SetPrimaryField(HX_Stream_PrimaryField);
  record->SetVersion(1);
  record->SetBodyLengthField(static_cast<uint32_t>(body_length - 1));
  return record;
}

// The count byte and the mask of a record: 255 and no mask for "all tracks".
size_t PutTracks(uint8_t* out, const uint8_t* mtracks) {
  const unsigned count = mtracks != nullptr ? HX_NumberMTracks(mtracks) : HX_AllTracks;
  if (count >= HX_AllTracks) {
    out[0] = HX_AllTracks;
    return 1;
  }
  out[0] = static_cast<uint8_t>(count);
  std::memcpy(out + 1, mtracks, HX_TrackMaskSize);
  return 1 + HX_TrackMaskSize;
}

size_t TracksSize(const uint8_t* mtracks) {
  return mtracks != nullptr && HX_NumberMTracks(mtracks) < HX_AllTracks ? 1 + HX_TrackMaskSize : 1;
}

}  // namespace

bool HX_SetFTracks(uint8_t* ftracks, const uint8_t* tracks, unsigned count) {
  if (ftracks == nullptr || count == 0 || count > 255) return false;
  std::memset(ftracks, 0, HX_TrackTableSize);
  if (tracks == nullptr) {
    if (count != 255) return false;
    std::memset(ftracks + 1, 1, 255);
    return true;
  }
  for (unsigned i = 0; i < count; ++i) {
    const uint8_t track = tracks[i];
    if (track == 0 || ftracks[track] != 0) return false;
    ftracks[track] = 1;
  }
  return true;
}

void HX_SetMTracks(uint8_t* mtracks, const uint8_t* ftracks) {
  std::memset(mtracks, 0, HX_TrackMaskSize);
  for (unsigned track = 1; track < HX_TrackTableSize; ++track) {
    if (ftracks[track] != 0) mtracks[track / 8] |= static_cast<uint8_t>(1u << (track % 8));
  }
}

unsigned HX_GetFTracks(uint8_t* ftracks, const uint8_t* mtracks) {
  std::memset(ftracks, 0, HX_TrackTableSize);
  unsigned count = 0;
  for (unsigned track = 1; track < HX_TrackTableSize; ++track) {
    if (TrackPresent(mtracks, track)) {
      ftracks[track] = 1;
      ++count;
    }
  }
  return count;
}

unsigned HX_GetTracks(uint8_t* tracks, const uint8_t* ftracks) {
  // The table is read whole before the list is written: the caller may pass one buffer for both.
  uint8_t present[HX_TrackTableSize];
  std::memcpy(present, ftracks, HX_TrackTableSize);
  std::memset(tracks, 0, HX_TrackTableSize);
  unsigned count = 0;
  for (unsigned track = 1; track < HX_TrackTableSize; ++track) {
    if (present[track] != 0) tracks[count++] = static_cast<uint8_t>(track);
  }
  return count;
}

unsigned HX_CrossingMTracks(uint8_t* mtracks, const uint8_t* other) {
  for (size_t i = 0; i < HX_TrackMaskSize; ++i) mtracks[i] &= other[i];
  return HX_NumberMTracks(mtracks);
}

unsigned HX_NumberMTracks(const uint8_t* mtracks) {
  unsigned count = 0;
  for (size_t i = 0; i < HX_TrackMaskSize; ++i) {
    const uint8_t bits = i == 0 ? static_cast<uint8_t>(mtracks[0] & 0xFE) : mtracks[i];
    count += static_cast<unsigned>(std::popcount(bits));
  }
  return count;
}

unsigned HX_NumberFTracks(const uint8_t* ftracks) {
  unsigned count = 0;
  for (size_t track = 1; track < HX_TrackTableSize; ++track) count += ftracks[track] != 0 ? 1 : 0;
  return count;
}

bool HX_CmpMTracks(const uint8_t* a, const uint8_t* b) {
  return std::memcmp(a, b, HX_TrackMaskSize) == 0;
}

bool HX_CmpFTracks(const uint8_t* a, const uint8_t* b) {
  return std::memcmp(a, b, HX_TrackTableSize) == 0;
}

bool HX_FormStreamHandshake(HX_ZeroHandshakeFixedPart** record, const char* name, int32_t type,
                            const char* conference, const char* stream_id, const char* peer_id,
                            const uint8_t* mtracks) {
  if (record == nullptr) return false;
  *record = nullptr;
  if (name == nullptr || (type != HX_StreamClient_Sender && type != HX_StreamClient_Receiver)) {
    return false;
  }
  const char* texts[4] = {conference != nullptr ? conference : "",
                          stream_id != nullptr ? stream_id : "", peer_id != nullptr ? peer_id : "",
                          name};
  size_t lengths[4];
  // Role byte, four length bytes and four NULs, then the count byte and perhaps the mask.
  size_t body_length = 9 + TracksSize(mtracks);
  for (size_t i = 0; i < 4; ++i) {
    // strnlen stops at the first byte beyond the limit, so a long text is never walked whole.
    lengths[i] = strnlen(texts[i], kMaxText + 1);
    if (lengths[i] > kMaxText) return false;
    body_length += lengths[i];
  }
  if (lengths[3] == 0) return false;
  HX_ZeroHandshakeFixedPart* formed = NewRecord(body_length);
  if (formed == nullptr) return false;
  uint8_t* out = formed->Body();
  *out++ = type == HX_StreamClient_Sender ? 0 : 1;
  for (size_t i = 0; i < 4; ++i) out = PutText(out, texts[i], lengths[i]);
  PutTracks(out, mtracks);
  HX_CalcZeroHandshakeCksums(formed);
  *record = formed;
  return true;
}

bool HX_FormStreamHandshakeResponse(HX_ZeroHandshakeFixedPart** record, const uint8_t* mtracks) {
  if (record == nullptr) return false;
  *record = nullptr;
  const size_t body_length = 1 + TracksSize(mtracks);
  HX_ZeroHandshakeFixedPart* formed = NewRecord(body_length);
  if (formed == nullptr) return false;
  formed->Body()[0] = 1;
  PutTracks(formed->Body() + 1, mtracks);
  HX_CalcZeroHandshakeCksums(formed);
  *record = formed;
  return true;
}

bool HX_GetStreamHandshakeFields(const HX_ZeroHandshakeFixedPart* record, int32_t& type,
                                 const char*& conference, const char*& stream_id,
                                 const char*& peer_id, const char*& name, const uint8_t*& mtracks) {
  if (record == nullptr || record->Version() == 0) return false;
  const size_t body_length = record->BodyLength();
  if (body_length < 10) return false;
  const uint8_t* body = record->Body();
  size_t pos = 1;
  const char* texts[4] = {};
  for (const char*& text : texts) {
    if (!GetText(body, body_length, pos, text)) return false;
  }
  if (pos >= body_length) return false;
  const uint8_t count = body[pos++];
  const uint8_t* mask = nullptr;
  if (count != HX_AllTracks) {
    if (body_length - pos < HX_TrackMaskSize) return false;
    mask = body + pos;
  }
  type = (body[0] & 1) == 0 ? HX_StreamClient_Receiver : HX_StreamClient_Sender;
  conference = texts[0];
  stream_id = texts[1];
  peer_id = texts[2];
  name = texts[3];
  mtracks = mask;
  return true;
}

bool HX_GetStreamHandshakeResponseFields(const HX_ZeroHandshakeFixedPart* record,
                                         const uint8_t*& mtracks) {
  if (record == nullptr || record->Version() == 0) return false;
  const size_t body_length = record->BodyLength();
  const uint8_t* body = record->Body();
  if (body_length < 2 || (body[0] & 1) == 0) return false;
  if (body[1] == HX_AllTracks) {
    mtracks = nullptr;
    return true;
  }
  if (body_length < 2 + HX_TrackMaskSize) return false;
  mtracks = body + 2;
  return true;
}

uint8_t HX_StreamCksum(const uint8_t* bytes, size_t length) {
  uint32_t sum = 172;
  for (size_t i = 0; i < length; i += 234) sum += bytes[i];
  return static_cast<uint8_t>(sum);
}
