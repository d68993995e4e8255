#pragma once
// A service manager for tests: it records the "Method" of every message it is given (and, when
// asked, the whole body) and answers with a chosen verdict. Thread-safe: messages arrive on the
// network loop thread while the test thread reads.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/client/abstract_manager.h"

namespace hx::testing {

class RecordingManager : public HX_AbstractManager {
 public:
  explicit RecordingManager(const char* service, bool accept = true)
      : HX_AbstractManager(service), m_accept(accept) {}

  bool ParseIncomimgMessage(HX_Container& message) override {
    std::string method;
    message.GetValue("Method", method);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_methods.push_back(method);
      if (m_keepBodies) m_bodies.push_back(message);
    }
    m_changed.notify_all();
    return m_accept;
  }

  void KeepBodies() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keepBodies = true;
  }
  std::vector<std::string> Methods() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_methods;
  }
  std::vector<HX_Container> Bodies() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bodies;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_methods.size();
  }
  // Waits until `count` messages arrived; false on time-out.
  bool WaitForCount(size_t count, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return m_methods.size() >= count; });
  }

 private:
  const bool m_accept;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<std::string> m_methods;
  std::vector<HX_Container> m_bodies;
  bool m_keepBodies = false;
};

}  // namespace hx::testing
