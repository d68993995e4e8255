#pragma once
// Reading an answer datagram of a name server into what the DNS client acts on: the message id
// and RCODE, the question name, the addresses of A and AAAA records and the servers of SRV
// records.
//
// Every length in the datagram is checked against the datagram; a record that is malformed ends
// the reading, and what was read before it is kept.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/wire/server_endpoint.h"

namespace hx::dns {

// The priority above which SRV targets are not used.
inline constexpr uint16_t kMaxSrvPriority = 99;

struct AddressAnswer {
  std::string address;  // text form
  uint16_t type = 0;    // 1 (A) or 28 (AAAA)
  uint32_t ttl = 0;     // seconds
};

struct DnsAnswer {
  uint16_t id = 0;  // as the query wrote it: host byte order
  uint8_t rcode = 0;
  std::string questionName;              // the last question, at most 255 characters
  std::vector<AddressAnswer> addresses;  // in message order
  // Kept SRV targets: priority at most 99, a non-empty target, and a question that is a default
  // server name "vcs2.tcp.<domain>", whose domain they carry.
  HXServerEpSetByTarget servers;
};

// Reads a datagram. False when it is to be ignored: shorter than a header, not a response, or
// truncated. Otherwise `answer` holds the id and RCODE and, for RCODE 0, what the questions and
// answer records yield. Each server's last check time is `now`; its ping is unknown (all ones).
bool DecodeAnswer(const uint8_t* data, size_t length, uint64_t now, DnsAnswer& answer);

// The domain of a default server name: the name without its "vcs2.tcp." prefix, compared
// without case. False for any name without that prefix.
bool SrvDomainOfQuestion(const std::string& question, std::string& domain);

}  // namespace hx::dns
