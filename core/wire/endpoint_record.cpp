#include "core/wire/endpoint_record.h"

#include <strings.h>

#include <cstring>

#include "core/wire/little_endian.h"
#include "core/wire/wire_text.h"

const std::string HX_Endpoint::emptyString;

namespace {

constexpr uint16_t kDefaultPort = 4307;
constexpr uint16_t kDefaultSocksPort = 1080;
constexpr uint8_t kDefaultSocksVersion = 4;
constexpr uint16_t kDefaultHttpPort = 8080;
constexpr uint16_t kDirectUdpBit = 2;
constexpr uint16_t kCarriedBit = 1;

constexpr size_t kChecksumSize = 4;
constexpr size_t kFixedRecordSize = 27;  // checksum, eight empty texts, three ports, SOCKS version
constexpr size_t kHostOffset = 5;        // the host text, after the checksum and its length byte
constexpr size_t kListHeadSize = 8;      // checksum and record count
constexpr size_t kRecordSizeField = 4;

std::string TextOrEmpty(const char* text) { return text == nullptr ? std::string() : std::string(text); }

// The checksum of a record or a list blob: a start value from the total length, then every whole
// little-endian word after the checksum field and each byte of the tail.
uint32_t StoredChecksum(const uint8_t* data, size_t length) {
  uint32_t sum = static_cast<uint32_t>((length >> 2) + (length & 3)) + 0x3D141591u;
  size_t offset = kChecksumSize;
  for (; offset + 4 <= length; offset += 4) sum += hx::wire::LoadLe32(data + offset);
  for (; offset < length; ++offset) sum += data[offset];
  return sum;
}

bool ChecksumMatches(const uint8_t* data, size_t length) {
  return length >= kChecksumSize && hx::wire::LoadLe32(data) == StoredChecksum(data, length);
}

// The NUL-terminated text at `offset`, which must end inside the `length` bytes.
bool FindText(const uint8_t* data, size_t length, uint64_t offset, size_t* text_length) {
  if (offset >= length) return false;
  const void* nul = std::memchr(data + offset, 0, length - offset);
  if (nul == nullptr) return false;
  *text_length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - (data + offset));
  return true;
}

const char* ProtocolOfType(hx::EpType type) {
  if (type > 3) return "";
  return (type & kDirectUdpBit) != 0 ? hx::PROTOCOL_DIRECT_UDP : hx::PROTOCOL_TCP;
}

}  // namespace

HX_Endpoint::HX_Endpoint(const char* /*name*/, hx::EpType type) : m_type(type) { Reset(); }

HX_Endpoint::HX_Endpoint(hx::EpType type, const char* /*name*/, const char* host, uint16_t port,
                         const char* socksHost, uint16_t socksPort, const char* socksUser,
                         const char* socksPassword, uint8_t socksVersion, const char* httpHost,
                         uint16_t httpPort, const char* httpUser, const char* httpPassword)
    : m_type(type) {
  ApplyProperties(host, port, ProtocolOfType(type), socksHost, socksPort, socksUser, socksPassword,
                  socksVersion, httpHost, httpPort, httpUser, httpPassword);
}

void HX_Endpoint::ApplyProperties(const char* host, uint16_t port, const char* protocol,
                                  const char* socksHost, uint16_t socksPort, const char* socksUser,
                                  const char* socksPassword, uint8_t socksVersion,
                                  const char* httpHost, uint16_t httpPort, const char* httpUser,
                                  const char* httpPassword) {
  m_host = TextOrEmpty(host);
  m_port = port;
  m_protocol = TextOrEmpty(protocol);
  m_socksHost = TextOrEmpty(socksHost);
  m_socksPort = socksPort;
  m_socksUser = TextOrEmpty(socksUser);
  m_socksPassword = TextOrEmpty(socksPassword);
  m_socksVersion = socksVersion;
  m_httpHost = TextOrEmpty(httpHost);
  m_httpPort = httpPort;
  m_httpUser = TextOrEmpty(httpUser);
  m_httpPassword = TextOrEmpty(httpPassword);
}

void HX_Endpoint::Reset() {
  ApplyProperties(nullptr, kDefaultPort, nullptr, nullptr, kDefaultSocksPort, nullptr, nullptr,
                  kDefaultSocksVersion, nullptr, kDefaultHttpPort, nullptr, nullptr);
}

void HX_Endpoint::SetHost(const char* host) { m_host = TextOrEmpty(host); }

bool HX_Endpoint::isEqTypeHostPort(const HX_Endpoint& other) const {
  return m_type == other.m_type && m_port == other.m_port && m_host == other.m_host;
}

