#pragma once
// HXHelperStreamSimple: the "_HX_STREAMS_" exchange at the start of a media stream's TCP
// connection (core/streams/stream_handshake.h has the records). As the connection's data manager
// it sends the prepared request and checks the response (connecting side, ConnectStream), or reads
// and checks the request and sends the prepared response (accepting side, AcceptStream). The
// accepting side requires a track mask sharing at least one track with its own list, keeps the
// common tracks as the negotiated list and accepts only a peer whose role fits its own stream
// client type. As a shield it passes frames through unchanged.
//
// Data manager results: keepGoing while a record is incomplete, done when the exchange succeeded,
// failed otherwise (refused record, a record over 2,048 bytes, a peer that closed, a short send).
// Bytes handed over with the connection (the protocol probe's record) are read first.
//
// Threads: prepared on the stream's thread, then driven on the network loop's thread only.

#include <array>
#include <atomic>
#include <cstdint>

#include "core/net/socket/socket_callbacks.h"
#include "core/transport/secure_shield.h"
#include "core/wire/zero_handshake.h"

class HXHelperStreamSimple : public HXZADataManager, public HXSecureShield {
 public:
  enum StreamState : int32_t {
    stateIdle = 0,
    statePrepared = 1,     // the record of the stream type is formed
    stateRequestSent = 2,  // connecting side: waiting for the response
    stateDone = 3,
  };

  static constexpr uint64_t kBufferSize = 2048;
  static constexpr int32_t kRecordSlots = 6;

  // Own tracks 1, 2, 255, 5, 254.
  HXHelperStreamSimple();
  ~HXHelperStreamSimple() override;
  HXHelperStreamSimple(const HXHelperStreamSimple&) = delete;
  HXHelperStreamSimple& operator=(const HXHelperStreamSimple&) = delete;

  // Connecting side: forms the request (the user as the record's name) for `type` (1 sender,
  // 2 receiver) with the own track mask. False when the own list or the request is unusable.
  bool ConnectStream(const char* conference, const char* user, const char* peer, int32_t type);
  // Accepting side: forms the response with the own track mask for a stream of `type`.
  bool AcceptStream(int32_t type);
  // Replaces the prepared record of `type` (the old one is freed); takes ownership of `record`.
  void ResetHandshake(int32_t type, HX_ZeroHandshakeFixedPart* record);
  void UpdateCapabilites(int32_t type) { m_type.store(type); }
  void SetStreamState(int32_t state) { m_state.store(state); }
  int32_t GetStreamState() const { return m_state.load(); }
  int32_t GetStreamType() const { return m_type.load(); }

  // The own track list (ended by 0) and the negotiated one (ascending, ended by 0).
  const uint8_t* GetOwnTracks() const { return m_ownTracks.data(); }
  const uint8_t* GetTracks() const { return m_tracks.data(); }
  // Replaces the own track list; false (nothing changed) for an invalid list.
  bool SetOwnTracks(const uint8_t* tracks, unsigned count);

  // Sends the prepared record of `type` whole; false when there is none or it did not all go.
  bool SendHandshake(HXZASocket* socket, int32_t type);
  bool CheckHandshakeRequest(const HX_ZeroHandshakeFixedPart* record);
  bool CheckHandshakeAnswer(const HX_ZeroHandshakeFixedPart* record);

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;

  const uint8_t* Encrypt(const uint8_t* data, uint32_t length, uint8_t* out,
                         uint32_t& size) override;
  const uint8_t* Decrypt(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t& size,
                         bool last_piece) override;
  uint32_t GetSymCryptBlockSize() override;

 private:
  // Own flag table and mask; false when the own list is not a valid track list.
  bool ownMask(uint8_t* mask) const;
  bool prepare(int32_t type);
  // Reads one record into the handler's pending buffer: 1 complete and passing `check`, 0 wait,
  // -1 refused.
  int32_t recvRecord(HXZASocket* socket, HXZADataHandler* handler, uint64_t& total, bool request);

  std::atomic<int32_t> m_state{stateIdle};
  std::array<uint8_t, 256> m_ownTracks{};
  std::array<uint8_t, 256> m_tracks{};
  std::array<HX_ZeroHandshakeFixedPart*, kRecordSlots> m_records{};
  std::atomic<int32_t> m_type{0};
};
