#include "core/transport/secure_shield.h"

HXSecureShield::~HXSecureShield() = default;
