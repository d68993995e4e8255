#include "testing/hostile_peers/zero_handshake_bytes.h"

#include <cstdlib>
#include <cstring>

#include "core/base/container.h"

namespace hx::hostile {

uint32_t Word(const Bytes& record) {
  return static_cast<uint32_t>(record[16]) | static_cast<uint32_t>(record[17]) << 8 |
         static_cast<uint32_t>(record[18]) << 16 | static_cast<uint32_t>(record[19]) << 24;
}

void SetWord(Bytes& record, uint32_t word) {
  for (int i = 0; i < 4; ++i) record[16 + i] = static_cast<uint8_t>(word >> (8 * i));
}

uint32_t VersionField(uint32_t word) { return word & 0x1Fu; }
uint32_t HeadCksumField(uint32_t word) { return (word >> 5) & 0xFFu; }
uint32_t BodyCksumField(uint32_t word) { return (word >> 13) & 0x3Fu; }
uint32_t LengthField(uint32_t word) { return word >> 19; }

uint8_t ComputeBodyCksum(const Bytes& record) {
  const uint64_t last = 20 + LengthField(Word(record));
  int64_t sum = 0xCA;
  for (uint64_t offset = 20; offset <= last && offset < record.size(); offset += 3) {
    sum += static_cast<int64_t>(record[offset]) - static_cast<int64_t>(offset);
  }
  return static_cast<uint8_t>(static_cast<uint64_t>(sum) & 0x3Fu);
}

uint8_t ComputeHeadCksum(const Bytes& record, uint8_t body_cksum) {
  const uint32_t word = Word(record);
  uint32_t sum = 0xAC + VersionField(word) + LengthField(word) + body_cksum;
  for (int i = 0; i < 16; ++i) sum += record[i];
  return static_cast<uint8_t>(sum & 0xFFu);
}

namespace {
uint32_t WithCksums(uint32_t word, uint8_t head, uint8_t body) {
  word &= ~((0xFFu << 5) | (0x3Fu << 13));
  return word | static_cast<uint32_t>(head) << 5 | static_cast<uint32_t>(body & 0x3F) << 13;
}
}  // namespace

void Seal(Bytes& record) {
  const uint8_t body = ComputeBodyCksum(record);
  SetWord(record, WithCksums(Word(record), 0, body));
  SetWord(record, WithCksums(Word(record), ComputeHeadCksum(record, body), body));
}

void SealHeadOnly(Bytes& record) {
  const uint8_t body = static_cast<uint8_t>(BodyCksumField(Word(record)));
  SetWord(record, WithCksums(Word(record), ComputeHeadCksum(record, body), body));
}

namespace {
Bytes Head(const std::string& primary, uint32_t version, uint32_t body_length) {
  Bytes record(kHeadSize, 0);
  std::memcpy(record.data(), primary.data(), std::min<size_t>(16, primary.size()));
  SetWord(record, (version & 0x1Fu) | ((body_length - 1) & 0x1FFFu) << 19);
  return record;
}
}  // namespace

Bytes MakeRecord(const std::string& primary, uint32_t version, const Bytes& body) {
  Bytes record = Head(primary, version, static_cast<uint32_t>(body.size()));
  record.insert(record.end(), body.begin(), body.end());
  Seal(record);
  return record;
}

Bytes MakeLyingRecord(const std::string& primary, uint32_t version, uint32_t claimed_body,
                      const Bytes& body) {
  Bytes record = Head(primary, version, claimed_body);
  record.insert(record.end(), body.begin(), body.end());
  const uint8_t body_cksum = ComputeBodyCksum(record);  // over what is there
  SetWord(record, WithCksums(Word(record), 0, body_cksum));
  SealHeadOnly(record);
  return record;
}

std::optional<Record> ParseRecord(const Bytes& bytes) {
  if (bytes.size() < kHeadSize + 1) return std::nullopt;
  const uint32_t word = Word(bytes);
  const size_t total = kHeadSize + LengthField(word) + 1;
  if (bytes.size() < total) return std::nullopt;
  Record record;
  record.raw.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(total));
  const char* primary = reinterpret_cast<const char*>(bytes.data());
  record.primary.assign(primary, strnlen(primary, 16));
  record.version = VersionField(word);
  record.body.assign(record.raw.begin() + kHeadSize, record.raw.end());
  const uint8_t body = ComputeBodyCksum(record.raw);
  record.bodyOk = body == BodyCksumField(word);
  record.headOk =
      ComputeHeadCksum(record.raw, static_cast<uint8_t>(BodyCksumField(word))) ==
      HeadCksumField(word);
  return record;
}

Bytes PingBody(const std::string& conference, const std::string& from, const std::string& to,
               const std::string& version_key, int32_t version) {
  HX_Container container;
  container.AddValue("Conference", conference.c_str());
  container.AddValue("From", from.c_str());
  container.AddValue("To", to.c_str());
  if (!version_key.empty()) container.AddValue(version_key, version);
  uint8_t* buffer = nullptr;
  size_t size = 0;
  Bytes body;
  if (container.SerializeAlloc(buffer, size)) body.assign(buffer, buffer + size);
  std::free(buffer);
  body.push_back(0);
  return body;
}

std::optional<PingNames> ReadPingBody(const Bytes& body) {
  if (body.size() < 2) return std::nullopt;
  HX_Container container;
  if (!container.Deserialize(body.data(), body.size() - 1)) return std::nullopt;
  PingNames names;
  container.Reset();
  while (container.Next()) {
    ++names.entries;
    const std::string name = container.GetName();
    int32_t value = 0;
    if (name == "Conference") names.conference = container.GetStrValue();
    if (name == "From") names.from = container.GetStrValue();
    if (name == "To") names.to = container.GetStrValue();
    if (name == "ReqBodyVersion" && container.GetValue(value)) names.reqVersion = value;
    if (name == "AnsBodyVersion" && container.GetValue(value)) names.ansVersion = value;
  }
  return names;
}

Bytes CheckSrvAnswer(uint32_t ep_count, uint32_t cpu, const std::string& primary) {
  Bytes body(13, 0);
  for (int i = 0; i < 4; ++i) {
    body[i] = static_cast<uint8_t>(ep_count >> (8 * i));
    body[4 + i] = static_cast<uint8_t>(cpu >> (8 * i));
  }
  return MakeRecord(primary, 1, body);
}

Bytes TrackMask(const std::vector<unsigned>& tracks) {
  Bytes mask(32, 0);
  for (unsigned track : tracks) mask[track / 8] |= static_cast<uint8_t>(1u << (track % 8));
  return mask;
}

namespace {
void PutString(Bytes& body, const std::string& text) {
  body.push_back(static_cast<uint8_t>(text.size()));
  body.insert(body.end(), text.begin(), text.end());
  body.push_back(0);
}
}  // namespace

Bytes StreamRequestBody(const StreamRequestFields& fields) {
  Bytes body{fields.role};
  PutString(body, fields.conference);
  PutString(body, fields.streamId);
  PutString(body, fields.peerId);
  PutString(body, fields.name);
  body.push_back(fields.count);
  if (fields.mask) body.insert(body.end(), fields.mask->begin(), fields.mask->end());
  return body;
}

Bytes StreamResponseBody(uint8_t flag, uint8_t count, const std::optional<Bytes>& mask) {
  Bytes body{flag, count};
  if (mask) body.insert(body.end(), mask->begin(), mask->end());
  return body;
}

}  // namespace hx::hostile
