#pragma once
// hx::CallRecord: the calls made to a stand-in of a subsystem that is not built yet, one line per
// call ("Name arg1 arg2", null texts as "(null)"), in order. Stand-ins keep one so that tests see
// what the client asked of them and in which order; the real subsystems replace them.
//
// Thread safety: every operation takes the record's own mutex; callers may record from any
// thread while a test reads.

#include <cstddef>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace hx {

class CallRecord {
 public:
  // Appends one line made of `name` and the arguments, separated by one blank each.
  template <typename... Args>
  void Record(const char* name, const Args&... args) {
    std::ostringstream line;
    line << name;
    ((line << ' ', Put(line, args)), ...);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(line.str());
  }
  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
  }
  // How many lines are exactly `line`, or, with `prefixOnly`, begin with `line` and a blank (or
  // are `line` alone).
  size_t Count(const std::string& line, bool prefixOnly = true) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const std::string& call : m_calls) {
      if (call == line || (prefixOnly && call.size() > line.size() && call.compare(0, line.size(), line) == 0 &&
                           call[line.size()] == ' ')) {
        ++n;
      }
    }
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
  }

 private:
  static void Put(std::ostringstream& out, const char* text) { out << (text != nullptr ? text : "(null)"); }
  static void Put(std::ostringstream& out, char* text) { Put(out, static_cast<const char*>(text)); }
  static void Put(std::ostringstream& out, const std::string& text) { out << text; }
  static void Put(std::ostringstream& out, bool value) { out << (value ? "true" : "false"); }
  template <typename T>
  static void Put(std::ostringstream& out, const T& value) {
    out << value;
  }

  mutable std::mutex m_mutex;
  std::vector<std::string> m_calls;
};

}  // namespace hx
