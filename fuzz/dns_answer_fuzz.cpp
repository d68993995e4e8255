// Reads name-server answers. Each input is decoded whole; then every record the record walker
// finds, and one record header taken from the input's first bytes, go through the SRV, A and
// AAAA readers; and the names at the first offsets are expanded. Whatever is read must hold up:
// servers carry a usable target and the question's domain, addresses print back to their bytes,
// and every expanded name parses back to text that prints the same.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/net/dns/dns_answer.h"
#include "core/net/dns/dns_message.h"
#include "core/net/dns/dns_name.h"
#include "core/net/dns/dns_records.h"

namespace {

constexpr uint64_t kNow = 1700000000;
constexpr size_t kHeaderSize = 12;
constexpr size_t kExpandedOffsets = 128;

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckAddress(uint16_t type, const std::string& text) {
  uint8_t bytes[16];
  Require(inet_pton(type == hx::dns::kTypeA ? AF_INET : AF_INET6, text.c_str(), bytes) == 1);
}

void CheckAnswer(const hx::dns::DnsAnswer& answer) {
  std::string domain;
  Require(answer.servers.empty() || hx::dns::SrvDomainOfQuestion(answer.questionName, domain));
  for (const HXServerEndpoint& server : answer.servers) {
    Require(!server.getHost().empty());
    Require(server.getPriority() <= hx::dns::kMaxSrvPriority);
    Require(server.getDomain() == domain);
    Require(server.getLastCheckTime() == kNow && server.getPing() == ~0ull);
  }
  for (const hx::dns::AddressAnswer& address : answer.addresses) {
    Require(address.type == hx::dns::kTypeA || address.type == hx::dns::kTypeAAAA);
    CheckAddress(address.type, address.address);
  }
  Require(answer.questionName.size() <= 255);
}

void ReadRecord(const uint8_t* data, size_t size, const hx::dns::RecordHeader& header) {
  hx::dns::SrvRecord srv;
  if (hx::dns::ReadSrvRecord(data, size, header, srv)) Require(header.type == hx::dns::kTypeSRV);
  std::string address;
  if (hx::dns::ReadAddressRecord(data, size, header, address)) CheckAddress(header.type, address);
}

void WalkRecords(const uint8_t* data, size_t size) {
  for (size_t offset = kHeaderSize; offset < size;) {
    hx::dns::RecordHeader header;
    if (!hx::dns::ReadRecordHeader(data, size, offset, header)) break;
    Require(header.dataOffset + header.dataLength <= size && header.dataOffset > offset);
    ReadRecord(data, size, header);
    offset = header.dataOffset + header.dataLength;
  }
}

// A header made of the input's first bytes, so the readers also see offsets and lengths that no
// record walk would give them.
void ReadArbitraryHeader(const uint8_t* data, size_t size) {
  if (size < 6) return;
  hx::dns::RecordHeader header;
  header.type = (data[0] & 1) != 0   ? hx::dns::kTypeSRV
                : (data[0] & 2) != 0 ? hx::dns::kTypeAAAA
                                     : hx::dns::kTypeA;
  header.dataOffset = static_cast<size_t>((data[1] << 8) | data[2]);
  header.dataLength = static_cast<uint16_t>((data[3] << 8) | data[4]);
  ReadRecord(data, size, header);
}

void ExpandNames(const uint8_t* data, size_t size) {
  for (size_t offset = 0; offset < size && offset < kExpandedOffsets; ++offset) {
    char text[hx::dns::NS_MAXDNAME];
    const int occupied = hx_dn_expand(data, data + size, data + offset, text, sizeof text);
    if (occupied < 0) continue;
    Require(occupied >= 1 && static_cast<size_t>(occupied) <= size - offset);
    uint8_t wire[hx::dns::NS_MAXCDNAME];
    Require(hx::dns::ns_name_pton(text, wire, sizeof wire) >= 0);
    char again[hx::dns::NS_MAXDNAME];
    Require(hx::dns::ns_name_ntop(wire, again, sizeof again) >= 0);
    Require(text[0] == '\0' ? std::strcmp(again, ".") == 0 : std::strcmp(again, text) == 0);
  }
}

// The input as presentation text: what parses must print and parse back to the same wire form.
void ParseText(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  uint8_t wire[hx::dns::NS_MAXCDNAME];
  const int first = hx::dns::ns_name_compress(text.c_str(), wire, sizeof wire, nullptr, nullptr);
  if (first < 0) return;
  char printed[hx::dns::NS_MAXDNAME];
  Require(hx::dns::ns_name_ntop(wire, printed, sizeof printed) >= 0);
  uint8_t again[hx::dns::NS_MAXCDNAME];
  const int second = hx::dns::ns_name_compress(printed, again, sizeof again, nullptr, nullptr);
  Require(second == first && std::memcmp(wire, again, static_cast<size_t>(first)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hx::dns::DnsAnswer answer;
  if (hx::dns::DecodeAnswer(data, size, kNow, answer)) CheckAnswer(answer);
  WalkRecords(data, size);
  ReadArbitraryHeader(data, size);
  ExpandNames(data, size);
  ParseText(data, size);
  return 0;
}
