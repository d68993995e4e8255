#pragma once
// A record of the requests a client sends, for tests that stand in for the transport: each
// request becomes one line "<destination service> <entry>=<value> ...", its body's entries in
// order (texts as they are, integers in decimal, 64-bit integers with an "L", booleans as
// true/false, binaries as "<N bytes>"). A test client answers QueuePacket with Take, which also
// frees the message.
//
// Thread safety: every operation locks; requests may come from any thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class HX_ClientMessage;
class HX_Container;

namespace hx::testing {

class RequestLog {
 public:
  // Records and deletes `message`; answers the answer set with setSendAnswer (true at first).
  bool Take(HX_ClientMessage* message);
  void setSendAnswer(bool sent) { m_sendAnswer.store(sent); }

  std::vector<std::string> Lines() const;
  // The time limit of each request, in the order of Lines.
  std::vector<uint32_t> TimeLimits() const;
  // How many lines begin with `prefix`.
  size_t Count(const std::string& prefix) const;
  void Clear();

  // The line of one body.
  static std::string Describe(const char* service, const HX_Container& body);

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
  std::vector<uint32_t> m_limits;
  std::atomic<bool> m_sendAnswer{true};
};

}  // namespace hx::testing
