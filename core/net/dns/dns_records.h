#pragma once
// Readers of the resource records in a DNS answer: the fixed part every record has, and the data
// of the SRV, A and AAAA records the client asks for. Each reader checks every length against the
// message it is given, so it may be handed any bytes.

#include <cstddef>
#include <cstdint>
#include <string>

namespace hx::dns {

inline constexpr uint16_t kTypeA = 1;
inline constexpr uint16_t kTypeAAAA = 28;
inline constexpr uint16_t kTypeSRV = 33;
inline constexpr uint16_t kClassIN = 1;

// The fixed part of a record and where its data lies in the message.
struct RecordHeader {
  uint16_t type = 0;
  uint16_t klass = 0;
  uint32_t ttl = 0;
  size_t dataOffset = 0;  // where RDATA starts; the next record starts RDLENGTH bytes later
  uint16_t dataLength = 0;
};

// Reads the record at `offset` of the message [msg, msg + length): its owner name, type, class,
// TTL and RDLENGTH. False when the name does not expand or the fixed part or the data would end
// past the message.
bool ReadRecordHeader(const uint8_t* msg, size_t length, size_t offset, RecordHeader& header);

struct SrvRecord {
  uint16_t priority = 0;
  uint16_t weight = 0;
  uint16_t port = 0;
  std::string target;  // presentation text; "" for the root name
};

// Reads the data of an SRV record: priority, weight, port and the target name, which may point at
// earlier names of the message but must itself end within the record data. False for another
// type, data shorter than 6 bytes or a target that does not expand.
bool ReadSrvRecord(const uint8_t* msg, size_t length, const RecordHeader& header,
                   SrvRecord& record);

// The address of an A record (4 bytes of data) or an AAAA record (16 bytes) as text. False for
// any other type or data length.
bool ReadAddressRecord(const uint8_t* msg, size_t length, const RecordHeader& header,
                       std::string& address);

}  // namespace hx::dns
