#pragma once
// Display names and call ids.
//
// Every peer is addressed by a call id: a plain user id, a conference id ("\c\" and a name), or an
// id of an outside network or protocol written as '#', a scheme, ':' and an address (a telephone
// number may also be written with a leading '+'). hx::DisplayName is a display name with the kind
// of the call id it belongs to and where it came from; hx::CallIdParser recognises the scheme,
// strips the prefix and makes a readable name from the id alone.
//
// Thread safety: both are plain values without locks. The icon table is constant. The two name
// prefixes (conference and guest) are shared: `localize` may run while other threads generate
// names; each generated name uses either the old or the new prefix, never a torn one.

#include <cstddef>
#include <cstdint>
#include <string>

namespace hx {

// The kind of a call id. The numbers travel between the stores, the cache and the SDK.
enum class CallIdType : int32_t {
  conference = 0,  // "\c\" (any letter case) and the conference name
  fb = 1,          // "#fb:" and the account
  gl = 2,          // "#gl:" and the account
  guest = 3,       // "#guest:" and the guest id
  h323 = 4,        // "#h323:" and the address
  tel = 5,         // a leading '+' and the number, or "#tel:" and the number
  email = 6,       // "#mailto:" and the address
  rtsp = 7,        // "#rtsp:" and the address
  sip = 8,         // "#sip:" and the address
  user = 9,        // a plain user id of the system (the default)
  vk = 10,         // "#vk:" and the account
};

inline constexpr int32_t kCallIdTypeCount = 11;

// A display name with the kind of its call id and its origin.
class DisplayName {
 public:
  // What a lookup answers for a peer without a cached name.
  enum ReturnValue : int32_t {
    kReturnEmpty = 0,   // an empty text
    kReturnCallId = 1,  // the call id itself
    kReturnNull = 2,    // no text
  };
  // What a lookup of the client core does beyond the cache.
  enum UpdateValue : int32_t {
    kUpdateNothing = 0,  // nothing
    kUpdateDetails = 1,  // asks for the peer's details when the cache has no entry
    kUpdateSearch = 2,   // searches the address book for the peer first
  };
  // Where a name came from (m_source).
  enum Source : int32_t {
    kSourceCache = 0,      // the address-book cache, for a peer that is not a contact
    kSourceGenerated = 1,  // generated from the call id
    kSourceContacts = 2,   // the contact list
    kSourceFallback = 3,   // a fallback name the caller supplied
    kSourceNone = 4,       // nothing known
  };

  // The icon text of each type, UTF-8; empty for plain user ids and guests.
  static const std::string m_icons[kCallIdTypeCount];

  DisplayName() = default;
  DisplayName(CallIdType type, std::string dn, int32_t source)
      : m_type(type), m_dn(std::move(dn)), m_source(source) {}

  // The icon of this name's own type.
  const std::string& getIcon() const { return getIcon(m_type); }
  // The icon of a type; the empty text for a value outside the 11 types.
  static const std::string& getIcon(CallIdType type);
  // The name alone for plain user ids and guests; otherwise the icon, one blank and the name.
  std::string getDnDecorated() const;
  // When `domain` is not null and the part of `text` after its first at sign equals `domain`
  // exactly (case-sensitive), erases from that at sign to the end; otherwise changes nothing.
  static void removeDomain(std::string& text, const char* domain);
  // removeDomain applied to the display name.
  void removeDnDomain(const char* domain) { removeDomain(m_dn, domain); }

  CallIdType m_type = CallIdType::user;
  std::string m_dn;
  int32_t m_source = kSourceNone;
};

// The parser of call ids. A parser holds the whole id, its kind, the generated name and, for some
// kinds, an extra part (see m_extra).
class CallIdParser : public DisplayName {
 public:
  CallIdParser() = default;
  // Parses `callId` when it is not null.
  explicit CallIdParser(const char* callId);
  explicit CallIdParser(const std::string& callId);

  // Sets m_callId, the type and the generated name. False for an empty id (type 9, empty name).
  bool parse(const std::string& callId);
  // Sets `type` and answers the length of the scheme prefix (0 when there is none); -1 for an
  // empty id. A '#' scheme that matches none is still stripped (type 9).
  static int32_t parseScheme(const std::string& callId, CallIdType& type);
  // The readable name of `body` (the id without its prefix) for the current type; may set m_extra.
  std::string generateDn(const std::string& body);
  // For H.323, telephone, RTSP and SIP ids with a non-empty m_extra: the id without "/" and the
  // suffix. Otherwise the id unchanged.
  std::string callIdShort() const;

  // The display-name part of a parse of `callId`, with the source "generated".
  static DisplayName dnFromCallId(const std::string& callId);
  // For H.323, telephone, RTSP and SIP ids: the position of the last '/' in the whole id; 0 for
  // other ids and when there is none.
  static size_t getDevRandomPos(const std::string& callId);
  // The id without everything from getDevRandomPos on: the key under which the address-book
  // cache keeps an id.
  static std::string getCallIdNC(const std::string& callId);
  static std::string getCallIdNC(std::string&& callId);
  // Replaces the prefixes of generated conference and guest names. Both must be non-null.
  static void localize(const char* conferencePrefix, const char* guestPrefix);
  // Copies of the current prefixes (initially "Conference " and "Guest ").
  static std::string conferencePrefix();
  static std::string guestPrefix();

  std::string m_callId;
  // H.323, telephone, RTSP and SIP: the text after the last '/' of the body (an instance suffix);
  // guests: the part of the body before the first at sign; otherwise empty.
  std::string m_extra;
};

}  // namespace hx
