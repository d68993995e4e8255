#pragma once
// The handshake manager of trial connections. A media stream that needs a connection tries
// several candidates (trial connections, core/streams/net_trial_connection.h): the manager asks
// its subclass for the next one (createStream), starts it, keeps at most `trial limit` running,
// starts the next only after the step interval, stops trials older than the trial lifetime, gives
// up when the overall time limit runs out or no candidate is left, and reports the first trial
// that succeeds to its listener. Trials the manager closed, and streams handed to watchForDone,
// are watched until they are destroyed (HX_NetStreamHMHolder), so that the listener hears
// onHandshakeManagerDone only when every one of them is gone.
//
// Results reported to the listener (hx::NetHandshakeConnectResult): 0 success (with the
// connection), 1 the overall time limit ran out, 2 no candidate left (both with a null
// connection).
//
// States: 0 idle or done; 1 started but not running (after start before its kick, or paused);
// 2 running trials; 3 stopped, waiting for closed streams to be destroyed.
//
// Jobs: "Hsmgr add", "Hsmgr remove" and "Hsmgr timeover" run on the network loop's worker pool
// (urgent queue); they are registered by start and removed by stop, by a failure and by the
// destructor. The step interval paces "Hsmgr add" (800 ms when it is 0).
//
// Threads: every public call may come from any thread; the jobs run on the pool, trials report
// from the network loop. Lists and state change under the manager's lock; the subclass
// (createStream, onHandshakeFinished), the trials' start and connRecycle and the listener are
// called without it. `stop` (and the destructor) wait for the manager's jobs to finish. A stop
// made from inside one of the manager's own jobs does not hang: the scheduler turns the waiting
// removal of the job that is running into a queued one (core/base/job_scheduler.h), so that job
// ends its run and is removed afterwards; the other two are waited for as usual.

#include <atomic>
#include <cstdint>
#include <list>
#include <set>
#include <vector>

#include "core/base/lock.h"
#include "core/streams/net_trial_connection.h"
#include "core/transport/net_stream_hm_holder.h"

namespace hx {
enum NetHandshakeConnectResult : int32_t {
  NetHandshakeConnected = 0,
  NetHandshakeTimeout = 1,
  NetHandshakeNoConnection = 2,
};
}  // namespace hx

class HXHandshakeManagerBase : public HX_NetTrialConnection::ListenerCallback {
 public:
  enum HMState : int32_t { stateIdle = 0, stateStarted = 1, stateRunning = 2, stateStopped = 3 };

  // Kinds of CreateStreamResult.
  static constexpr int32_t kNewTrial = 1;          // a trial connection to start
  static constexpr int32_t kUsableNow = 2;         // a connection that is already usable
  static constexpr int32_t kAskLater = 3;          // nothing now; ask again after the delay
  static constexpr int32_t kNothingLeft = 4;       // (and any other value) no candidate left
  static constexpr uint32_t kRecheckPeriod = 800;  // ms, the add period without stepping

  struct CreateStreamResult {
    uint64_t delay = 0;  // ms, with kAskLater
    int32_t kind = kNothingLeft;
    HX_NetTrialConnection* trial = nullptr;  // the new trial, or the usable connection
  };

  struct TrialConnection {
    HX_NetTrialConnection* trial;
    int64_t start;  // tick in ms
  };

  // Implemented by the media stream that runs the manager.
  class ListenerCallback {
   public:
    virtual ~ListenerCallback();
    virtual void onHMTrialConnectDone(HX_NetConnectionBase* connection,
                                      hx::NetHandshakeConnectResult result, bool usable_now) = 0;
    virtual void onHandshakeManagerDone() = 0;
  };

  HXHandshakeManagerBase(uint64_t trial_limit, uint32_t step_interval_ms,
                         uint32_t trial_lifetime_ms);
  // In states 1 and 2 stops first (waiting for the jobs); in any state waits until no job of the
  // manager runs any more.
  ~HXHandshakeManagerBase() override;

  void setListenerCallback(ListenerCallback* listener) { m_listener.store(listener); }

