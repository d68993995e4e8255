#include "core/net/dns/dns_message.h"

#include <openssl/rand.h>

#include <cstring>

#include "core/net/dns/dns_name.h"

namespace {

constexpr int kHeaderSize = 12;
constexpr int kQuestionTail = 4;  // type and class after the question name
constexpr int kOptRecordSize = 11;
constexpr int kOpcodeQuery = 0;
constexpr int kTypeOpt = 41;
constexpr int kMaxPayload = 0xffff;
constexpr uint16_t kDnssecOk = 0x8000;
constexpr uint8_t kRecursionDesired = 0x01;
constexpr int kNamePointerSlots = 20;

void Put16(uint8_t* p, unsigned value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

unsigned Get16(const uint8_t* p) { return (static_cast<unsigned>(p[0]) << 8) | p[1]; }

// A fresh message id from the cryptographic random generator, never the previous one: an id
// that an off-path sender can predict lets it slip forged answers in.
bool DrawMessageId(uint16_t previous, uint16_t& id) {
  do {
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&id), sizeof id) != 1) return false;
  } while (id == previous);
  return true;
}

}  // namespace

int hx_dns_res_nmkquery(hx_res_state* statp, int op, const char* dname, int klass, int type,
                        const uint8_t* /*data*/, int /*datalen*/, const uint8_t* /*newrr*/,
                        uint8_t* buf, int buflen) {
  if (statp == nullptr || buf == nullptr || buflen < kHeaderSize) return -1;
  if (op != kOpcodeQuery || buflen < kHeaderSize + kQuestionTail || dname == nullptr) return -1;

  // A lone question name never compresses: the table holds only the message start.
  const uint8_t* dnptrs[kNamePointerSlots] = {buf, nullptr};
  const int nameLength = hx::dns::ns_name_compress(
      dname, buf + kHeaderSize, static_cast<size_t>(buflen - kHeaderSize - kQuestionTail), dnptrs,
      dnptrs + kNamePointerSlots);
  if (nameLength < 0) return -1;

  uint16_t id = 0;
  if (!DrawMessageId(statp->id, id)) return -1;
  statp->id = id;
  std::memset(buf, 0, kHeaderSize);
  std::memcpy(buf, &statp->id, sizeof statp->id);
  buf[2] = static_cast<uint8_t>(kOpcodeQuery << 3);
  if ((statp->options & HX_RES_RECURSE) != 0) buf[2] |= kRecursionDesired;
  Put16(buf + 4, 1);  // QDCOUNT

  uint8_t* tail = buf + kHeaderSize + nameLength;
  Put16(tail, static_cast<unsigned>(type));
  Put16(tail + 2, static_cast<unsigned>(klass));
  return kHeaderSize + nameLength + kQuestionTail;
}

int hx_res_nopt(hx_res_state* statp, int n0, uint8_t* buf, int buflen, int anslen) {
  if (statp == nullptr || buf == nullptr || n0 < kHeaderSize || anslen < 0) return -1;
  if (buflen < n0 || buflen - n0 < kOptRecordSize) return -1;

  uint8_t* record = buf + n0;
  record[0] = 0;  // the root name
  Put16(record + 1, kTypeOpt);
  Put16(record + 3, static_cast<unsigned>(anslen > kMaxPayload ? kMaxPayload : anslen));
  record[5] = 0;  // extended RCODE
  record[6] = 0;  // version
  Put16(record + 7, (statp->options & HX_RES_USE_DNSSEC) != 0 ? kDnssecOk : 0);
  Put16(record + 9, 0);  // RDLEN
  Put16(buf + 10, Get16(buf + 10) + 1);
  return n0 + kOptRecordSize;
}

int hx_dn_expand(const uint8_t* msg, const uint8_t* eom, const uint8_t* src, char* dst,
                 int dstsiz) {
  if (dst == nullptr || dstsiz <= 0) return -1;
  const int occupied = hx::dns::ns_name_uncompress(msg, eom, src, dst, static_cast<size_t>(dstsiz));
  if (occupied > 0 && dst[0] == '.') dst[0] = '\0';
  return occupied;
}
