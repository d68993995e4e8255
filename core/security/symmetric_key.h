#pragma once
// Raw key bytes of a symmetric cipher.

#include <cstdint>
#include <vector>

class HX_SymmetricKey {
 public:
  HX_SymmetricKey() = default;
  ~HX_SymmetricKey();
  HX_SymmetricKey(const HX_SymmetricKey&) = delete;
  HX_SymmetricKey& operator=(const HX_SymmetricKey&) = delete;

  bool Init() { return true; }
  bool CheckKeyStrength() const { return true; }
  uint32_t GetKeyLength() const { return static_cast<uint32_t>(key_.size()); }

  // Fills `buffer` with `length` cryptographically random bytes; only 1 to 256 bytes are allowed.
  static bool GenerateKey(uint32_t length, uint8_t* buffer);

  // Replaces the key with a copy of `length` bytes; false for an empty or missing key.
  bool SetKey(uint32_t length, const uint8_t* bytes);
  // Wipes and frees the key.
  void ClearKey();
  // Copies the key into `buffer` when `capacity` holds it, reporting its length.
  bool GetKey(uint32_t capacity, uint8_t* buffer, uint32_t& length) const;

  const uint8_t* data() const { return key_.data(); }

 private:
  std::vector<uint8_t> key_;
};
