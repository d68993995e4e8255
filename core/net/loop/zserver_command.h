#pragma once
// The command records that other threads write into the network loop's pipe. Each record is one
// pipe message, copied by value in the machine's byte order; the reader looks at the type first.
// Records never leave the process. They are plain values: whoever holds one owns that copy.

#include <cstdint>

class HXStoredTask;
class HXZADataHandler;
class HXZASocket;

namespace hx::zcmd {

enum Type : uint32_t { kSimple = 1, kCallback = 2 };

// Operations of SimpleMessage. Codes 6, 10, 12 and anything outside 2..14 are ignored.
enum Op : uint32_t {
  kConnect = 2,      // connect the socket to its endpoint
  kBind = 3,         // bind the socket to its endpoint, then report OnBoundLocal
  kSendWake = 4,     // nothing: the next poll picks up the ready-to-send request
  kRecv = 5,         // call the socket's OnReadyRecv
  kClose = 7,        // close the descriptor of the handler copy in the record, which it owns
  kSet = 8,          // register the socket
  kDelete = 9,       // unregister and delete the socket
  kWake = 11,        // nothing: wakes the loop
  kTimerStart = 13,  // start or restart a socket timer
  kTimerStop = 14,   // stop a socket timer
};

// A socket command (type 1).
struct SimpleMessage {
  uint32_t type = kSimple;
  uint32_t op = 0;
  HXZASocket* socket = nullptr;
  HXZADataHandler* handler = nullptr;
  uint32_t serial = 0;  // the socket's serial number when the record was made; 0 without socket
  uint32_t padding = 0;
  uint64_t due = 0;    // tick ms; 0 = at once
  uint64_t extra = 0;  // connect: the deadline in tick ms; timers: the timer number
};

// A network job (type 2): a stored task to run on the loop's thread.
struct CallbackMessage {
  uint32_t type = kCallback;
  uint32_t padding = 0;
  HXStoredTask* task = nullptr;
  uint64_t due = 0;
};

static_assert(sizeof(SimpleMessage) == 48, "socket commands are 48 bytes");
static_assert(sizeof(CallbackMessage) == 24, "network jobs are 24 bytes");

// The largest record; the reader receives at most this many bytes.
constexpr int kMaxRecord = sizeof(SimpleMessage);

}  // namespace hx::zcmd
