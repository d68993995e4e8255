#include "core/base/thread_util.h"

#include <pthread.h>

#include <cstring>
#include <thread>

namespace hx {

void SleepFor(std::chrono::nanoseconds duration) {
  // sleep_for resumes after a signal with the time that is left.
  if (duration > std::chrono::nanoseconds::zero()) std::this_thread::sleep_for(duration);
}

namespace detail {

void SetThreadName(const char* name) {
  if (name == nullptr) return;
  char system_name[16] = {};  // the system keeps 15 characters and a NUL
  std::strncpy(system_name, name, sizeof(system_name) - 1);
  pthread_setname_np(pthread_self(), system_name);
}

}  // namespace detail
}  // namespace hx
