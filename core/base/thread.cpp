#include "core/base/thread.h"

#include <errno.h>
#include <sched.h>

#include <cstring>

#include "core/base/ios_log.h"

namespace {

constexpr int kSchedulingPolicy = SCHED_OTHER;

void LogFailure(const char* what, int error) { ios_log("%s, Err = %d", what, error); }

int ReadPriorityBound(int bound, const char* what) {
  if (bound < 0) LogFailure(what, errno);
  return bound;
}

}  // namespace

HXThread::HXThread(const char* name)
    : HXThreadBase(name),
      m_minPriority(ReadPriorityBound(sched_get_priority_min(kSchedulingPolicy),
                                      "Unable to detect system scheduler priority (min)")),
      m_maxPriority(ReadPriorityBound(sched_get_priority_max(kSchedulingPolicy),
                                      "Unable to detect system scheduler priority (max)")) {}

HXThread::~HXThread() { StopBeforeDestruction(); }

int HXThread::MapPriority(int level) const {
  const int min = m_minPriority;
  const int range = m_maxPriority - m_minPriority;
  switch (level) {
    case hx::thread::lowest:
      return min;
    case hx::thread::low:
      return min + range / 4;
    case hx::thread::below_normal:
      return min + range / 3;
    case hx::thread::above_normal:
      return min + range * 2 / 3;
    case hx::thread::high:
      return min + range * 3 / 4;
    case hx::thread::highest:
      return m_maxPriority;
    default:
      return min + range / 2;
  }
}

bool HXThread::_CreateThread(EntryFunction entry, void* arg) {
  HXAutoLock guard(m_handleLock);
  pthread_t thread;
  if (const int error = pthread_create(&thread, nullptr, entry, arg); error != 0) {
    LogFailure("Cannot start thread (RunEntry)", error);
    return false;
  }
  m_thread = thread;
  m_hasThread = true;
  return true;
}

bool HXThread::_Join() {
  pthread_t thread;
  {
    HXAutoLock guard(m_handleLock);
    if (!m_hasThread) return true;
    thread = m_thread;
    m_hasThread = false;
  }
  return pthread_join(thread, nullptr) == 0;
}

void HXThread::_SetPriority(int level) {
  if (level == hx::thread::normal) return;
  HXAutoLock guard(m_handleLock);
  if (!m_hasThread) return;
  sched_param parameters{};
  parameters.sched_priority = MapPriority(level);
  if (const int error = pthread_setschedparam(m_thread, kSchedulingPolicy, &parameters); error != 0) {
    LogFailure("Cannot set thread priority", error);
  }
}

void HXThread::_SetName(const char* text) {
  if (text == nullptr) return;
  char system_name[16] = {};  // the system keeps 15 characters and a NUL
  std::strncpy(system_name, text, sizeof(system_name) - 1);
  HXAutoLock guard(m_handleLock);
  if (m_hasThread) pthread_setname_np(m_thread, system_name);
}
