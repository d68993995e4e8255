// Feeds arbitrary server bytes to the transport's message reader as they arrive after a completed
// handshake, cut into segments, and lets it check, cut, decipher and dispatch them. No socket is
// involved: a scripted socket hands the reader its bytes.
//
// Input: byte 0 bit 0 selects enciphered reading, bit 1 repairs the checksums of whole messages
// (so that mutated headers and names also reach the code behind the checksum check); byte 1
// seeds the segment sizes; the rest is the server's stream. Enciphered, the stream is read as
// records of a 2-byte little-endian length and that many plain bytes, each enciphered whole as
// the server does, so that the reader's framing behind the cipher is reached.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/client/recording_manager_test_util.h"
#include "core/security/symmetric_crypt.h"
#include "core/transport/cipher_shield_test_util.h"
#include "core/transport/handshake_simple.h"
#include "core/transport/scripted_socket_test_util.h"
#include "core/transport/transport_packet_manager.h"
#include "core/wire/fixed_part_message.h"

namespace {

const std::vector<uint8_t> kKey(16, 0x5a);

// Stores right checksums in every whole message that starts at a message boundary of `bytes`.
void RepairChecksums(std::vector<uint8_t>& bytes) {
  size_t at = 0;
  while (bytes.size() - at >= sizeof(HX_FixedPartMessage)) {
    auto* message = reinterpret_cast<HX_FixedPartMessage*>(bytes.data() + at);
    const uint64_t length = message->MessageLength();
    if (message->HeaderLength() < sizeof(HX_FixedPartMessage) || length > bytes.size() - at) return;
    HX_CalcMessageCksums(message);
    at += length;
  }
}

std::vector<uint8_t> EncipherRecords(const uint8_t* data, size_t size, bool repair) {
  HX_SymmetricCrypt server;
  server.Init(HX_SYMMETRIC_ALG_AES128, HX_CIPHER_MODE_ECB);
  server.SetKey(static_cast<uint32_t>(kKey.size()), kKey.data());
  std::vector<uint8_t> stream;
  size_t at = 0;
  while (size - at >= 2) {
    const size_t length = std::min<size_t>(data[at] | (data[at + 1] << 8), size - at - 2);
    std::vector<uint8_t> plain(data + at + 2, data + at + 2 + length);
    at += 2 + length;
    if (repair) RepairChecksums(plain);
    std::vector<uint8_t> cipher(plain.size() + 16);
    uint32_t produced = static_cast<uint32_t>(cipher.size());
    if (!server.Encrypt(plain.data(), static_cast<uint32_t>(plain.size()), cipher.data(), produced)) continue;
    stream.insert(stream.end(), cipher.begin(), cipher.begin() + produced);
  }
  return stream;
}

struct Reader {
  // Made once: the receive buffers are large, and a new connection only empties them.
  HXZTransport transport;
  HXHelperHandshakeSimple plain;
  HXZTransport::HXTransportPacketManager manager{&transport, &plain};
  hx::testing::RecordingManager accepting{"TEST"};
  hx::testing::RecordingManager refusing{"REFUSE", false};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Reader* reader = new Reader();
  if (size < 2) return 0;
  const bool enciphered = (data[0] & 1) != 0;
  const bool repair = (data[0] & 2) != 0;
  uint32_t seed = data[1] + 1u;

  std::vector<uint8_t> stream;
  if (enciphered) {
    stream = EncipherRecords(data + 2, size - 2, repair);
  } else {
    stream.assign(data + 2, data + size);
    if (repair) RepairChecksums(stream);
  }

  // A fresh cipher per input: a message cut off at the end of the last input leaves its state.
  hx::testing::CipherShield cipher(kKey);
  {
    HXAutoLock lock(reader->transport);
    reader->manager.init();
  }
  reader->manager.SetSecureShield(enciphered ? static_cast<HXSecureShield*>(&cipher) : &reader->plain);

  hx::testing::ScriptedSocket socket;
  for (size_t at = 0; at < stream.size();) {
    seed = seed * 1103515245u + 12345u;
    const size_t segment = std::min<size_t>(1 + (seed >> 16) % 4096, stream.size() - at);
    socket.Arrive(stream.data() + at, segment);
    at += segment;
  }
  socket.EndStream();
  while (reader->manager.OnReadyRecvImp(&socket, &socket) == HXZADataManager::keepGoing && socket.Unread() > 0) {
  }
  return 0;
}
