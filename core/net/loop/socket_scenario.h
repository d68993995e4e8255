#pragma once
// Socket scenarios: an ordered list of steps ("actions") that one socket performs one after the
// other (bind, tune options, listen, connect, ...), each possibly waiting for a socket event
// before the next one starts. The scenario owns the list, runs the steps, and reports the end of
// the whole list; the socket class that carries the scenario routes its callbacks to the step in
// progress. A scenario can itself be one step of an outer scenario (HXSocketScenarioDetached).
//
// Result codes of a step's start and of a run: 0 under way (wait for its events), 1 failed or
// refused, 2 complete (go on).
//
// Threads: a scenario belongs to its socket; it is started by the socket's owner and driven by
// the socket's callbacks on the loop's thread. It is not locked.

#include <cstdint>
#include <list>
#include <memory>

class HXSocketActionBase;
class HXZADataHandler;
class HXZASocket;

// What a step reports to.
class HXSocketActionHolder {
 public:
  virtual ~HXSocketActionHolder();
  // The socket the steps work on.
  virtual HXZASocket* getSocketObject() = 0;
  virtual const HXZASocket* getSocketObject() const = 0;
  // The end of `action`, the step in progress; returns what the scenario's run returns.
  virtual int32_t onActionDone(HXZASocket* socket, HXZADataHandler* handler,
                               HXSocketActionBase* action, bool ok) = 0;
};

class HXSocketScenarioBase : public HXSocketActionHolder {
 public:
  enum Result : int32_t { kUnderWay = 0, kFailed = 1, kComplete = 2 };

  // With `keep_finished` the finished steps are kept until gcCollect.
  explicit HXSocketScenarioBase(bool keep_finished = false) : m_gc(keep_finished) {}
  ~HXSocketScenarioBase() override;

  // Appends a shared step and makes this scenario its holder; a null step is ignored.
  void addAction(std::shared_ptr<HXSocketActionBase> action);
  // The same for a step that the caller owns (a member): the scenario never deletes it.
  void addActionStatic(HXSocketActionBase& action);
  // Empties the pending steps; with `keep` and the keep-finished flag they join the finished ones.
  void clearActionsList(bool keep);
  void gcEnable(bool on) { m_gc = on; }
  void gcCollect() { m_done.clear(); }

  // Runs the list; the result code of the run.
  int32_t startScenario(HXZASocket* socket, HXZADataHandler* handler);

  int32_t onActionDone(HXZASocket* socket, HXZADataHandler* handler, HXSocketActionBase* action,
                       bool ok) override;

  // A derived scenario may veto a step before it starts or after it completed.
  virtual bool afterAction(HXZASocket* socket, HXZADataHandler* handler,
                           HXSocketActionBase* action);
  virtual bool beforeAction(HXZASocket* socket, HXZADataHandler* handler,
                            HXSocketActionBase* action);
  // The end of the whole list.
  virtual int32_t onScenarioDone(HXZASocket* socket, HXZADataHandler* handler, bool ok) = 0;
  // The step that receives the socket's events from now on (null: none).
  virtual void setCurrentAction(HXSocketActionBase* action) = 0;

 protected:
  int32_t iterateOver(HXZASocket* socket, HXZADataHandler* handler);
  void popAction();

 private:
  std::list<std::shared_ptr<HXSocketActionBase>> m_actions;  // first = current
  std::list<std::shared_ptr<HXSocketActionBase>> m_done;
  bool m_gc;
};

// One step. The defaults refuse to start, pass a bind result on, and fail on events the step
// does not expect (close, timer).
class HXSocketActionBase {
 public:
  explicit HXSocketActionBase(HXSocketActionHolder* holder = nullptr) : m_holder(holder) {}
  virtual ~HXSocketActionBase();

  virtual int32_t startAction(HXZASocket* socket, HXZADataHandler* handler);
  virtual void saOnBoundLocal(HXZASocket* socket, HXZADataHandler* handler, bool ok);
  virtual void saOnClose(HXZASocket* socket, HXZADataHandler* handler, HXZADataHandler* closed);
  virtual int32_t saOnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler);
  virtual int32_t saOnReadySendImp(HXZASocket* socket, HXZADataHandler* handler);
  virtual void saOnTimer(HXZASocket* socket, HXZADataHandler* handler, unsigned id);

  void setActionHolder(HXSocketActionHolder* holder) { m_holder = holder; }
  // Reports the end of this step to its holder.
  int32_t onActionDoneSelf(HXZASocket* socket, HXZADataHandler* handler, bool ok);

 protected:
  HXSocketActionHolder* m_holder;
};

// A scenario that is one step of an outer holder: its whole list counts as one step there.
class HXSocketScenarioDetached : public HXSocketActionBase, public HXSocketScenarioBase {
 public:
  explicit HXSocketScenarioDetached(HXSocketActionHolder* holder = nullptr,
                                    bool keep_finished = false)
      : HXSocketActionBase(holder), HXSocketScenarioBase(keep_finished) {}

  // Runs the inner list.
  int32_t startAction(HXZASocket* socket, HXZADataHandler* handler) override;
  // Events go to the inner step in progress.
  void saOnBoundLocal(HXZASocket* socket, HXZADataHandler* handler, bool ok) override;
  void saOnClose(HXZASocket* socket, HXZADataHandler* handler, HXZADataHandler* closed) override;
  int32_t saOnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t saOnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void saOnTimer(HXZASocket* socket, HXZADataHandler* handler, unsigned id) override;

  HXZASocket* getSocketObject() override;
  const HXZASocket* getSocketObject() const override;
  // Reports the inner list's end to the outer holder as the end of this step.
  int32_t onScenarioDone(HXZASocket* socket, HXZADataHandler* handler, bool ok) override;
  void setCurrentAction(HXSocketActionBase* action) override { m_current = action; }

 private:
  HXSocketActionBase* m_current = nullptr;
};