bool HX_Endpoint::Serialize(void* buffer, size_t& size) const {
  const std::string* const texts[] = {&m_host,     &m_protocol, &m_socksHost, &m_socksUser,
                                      &m_socksPassword, &m_httpHost, &m_httpUser, &m_httpPassword};
  uint64_t needed = kFixedRecordSize;
  for (const std::string* text : texts) {
    // The length byte cannot describe a longer text.
    if (text->size() > hx::wire::kMaxWireTextLength) {
      size = 0;
      return false;
    }
    needed += text->size();
  }
  const size_t given = size;
  size = static_cast<size_t>(needed);
  if (buffer == nullptr || given < needed) return false;

  using hx::wire::StoreLe16;
  using hx::wire::WriteWireText;
  uint8_t* const record = static_cast<uint8_t*>(buffer);
  uint8_t* out = WriteWireText(record + kChecksumSize, m_host.data(), m_host.size());
  StoreLe16(out, m_port);
  out = WriteWireText(out + 2, m_protocol.data(), m_protocol.size());
  out = WriteWireText(out, m_socksHost.data(), m_socksHost.size());
  StoreLe16(out, m_socksPort);
  out = WriteWireText(out + 2, m_socksUser.data(), m_socksUser.size());
  out = WriteWireText(out, m_socksPassword.data(), m_socksPassword.size());
  *out++ = m_socksVersion;
  out = WriteWireText(out, m_httpHost.data(), m_httpHost.size());
  StoreLe16(out, m_httpPort);
  out = WriteWireText(out + 2, m_httpUser.data(), m_httpUser.size());
  WriteWireText(out, m_httpPassword.data(), m_httpPassword.size());
  hx::wire::StoreLe32(record, StoredChecksum(record, size));
  return true;
}

bool HX_Endpoint::Deserialize(const void* data, size_t length) {
  const auto* record = static_cast<const uint8_t*>(data);
  if (record == nullptr || length <= kHostOffset || !ChecksumMatches(record, length)) return false;

  // The host is read up to its NUL (its length byte is not consulted). The port and the
  // protocol's length byte follow it, and the protocol must end inside the record, so every byte
  // read below lies before the protocol's NUL.
  size_t host_length = 0;
  if (!FindText(record, length, kHostOffset, &host_length)) return false;
  const uint64_t port_offset = uint64_t{kHostOffset} + host_length + 1;
  const uint64_t protocol_offset = port_offset + 3;  // after the port and the length byte
  size_t protocol_length = 0;
  if (!FindText(record, length, protocol_offset, &protocol_length)) return false;

  const std::string host(reinterpret_cast<const char*>(record + kHostOffset), host_length);
  const uint16_t stored_port = hx::wire::LoadLe16(record + port_offset);
  const char* protocol = reinterpret_cast<const char*>(record + protocol_offset);
  ApplyProperties(host.c_str(), stored_port == 0 ? kDefaultPort : stored_port, protocol, nullptr,
                  kDefaultSocksPort, nullptr, nullptr, kDefaultSocksVersion, nullptr,
                  kDefaultHttpPort, nullptr, nullptr);
  const bool direct_udp = strcasecmp(protocol, hx::PROTOCOL_DIRECT_UDP) == 0;
  m_type = static_cast<hx::EpType>((m_type & kCarriedBit) | (direct_udp ? kDirectUdpBit : 0));
  return true;
}

std::unique_ptr<HX_Endpoint> HX_Endpoint::Factory(const void* data, size_t length, bool flag) {
  if (!flag) return nullptr;
  auto endpoint = std::make_unique<HX_Endpoint>(nullptr, hx::tcpConnect);
  if (!endpoint->Deserialize(data, length)) return nullptr;
  return endpoint;
}

HX_TransportEndpointList HX_Endpoint::Factory(const char* name, const void* data, size_t length,
                                              bool flag) {
  HX_TransportEndpointList list;
  const auto* blob = static_cast<const uint8_t*>(data);
  if (name == nullptr || blob == nullptr || length <= 12 || !ChecksumMatches(blob, length)) return list;
  const uint32_t count = hx::wire::LoadLe32(blob + kChecksumSize);

  uint64_t offset = kListHeadSize;
  for (uint32_t parsed = 0; parsed < count && offset + kRecordSizeField < length; ++parsed) {
    const uint32_t record_size = hx::wire::LoadLe32(blob + offset);
    const uint64_t record_offset = offset + kRecordSizeField;
    if (record_size == 0 || record_offset + record_size > length) break;
    auto endpoint = std::make_shared<HX_Endpoint>(nullptr, static_cast<hx::EpType>(flag ? 0 : 1));
    if (endpoint->Deserialize(blob + record_offset, record_size)) list.push_back(std::move(endpoint));
    offset = record_offset + record_size;
  }
  return list;
}

std::vector<uint8_t> HX_Endpoint::MakeListBlob(const std::vector<std::vector<uint8_t>>& storedForms) {
  uint64_t total = kListHeadSize;
  for (const auto& form : storedForms) total += kRecordSizeField + form.size();
  if (total > UINT32_MAX || storedForms.size() > UINT32_MAX) return {};
  std::vector<uint8_t> blob(static_cast<size_t>(total));
  hx::wire::StoreLe32(blob.data() + kChecksumSize, static_cast<uint32_t>(storedForms.size()));
  size_t offset = kListHeadSize;
  for (const auto& form : storedForms) {
    hx::wire::StoreLe32(blob.data() + offset, static_cast<uint32_t>(form.size()));
    offset += kRecordSizeField;
    if (!form.empty()) std::memcpy(blob.data() + offset, form.data(), form.size());
    offset += form.size();
  }
  hx::wire::StoreLe32(blob.data(), StoredChecksum(blob.data(), blob.size()));
  return blob;
}
