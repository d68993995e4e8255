#pragma once
// hx::ASIOThreadPool: a set of threads that all run one boost.asio I/O service. Work reaches the
// threads only through the service (post handlers or start asynchronous operations on it).
// Start and Stop are called from one controlling thread, never from a pool thread.

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace hx {

class ASIOThreadPool {
 public:
  // A count of 0 means one thread per hardware thread; an empty name means "ASIO".
  explicit ASIOThreadPool(unsigned threadCount = 0, const std::string& name = "");
  // Stops the threads, then shuts the service down.
  virtual ~ASIOThreadPool();
  ASIOThreadPool(const ASIOThreadPool&) = delete;
  ASIOThreadPool& operator=(const ASIOThreadPool&) = delete;

  // Re-arms the service, keeps it alive with a work guard and starts the threads; false when
  // they are already running.
  bool Start();
  // Releases the work guard, so that the service stops once no work is left (handlers already
  // queued still run), then joins the threads.
  void Stop();

  boost::asio::io_context& GetIOService() { return *m_service; }
  unsigned GetThreadCount() const { return m_threadCount; }
  // Thread i's name: the pool name cut so that a space and i fit 15 characters.
  std::string GetThreadName(unsigned index) const;

 protected:
  // Called on each pool thread before it serves the service and after it has stopped.
  virtual void OnThreadStart() {}
  virtual void OnThreadExit() {}

 private:
  void RunThread(unsigned index);

  unsigned m_threadCount;
  std::string m_name;
  std::unique_ptr<boost::asio::io_context> m_service;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> m_work;
  std::vector<std::thread> m_threads;
};

}  // namespace hx
