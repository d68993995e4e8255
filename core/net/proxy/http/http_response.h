#pragma once
// The incremental parser of one HTTP response from a proxy: fed bytes as they arrive, it reports
// how many it took and whether the response is complete (or failed). Also the small text
// scanners that the authentication parser shares.
//
// The head and the body are bounded (kMaxHeadSize, kMaxBodySize): a CONNECT answer is a few
// hundred bytes, and a proxy that sends more is not one we can use.
//
// Plain value: one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/net/proxy/http/http_message.h"

namespace hx::http {

class Response {
 public:
  enum Error : uint32_t {
    errNone = 0,
    errStatusLine = 1,     // malformed status line
    errShortLine = 2,      // status line shorter than "HTTP/1.1 200"
    errNoStatusCode = 3,   // nothing after the version
    errStatusCode = 4,     // status code outside 100 to 600
    errTransferCoded = 5,  // transfer-coded body (not supported)
    errTooLarge = 6,       // head or body beyond its bound
  };
  enum Stage : uint32_t {
    stageStatusLine = 0,
    stageHeaders = 1,
    stageHeadersDone = 2,
    stageBody = 3,
    stageComplete = 4,
    stageFailed = 5,
  };
  enum BodyKind : uint32_t { bodyNone = 0, bodyTransferCoded = 1, bodyByLength = 2 };

  // Fewer bytes than this never hold a whole response: the status line waits for them.
  static constexpr size_t reqSizeMin = 16;
  // The shortest status line taken ("HTTP/1.1 200").
  static constexpr size_t kMinStatusLine = 12;
  static constexpr uint64_t kMaxHeadSize = 64 * 1024;
  static constexpr uint64_t kMaxBodySize = 64 * 1024;

  // Parses as much of `data` as it can; `length` becomes the count of bytes consumed, which the
  // caller removes before calling again with the rest and new bytes. True once the response is
  // complete or has failed, false while more bytes are needed.
  bool parse(const char* data, size_t& length);
  // Ready for the next response: error, stage, status line and headers reset; body, body kind,
  // remaining length and status code are left (the next parse sets what it needs).
  void clear();
  void setError(Error error);

  bool complete() const { return m_stage == stageComplete; }
  bool failed() const { return m_stage == stageFailed; }
  Error error() const { return m_error; }
  Stage stage() const { return m_stage; }
  int32_t status() const { return m_status; }
  uint32_t version() const { return m_version; }
  BodyKind bodyKind() const { return m_bodyKind; }
  const std::string& body() const { return m_body; }
  const std::string& statusLine() const { return m_statusLine; }
  const HeadersList& headers() const { return m_headers; }

  // The length of the line at `data` without its CR LF; `next` is the index after the line break.
  // A CR LF followed by a blank or tab folds the line. When the data ends first, `next` is
  // `length` and the result `length` (0 when the data held only line breaks): a line is
  // incomplete when next < result + 2.
  static size_t getHeaderLen(const char* data, size_t length, size_t& next);
  // The length of the run of blanks, tabs, CRs and LFs at `from` (a CR right after a CR LF ends
  // it); 0 when `to` lies before `from`.
  static size_t lenLWS(const char* from, const char* to);
  // Advances past such a run; true when it moved.
  static bool skipLWS(const char*& cursor, size_t& length);
  // Advances past commas and such runs; true when at least one comma was skipped.
  static bool skipEmptyListElement(const char*& cursor, size_t& length);

 private:
  // One step of the current stage; false when it must wait for more bytes. `used` grows by the
  // bytes the step consumed.
  bool stepStatusLine(const char* data, size_t length, size_t& used);
  bool stepHeader(const char* data, size_t length, size_t& used);
  void stepHeadersDone();
  bool stepBody(const char* data, size_t length, size_t& used);
  void parseStatusLine(const char* line, size_t length);
  void parseHeaderLine(const char* line, size_t length);
  // Counts `n` more head bytes; false (failed) past the bound.
  bool addHead(uint64_t n);

  std::string m_body;
  uint64_t m_remaining = 0;
  BodyKind m_bodyKind = bodyNone;
  int32_t m_status = 0;
  Error m_error = errNone;
  HeadersList m_headers;
  uint32_t m_version = 0;
  Stage m_stage = stageStatusLine;
  std::string m_statusLine;
  uint64_t m_headSize = 0;
};

}  // namespace hx::http
