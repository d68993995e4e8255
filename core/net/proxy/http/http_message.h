#pragma once
// The small part of HTTP/1.1 that the proxy tunnel writes: the request line (Method), header
// records and their list (Header, HeadersList) and the header kinds both directions know (HCode).
// Nothing here touches a socket. Plain values: one thread at a time.

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "core/base/variant.h"

namespace hx::http {

inline constexpr char CrLf[] = "\r\n";
inline constexpr size_t sizeofCrLf = 2;
inline constexpr char ColonDiv[] = ":";
inline constexpr size_t sizeofColonDiv = 1;
inline constexpr char sHTTP[] = "HTTP";
inline constexpr size_t sizeofsHTTP = 4;

// Header kinds. The response parser knows 0 to 3, the request writer 0, 1, 4, 5 and 6.
enum HCode : uint32_t {
  ContentLength = 0,
  TransferEncoding = 1,
  ProxyAuthenticate = 2,
  ProxyAuthenticationInfo = 3,
  Host = 4,
  ProxyAuthorization = 5,
  UserAgent = 6,
  Unknown = 7,
};

class Method {
 public:
  static constexpr char nConnect[] = "CONNECT";

  // Writes "<method>[ <target>] HTTP/1.1" CR LF. The needed length (method + 11, plus target + 1
  // for a non-empty target; no terminating zero) is stored into `length`; with a null `out` or a
  // smaller given length nothing is written and the result is false.
  static bool put(const char* method, size_t method_length, const char* target,
                  size_t target_length, char* out, size_t& length);
  // The CONNECT line for `target` ("host:port").
  static bool Connect(const std::string& target, char* out, size_t& length);
};

class Header {
 public:
  Header(HCode code, uint32_t value) : m_code(code), m_value(value) {}
  Header(HCode code, const std::string& value) : m_code(code), m_value(value) {}
  Header(HCode code, std::string&& value) : m_code(code), m_value(std::string(std::move(value))) {}
  virtual ~Header() = default;
  Header(const Header&) = default;
  Header& operator=(const Header&) = default;

  HCode code() const { return m_code; }
  const HX_Variant& value() const { return m_value; }

  // The value as text: numbers in decimal, a string as itself, anything else empty.
  std::string toString() const;

  // The request name of codes 0 to 6 (null with length 0 for the response-only codes 2 and 3
  // and for anything else).
  static const char* getRequestHeader(uint32_t code, size_t& length);
  // The code of a response header name compared ignoring case; Unknown when it is none of them.
  static HCode getResponseHeaderCode(const char* name, size_t length);

 private:
  HCode m_code;
  HX_Variant m_value;
};

class HeadersList : public std::list<Header> {
 public:
  // The first header of `code`, or null.
  const Header* lookupHdr(HCode code) const;

  // Writes every request header of `list` as "name:value" CR LF, then one more CR LF. The needed
  // length is stored into `length`; with a null `out` or a smaller given length nothing is
  // written and the result is false.
  static bool put(const HeadersList& list, char* out, size_t& length);
};

}  // namespace hx::http
