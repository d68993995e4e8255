#include "core/security/secure_handshake.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>

#include "core/security/empty_secure_handshake.h"
#include "core/security/secure_handshake_ver1.h"
#include "core/security/secure_handshake_ver2.h"

namespace {

std::atomic<bool> g_improved_security{false};

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::optional<std::string>& RegistryRoot() {
  static std::optional<std::string> root;
  return root;
}

std::unique_ptr<HX_SecureHandshake_Implementation> MakeImplementation(int version) {
  switch (version) {
    case 0:
      return std::make_unique<HX_EmptySecureHandshake_Impl>();
    case 1:
      return std::make_unique<HX_SecureHandshakeVer1_Impl>();
    case 2:
      return std::make_unique<HX_SecureHandshakeVer2_Impl>();
    default:
      return nullptr;
  }
}

}  // namespace

HX_SecureHandshake::HX_SecureHandshake(int version, int type) { Init(version, type); }

HX_SecureHandshake::~HX_SecureHandshake() = default;

bool HX_SecureHandshake::Init(int version, int type) {
  StopHandshake();
  std::unique_ptr<HX_SecureHandshake_Implementation> implementation = MakeImplementation(version);
  if (!implementation || !implementation->InitAct(type)) return false;
  implementation_ = std::move(implementation);
  version_ = version;
  return true;
}

HX_SecureHandshakeState HX_SecureHandshake::Next() {
  return implementation_ ? implementation_->Next() : HX_SH_FAILED;
}

bool HX_SecureHandshake::PreparePacket(uint8_t*& buffer, uint32_t& size) {
  return implementation_ && implementation_->PreparePacket(buffer, size);
}

void HX_SecureHandshake::FreePacket(uint8_t*& buffer) {
  if (implementation_) implementation_->FreePacketBuf(buffer);
  buffer = nullptr;
}

bool HX_SecureHandshake::ProcessPacket(const uint8_t* data, uint32_t length) {
  return implementation_ && implementation_->ProcessPacket(data, length);
}

std::unique_ptr<HX_SymmetricCrypt> HX_SecureHandshake::GetReadSymmetricCrypt() {
  return implementation_ ? implementation_->GetReadSymmetricCrypt() : nullptr;
}

std::unique_ptr<HX_SymmetricCrypt> HX_SecureHandshake::GetWriteSymmetricCrypt() {
  return implementation_ ? implementation_->GetWriteSymmetricCrypt() : nullptr;
}

bool HX_SecureHandshake::SetPrivateKey(const HX_PKey* key) {
  return implementation_ && implementation_->SetPrivateKey(key);
}

std::shared_ptr<HX_Certificate> HX_SecureHandshake::CloneCertificate() const {
  return implementation_ ? implementation_->CloneCertificate() : nullptr;
}

bool HX_SecureHandshake::GetCertificate(uint8_t* buffer, uint32_t& size) const {
  return implementation_ && implementation_->GetCertificate(buffer, size);
}

int HX_SecureHandshake::GetHandshakeErrorCode() const {
  return implementation_ ? implementation_->GetErrorCode() : 0;
}

void HX_SecureHandshake::StopHandshake() {
  if (implementation_) {
    implementation_->SetErrorCode(HX_SH_ERROR_STOPPED);
    implementation_->StopHandshakeAct();
  }
  implementation_.reset();
  version_ = -1;
}

void HX_SecureHandshake::SetImprovedSecurityState(bool improved) { g_improved_security.store(improved); }

bool HX_SecureHandshake::GetImprovedSecurityState() { return g_improved_security.load(); }

void HX_SecureHandshake::SetRegistryRoot(const char* root) {
  if (root == nullptr || strnlen(root, 255) >= 255) return;
  std::lock_guard<std::mutex> lock(RegistryMutex());
  if (!RegistryRoot()) RegistryRoot() = root;
}

bool HX_SecureHandshake::GetRegistryRoot(char* buffer, uint32_t& size) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  if (!RegistryRoot()) return false;
  const uint32_t needed = static_cast<uint32_t>(RegistryRoot()->size() + 1);
  if (buffer == nullptr || size < needed) {
    size = needed;
    return false;
  }
  std::memcpy(buffer, RegistryRoot()->c_str(), needed);
  return true;
}
