#include "core/net/dns/dns_answer.h"

#include <cstring>
#include <limits>

#include "core/net/dns/dns_message.h"
#include "core/net/dns/dns_records.h"
#include "core/wire/server_names.h"

namespace hx::dns {
namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kQuestionTail = 4;  // type and class
constexpr uint8_t kResponseBit = 0x80;
constexpr uint8_t kTruncatedBit = 0x02;
constexpr uint8_t kRcodeMask = 0x0f;
constexpr size_t kMaxQuestionText = 256;  // 255 characters and the NUL
constexpr uint64_t kUnknownPing = std::numeric_limits<uint64_t>::max();

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// Skips the questions; answers the offset after them, or 0 when a question is malformed.
size_t ReadQuestions(const uint8_t* data, size_t length, unsigned count, std::string& lastName) {
  size_t offset = kHeaderSize;
  char name[kMaxQuestionText];
  for (unsigned i = 0; i < count; ++i) {
    if (offset >= length) return 0;
    const int nameBytes = hx_dn_expand(data, data + length, data + offset, name, sizeof name);
    if (nameBytes < 0) return 0;
    offset += static_cast<size_t>(nameBytes);
    if (length - offset < kQuestionTail) return 0;
    offset += kQuestionTail;
    lastName = name;
  }
  return offset;
}

void ReadRecords(const uint8_t* data, size_t length, size_t offset, unsigned count, uint64_t now,
                 DnsAnswer& answer) {
  std::string srvDomain;
  const bool srvQuestion = SrvDomainOfQuestion(answer.questionName, srvDomain);
  // Every record takes at least 11 bytes, so the offset check bounds the loop as well.
  for (unsigned i = 0; i < count && offset < length; ++i) {
    RecordHeader header;
    if (!ReadRecordHeader(data, length, offset, header)) return;
    offset = header.dataOffset + header.dataLength;
    if (header.type == kTypeSRV) {
      SrvRecord srv;
      if (!srvQuestion || !ReadSrvRecord(data, length, header, srv)) continue;
      if (srv.target.empty() || srv.priority > kMaxSrvPriority) continue;
      answer.servers.addHost(HXServerEndpoint(srv.target, 0, 0, 0, now, kUnknownPing, srvDomain,
                                              std::string(), srv.port, srv.priority, srv.weight));
    } else if (header.type == kTypeA || header.type == kTypeAAAA) {
      AddressAnswer address;
      if (!ReadAddressRecord(data, length, header, address.address)) continue;
      address.type = header.type;
      address.ttl = header.ttl;
      answer.addresses.push_back(std::move(address));
    }
  }
}

}  // namespace

bool DecodeAnswer(const uint8_t* data, size_t length, uint64_t now, DnsAnswer& answer) {
  answer = DnsAnswer();
  if (data == nullptr || length < kHeaderSize) return false;
  if ((data[2] & kResponseBit) == 0 || (data[2] & kTruncatedBit) != 0) return false;
  std::memcpy(&answer.id, data, sizeof answer.id);
  answer.rcode = data[3] & kRcodeMask;
  if (answer.rcode != 0) return true;

  const unsigned questions = Get16(data + 4);
  const unsigned records = Get16(data + 6);
  const size_t offset = ReadQuestions(data, length, questions, answer.questionName);
  if (offset == 0 || records == 0) return true;
  ReadRecords(data, length, offset, records, now, answer);
  return true;
}

bool SrvDomainOfQuestion(const std::string& question, std::string& domain) {
  if (!hx::servers::Names::isDefaultKRSHost(question)) return false;
  domain = question.substr(hx::servers::ServerDefaultSrv.size());
  return true;
}

}  // namespace hx::dns
