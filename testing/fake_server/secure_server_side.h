#pragma once
// The server's side of the secure handshake on one connection: it sends the certificate message
// (formed here), lets the core's server role form the offer and open the client's sealed keys,
// and hands out the two keys the connection then enciphers with.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/security/secure_handshake.h"

namespace hx::testing {

// What the server proves itself with. The client trusts the certificate when it chains, through
// the intermediates, to its built-in root; its common name must equal the server id of the
// handshake reply.
struct SecureIdentity {
  std::string certificate_pem;
  std::vector<std::string> chain_pems;  // intermediates, sent as "Certificate Chain"
  std::string private_key_pem;
};

class SecureServerSide {
 public:
  enum Status { kRunning, kDone, kFailed };

  // Starts the server role (version 1); false when the key cannot be read.
  bool Start(const SecureIdentity& identity);
  // Takes the bytes it needs from the front of `input` (`consumed` of them; whatever follows is
  // the client's first messages) and appends each packet to send to `output`.
  Status Advance(const uint8_t* input, size_t size, size_t& consumed,
                 std::vector<std::vector<uint8_t>>& output);

  // After kFailed: the server role's error code, and the code of the client's error message when
  // the client ended the handshake with one.
  int error_code() const { return handshake_.GetHandshakeErrorCode(); }
  std::optional<uint32_t> client_error() const { return client_error_; }
  // After kDone: the key of the client's writing (the server reads with it) and of its reading.
  const std::vector<uint8_t>& read_key() const { return read_key_; }
  const std::vector<uint8_t>& write_key() const { return write_key_; }

 private:
  // Fills the packet under way from `input` at `consumed` (all its bytes are there) and hands it
  // to the role; false when processing failed.
  bool Receive(const uint8_t* input, size_t& consumed);
  bool TakeKeys();

  HX_SecureHandshake handshake_;
  std::vector<uint8_t> certificate_message_;
  uint8_t* pending_ = nullptr;  // the buffer the role wants filled, while one is
  uint32_t pending_size_ = 0;
  int packets_received_ = 0;
  std::optional<uint32_t> client_error_;
  std::vector<uint8_t> read_key_;
  std::vector<uint8_t> write_key_;
};

}  // namespace hx::testing
