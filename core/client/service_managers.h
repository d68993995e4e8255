#pragma once
// The client's own services beside the transport: the login service "AUTH", the
// network-configuration service "NET_CONFIG" and the client service "CLIENT".

#include "core/client/client_manager.h"
#include "core/client/login_manager.h"
#include "core/client/net_config_manager.h"
