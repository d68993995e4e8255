// Parses call ids as servers, peers and call links send them. A guest name must be valid UTF-8
// when its id is; for H.323, telephone, RTSP and SIP ids the short id must equal the cache key
// unless the suffix is empty; the generated name must come out of the whole id.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/base/utf8.h"
#include "core/contacts/names/call_id_parser.h"

namespace {

bool ValidUtf8(const std::string& text) {
  const char* bytes = text.data();
  size_t left = text.size();
  while (left > 0) {
    uint32_t code = 0;
    const int32_t used = utf8tow(bytes, left, &code);
    if (used <= 0) return false;
    bytes += used;
    left -= static_cast<size_t>(used);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string id(reinterpret_cast<const char*>(data), size);
  hx::CallIdParser parser;
  const bool ok = parser.parse(id);
  if (ok != !id.empty()) std::abort();
  if (parser.m_callId != id) std::abort();
  const auto type = static_cast<int32_t>(parser.m_type);
  if (type < 0 || type >= hx::kCallIdTypeCount) std::abort();
  (void)parser.getDnDecorated();
  const std::string shortId = parser.callIdShort();
  const std::string nc = hx::CallIdParser::getCallIdNC(id);
  if (nc.size() > id.size() || id.compare(0, nc.size(), nc) != 0) std::abort();
  switch (parser.m_type) {
    case hx::CallIdType::h323:
    case hx::CallIdType::tel:
    case hx::CallIdType::rtsp:
    case hx::CallIdType::sip:
      if (!parser.m_extra.empty() && shortId != nc) std::abort();
      break;
    case hx::CallIdType::guest:
      if (ValidUtf8(id) && !ValidUtf8(parser.m_dn)) std::abort();
      [[fallthrough]];
    default:
      if (shortId != id) std::abort();
  }
  const hx::DisplayName dn = hx::CallIdParser::dnFromCallId(id);
  if (dn.m_dn != parser.m_dn || dn.m_type != parser.m_type) std::abort();
  return 0;
}
