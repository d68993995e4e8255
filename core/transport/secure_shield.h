#pragma once
// HXSecureShield: what a connection enciphers and deciphers its messages through once its
// handshakes are over. A plain shield passes bytes through; a secure one uses the ciphers the
// secure handshake negotiated. Used on the network loop thread only.

#include <cstdint>

class HXSecureShield {
 public:
  virtual ~HXSecureShield();

  // Enciphers one whole message. `size` holds the capacity of `out` and receives the produced
  // size. Returns the bytes to send (`out`, or `data` itself for a plain shield), or null on
  // failure.
  virtual const uint8_t* Encrypt(const uint8_t* data, uint32_t length, uint8_t* out,
                                 uint32_t& size) = 0;

  // Deciphers one piece of a message. A piece that is not the last returns the plain bytes of the
  // blocks it completed and keeps the rest for the next piece; the last piece (`last_piece`)
  // completes the message and strips its padding. `size` holds the capacity of `out` and receives
  // the plain bytes produced. Returns the plain bytes, or null on failure.
  virtual const uint8_t* Decrypt(const uint8_t* data, uint32_t length, uint8_t* out,
                                 uint32_t& size, bool last_piece) = 0;

  // The cipher's block size; 0 when this shield does not encipher.
  virtual uint32_t GetSymCryptBlockSize() = 0;
};
