#include "testing/fake_server/endpoint_blob.h"

namespace hx::testing {
namespace {

constexpr uint32_t kChecksumSeed = 0x3D141591u;

uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

bool PutText(std::vector<uint8_t>& out, const std::string& text) {
  if (text.size() > 255) return false;
  out.push_back(static_cast<uint8_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
  return true;
}

uint32_t Checksum(const uint8_t* data, size_t size) {
  uint32_t sum = static_cast<uint32_t>(size / 4 + size % 4) + kChecksumSeed;
  size_t at = 4;
  while (at + 4 <= size) {
    sum += Load32(data + at);
    at += 4;
  }
  while (at < size) sum += data[at++];
  return sum;
}

void StoreChecksum(std::vector<uint8_t>& out) {
  const uint32_t sum = Checksum(out.data(), out.size());
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(sum >> (8 * i));
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Text(std::string& text) {
    if (at_ >= size_) return false;
    const size_t length = data_[at_];
    if (size_ - at_ < length + 2 || data_[at_ + 1 + length] != 0) return false;
    text.assign(reinterpret_cast<const char*>(data_ + at_ + 1), length);
    at_ += length + 2;
    return true;
  }
  bool U16(uint16_t& value) {
    if (size_ - at_ < 2) return false;
    value = static_cast<uint16_t>(data_[at_] | data_[at_ + 1] << 8);
    at_ += 2;
    return true;
  }
  bool U8(uint8_t& value) {
    if (at_ >= size_) return false;
    value = data_[at_++];
    return true;
  }
  void Skip(size_t count) { at_ += count; }
  bool AtEnd() const { return at_ == size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

std::vector<uint8_t> EncodeEndpointRecord(const FakeEndpoint& e) {
  std::vector<uint8_t> out(4, 0);
  bool ok = PutText(out, e.host);
  Put16(out, e.port);
  ok = ok && PutText(out, e.protocol) && PutText(out, e.socks_host);
  Put16(out, e.socks_port);
  ok = ok && PutText(out, e.socks_user) && PutText(out, e.socks_password);
  out.push_back(e.socks_version);
  ok = ok && PutText(out, e.http_host);
  Put16(out, e.http_port);
  ok = ok && PutText(out, e.http_user) && PutText(out, e.http_password);
  if (!ok) return {};
  StoreChecksum(out);
  return out;
}

std::optional<FakeEndpoint> DecodeEndpointRecord(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 4 || Load32(data) != Checksum(data, size)) return std::nullopt;
  Reader reader(data, size);
  reader.Skip(4);
  FakeEndpoint e;
  const bool ok = reader.Text(e.host) && reader.U16(e.port) && reader.Text(e.protocol) &&
                  reader.Text(e.socks_host) && reader.U16(e.socks_port) &&
                  reader.Text(e.socks_user) && reader.Text(e.socks_password) &&
                  reader.U8(e.socks_version) && reader.Text(e.http_host) &&
                  reader.U16(e.http_port) && reader.Text(e.http_user) &&
                  reader.Text(e.http_password) && reader.AtEnd();
  if (!ok) return std::nullopt;
  return e;
}

std::vector<uint8_t> EncodeEndpointList(const std::vector<FakeEndpoint>& endpoints) {
  std::vector<uint8_t> out(4, 0);
  Put32(out, static_cast<uint32_t>(endpoints.size()));
  for (const FakeEndpoint& endpoint : endpoints) {
    const std::vector<uint8_t> record = EncodeEndpointRecord(endpoint);
    Put32(out, static_cast<uint32_t>(record.size()));
    out.insert(out.end(), record.begin(), record.end());
  }
  StoreChecksum(out);
  return out;
}

std::optional<std::vector<FakeEndpoint>> DecodeEndpointList(const uint8_t* data, size_t size) {
  if (data == nullptr || size < 8 || Load32(data) != Checksum(data, size)) return std::nullopt;
  const uint32_t count = Load32(data + 4);
  std::vector<FakeEndpoint> endpoints;
  size_t offset = 8;
  for (uint32_t i = 0; i < count; ++i) {
    if (size - offset < 4) return std::nullopt;
    const uint32_t length = Load32(data + offset);
    offset += 4;
    if (length > size - offset) return std::nullopt;
    auto endpoint = DecodeEndpointRecord(data + offset, length);
    if (!endpoint) return std::nullopt;
    endpoints.push_back(std::move(*endpoint));
    offset += length;
  }
  if (offset != size) return std::nullopt;
  return endpoints;
}

}  // namespace hx::testing
