#include "core/net/proxy/http/http_message.h"

#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace hx::http {

namespace {

struct Name {
  const char* text;
  size_t length;
};

constexpr Name kRequestNames[] = {
    {"Content-Length", 14},      {"Transfer-Encoding", 17}, {nullptr, 0}, {nullptr, 0}, {"Host", 4},
    {"Proxy-Authorization", 19}, {"User-Agent", 10},
};

// The response names, tried in this order.
constexpr Name RespHdrNames[] = {
    {"Content-Length", 14},
    {"Transfer-Encoding", 17},
    {"Proxy-Authenticate", 18},
    {"Proxy-Authentication-Info", 25},
};

constexpr char kVersionSuffix[] = "/1.1";

}  // namespace

bool Method::put(const char* method, size_t method_length, const char* target, size_t target_length,
                 char* out, size_t& length) {
  const bool with_target = target != nullptr && target_length > 0;
  const size_t needed = method_length + 11 + (with_target ? target_length + 1 : 0);
  const size_t given = length;
  length = needed;
  if (out == nullptr || given < needed) return false;
  char* p = out;
  std::memcpy(p, method, method_length);
  p += method_length;
  if (with_target) {
    *p++ = ' ';
    std::memcpy(p, target, target_length);
    p += target_length;
  }
  *p++ = ' ';
  std::memcpy(p, sHTTP, sizeofsHTTP);
  p += sizeofsHTTP;
  std::memcpy(p, kVersionSuffix, 4);
  p += 4;
  std::memcpy(p, CrLf, sizeofCrLf);
  return true;
}

bool Method::Connect(const std::string& target, char* out, size_t& length) {
  return put(nConnect, sizeof(nConnect) - 1, target.data(), target.size(), out, length);
}

std::string Header::toString() const {
  char text[32];
  switch (m_value.getTag()) {
    case HX_Variant::kInt32:
      std::snprintf(text, sizeof text, "%d", m_value.getInt());
      return text;
    case HX_Variant::kInt64:
      std::snprintf(text, sizeof text, "%" PRId64, m_value.getInt64());
      return text;
    case HX_Variant::kUint32:
      std::snprintf(text, sizeof text, "%u", m_value.getUint());
      return text;
    case HX_Variant::kUint64:
      std::snprintf(text, sizeof text, "%" PRIu64, m_value.getUint64());
      return text;
    case HX_Variant::kString:
      return m_value.getString();
    default:
      return std::string();
  }
}

const char* Header::getRequestHeader(uint32_t code, size_t& length) {
  if (code >= sizeof kRequestNames / sizeof kRequestNames[0]) {
    length = 0;
    return nullptr;
  }
  length = kRequestNames[code].length;
  return kRequestNames[code].text;
}

HCode Header::getResponseHeaderCode(const char* name, size_t length) {
  for (uint32_t code = 0; code < sizeof RespHdrNames / sizeof RespHdrNames[0]; ++code) {
    if (RespHdrNames[code].length == length &&
        strncasecmp(RespHdrNames[code].text, name, length) == 0) {
      return static_cast<HCode>(code);
    }
  }
  return Unknown;
}

const Header* HeadersList::lookupHdr(HCode code) const {
  for (const Header& header : *this) {
    if (header.code() == code) return &header;
  }
  return nullptr;
}

bool HeadersList::put(const HeadersList& list, char* out, size_t& length) {
  size_t needed = sizeofCrLf;
  for (const Header& header : list) {
    size_t name_length = 0;
    if (Header::getRequestHeader(header.code(), name_length) == nullptr) continue;
    needed += name_length + sizeofColonDiv + header.toString().size() + sizeofCrLf;
  }
  const size_t given = length;
  length = needed;
  if (out == nullptr || given < needed) return false;
  char* p = out;
  for (const Header& header : list) {
    size_t name_length = 0;
    const char* name = Header::getRequestHeader(header.code(), name_length);
    if (name == nullptr) continue;
    const std::string value = header.toString();
    std::memcpy(p, name, name_length);
    p += name_length;
    std::memcpy(p, ColonDiv, sizeofColonDiv);
    p += sizeofColonDiv;
    std::memcpy(p, value.data(), value.size());
    p += value.size();
    std::memcpy(p, CrLf, sizeofCrLf);
    p += sizeofCrLf;
  }
  std::memcpy(p, CrLf, sizeofCrLf);
  return true;
}

}  // namespace hx::http
