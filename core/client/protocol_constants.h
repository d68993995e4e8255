#pragma once
// The named protocol constants of the server protocol: every service name, method name and
// parameter key is an exported constant whose value is the wire text. Managers refer to these,
// never to literal copies. Each service adds its own methods and keys beside its manager.

// Generic keys of every service.
extern const char* const METHOD_PARAM;  // "Method"
extern const char* const RESULT_PARAM;  // "Result"

// Services of the client (the registered name is the value).
extern const char* const AUTH_SRV;           // "AUTH"
extern const char* const CONFIGURATION_SRV;  // "NET_CONFIG"
extern const char* const CLIENT_SRV;         // "CLIENT"
extern const char* const CONFERENCE_SRV;     // "CONFERENCE"
extern const char* const DS_CONTROL_SRV;     // "DS_CONTROL"
extern const char* const ADDRESSBOOK_SRV;    // "ABOOK"
extern const char* const PRESENCE_SRV;       // "PRESENCE"
extern const char* const CHAT_SRV;           // "CHAT"
extern const char* const CHATV2_SRV;         // "CHATV2"
extern const char* const TORRENT_SRV;        // "TORRENT"
extern const char* const LOG_SRV;            // "LOG": a destination only, no manager

namespace hx::protocol {

// Time limits of requests in milliseconds: every service, and the client service "CLIENT".
inline constexpr unsigned kRequestTimeLimitMs = 20000;
inline constexpr unsigned kClientRequestTimeLimitMs = 7000;

}  // namespace hx::protocol
