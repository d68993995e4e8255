#pragma once
// HXThreadBase: the base of every long-lived thread of the core (network loop, schedulers and
// their runners, resolver pool, service threads). HXThread (thread.h) is its POSIX implementation;
// a subclass of HXThread supplies Run().
//
// One object runs Run() on a thread of its own once started, and may be started again after it
// has been waited for. The life of one run, with the value of the flags:
//   idle (1) --Start--> running (0) --Terminate--> asked to stop (2)
//   --Run returns--> finished, not yet joined (5, or 7 when asked to stop)
//   --Wait / Join / destructor--> idle (1)
// Run() loops while Terminated() is false. Terminate() sets the request and then calls
// OnTerminateRequest(), where a subclass wakes its loop (sets an event it waits on, ...).
//
// Thread safety: every method may be called from any thread, but one thread at a time should
// start, wait for or join a given object, and Run() must not wait for its own object.
//
// Destruction: every subclass that starts its thread stops it in its own destructor
// (Terminate(); Wait();), as every subclass in the core does. By the time the base's destructor
// runs, the subclass part that Run() belongs to is gone: a thread that is still starting or inside
// Run() then ends the process with a diagnostic on stderr (no longer undefined behaviour later).
// A thread whose Run() has already returned is only joined. Note that Start(..., true) returns
// before the new thread has entered Run().
//
// Thread-local storage: every started thread owns a store (HXTLSBase) from just before Run()
// until just after it; TLS() returns the calling thread's store.

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "core/base/event.h"

class HXTLS;
class HXTLSBase;

namespace hx::thread {

// Scheduling levels; normal leaves the system's default scheduling of the thread in place.
enum priority : int32_t {
  lowest = 0,
  low = 1,
  below_normal = 2,
  normal = 3,
  above_normal = 4,
  high = 5,
  highest = 6,
};

}  // namespace hx::thread

class HXThreadBase {
 public:
  using EntryFunction = void* (*)(void*);

  // Keeps the first 15 characters of `name` (an empty name for null).
  explicit HXThreadBase(const char* name);
  virtual ~HXThreadBase();
  HXThreadBase(const HXThreadBase&) = delete;
  HXThreadBase& operator=(const HXThreadBase&) = delete;

  // Starts Run() on a new thread at `level`. With `wait` returns only once the thread has its
  // name, priority and store. 0 when started; 1 (logged) when the object is not idle; -1 when the
  // system could not create the thread.
  int Start(hx::thread::priority level, bool wait);
  // Starts a thread object that deletes itself (through its virtual destructor) when Run()
  // returns. Results as Start. Nobody may use the object once this returned 0: no Wait, no delete.
  int Bushido(hx::thread::priority level);

  // Asks the thread to stop and calls OnTerminateRequest().
  void Terminate();
  // Sets or clears the stop request without calling the hook; returns `request`.
  bool Terminate(bool request);

  // Waits until Run() has returned, joins the thread and makes the object idle. True when joined
  // (and at once for an object that is idle already).
  bool Wait();
  // As Wait(), for at most `ms` milliseconds (ms < 0: no limit). False, with nothing joined and
  // the thread left running, when Run() has not returned in time.
  bool Wait(int64_t ms);
  // Joins the thread (blocking until it ends) and makes the object idle.
  bool Join();

  // True when no thread of this object runs and nothing is left to join.
  bool IsIdle() const { return m_flags.load() == kIdle; }
  // True from Start until Run() has returned.
  bool IsRunning() const { return (m_flags.load() & kIdle) == 0; }
  bool IsTermRequest() const { return (m_flags.load() & kTerminate) != 0; }
  // False only while the thread runs without a stop request: the condition of Run()'s loop.
  bool Terminated() const { return m_flags.load() != 0; }

  const char* GetName() const { return m_name; }
  // The level passed to the last start.
  hx::thread::priority GetPriority() const { return m_priority.load(); }
  // Applies `level` to the running thread; GetPriority() stays as it was.
  void SetPriority(hx::thread::priority level) { _SetPriority(level); }
  // Hands `text` to the thread's system name; GetName() stays as it was.
  void SetName(const char* text) { _SetName(text); }

  // The calling thread's system identity.
  static pthread_t ID() { return pthread_self(); }
  // Ends the calling thread at once. Called from Run() of a thread object, the object still ends
  // its run properly (store freed, waiters released).
  [[noreturn]] static void ThreadExit(void* value);
  // Sets up thread-local storage and the calling thread's store. The client object calls it once,
  // before the core starts threads; calling it again does no harm.
  static void TLSRegisterHandler();
  // The calling thread's store, created on first use.
  static HXTLSBase* TLS();

 protected:
  // The thread's body.
  virtual void Run() = 0;
  // Called by Terminate() on the requesting thread; wake Run()'s loop here.
  virtual void OnTerminateRequest() {}

  // Platform layer, implemented by HXThread.
  virtual bool _CreateThread(EntryFunction entry, void* arg) = 0;
  virtual bool _Join() = 0;
  virtual void _SetPriority(int level) = 0;
  virtual void _SetName(const char* text) = 0;

  // For the platform class's destructor: joins a thread whose Run() has returned (logged); a
  // thread that is starting or inside Run() aborts the process with a diagnostic.
  void StopBeforeDestruction();

 private:
  static constexpr uint32_t kIdle = 1;
  static constexpr uint32_t kTerminate = 2;
  static constexpr uint32_t kFinished = 4;

  static void* RunEntry(void* self);
  static void* BushidoEntry(void* self);
  static HXTLS* TLSHandler();

  int Launch(hx::thread::priority level, EntryFunction entry);
  void RunOnThisThread(bool self_deleting);
  void FinishOnThisThread(bool self_deleting);
  void ApplySystemName();

  char m_name[16] = {};
  // Bit 0 idle, bit 1 stop requested, bit 2 finished but not joined. Changed only atomically.
  std::atomic<uint32_t> m_flags{kIdle};
  HXEvent m_finished{false};  // set whenever no thread of this object runs
  HXEvent m_started{true};    // set by a new thread once it is ready
  std::atomic<hx::thread::priority> m_priority{hx::thread::normal};

  static HXTLS* m_TLSHandler;
};
