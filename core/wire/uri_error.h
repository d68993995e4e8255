#pragma once
// HXUriError: the error code and position that the URI parsers leave behind when they fail.
// A value type; no locks.

#include <cstddef>
#include <cstdint>

class HXUriError {
 public:
  enum ECode : int32_t {
    eNone = 0,
    eBadChar = 1,         // a character that is not allowed at its place
    eNoClosingBracket = 2,  // a host that begins with "[" has no "]"
    eBadPort = 3,         // not only digits, or not in 1..65535
    eEmptyUri = 4,
    eUnknownVar = 7,      // call links: unknown query variable
    eBadVarValue = 8,     // call links: bad value of a query variable
    eBadServersList = 9,  // call links: a server id without hosts, or an empty server id
    eNotIpLiteral = 11,   // a bracketed host that is not an IP address literal
  };

  // The code; with `position` given, also the position of the error in the parsed text.
  ECode error(size_t* position = nullptr) const {
    if (position != nullptr) *position = m_position;
    return m_code;
  }
  size_t errorPos() const { return m_position; }
  void setUriError(ECode code, size_t position) {
    m_code = code;
    m_position = position;
  }
  void clearUriError() { setUriError(eNone, 0); }

 private:
  ECode m_code = eNone;
  size_t m_position = 0;
};
