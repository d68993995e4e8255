#include "testing/request_log.h"

#include <memory>

#include "core/base/container.h"
#include "core/wire/client_message.h"

namespace hx::testing {

std::string RequestLog::Describe(const char* service, const HX_Container& body) {
  std::string line = service != nullptr ? service : "";
  body.Reset();
  while (body.Next()) {
    line += " ";
    line += body.GetName();
    line += "=";
    switch (body.GetType()) {
      case HX_CNT_BOOL_VT: {
        bool value = false;
        body.GetValue(value);
        line += value ? "true" : "false";
        break;
      }
      case HX_CNT_INTEGER_VT: {
        int32_t value = 0;
        body.GetValue(value);
        line += std::to_string(value);
        break;
      }
      case HX_CNT_INT64_VT: {
        int64_t value = 0;
        body.GetValue(value);
        line += std::to_string(value) + "L";
        break;
      }
      case HX_CNT_STRING_VT:
        line += body.GetStrValue();
        break;
      case HX_CNT_BINARY_VT: {
        size_t size = 0;
        body.GetBinValueRef(size);
        line += "<" + std::to_string(size) + " bytes>";
        break;
      }
      default:
        line += "?";
        break;
    }
  }
  body.Reset();
  return line;
}

bool RequestLog::Take(HX_ClientMessage* message) {
  std::unique_ptr<HX_ClientMessage> owned(message);
  if (owned == nullptr || !owned->IsValid()) return false;
  const uint8_t* bytes = nullptr;
  const uint32_t length = owned->Body(&bytes);
  HX_Container body;
  if (length != 0) body.Deserialize(bytes, length);
  std::string line = Describe(owned->DstService(), body);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.push_back(std::move(line));
  m_limits.push_back(owned->TimeLimit());
  return m_sendAnswer.load();
}

std::vector<std::string> RequestLog::Lines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lines;
}

size_t RequestLog::Count(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t count = 0;
  for (const std::string& line : m_lines)
    count += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
  return count;
}

std::vector<uint32_t> RequestLog::TimeLimits() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_limits;
}

void RequestLog::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.clear();
  m_limits.clear();
}

}  // namespace hx::testing
