#include "core/net/dns/dns_records.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include "core/net/dns/dns_message.h"
#include "core/net/dns/dns_name.h"

namespace hx::dns {
namespace {

constexpr size_t kFixedRecordBytes = 10;  // type, class, TTL, RDLENGTH
constexpr size_t kSrvFixedBytes = 6;      // priority, weight, port
constexpr size_t kIpv4Bytes = 4;
constexpr size_t kIpv6Bytes = 16;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t Get32(const uint8_t* p) { return (static_cast<uint32_t>(Get16(p)) << 16) | Get16(p + 2); }

// Whether the header's data lies inside the message (a caller may pass any header).
bool DataInside(size_t length, const RecordHeader& header) {
  return header.dataOffset <= length && header.dataLength <= length - header.dataOffset;
}

}  // namespace

bool ReadRecordHeader(const uint8_t* msg, size_t length, size_t offset, RecordHeader& header) {
  if (msg == nullptr || offset >= length) return false;
  uint8_t owner[NS_MAXCDNAME];
  const int nameBytes = ns_name_unpack(msg, msg + length, msg + offset, owner, sizeof owner);
  if (nameBytes < 0) return false;
  const uint64_t fixed = static_cast<uint64_t>(offset) + static_cast<uint64_t>(nameBytes);
  if (fixed + kFixedRecordBytes > length) return false;
  const uint8_t* p = msg + fixed;
  header.type = Get16(p);
  header.klass = Get16(p + 2);
  header.ttl = Get32(p + 4);
  header.dataLength = Get16(p + 8);
  header.dataOffset = static_cast<size_t>(fixed + kFixedRecordBytes);
  return DataInside(length, header);
}

bool ReadSrvRecord(const uint8_t* msg, size_t length, const RecordHeader& header,
                   SrvRecord& record) {
  if (msg == nullptr || header.type != kTypeSRV || !DataInside(length, header)) return false;
  if (header.dataLength < kSrvFixedBytes) return false;
  const uint8_t* data = msg + header.dataOffset;
  char target[NS_MAXDNAME];
  const int targetBytes =
      hx_dn_expand(msg, msg + length, data + kSrvFixedBytes, target, sizeof target);
  if (targetBytes < 0 || static_cast<size_t>(targetBytes) > header.dataLength - kSrvFixedBytes)
    return false;
  record.priority = Get16(data);
  record.weight = Get16(data + 2);
  record.port = Get16(data + 4);
  record.target = target;
  return true;
}

bool ReadAddressRecord(const uint8_t* msg, size_t length, const RecordHeader& header,
                       std::string& address) {
  if (msg == nullptr || !DataInside(length, header)) return false;
  int family;
  if (header.type == kTypeA && header.dataLength == kIpv4Bytes) {
    family = AF_INET;
  } else if (header.type == kTypeAAAA && header.dataLength == kIpv6Bytes) {
    family = AF_INET6;
  } else {
    return false;
  }
  char text[INET6_ADDRSTRLEN];
  if (inet_ntop(family, msg + header.dataOffset, text, sizeof text) == nullptr) return false;
  address = text;
  return true;
}

}  // namespace hx::dns
