// The request line and header writers, and the response parser fed whole, cut and byte by byte,
// with the malformed, oversized and transfer-coded answers a proxy may give.
#include "core/net/proxy/http/http_response.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace hx::http {
namespace {

// Feeds `text` in pieces of `step` bytes the way the proxy handler does: consumed bytes are cut,
// the rest is given again with the next piece. Returns the bytes left unconsumed.
std::string Feed(Response& response, const std::string& text, size_t step, bool* finished) {
  std::string pending;
  *finished = false;
  for (size_t at = 0; at < text.size() && !*finished; at += step) {
    pending += text.substr(at, step);
    size_t consumed = pending.size();
    *finished = response.parse(pending.data(), consumed);
    EXPECT_LE(consumed, pending.size());
    pending.erase(0, consumed);
  }
  return pending;
}

TEST(HttpRequestTest, ConnectLineAndHeaderBlock) {
  size_t length = 0;
  EXPECT_FALSE(Method::Connect("192.0.2.7:443", nullptr, length));
  EXPECT_EQ(length, 32u);
  std::string line(31, '\0');
  length = line.size();
  EXPECT_FALSE(Method::Connect("192.0.2.7:443", line.data(), length)) << "one byte short";
  line.assign(32, '\0');
  length = line.size();
  ASSERT_TRUE(Method::Connect("192.0.2.7:443", line.data(), length));
  EXPECT_EQ(line, "CONNECT 192.0.2.7:443 HTTP/1.1\r\n");
  // Without a target: method + 11.
  length = 0;
  Method::put("GET", 3, nullptr, 0, nullptr, length);
  EXPECT_EQ(length, 14u);

  HeadersList headers;
  headers.emplace_back(Host, std::string("a:1"));
  headers.emplace_back(ProxyAuthenticate, std::string("skipped"));
  headers.emplace_back(UserAgent, std::string("ViriduRiz/2.8"));
  headers.emplace_back(Unknown, std::string("skipped too"));
  length = 0;
  EXPECT_FALSE(HeadersList::put(headers, nullptr, length));
  EXPECT_EQ(length, 38u);
  std::string block(38, '\0');
  ASSERT_TRUE(HeadersList::put(headers, block.data(), length));
  EXPECT_EQ(block, "Host:a:1\r\nUser-Agent:ViriduRiz/2.8\r\n\r\n");

  HeadersList numbers;
  numbers.emplace_back(ContentLength, 5u);
  std::string text(20, '\0');
  length = text.size();
  ASSERT_TRUE(HeadersList::put(numbers, text.data(), length));
  EXPECT_EQ(text.substr(0, length), "Content-Length:5\r\n\r\n");
}

TEST(HttpRequestTest, HeaderNames) {
  size_t length = 99;
  EXPECT_STREQ(Header::getRequestHeader(ProxyAuthorization, length), "Proxy-Authorization");
  EXPECT_EQ(length, 19u);
  EXPECT_EQ(Header::getRequestHeader(ProxyAuthenticate, length), nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(Header::getRequestHeader(42, length), nullptr);
  EXPECT_EQ(Header::getResponseHeaderCode("proxy-AUTHENTICATE", 18), ProxyAuthenticate);
  EXPECT_EQ(Header::getResponseHeaderCode("Proxy-Authenticat", 17), Unknown);
  EXPECT_EQ(Header::getResponseHeaderCode("Host", 4), Unknown) << "a request-only name";
}

const std::string kEstablished = "HTTP/1.0 200 Connection established\r\n\r\n";

TEST(HttpResponseTest, WholeResponseInOneCall) {
  Response response;
  size_t length = kEstablished.size();
  ASSERT_TRUE(response.parse(kEstablished.data(), length));
  EXPECT_TRUE(response.complete());
  EXPECT_EQ(length, kEstablished.size());
  EXPECT_EQ(response.status(), 200);
  EXPECT_EQ(response.version(), 256u);
  EXPECT_EQ(response.bodyKind(), Response::bodyNone);
  EXPECT_EQ(response.statusLine(), "HTTP/1.0 200 Connection established");
}

TEST(HttpResponseTest, CutAfterTenBytesConsumesNothing) {
  Response response;
  size_t length = 10;
  EXPECT_FALSE(response.parse(kEstablished.data(), length));
  EXPECT_EQ(length, 0u);
  length = kEstablished.size();
  ASSERT_TRUE(response.parse(kEstablished.data(), length));
  EXPECT_EQ(length, kEstablished.size());
  EXPECT_EQ(response.status(), 200);
}

TEST(HttpResponseTest, LineBreakAtTheEndWaitsForOneMoreByte) {
  Response response;
  const std::string line = "HTTP/1.1 200 Connection established\r\n";
  size_t length = line.size();
  EXPECT_FALSE(response.parse(line.data(), length));
  EXPECT_EQ(length, 0u) << "the byte after the break decides about folding";
  const std::string more = line + "\r";
  length = more.size();
  EXPECT_FALSE(response.parse(more.data(), length));
  EXPECT_EQ(length, line.size());
  EXPECT_EQ(response.stage(), Response::stageHeaders);
}

TEST(HttpResponseTest, EveryCutGivesTheSameResult) {
  const std::string text =
      "HTTP/1.1 407 Proxy Authentication Required\r\n"
      "Proxy-Authenticate: Basic realm=\"hx\"\r\n"
      "X-Folded: a\r\n b\r\n"
      "Content-Length: 5\r\n\r\nhello";
  for (size_t step = 1; step <= text.size(); ++step) {
    Response response;
    bool finished = false;
    const std::string left = Feed(response, text, step, &finished);
    ASSERT_TRUE(finished) << "step " << step;
    EXPECT_TRUE(left.empty()) << "step " << step;
    EXPECT_EQ(response.status(), 407);
    EXPECT_EQ(response.bodyKind(), Response::bodyByLength);
    EXPECT_EQ(response.body(), "hello") << "step " << step;
    const Header* challenge = response.headers().lookupHdr(ProxyAuthenticate);
    ASSERT_NE(challenge, nullptr);
    EXPECT_EQ(challenge->toString(), "Basic realm=\"hx\"");
  }
}

TEST(HttpResponseTest, HeaderNamesAndValues) {
  const std::string text =
      "HTTP/1.1 200 OK\r\n"
      "proxy-authenticate:Digest a\r\n"
      "Proxy-Authenticat: ignored\r\n"
      ": no name\r\n"
      "no colon\r\n"
      "Proxy-Authentication-Info:    \r\n"
      "Content-Length: \r\n\r\n";
  Response response;
  size_t length = text.size();
  ASSERT_TRUE(response.parse(text.data(), length));
  ASSERT_TRUE(response.complete());
  ASSERT_EQ(response.headers().size(), 3u);
  EXPECT_EQ(response.headers().lookupHdr(ProxyAuthenticate)->toString(), "Digest a");
  EXPECT_EQ(response.headers().lookupHdr(ProxyAuthenticationInfo)->toString(), "");
  const Header* content_length = response.headers().lookupHdr(ContentLength);
  EXPECT_EQ(content_length->value().getTag(), HX_Variant::kString) << "an empty value stays text";
  EXPECT_EQ(response.bodyKind(), Response::bodyByLength);
  EXPECT_EQ(response.body(), "");
}

struct StatusCase {
  const char* name;
  std::string text;
  Response::Error error;
  int32_t status;
};

TEST(HttpResponseTest, StatusLinesAndTransferCoding) {
  const StatusCase cases[] = {
      {"short reason", "HTTP/1.1 200 OK\r\n\r\n", Response::errNone, 200},
      {"no reason", "HTTP/1.1 200\r\n\r\n", Response::errNone, 200},
      {"11 characters", "HTTP/1.1 20\r\n\r\n\r\n", Response::errShortLine, 0},
      {"600", "HTTP/1.1 600 Top of range\r\n\r\n", Response::errNone, 600},
      {"99", "HTTP/1.1 99 Below range\r\n\r\n", Response::errStatusCode, 99},
      {"601", "HTTP/1.1 601 Above range\r\n\r\n", Response::errStatusCode, 601},
      {"no digits", "HTTP/1.1 abc defghijklm\r\n\r\n", Response::errStatusCode, 0},
      {"not HTTP", "HTTX/1.1 200 Connection established\r\n\r\n", Response::errStatusLine, 0},
      {"lower case", "http/1.1 200 Connection established\r\n\r\n", Response::errNone, 200},
      {"no blank", "HTTP/1.1-200-Connection\r\n\r\n", Response::errNoStatusCode, 0},
      {"bad version", "HTTP/1.x 200 Connection\r\n\r\n", Response::errStatusLine, 0},
      {"long version", "HTTP/12345.1 200 Connection\r\n\r\n", Response::errStatusLine, 0},
      {"chunked 200", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       Response::errTransferCoded, 200},
      {"chunked 204", "HTTP/1.1 204 No Content\r\nTransfer-Encoding: chunked\r\n\r\n",
       Response::errNone, 204},
      {"body too large", "HTTP/1.1 407 Auth\r\nContent-Length: 65537\r\n\r\n",
       Response::errTooLarge, 407},
      {"length past 32 bits", "HTTP/1.1 407 Auth\r\nContent-Length: 99999999999\r\n\r\n",
       Response::errTooLarge, 407},
  };
  for (const StatusCase& c : cases) {
    Response response;
    size_t length = c.text.size();
    EXPECT_TRUE(response.parse(c.text.data(), length)) << c.name;
    EXPECT_EQ(response.error(), c.error) << c.name;
    EXPECT_EQ(response.stage(),
              c.error == Response::errNone ? Response::stageComplete : Response::stageFailed)
        << c.name;
    if (c.status != 0) EXPECT_EQ(response.status(), c.status) << c.name;
  }
}

TEST(HttpResponseTest, HeadIsBounded) {
  // Many small header lines.
  std::string text = "HTTP/1.1 200 Connection established\r\n";
  while (text.size() <= Response::kMaxHeadSize) text += "X-Filler: 0123456789abcdef\r\n";
  text += "\r\n";
  Response response;
  bool finished = false;
  Feed(response, text, 4096, &finished);
  EXPECT_TRUE(finished);
  EXPECT_EQ(response.error(), Response::errTooLarge);

  // One endless line, never finished: refused once it passes the bound.
  Response endless;
  std::string line = "HTTP/1.1 200 ";
  line.append(Response::kMaxHeadSize, 'x');
  Feed(endless, line, 1000, &finished);
  EXPECT_TRUE(finished);
  EXPECT_EQ(endless.error(), Response::errTooLarge);

  // The largest body still taken.
  Response largest;
  std::string full = "HTTP/1.1 407 Auth\r\nContent-Length: 65536\r\n\r\n";
  full.append(65536, 'b');
  Feed(largest, full, 8192, &finished);
  EXPECT_TRUE(largest.complete());
  EXPECT_EQ(largest.body().size(), 65536u);
}

TEST(HttpResponseTest, ClearKeepsBodyAndStatus) {
  Response response;
  std::string text = "HTTP/1.1 407 Auth\r\nContent-Length: 2\r\n\r\nab";
  size_t length = text.size();
  ASSERT_TRUE(response.parse(text.data(), length));
  response.clear();
  EXPECT_EQ(response.stage(), Response::stageStatusLine);
  EXPECT_TRUE(response.headers().empty());
  EXPECT_EQ(response.statusLine(), "");
  EXPECT_EQ(response.status(), 407);
  EXPECT_EQ(response.body(), "ab");
  // A following response parses afresh, its body not appended to the old one.
  text = "HTTP/1.1 407 Auth\r\nContent-Length: 1\r\n\r\nc";
  length = text.size();
  ASSERT_TRUE(response.parse(text.data(), length));
  EXPECT_EQ(response.body(), "c");
}

TEST(HttpScannerTest, LinesAndWhiteSpace) {
  size_t next = 0;
  EXPECT_EQ(Response::getHeaderLen("ab\r\ncd", 6, next), 2u);
  EXPECT_EQ(next, 4u);
  EXPECT_EQ(Response::getHeaderLen("ab\r\n cd\r\nx", 10, next), 7u) << "folded";
  EXPECT_EQ(next, 9u);
  EXPECT_EQ(Response::getHeaderLen("\r\n", 2, next), 0u);
  EXPECT_EQ(next, 2u);
  EXPECT_EQ(Response::getHeaderLen("ab", 2, next), 2u);
  EXPECT_EQ(next, 2u);

  const char text[] = " \t\r\n\r\nx";
  EXPECT_EQ(Response::lenLWS(text, text + 7), 4u) << "a CR after CR LF ends the run";
  EXPECT_EQ(Response::lenLWS(text, text + 2), 2u);
  EXPECT_EQ(Response::lenLWS(text + 2, text), 0u);
  const char* cursor = " , ,x";
  size_t length = 5;
  EXPECT_TRUE(Response::skipEmptyListElement(cursor, length));
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(*cursor, 'x');
  cursor = "  x";
  length = 3;
  EXPECT_FALSE(Response::skipEmptyListElement(cursor, length));
  EXPECT_EQ(length, 1u);
}

}  // namespace
}  // namespace hx::http
