#include "core/security/empty_secure_handshake.h"

bool HX_EmptySecureHandshake_Impl::InitAct(int type) {
  if (type != HX_SECURE_HANDSHAKE_CLIENT && type != HX_SECURE_HANDSHAKE_SERVER) return false;
  error_code_ = HX_SH_ERROR_NONE;
  return true;
}
