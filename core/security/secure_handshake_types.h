#pragma once
// Values shared by the secure handshake's facade, its versions and its owner.

// The role of this side. Any non-zero value other than 2 acts as the client.
enum HX_SecureHandshakeType : int {
  HX_SECURE_HANDSHAKE_CLIENT = 1,
  HX_SECURE_HANDSHAKE_SERVER = 2,
};

// What `Next` asks of the owner.
enum HX_SecureHandshakeState : int {
  HX_SH_FAILED = 0,            // nothing to do: failed or not running; read the error code
  HX_SH_SEND = 1,              // PreparePacket, send the whole packet, FreePacket
  HX_SH_SEND_CERTIFICATE = 2,  // send your own certificate message, then ask again
  HX_SH_RECEIVE = 3,           // PreparePacket, fill the buffer completely, ProcessPacket, FreePacket
  HX_SH_FINISHED = 4,          // take the read and write ciphers
};

enum HX_SecureHandshakeError : int {
  HX_SH_ERROR_NONE = 0,
  HX_SH_ERROR_STOPPED = 1,          // stopped or not started
  HX_SH_ERROR_NO_ALGORITHM = 2,     // no offered symmetric algorithm is acceptable
  HX_SH_ERROR_BAD_SIZE = 3,         // a packet or size field has a wrong length or value
  HX_SH_ERROR_NO_CERTIFICATE = 4,   // the certificate message holds no "Certificate"
  HX_SH_ERROR_CERTIFICATE = 5,      // the certificate (or a version-2 signature) did not verify
  HX_SH_ERROR_PACKET_PENDING = 6,   // PreparePacket while a packet is still handed out
  HX_SH_ERROR_OPEN = 7,             // the sealed key material did not open
  HX_SH_ERROR_INTERNAL = 8,         // unexpected state, key, cipher or container failure
};