  // From state 0 only: registers the three jobs, enters state 1 and kicks with `first_delay_ms`.
  // `time_limit_ms` 0 means no overall limit.
  bool start(uint32_t time_limit_ms, uint32_t first_delay_ms);
  // Runs (state 1 becomes 2, arming the overall limit) or keeps running. With a delay the add job
  // runs after it; without, trials are added now, replacing the oldest when the limit is reached.
  // False in states 0 and 3, or when adding now found nothing at all to try.
  bool kick(uint32_t delay_ms);
  // State 2 to 1: closes every running trial (watched until destroyed) and cancels the jobs.
  bool pause();
  // In states 1 and 2 stops everything (waiting for the jobs); true when the state is now 0.
  bool stop();

  bool isOnDuty() const;
  bool isConnecting() const { return m_state.load() == stateRunning; }
  bool isDone() const { return m_state.load() == stateIdle; }
  // The running trials in state 2, else 0.
  size_t getConnectionCount();
  int32_t getState() const { return m_state.load(); }

  // Watches `stream` until it is destroyed.
  void watchForDone(HX_NetStreamHMHolder* stream);
  // Called by a watched or running stream's destructor.
  void beforeStreamDestroyed(HX_NetStreamHMHolder* stream);
  // onHandshakeFinished, then the listener's onHMTrialConnectDone with the same arguments.
  void onHandshakeFinishedInt(HX_NetConnectionBase* connection,
                              hx::NetHandshakeConnectResult result, bool usable_now);

  // A trial reports its end (network loop).
  void onTrialConnectDone(HX_NetTrialConnection* trial, bool success) override;

 protected:
  // The next candidate; a negative return means none now.
  virtual int createStream(CreateStreamResult& result) = 0;
  virtual void onHandshakeFinished(HX_NetConnectionBase* connection,
                                   hx::NetHandshakeConnectResult result, bool usable_now);
  // What the destructor does. A subclass calls it first in its own destructor, so that no job
  // calls its createStream while it is being destroyed.
  void shutdownJobs();

 private:
  int addStreams(bool replace_oldest);
  bool runStream(HX_NetTrialConnection* trial, int64_t start);
  void onAddStream();
  void onRemoveStream();
  void onTimeout();
  void onConnectionFail(hx::NetHandshakeConnectResult result);
  void realStop(bool wait);
  // Under the lock: moves a trial out of the running list into the watched set.
  void retireNL(HX_NetTrialConnection* trial, std::vector<HX_NetTrialConnection*>& released);
  static void recycle(const std::vector<HX_NetTrialConnection*>& released);
  void arm(uint32_t id, uint64_t delay_ms, bool cancel_pending);

  const uint32_t m_stepInterval;
  uint32_t m_addJob = 0;
  uint32_t m_removeJob = 0;
  uint32_t m_timeoutJob = 0;
  uint32_t m_timeLimit = 0;
  std::list<TrialConnection> m_trials;
  std::atomic<ListenerCallback*> m_listener{nullptr};
  HXLock m_lock;
  const uint64_t m_trialLimit;
  int64_t m_nextAddTime = 0;
  const uint32_t m_trialLifetime;
  std::atomic<int32_t> m_state{stateIdle};
  std::set<HX_NetStreamHMHolder*> m_watched;
  // Jobs removed without waiting: the destructor waits until they are gone.
  std::vector<uint32_t> m_retiredJobs;
};

// A manager that takes its trials from a supplier object.
class HXHandshakeManager : public HXHandshakeManagerBase {
 public:
  class ConnectionSupplier {
   public:
    virtual ~ConnectionSupplier();
    virtual int createStream(CreateStreamResult& result) = 0;
    virtual void onHandshakeFinished(HX_NetConnectionBase* connection,
                                     hx::NetHandshakeConnectResult result, bool usable_now);
  };

  using HXHandshakeManagerBase::HXHandshakeManagerBase;
  ~HXHandshakeManager() override;

  void setConnectionSupplier(ConnectionSupplier* supplier) { m_supplier.store(supplier); }

 protected:
  // -1 without a supplier.
  int createStream(CreateStreamResult& result) override;
  void onHandshakeFinished(HX_NetConnectionBase* connection, hx::NetHandshakeConnectResult result,
                           bool usable_now) override;

 private:
  std::atomic<ConnectionSupplier*> m_supplier{nullptr};
};
