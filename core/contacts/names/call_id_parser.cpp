#include "core/contacts/names/call_id_parser.h"

#include <mutex>
#include <utility>

#include "core/wire/uri_escape.h"
#include "core/wire/uri_host.h"

namespace hx {

namespace {

// The two localisable prefixes; `localize` may run while names are generated on other threads.
struct Prefixes {
  std::mutex lock;
  std::string lc_conference = "Conference ";
  std::string lc_guest = "Guest ";
};

Prefixes& SharedPrefixes() {
  static Prefixes* prefixes = new Prefixes;  // never destroyed: names may be made at exit
  return *prefixes;
}

bool HasDeviceSuffix(CallIdType type) {
  return type == CallIdType::h323 || type == CallIdType::tel || type == CallIdType::rtsp ||
         type == CallIdType::sip;
}

// The length of at most `limit` leading bytes of `text` that ends on a character boundary: a cut
// never splits a multi-byte UTF-8 sequence.
size_t CharacterBoundary(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t length = limit;
  while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  return length;
}

}  // namespace

const std::string DisplayName::m_icons[kCallIdTypeCount] = {
    "\xF0\x9F\x91\xA5",          // 0 conference: U+1F465
    "\xE2\x93\x95",              // 1 fb: U+24D5
    "\xE2\x92\xBC",              // 2 gl: U+24BC
    "",                          // 3 guest
    "\xF0\x9F\x93\xA0",          // 4 H.323: U+1F4E0
    "\xE2\x98\x8E\xEF\xB8\x8F",  // 5 telephone: U+260E U+FE0F
    "\xE2\x9C\x89\xEF\xB8\x8F",  // 6 e-mail: U+2709 U+FE0F
    "\xF0\x9F\x93\xB9",          // 7 RTSP: U+1F4F9
    "\xF0\x9F\x92\xBB",          // 8 SIP: U+1F4BB
    "",                          // 9 user
    "\xE2\x93\x8B",              // 10 vk: U+24CB
};

const std::string& DisplayName::getIcon(CallIdType type) {
  static const std::string kNone;
  const auto index = static_cast<int32_t>(type);
  if (index < 0 || index >= kCallIdTypeCount) return kNone;
  return m_icons[index];
}

std::string DisplayName::getDnDecorated() const {
  if (m_type == CallIdType::user || m_type == CallIdType::guest) return m_dn;
  return getIcon() + " " + m_dn;
}

void DisplayName::removeDomain(std::string& text, const char* domain) {
  if (domain == nullptr) return;
  const size_t at = text.find('@');
  if (at == std::string::npos) return;
  if (text.compare(at + 1, std::string::npos, domain) == 0) text.erase(at);
}

CallIdParser::CallIdParser(const char* callId) {
  if (callId != nullptr) parse(callId);
}

CallIdParser::CallIdParser(const std::string& callId) { parse(callId); }

bool CallIdParser::parse(const std::string& callId) {
  m_callId = callId;
  m_extra.clear();
  const int32_t prefix = parseScheme(callId, m_type);
  if (prefix < 0) {
    m_dn.clear();
    return false;
  }
  m_dn = generateDn(prefix == 0 ? callId : callId.substr(static_cast<size_t>(prefix)));
  return true;
}

int32_t CallIdParser::parseScheme(const std::string& callId, CallIdType& type) {
  type = CallIdType::user;
  if (callId.empty()) return -1;
  switch (callId[0]) {
    case '\\':
      if (HXUri::toLower(callId.substr(0, 3)) == "\\c\\") {
        type = CallIdType::conference;
        return 3;
      }
      return 0;
    case '+':
      type = CallIdType::tel;
      return 0;
    case '#': {
      const size_t colon = callId.find(':', 1);
      if (colon == std::string::npos) return 0;
      const std::string scheme = HXUri::toLower(callId.substr(1, colon - 1));
      static const std::pair<const char*, CallIdType> kSchemes[] = {
          {"fb", CallIdType::fb},       {"gl", CallIdType::gl},       {"vk", CallIdType::vk},
          {"sip", CallIdType::sip},     {"tel", CallIdType::tel},     {"h323", CallIdType::h323},
          {"rtsp", CallIdType::rtsp},   {"guest", CallIdType::guest}, {"mailto", CallIdType::email},
      };
      for (const auto& [name, kind] : kSchemes) {
        if (scheme == name) {
          type = kind;
          break;
        }
      }
      return static_cast<int32_t>(colon + 1);
    }
    default:
      return 0;
  }
}

std::string CallIdParser::generateDn(const std::string& body) {
  switch (m_type) {
    case CallIdType::conference:
      return conferencePrefix() + body;
    case CallIdType::guest: {
      const size_t at = body.find('@');
      if (at == std::string::npos) return body;
      m_extra = body.substr(0, at);
      return guestPrefix() + m_extra.substr(0, CharacterBoundary(m_extra, 4));
    }
    case CallIdType::h323:
    case CallIdType::tel:
    case CallIdType::rtsp:
    case CallIdType::sip: {
      const size_t slash = body.rfind('/');
      if (slash == std::string::npos) return body;
      m_extra = body.substr(slash + 1);
      std::string name = body.substr(0, slash);
      if (m_type == CallIdType::rtsp) {
        std::string decoded;
        HXUriEscape::unescapePct(name, decoded);
        if (decoded.compare(0, 2, "//") == 0) decoded.erase(0, 2);
        name = std::move(decoded);
      }
      return name;
    }
    default:
      return body;
  }
}

std::string CallIdParser::callIdShort() const {
  if (HasDeviceSuffix(m_type) && !m_extra.empty() && m_extra.size() < m_callId.size()) {
    return m_callId.substr(0, m_callId.size() - m_extra.size() - 1);
  }
  return m_callId;
}

DisplayName CallIdParser::dnFromCallId(const std::string& callId) {
  CallIdParser parser(callId);
  return DisplayName(parser.m_type, std::move(parser.m_dn), kSourceGenerated);
}

size_t CallIdParser::getDevRandomPos(const std::string& callId) {
  CallIdType type;
  parseScheme(callId, type);
  if (!HasDeviceSuffix(type)) return 0;
  const size_t slash = callId.rfind('/');
  return slash == std::string::npos ? 0 : slash;
}

std::string CallIdParser::getCallIdNC(const std::string& callId) {
  return getCallIdNC(std::string(callId));
}

std::string CallIdParser::getCallIdNC(std::string&& callId) {
  const size_t position = getDevRandomPos(callId);
  if (position != 0) callId.erase(position);
  return std::move(callId);
}

void CallIdParser::localize(const char* conferencePrefix, const char* guestPrefix) {
  if (conferencePrefix == nullptr || guestPrefix == nullptr) return;
  Prefixes& prefixes = SharedPrefixes();
  std::lock_guard<std::mutex> hold(prefixes.lock);
  prefixes.lc_conference = conferencePrefix;
  prefixes.lc_guest = guestPrefix;
}

std::string CallIdParser::conferencePrefix() {
  Prefixes& prefixes = SharedPrefixes();
  std::lock_guard<std::mutex> hold(prefixes.lock);
  return prefixes.lc_conference;
}

std::string CallIdParser::guestPrefix() {
  Prefixes& prefixes = SharedPrefixes();
  std::lock_guard<std::mutex> hold(prefixes.lock);
  return prefixes.lc_guest;
}

}  // namespace hx
