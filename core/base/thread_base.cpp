#include "core/base/thread_base.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/base/ios_log.h"
#include "core/base/lock.h"
#include "core/base/thread_local_storage.h"

HXTLS* HXThreadBase::m_TLSHandler = nullptr;

namespace {

// Held while a self-deleting thread is being created: the new thread takes it once before it
// deletes its object, so the creating thread is done with the object by then. Never destroyed,
// because such threads may still run while the process exits.
HXLock& SelfDeletingLaunchLock() {
  static HXLock* lock = new HXLock();
  return *lock;
}

}  // namespace

HXThreadBase::HXThreadBase(const char* name) {
  if (name != nullptr) std::strncpy(m_name, name, sizeof(m_name) - 1);
  m_finished.Set();
}

HXThreadBase::~HXThreadBase() = default;

int HXThreadBase::Start(hx::thread::priority level, bool wait) {
  const int result = Launch(level, &RunEntry);
  if (result == 0 && wait) m_started.Wait();
  return result;
}

int HXThreadBase::Bushido(hx::thread::priority level) {
  HXAutoLock hold_until_created(SelfDeletingLaunchLock());
  return Launch(level, &BushidoEntry);
}

int HXThreadBase::Launch(hx::thread::priority level, EntryFunction entry) {
  // Claiming the object with one atomic step keeps two concurrent starts from both succeeding,
  // and makes the object count as running before the new thread gets to run.
  uint32_t flags = kIdle;
  if (!m_flags.compare_exchange_strong(flags, 0)) {
    ios_log("Attemt to restart a live thread at %p 0x%x", static_cast<void*>(this), flags);
    return 1;
  }
  m_finished.Reset();
  m_started.Reset();  // a start without wait may have left it set
  m_priority = level;
  if (!_CreateThread(entry, this)) {
    m_finished.Set();
    m_flags = kIdle;
    return -1;
  }
  return 0;
}

void* HXThreadBase::RunEntry(void* self) {
  static_cast<HXThreadBase*>(self)->RunOnThisThread(false);
  return nullptr;
}

void* HXThreadBase::BushidoEntry(void* self) {
  static_cast<HXThreadBase*>(self)->RunOnThisThread(true);
  return nullptr;
}

void HXThreadBase::RunOnThisThread(bool self_deleting) {
  ApplySystemName();
  _SetPriority(m_priority);
  TLSHandler()->TLSInit();
  m_started.Set();

  // Ends the run also when Run() leaves through ThreadExit, which unwinds this stack.
  struct EndOfRun {
    HXThreadBase* thread;
    bool self_deleting;
    ~EndOfRun() { thread->FinishOnThisThread(self_deleting); }
  } end_of_run{this, self_deleting};
  Run();
}

void HXThreadBase::FinishOnThisThread(bool self_deleting) {
  m_flags |= kFinished;
  TLSHandler()->TLSFree();
  m_finished.Set();
  m_flags |= kIdle;
  if (!self_deleting) return;

  m_flags &= ~kFinished;  // idle with nothing to join: the destructor leaves the thread alone
  { HXAutoLock creator_is_done(SelfDeletingLaunchLock()); }
  pthread_detach(pthread_self());  // nobody joins this thread
  delete this;
}

void HXThreadBase::ApplySystemName() {
  // "<low 12 bits of the address in hex>.<last 12 characters of the name>", 14 characters at
  // most, so that threads of the same name stay apart in debuggers and process tools.
  const size_t length = std::strlen(m_name);
  const char* tail = m_name + (length > 12 ? length - 12 : 0);
  char system_name[15];
  const unsigned address_bits = static_cast<unsigned>(reinterpret_cast<uintptr_t>(this) & 0xfff);
  if (std::snprintf(system_name, sizeof(system_name), "%x.%s", address_bits, tail) < 0) return;
  _SetName(system_name);
}

void HXThreadBase::Terminate() {
  m_flags |= kTerminate;
  OnTerminateRequest();
}

bool HXThreadBase::Terminate(bool request) {
  if (request) {
    m_flags |= kTerminate;
  } else {
    m_flags &= ~kTerminate;
  }
  return request;
}

bool HXThreadBase::Wait() {
  if (!m_finished.Wait()) return false;
  return Join();
}

bool HXThreadBase::Wait(int64_t ms) {
  if (!m_finished.Wait(ms)) return false;
  return Join();
}

bool HXThreadBase::Join() {
  const bool joined = _Join();
  m_flags = kIdle;
  return joined;
}

void HXThreadBase::StopBeforeDestruction() {
  const uint32_t flags = m_flags.load();
  if ((flags & kIdle) != 0 && (flags & kFinished) == 0) return;
  if ((flags & kFinished) != 0) {
    // Run() has returned; only the end of the run and the join are left.
    ios_log("Removing thread object that is not joined %p 0x%x %s", static_cast<void*>(this), flags,
            m_name);
    m_finished.Wait();
    Join();
    return;
  }
  // The thread is starting or inside Run(), and the subclass part that Run() belongs to is gone
  // already: whatever it does next is undefined. End here, saying what went wrong, rather than
  // somewhere later with "pure virtual method called" or a corrupted heap.
  ios_log("Removing thread object while it is running %p 0x%x %s", static_cast<void*>(this), flags,
          m_name);
  std::fprintf(stderr,
               "HXThread \"%s\" at %p destroyed while its thread starts or runs: its subclass must "
               "stop it (Terminate(); Wait();) in its own destructor\n",
               m_name, static_cast<void*>(this));
  std::fflush(stderr);
  std::abort();
}

void HXThreadBase::ThreadExit(void* value) { pthread_exit(value); }

HXTLS* HXThreadBase::TLSHandler() {
  static std::once_flag created;
  std::call_once(created, [] { m_TLSHandler = new HXTLS(); });
  return m_TLSHandler;
}

void HXThreadBase::TLSRegisterHandler() { TLS(); }

HXTLSBase* HXThreadBase::TLS() {
  HXTLS* handler = TLSHandler();
  HXTLSBase* store = handler->TLSGet();
  return store != nullptr ? store : handler->TLSInit();
}
