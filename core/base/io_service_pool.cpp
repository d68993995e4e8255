#include "core/base/io_service_pool.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "core/base/ios_log.h"
#include "core/base/thread_util.h"

namespace hx {

namespace {

unsigned DecimalDigits(unsigned value) {
  unsigned digits = 1;
  for (; value >= 10; value /= 10) ++digits;
  return digits;
}

}  // namespace

ASIOThreadPool::ASIOThreadPool(unsigned threadCount, const std::string& name)
    : m_threadCount(threadCount != 0 ? threadCount
                                     : std::max(1u, std::thread::hardware_concurrency())),
      m_name(name.empty() ? "ASIO" : name),
      m_service(std::make_unique<boost::asio::io_context>(static_cast<int>(m_threadCount))) {}

ASIOThreadPool::~ASIOThreadPool() {
  Stop();
  m_service->stop();
  m_service.reset();
}

bool ASIOThreadPool::Start() {
  if (!m_threads.empty()) return false;
  m_service->restart();
  m_work.emplace(m_service->get_executor());
  m_threads.reserve(m_threadCount);
  for (unsigned i = 0; i < m_threadCount; ++i) m_threads.emplace_back([this, i] { RunThread(i); });
  return true;
}

void ASIOThreadPool::Stop() {
  m_work.reset();
  for (std::thread& thread : m_threads) thread.join();
  m_threads.clear();
}

std::string ASIOThreadPool::GetThreadName(unsigned index) const {
  char name[16];
  const int kept = 14 - static_cast<int>(DecimalDigits(m_threadCount));
  std::snprintf(name, sizeof name, "%.*s %u", kept, m_name.c_str(), index);
  return name;
}

void ASIOThreadPool::RunThread(unsigned index) {
  hx::detail::SetThreadName(GetThreadName(index).c_str());
  OnThreadStart();
  // A handler that throws must not take the process down with it: log and keep serving.
  for (;;) {
    try {
      boost::system::error_code error;
      m_service->run(error);
      if (error) ios_log("%s, Err = %d", "ASIO service run failed", error.value());
      break;
    } catch (const std::exception& e) {
      ios_log("ASIO handler failed on %s: %s", GetThreadName(index).c_str(), e.what());
    } catch (...) {
      ios_log("ASIO handler failed on %s", GetThreadName(index).c_str());
    }
  }
  OnThreadExit();
}

}  // namespace hx
