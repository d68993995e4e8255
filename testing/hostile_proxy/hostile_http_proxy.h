#pragma once
// A hostile HTTP proxy for tests: it listens on 127.0.0.1 and plays a script of misbehaviours on
// each connection it accepts (the i-th connection plays the i-th script, the last script again
// for every later one). It speaks HTTP through its own small code (reading a request up to its
// empty line, writing bytes as given), never through the client's parser, so that it can catch
// the client's mistakes.
//
// Acts: read one request; send bytes at once or one byte per segment; stream a prefix and then
// filler bytes for as long as the client takes them (up to a count); stay silent until the client
// closes; pause; echo what arrives; end with a close (FIN) or a reset (RST). A script that runs out
// closes the connection.
//
// Threads: one thread accepts, one thread serves each connection; every observer may be called
// from any thread. The destructor stops and joins them all (no act blocks for more than a few
// seconds).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hx::testing {

struct ProxyAct {
  enum Kind {
    kRead,    // read one request up to its empty line (at most 64 KiB) and record it
    kSend,    // send `bytes`
    kDrip,    // send `bytes` one byte per segment
    kStream,  // send `bytes`, then `unit` `count` times, for as long as the client reads
    kSilent,  // send nothing until the client closes (or the proxy stops)
    kPause,   // wait `count` milliseconds
    kEcho,    // send back whatever arrives until the client closes
    kClose,   // orderly close
    kReset,   // abortive close (RST)
  };
  Kind kind;
  std::string bytes;
  uint64_t count = 0;
  std::string unit;
};

using ProxyScript = std::vector<ProxyAct>;

inline ProxyAct ReadRequest() { return {ProxyAct::kRead, {}, 0, {}}; }
inline ProxyAct SendBytes(std::string bytes) { return {ProxyAct::kSend, std::move(bytes), 0, {}}; }
inline ProxyAct DripBytes(std::string bytes) { return {ProxyAct::kDrip, std::move(bytes), 0, {}}; }
inline ProxyAct StreamBytes(std::string prefix, std::string unit, uint64_t times) {
  return {ProxyAct::kStream, std::move(prefix), times, std::move(unit)};
}
inline ProxyAct StaySilent() { return {ProxyAct::kSilent, {}, 0, {}}; }
inline ProxyAct PauseMs(uint64_t ms) { return {ProxyAct::kPause, {}, ms, {}}; }
inline ProxyAct EchoBack() { return {ProxyAct::kEcho, {}, 0, {}}; }
inline ProxyAct CloseConnection() { return {ProxyAct::kClose, {}, 0, {}}; }
inline ProxyAct ResetConnection() { return {ProxyAct::kReset, {}, 0, {}}; }

class HostileHttpProxy {
 public:
  // Starts listening and serving at once.
  explicit HostileHttpProxy(std::vector<ProxyScript> scripts);
  HostileHttpProxy(const HostileHttpProxy&) = delete;
  HostileHttpProxy& operator=(const HostileHttpProxy&) = delete;
  ~HostileHttpProxy();

  uint16_t port() const { return m_port; }
  // Connections accepted so far.
  int connections() const { return m_accepted.load(); }
  // The requests read so far, in arrival order, each up to and including its empty line.
  std::vector<std::string> requests() const;
  // Bytes written to clients so far, over all connections.
  uint64_t bytesSent() const { return m_sent.load(); }
  // Connections whose client closed (or reset) while the proxy waited or streamed.
  int clientCloses() const { return m_clientCloses.load(); }
  // Connections whose script has run to its end.
  int finished() const { return m_finished.load(); }

 private:
  void AcceptLoop();
  void Serve(int handle, const ProxyScript& script);
  // False when the client went away or the proxy stops.
  bool SendAll(int handle, const char* bytes, size_t length);
  bool ReadOneRequest(int handle);
  // Waits until `handle` is readable; false on stop or after `ms`.
  bool WaitReadable(int handle, int ms);

  std::vector<ProxyScript> m_scripts;
  int m_listener = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_accepted{0};
  std::atomic<uint64_t> m_sent{0};
  std::atomic<int> m_clientCloses{0};
  std::atomic<int> m_finished{0};
  mutable std::mutex m_mutex;
  std::vector<std::string> m_requests;
  std::vector<std::thread> m_servers;
  std::thread m_acceptor;
};

}  // namespace hx::testing
