#pragma once
// HX_TcpStreamsSupervisor: tries which of a call peer's advertised TCP endpoints this client can
// reach, before media streams are set up on them. The conference store first turns the peer's
// endpoint list into candidate socket addresses (createFilteredEpList, which drops the client's
// own acceptors and loopback); the conference then hands the peer's untested connect endpoints to
// runTrialStreams, which pings them one by one, 50 ms apart, from the supervisor's single worker
// thread. Every ping reports its outcome to HX_ConfStorage::onDirectConnectPingDone.
//
// One supervisor per conference, kept by the conference and dropped under the conference lock
// (HX_Conference::directConnectTestEnd). The destructor therefore runs with the store's write lock
// held and joins the worker: the worker's job must never wait for that lock or for the network
// loop. It does neither: it only creates ping objects and starts them, which hands the sockets to
// the loop. Destruction wakes a job that waits between two pings, so it returns at once, and no
// ping starts after it. Pings already started go on on the loop and still report to the store.
//
// Threads: runTrialStreams runs on the caller's thread under the conference lock;
// createFilteredEpList is a pure function of its arguments.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/io_service_pool.h"
#include "core/conference/model/peer.h"
#include "core/net/address/acceptor_info.h"
#include "core/net/address/if_addr_container.h"
#include "core/wire/endpoint_record.h"

class ConferenceLock;
class HX_ConfStorage;

class HX_TcpStreamsSupervisor : public hx::ASIOThreadPool {
 public:
  // One planned ping.
  struct TrialStream {
    int32_t family = 0;  // AF_INET or AF_INET6
    int32_t endpointId = 0;
    std::string conference;
    std::string peerId;
    HX_ConfStorage* store = nullptr;
    std::string host;
    int32_t port = 0;
  };

  // Pause between two pings of one job.
  static constexpr uint32_t kTrialIntervalMs = 50;
  // A job stops once the network loop has this many free socket slots or fewer.
  static constexpr int32_t kMinFreeSockets = 5;

  // Starts the one worker thread.
  HX_TcpStreamsSupervisor();
  // Stops the running job at its next check and joins the worker.
  ~HX_TcpStreamsSupervisor() override;

  // Fills `out` with the candidate socket addresses of `endpoints`, each mapped to its endpoint:
  // TCP for endpoint types 0 and 1, UDP for 2 and 3; without empty hosts, unparsable or loopback
  // addresses, and without the client itself (an address equal to one of its acceptors, or on an
  // any-address acceptor's port at one of `interfaces`). A link-local peer address is entered
  // once per local link-local interface of its family, with that interface's scope, the entered
  // endpoint carrying the scoped address as its host. The first endpoint of a socket address wins.
  static void createFilteredEpList(conference::PeerEndpointMap& out,
                                   const HX_TransportEndpointList& endpoints,
                                   const HXZAcceptorInfo& acceptors,
                                   const HXIfIpAddrContainer& interfaces);

  // Collects a ping for each of the peer's connect endpoints of the send stream that has not
  // failed (state worked or not proven) and whose host is a usable address, and posts them as one
  // job to the worker. `lock` holds the peer's conference. Returns at once.
  void runTrialStreams(ConferenceLock& lock, conference::Peer& peer, HX_ConfStorage* store);

 private:
  // Worker thread: pings the trials in order, from `login`, until stopped or short of sockets.
  void runTrials(const std::vector<TrialStream>& trials, const std::string& login);
  static void startPing(const TrialStream& trial, const std::string& login);
  // Waits up to the interval; false when the supervisor is stopping.
  bool pause();

  std::atomic<bool> m_stopping{false};
  std::mutex m_mutex;
  std::condition_variable m_wake;
};
