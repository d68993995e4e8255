#include "core/net/proxy/http/http_response.h"

#include <strings.h>

#include <cstring>

namespace hx::http {

namespace {

bool IsLwsByte(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A non-empty run of decimal digits of at most 4 characters, converted completely.
bool VersionNumber(const char* text, size_t length, uint32_t& value) {
  if (length == 0 || length > 4) return false;
  value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (!IsDigit(text[i])) return false;
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  return true;
}

}  // namespace

size_t Response::getHeaderLen(const char* data, size_t length, size_t& next) {
  bool only_breaks = true;
  for (size_t i = 0; i < length; ++i) {
    const char c = data[i];
    if (c == '\n' && i > 0 && data[i - 1] == '\r') {
      if (i + 1 >= length) break;  // the byte after the break decides about folding
      const char following = data[i + 1];
      if (following == ' ' || following == '\t') continue;
      next = i + 1;
      return i - 1;
    }
    if (c != '\r' && c != '\n') only_breaks = false;
  }
  next = length;
  return only_breaks ? 0 : length;
}

size_t Response::lenLWS(const char* from, const char* to) {
  if (to <= from) return 0;
  const char* p = from;
  while (p < to && IsLwsByte(*p)) {
    if (*p == '\r' && p - from >= 2 && p[-1] == '\n' && p[-2] == '\r') break;
    ++p;
  }
  return static_cast<size_t>(p - from);
}

bool Response::skipLWS(const char*& cursor, size_t& length) {
  const size_t n = lenLWS(cursor, cursor + length);
  cursor += n;
  length -= n;
  return n > 0;
}

bool Response::skipEmptyListElement(const char*& cursor, size_t& length) {
  bool comma = false;
  for (;;) {
    if (length > 0 && *cursor == ',') {
      comma = true;
      ++cursor;
      --length;
      continue;
    }
    if (!skipLWS(cursor, length)) return comma;
  }
}

void Response::clear() {
  m_error = errNone;
  m_stage = stageStatusLine;
  m_statusLine.clear();
  m_headers.clear();
  m_headSize = 0;
}

void Response::setError(Error error) {
  m_error = error;
  m_stage = stageFailed;
}

bool Response::addHead(uint64_t n) {
  m_headSize += n;
  if (m_headSize <= kMaxHeadSize) return true;
  setError(errTooLarge);
  return false;
}

bool Response::parse(const char* data, size_t& length) {
  const size_t available = length;
  size_t used = 0;
  for (;;) {
    bool stepped = false;
    switch (m_stage) {
      case stageStatusLine:
        stepped = stepStatusLine(data + used, available - used, used);
        break;
      case stageHeaders:
        stepped = stepHeader(data + used, available - used, used);
        break;
      case stageHeadersDone:
        stepHeadersDone();
        stepped = true;
        break;
      case stageBody:
        stepped = stepBody(data + used, available - used, used);
        break;
      case stageComplete:
      case stageFailed:
        length = used;
        return true;
    }
    if (!stepped) {
      length = used;
      return false;
    }
  }
}

bool Response::stepStatusLine(const char* data, size_t length, size_t& used) {
  if (length < reqSizeMin) return false;
  size_t next = 0;
  const size_t line = getHeaderLen(data, length, next);
  if (next < line + 2) {
    // An unfinished line that already passes the bound will never be taken.
    if (length > kMaxHeadSize) setError(errTooLarge);
    return m_stage == stageFailed;
  }
  used += next;
  if (!addHead(next)) return true;
  parseStatusLine(data, line);
  return true;
}

void Response::parseStatusLine(const char* line, size_t length) {
  if (length < kMinStatusLine) return setError(errShortLine);
  m_statusLine.assign(line, length);
  if (strncasecmp(line, sHTTP, sizeofsHTTP) != 0 || line[sizeofsHTTP] != '/') {
    return setError(errStatusLine);
  }
  const size_t version_start = sizeofsHTTP + 1;
  size_t blank = version_start;
  while (blank < length && line[blank] != ' ') ++blank;
  size_t code_start = blank;
  while (code_start < length && line[code_start] == ' ') ++code_start;
  if (blank >= length || code_start >= length) return setError(errNoStatusCode);

  const void* dot_found = std::memchr(line + version_start, '.', blank - version_start);
  if (dot_found == nullptr) return setError(errStatusLine);
  const size_t dot = static_cast<size_t>(static_cast<const char*>(dot_found) - line);
  uint32_t major = 0;
  uint32_t minor = 0;
  if (!VersionNumber(line + version_start, dot - version_start, major) ||
      !VersionNumber(line + dot + 1, blank - dot - 1, minor)) {
    return setError(errStatusLine);
  }

  int32_t code = 0;
  for (size_t i = code_start; i < length && i < code_start + 4 && IsDigit(line[i]); ++i) {
    code = code * 10 + (line[i] - '0');
  }
  m_status = code;
  if (code < 100 || code > 600) return setError(errStatusCode);
  m_version = major * 256 + minor;
  m_stage = stageHeaders;
}

bool Response::stepHeader(const char* data, size_t length, size_t& used) {
  size_t next = 0;
  const size_t line = getHeaderLen(data, length, next);
  if (next < line + 2) {
    if (m_headSize + length > kMaxHeadSize) setError(errTooLarge);
    return m_stage == stageFailed;
  }
  used += next;
  if (!addHead(next)) return true;
  if (line == 0 && next == 2) {
    m_stage = stageHeadersDone;
    return true;
  }
  parseHeaderLine(data, line);
  return true;
}

void Response::parseHeaderLine(const char* line, size_t length) {
  const void* colon_found = std::memchr(line, ':', length);
  if (colon_found == nullptr) return;
  const size_t colon = static_cast<size_t>(static_cast<const char*>(colon_found) - line);
  if (colon == 0) return;
  size_t name_length = colon;
  while (name_length > 0 && IsLwsByte(line[name_length - 1])) --name_length;
  const HCode code = Header::getResponseHeaderCode(line, name_length);
  if (code == Unknown) return;

  const char* value = line + colon + 1;
  const char* end = line + length;
  value += lenLWS(value, end);
  const size_t value_length = static_cast<size_t>(end - value);
  if (code == ContentLength && value_length > 0) {
    // Decimal up to the first non-digit; a number past 32 bits sticks at the largest value,
    // which the body bound refuses.
    uint64_t number = 0;
    for (size_t i = 0; i < value_length && IsDigit(value[i]); ++i) {
      number = number * 10 + static_cast<uint64_t>(value[i] - '0');
      if (number > 0xFFFFFFFFu) number = 0xFFFFFFFFu;
    }
    m_headers.emplace_back(code, static_cast<uint32_t>(number));
  } else {
    m_headers.emplace_back(code, std::string(value, value_length));
  }
}

void Response::stepHeadersDone() {
  m_body.clear();
  m_remaining = 0;
  m_bodyKind = bodyNone;
  if (m_headers.lookupHdr(TransferEncoding) != nullptr) {
    m_bodyKind = bodyTransferCoded;
  } else if (const Header* content_length = m_headers.lookupHdr(ContentLength)) {
    m_bodyKind = bodyByLength;
    // An empty value is kept as text and announces no body bytes.
    m_remaining = content_length->value().getTag() == HX_Variant::kUint32
                      ? content_length->value().getUint()
                      : 0;
  }
  if ((m_status >= 100 && m_status <= 199) || m_status == 204 || m_status == 304) {
    m_bodyKind = bodyNone;
  }
  if (m_bodyKind == bodyNone) {
    m_stage = stageComplete;
  } else if (m_bodyKind == bodyByLength && m_remaining > kMaxBodySize) {
    setError(errTooLarge);
  } else {
    m_stage = stageBody;
  }
}

bool Response::stepBody(const char* data, size_t length, size_t& used) {
  if (m_bodyKind == bodyTransferCoded) {
    setError(errTransferCoded);
    return true;
  }
  if (m_remaining > 0 && length > 0) {
    const size_t take = length < m_remaining ? length : static_cast<size_t>(m_remaining);
    m_body.append(data, take);
    m_remaining -= take;
    used += take;
  }
  if (m_remaining != 0) return false;
  m_stage = stageComplete;
  return true;
}

}  // namespace hx::http
