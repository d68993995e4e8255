#pragma once
// HXZTcpProtoProbe: finds out what a freshly accepted TCP connection is for. It reads the first
// zero-handshake record, recognises its kind by the primary field and hands the connection's data
// handler to one of three signals:
// - fireProbePing (handler): a "_HX_PING_" head (21 bytes) arrived; the rest of the record stays in
//   the socket, the head in the handler's pending buffer;
// - fireProbeTransport (handler): the same for "_HX_TRANSPORT_";
// - fireProbeStream (record, handler): a whole "_HX_STREAMS_" record of at most 512 bytes with
//   both checksums right; the record lies in the handler's pending buffer.
// A handler takes the connection over during the emission (HXZServer::inheritNative on the
// handler: the bytes read stay in its buffer for the new owner). Afterwards the probe closes and
// deletes itself in every case, so a connection that no handler took is closed; so is one whose
// head checksum is wrong, whose primary field is unknown, whose stream record is too long or
// damaged, whose peer closes, or that sends nothing recognisable within the time limit.
//
// Threads: made and started on any thread; every callback and signal runs on the loop's thread.

#include <cstddef>
#include <cstdint>

#include "core/base/signal.h"
#include "core/net/socket/socket_handy.h"
#include "core/wire/zero_handshake.h"

class HXZTcpProtoProbe : public HXZTCPSocketHandy {
 public:
  static constexpr uint32_t kDefaultTimeLimit = 15000;  // ms
  static constexpr uint64_t kBufferSize = 512;

  // What the first bytes of a connection are.
  enum Verdict {
    verdictIncomplete,  // more bytes are needed (`need` says how many in all)
    verdictBadHead,     // the head checksum is wrong
    verdictPing,        // a ping head
    verdictTransport,   // a transport head
    verdictStream,      // a whole, intact stream record
    verdictBadStream,   // a stream record too long for the buffer, or with wrong checksums
    verdictUnknown,     // another primary field
  };

  // Over the connection of `other` (an accepted data handler).
  HXZTcpProtoProbe(HXZASocketHelper* helper, HXZADataHandler& other);
  ~HXZTcpProtoProbe() override;

  // Activates the socket and starts timer 0 with the time limit. False when the timer could not be
  // asked for.
  bool start(uint32_t time_limit_ms = kDefaultTimeLimit);
  // Closes the socket silently and hands the probe to the loop for deletion.
  void cleanup();

  // Judges the first `count` bytes of a connection; the probe's own reading and the fuzz harness
  // use it. The primary field is hashed over at most its 16 bytes.
  static Verdict ClassifyFirstRecord(const uint8_t* bytes, size_t count, size_t& need);

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void OnClose(HXZADataHandler* closed) override;
  void OnError() override;
  void OnTimer(unsigned id) override;

  hx::Signal1<HXZADataHandler*> fireProbePing;
  hx::Signal1<HXZADataHandler*> fireProbeTransport;
  hx::Signal2<HX_ZeroHandshakeFixedPart const&, HXZADataHandler*> fireProbeStream;

 private:
  bool m_cleanedUp = false;  // loop thread (and start's caller before the loop sees the probe)
};
